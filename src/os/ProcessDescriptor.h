#pragma once

#include "os/ProcSnapshot.h"

namespace ProcessDescriptor {

// A descriptor for one process instance (a pidfd): it becomes readable when
// the process ends, and signals sent through it never reach a later process
// that reuses the pid. -1 with errno set on failure; errno is ENOSYS where the
// kernel has no such descriptors.
int open(Pid pid);

} // namespace ProcessDescriptor
