#pragma once

#include <chrono>

#include <QString>
#include <QStringList>

#include "os/CommandResult.h"

namespace CommandRunner {

// Runs `executable` (an absolute path) with `arguments` passed unchanged: no
// shell, no quoting. Blocks the calling thread until the tool has ended or was
// stopped at `timeout`, and its output has been read.
CommandResult runCommand(const QString& executable, const QStringList& arguments,
                         std::chrono::milliseconds timeout);

} // namespace CommandRunner
