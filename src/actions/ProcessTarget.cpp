#include "actions/ProcessTarget.h"

#include <cerrno>
#include <cmath>
#include <csignal>

#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <qcoro/qcorotimer.h>

#include "os/ProcReader.h"
#include "os/ProcessDescriptor.h"

namespace ProcessActions {

namespace {

constexpr double startTolerance = 1.0;

// A descriptor for one process instance: signals through it can never reach
// a process that later reuses the pid.
class PidFd {
public:
    explicit PidFd(Pid pid) : fd_(ProcessDescriptor::open(pid)) {
        if (fd_ < 0)
            error_ = errno;
    }
    ~PidFd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    PidFd(const PidFd&) = delete;
    PidFd& operator=(const PidFd&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    // The kernel has no pidfd support: fall back to plain pids.
    bool unsupported() const { return error_ == ENOSYS; }

    // The process has exited (a zombie included).
    bool hasExited() const {
        pollfd entry{fd_, POLLIN, 0};
        return ::poll(&entry, 1, 0) > 0;
    }

    void send(int signal) const { ::syscall(SYS_pidfd_send_signal, fd_, signal, nullptr, 0); }

private:
    int fd_ = -1;
    int error_ = 0;
};

bool sameInstance(const ProcessTarget& target) {
    const std::optional<ProcReader::Basics> basics = ProcReader::basics(target.pid);
    if (!basics || !basics->start)
        return false;
    if (!target.start)
        return true;
    return std::abs(*basics->start - *target.start) < startTolerance;
}

} // namespace

bool isAlive(const ProcessTarget& target) {
    if (target.pid <= 0)
        return false;
    const PidFd process(target.pid);
    if (!process.isOpen() && !process.unsupported())
        return false;
    if (!sameInstance(target))
        return false;
    return !process.isOpen() || !process.hasExited();
}

void sendSignal(const QList<ProcessTarget>& targets, int signal) {
    for (const ProcessTarget& target : targets) {
        if (target.pid <= 0)
            continue;
        const PidFd process(target.pid);
        if (process.isOpen()) {
            if (sameInstance(target) && !process.hasExited())
                process.send(signal);
        } else if (process.unsupported() && sameInstance(target)) {
            ::kill(target.pid, signal);
        }
    }
}

QList<ProcessTarget> survivors(const QList<ProcessTarget>& targets) {
    QList<ProcessTarget> alive;
    for (const ProcessTarget& target : targets) {
        if (isAlive(target))
            alive.append(target);
    }
    return alive;
}

QCoro::Task<QList<ProcessTarget>> awaitExit(QList<ProcessTarget> targets,
                                            std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        QList<ProcessTarget> alive = survivors(targets);
        if (alive.isEmpty() || std::chrono::steady_clock::now() >= deadline)
            co_return alive;
        co_await QCoro::sleepFor(pollInterval);
    }
}

QCoro::Task<QList<ProcessTarget>> quitApp(ProcessTarget target, std::chrono::milliseconds timeout) {
    // This platform has no service that asks an app to quit as its user
    // would, so an app gets the same SIGTERM as any other process.
    (void)timeout;
    const QList<ProcessTarget> targets{target};
    sendSignal(targets, SIGTERM);
    co_return co_await awaitExit(targets, termWait);
}

} // namespace ProcessActions
