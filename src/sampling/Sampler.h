#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>

#include <QFuture>
#include <QSet>
#include <QString>

#include "inventory/BackgroundItem.h"
#include "inventory/SampleInput.h"
#include "launchd/JobScanner.h"
#include "launchd/LaunchctlState.h"
#include "launchd/SystemTools.h"
#include "os/ProcReader.h"
#include "os/ProcSnapshot.h"
#include "sampling/SessionReads.h"

class ProcPlatform;
class SerialExecutor;
namespace UserManager {
class ChangeWatcher;
}

// Takes sampling passes on request and keeps what can be reused between them:
// per-process static information, the CPU history, the launchd job table, the
// disabled labels and the scanned job definitions. Where the host has no
// launchd, a pass asks no launchd tool and reads no job folder, and login items
// are never read; it reads the session's units and autostart entries instead,
// each only when its files changed, and asks the user's service manager only
// when the manager signalled a change. Every operation runs on the sampler's own thread, one after
// another in the order they were asked for; the caller gets a QFuture and
// never blocks.
class Sampler {
public:
    using StaticInfo = ProcReader::StaticInfo;
    using Clock = std::chrono::steady_clock;
    using LoginItems = CommandParsers::LoginItems;

    // Everything outside the program that a pass reads. The defaults are the
    // real ones; tests point them at stand-ins and temporary folders.
    struct Environment {
        SystemTools::Locations tools = SystemTools::Locations::standard();
        JobScanner::JobFolders folders = JobScanner::JobFolders::standard();
        Uid uid = currentUid();
        Pid ownPid = currentPid();
        const ProcPlatform* platform = &ProcReader::systemPlatform();
        std::function<Clock::time_point()> now = [] { return Clock::now(); };
        // The rules of the system sampled: whether launchd exists, and what the
        // inventory counts as part of the system.
        HostRules host = Hosts::current();
        // The units and autostart entries, where the host has no launchd.
        SessionReads::Sources session;

        static Uid currentUid();
        static Pid currentPid();
    };

    // The CPU share bookkeeping between passes.
    struct CpuHistory {
        // cpuNanos of every process at the last pass that updated the history.
        std::map<Pid, quint64> previousCPU;
        // When that pass started.
        std::optional<Clock::time_point> previousTime;
        // Percent of one core per pid from the last computation.
        std::optional<std::map<Pid, double>> lastCPU;

        bool operator==(const CpuHistory&) const = default;
    };

    // The real machine.
    Sampler();
    explicit Sampler(Environment environment);
    // Finishes the operations already asked for, then stops the thread.
    ~Sampler();

    Sampler(const Sampler&) = delete;
    Sampler& operator=(const Sampler&) = delete;

    QFuture<Inventory> sample(bool includeApple);
    // The same pass as sample(), handing back what the inventory is built from.
    QFuture<SampleInput> collect(bool includeApple);
    // Drops the CPU history, the static information and the launchd state.
    QFuture<void> resetCaches();
    // Makes the next pass read the job table, the disabled labels and the job
    // definitions again.
    QFuture<void> forgetLaunchdState();
    QFuture<void> setLoginItems(LoginItems items);

    // The login items from the background-task dump, or none when the dump was
    // refused, failed or does not look like one, or when `host` has no launchd
    // (then no tool is run). Runs on the global thread pool, never on a
    // sampler's thread, since the system's password prompt can keep the tool
    // waiting for minutes; a requested `stop` ends the tool (none).
    static QFuture<std::optional<LoginItems>>
    readLoginItems(const SystemTools::Locations& tools = SystemTools::Locations::standard(),
                   Uid uid = Environment::currentUid(), const HostRules& host = Hosts::current(),
                   std::shared_ptr<const CommandRunner::Stop> stop = {});

    // The blocking part of readLoginItems().
    static std::optional<LoginItems> loginItemsFrom(const CommandResult& dump, Uid uid);

    // A path under "/Volumes/" unchanged; any other path with its symbolic
    // links resolved, or unchanged when it cannot be resolved.
    static QString standardResolvePath(const QString& path);

    // Advances the CPU history to a pass that started at `now` and read
    // `processes`. Passes less than a second apart leave it unchanged.
    static void updateCpuHistory(CpuHistory& history, const ProcessTable& processes,
                                 Clock::time_point now);

    // The launchd children guard: the pids whose parent is pid 1.
    static QSet<Pid> launchdChildrenOf(const ProcessTable& processes);

    // Folder stamps are equal when both lists have the same length and each
    // pair is both absent or the same time.
    static bool sameStamps(const QList<std::optional<Timestamp>>& a,
                           const QList<std::optional<Timestamp>>& b);

private:
    struct State;

    SampleInput pass(bool includeApple);
    // Brings the job table, the disabled labels and the job definitions up to
    // date where they may have changed, and puts them into `input`.
    void readLaunchd(const ProcessTable& processes, SampleInput& input);
    // Brings the units, their states and the autostart entries up to date
    // where they may have changed, and puts them into `input`.
    void readSession(const ProcessTable& processes, SampleInput& input);

    Environment m_environment;
    std::unique_ptr<State> m_state;
    // Made on the constructing thread, whose event loop delivers the manager's
    // signals; none where the host has launchd.
    std::unique_ptr<UserManager::ChangeWatcher> m_unitWatcher;
    // Declared last so it stops, finishing queued work, before the state goes.
    std::unique_ptr<SerialExecutor> m_executor;
};
