#include "os/ProcessDescriptor.h"

#include <cerrno>

#include <sys/syscall.h>
#include <unistd.h>

namespace ProcessDescriptor {

int open(Pid pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

} // namespace ProcessDescriptor
