#pragma once

#include <sys/types.h>

#include <QStringList>

// A real child process for tests, started without a shell. The destructor
// kills it (SIGKILL) if it still runs and reaps it, so no test leaves one
// behind.
class ChildProcess {
public:
    explicit ChildProcess(const QStringList& argv);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }

    // Waits for the child to end and returns its wait status; -1 if not started.
    int reap();

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
};
