#pragma once

#include <atomic>
#include <chrono>

#include <QString>
#include <QStringList>

#include "os/CommandResult.h"

namespace CommandRunner {

// What the runner keeps of a tool's standard output unless told otherwise.
inline constexpr qsizetype defaultOutputLimit = 1 << 20;

// Lets another thread end runs it was handed to: a run that sees the request
// ends its tool's group as at the time-out and returns status -4; a run asked
// after the request starts nothing. A request cannot be withdrawn.
class Stop {
public:
    Stop();
    ~Stop();
    Stop(const Stop&) = delete;
    Stop& operator=(const Stop&) = delete;

    // Safe from any thread, any number of times.
    void request();
    bool isRequested() const { return m_requested.load(); }
    // Turns readable once requested; -1 when the kernel gave none.
    int descriptor() const { return m_descriptor; }

private:
    std::atomic<bool> m_requested = false;
    int m_descriptor = -1;
};

// Runs `executable` (an absolute path) with `arguments` passed unchanged: no
// shell, no quoting. The tool runs in a process group of its own, reads
// nothing on standard input (/dev/null) and writes into two pipes that are
// drained while it runs, so nothing goes through the temporary folder. Blocks the calling thread
// until the tool has ended or was stopped, and returns what it wrote, decoded
// as UTF-8 with malformed bytes replaced.
//
// The whole group is ended (SIGTERM, then SIGKILL after a grace period) when
// the tool runs past `timeout` (status -2) or writes more than `outputLimit`
// bytes to standard output (status -3, no output kept). Its standard error is
// kept up to a fixed size and the rest dropped. A child the tool leaves behind
// when it ends by itself is not waited for. A requested `stop` ends the run
// the same way (status -4).
CommandResult runCommand(const QString& executable, const QStringList& arguments,
                         std::chrono::milliseconds timeout,
                         qsizetype outputLimit = defaultOutputLimit, const Stop* stop = nullptr);

} // namespace CommandRunner
