#pragma once

#include <chrono>
#include <optional>

#include <QList>

#include <qcoro/qcorotask.h>

#include "os/ProcSnapshot.h"

// One process instance to act on: its pid and its start time as sampled. A pid
// that now belongs to a process started a second or more apart is another
// process and is never signalled.
struct ProcessTarget {
    Pid pid = 0;
    std::optional<Timestamp> start;

    bool operator==(const ProcessTarget&) const = default;

    static ProcessTarget of(const ProcSnapshot& process) {
        return {process.pid, process.startDate};
    }
};

namespace ProcessActions {

inline constexpr std::chrono::milliseconds pollInterval{200};
inline constexpr std::chrono::seconds termWait{3};
inline constexpr std::chrono::seconds appQuitWait{5};
inline constexpr std::chrono::seconds killWait{1};

// The target's process still runs. One that has exited but was not yet reaped
// by its parent has stopped and counts as gone.
bool isAlive(const ProcessTarget& target);

// Sends `signal` to every target still alive; others are skipped silently.
void sendSignal(const QList<ProcessTarget>& targets, int signal);

// The targets still alive, in input order.
QList<ProcessTarget> survivors(const QList<ProcessTarget>& targets);

// Polls every 0.2 s until every target is gone or the time-out passed, without
// blocking the thread's event loop; yields the survivors.
QCoro::Task<QList<ProcessTarget>> awaitExit(QList<ProcessTarget> targets,
                                            std::chrono::milliseconds timeout);

// Asks an app to quit; without a running-application service, sends SIGTERM
// and waits 3 seconds.
QCoro::Task<QList<ProcessTarget>> quitApp(ProcessTarget target, std::chrono::milliseconds timeout);

} // namespace ProcessActions
