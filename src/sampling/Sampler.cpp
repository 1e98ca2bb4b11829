#include "sampling/Sampler.h"

#include <unistd.h>

#include <utility>
#include <vector>

#include <QFileInfo>
#include <QPromise>
#include <QThreadPool>

#include "inventory/InventoryBuilder.h"
#include "launchd/CommandParsers.h"
#include "launchd/LaunchdReads.h"
#include "os/SerialExecutor.h"
#include "session/UnitChangeWatcher.h"

using namespace std::chrono_literals;

// What one sampler keeps between passes. Only the sampler's own thread touches it.
struct Sampler::State {
    CpuHistory cpu;
    ProcReader::StaticInfoCache staticInfo;
    ProcReader::SocketOwnerCache socketOwners;
    // The job table from the last `launchctl list`.
    CommandParsers::LaunchctlTable launchctl;
    // Why that table cannot be trusted, when it cannot.
    std::optional<SourceWarning> launchctlWarning;
    // launchd's children when the job table was last read.
    std::optional<QSet<Pid>> launchdChildren;
    std::optional<LaunchdReads::DisabledLabels> disabled;
    QList<LaunchJob> jobs;
    // The folder stamps at the time of the last scan.
    QList<std::optional<Timestamp>> jobsStamp;
    LoginItems loginItems;
    // The session's units and entries at the last scan, and the stamps then.
    QList<SessionJob> units;
    std::optional<UnitScanner::Stamp> unitsStamp;
    QList<SessionJob> entries;
    std::optional<AutostartScanner::Stamp> entriesStamp;
    // The units as the manager last described them; none: ask again.
    std::optional<SessionReads::Units> unitStates;
};

Uid Sampler::Environment::currentUid() {
    return ::getuid();
}

Pid Sampler::Environment::currentPid() {
    return ::getpid();
}

Sampler::Sampler() : Sampler(Environment()) {}

Sampler::Sampler(Environment environment)
    : m_environment(std::move(environment)), m_state(std::make_unique<State>()),
      m_executor(std::make_unique<SerialExecutor>()) {
    if (!m_environment.host.hasLaunchd)
        m_unitWatcher = std::make_unique<UserManager::ChangeWatcher>(m_environment.session.bus());
}

Sampler::~Sampler() {
    // Let the queued operations finish while the state is still there.
    m_executor.reset();
}

QFuture<Inventory> Sampler::sample(bool includeApple) {
    return m_executor->submit(
        [this, includeApple] { return InventoryBuilder::build(pass(includeApple)); });
}

QFuture<SampleInput> Sampler::collect(bool includeApple) {
    return m_executor->submit([this, includeApple] { return pass(includeApple); });
}

QFuture<void> Sampler::resetCaches() {
    return m_executor->submit([this] {
        State& state = *m_state;
        state.cpu = {};
        state.staticInfo.clear();
        state.socketOwners = {};
        state.launchdChildren.reset();
        state.disabled.reset();
        state.jobsStamp.clear();
        state.unitsStamp.reset();
        state.entriesStamp.reset();
        state.unitStates.reset();
    });
}

QFuture<void> Sampler::forgetLaunchdState() {
    return m_executor->submit([this] {
        State& state = *m_state;
        state.launchdChildren.reset();
        state.disabled.reset();
        state.jobsStamp.clear();
        state.unitsStamp.reset();
        state.entriesStamp.reset();
        state.unitStates.reset();
    });
}

QFuture<void> Sampler::setLoginItems(LoginItems items) {
    return m_executor->submit([this, items = std::move(items)] { m_state->loginItems = items; });
}

SampleInput Sampler::pass(bool includeApple) {
    State& state = *m_state;
    const Environment& env = m_environment;
    const Clock::time_point now = env.now();

    ProcessTable processes = ProcReader::readAll(state.staticInfo, *env.platform);
    updateCpuHistory(state.cpu, processes, now);

    std::vector<ProcReader::ProcessKey> own;
    for (const auto& [pid, process] : processes) {
        if (process.uid == env.uid)
            own.push_back(ProcReader::ProcessKey{pid, process.startDate});
    }
    PortMap ports = ProcReader::listeningPortsOf(own, state.socketOwners, *env.platform);

    SampleInput input;
    if (env.host.hasLaunchd)
        readLaunchd(processes, input);
    else
        readSession(processes, input);
    input.processes = std::move(processes);
    input.ports = std::move(ports);
    input.cpu = state.cpu.lastCPU;
    input.loginItems = state.loginItems;
    input.includeApple = includeApple;
    input.ownPid = env.ownPid;
    input.uid = env.uid;
    input.host = env.host;
    input.resolvePath = &Sampler::standardResolvePath;
    return input;
}

void Sampler::readLaunchd(const ProcessTable& processes, SampleInput& input) {
    State& state = *m_state;
    const Environment& env = m_environment;

    // The job table changes when launchd starts or loses a child; a quiet
    // machine keeps its table without running launchctl.
    QSet<Pid> children = launchdChildrenOf(processes);
    bool listTimedOut = false;
    if (!state.launchdChildren || *state.launchdChildren != children) {
        LaunchdReads::JobTable list = LaunchdReads::readJobTable(env.tools);
        state.launchctl = std::move(list.table);
        state.launchctlWarning = std::move(list.warning);
        state.launchdChildren = std::move(children);
        listTimedOut = LaunchdReads::timedOut(state.launchctlWarning);
    }

    // A launchctl that just timed out is not asked again in the same pass; the
    // next pass asks.
    std::optional<LaunchdReads::DisabledLabels> skipped;
    if (!state.disabled && listTimedOut)
        skipped = LaunchdReads::skippedAfterTimeout();
    else if (!state.disabled)
        state.disabled = LaunchdReads::readDisabledLabels(env.tools, env.uid);
    const LaunchdReads::DisabledLabels& disabled = skipped ? *skipped : *state.disabled;

    QList<std::optional<Timestamp>> stamp = JobScanner::folderStamps(env.folders);
    if (!sameStamps(stamp, state.jobsStamp)) {
        state.jobs = JobScanner::scanJobs(env.folders);
        state.jobsStamp = std::move(stamp);
    }

    input.jobs = state.jobs;
    input.launchctl = state.launchctl;
    input.disabled = disabled.labels;
    for (const auto& warning : {state.launchctlWarning, disabled.warning}) {
        if (warning)
            input.warnings.append(*warning);
    }
}

void Sampler::readSession(const ProcessTable& processes, SampleInput& input) {
    State& state = *m_state;
    const SessionReads::Sources& sources = m_environment.session;

    UnitScanner::Stamp unitsStamp = UnitScanner::stampOf(sources.unitFolders);
    if (unitsStamp != state.unitsStamp) {
        state.units = UnitScanner::scanUnits(sources.unitFolders);
        state.unitsStamp = std::move(unitsStamp);
        state.unitStates.reset();
    }
    // The watcher says "changed" on every call while it has no manager to
    // listen to, so a missing manager is asked again each pass.
    const bool managerChanged = !m_unitWatcher || m_unitWatcher->takeChanged();
    if (!state.unitStates || managerChanged)
        state.unitStates =
            SessionReads::withStates(state.units, sources, m_environment.host.bootedWithSystemd,
                                     !SessionReads::cgroupsTellUnits(processes));

    AutostartScanner::Stamp entriesStamp = AutostartScanner::stampOf(sources.autostartFolders);
    if (entriesStamp != state.entriesStamp) {
        state.entries = AutostartScanner::scanEntries(sources.autostartFolders, sources.desktops);
        state.entriesStamp = std::move(entriesStamp);
    }

    input.sessionJobs = state.unitStates->units + state.entries;
    input.unitStates = state.unitStates->states;
    if (state.unitStates->warning)
        input.warnings.append(*state.unitStates->warning);
}

void Sampler::updateCpuHistory(CpuHistory& history, const ProcessTable& processes,
                               Clock::time_point now) {
    if (history.previousTime) {
        const Clock::duration interval = now - *history.previousTime;
        if (interval < 1s)
            return; // too close: keep the last shares
        const double elapsed = std::chrono::duration<double, std::nano>(interval).count();
        std::map<Pid, double> shares;
        for (const auto& [pid, process] : processes) {
            if (!process.cpuNanos)
                continue;
            const auto previous = history.previousCPU.find(pid);
            // A pid that is new, or whose CPU time went down (a reused pid), has
            // no baseline yet.
            if (previous == history.previousCPU.end() || previous->second > *process.cpuNanos)
                continue;
            shares[pid] =
                static_cast<double>(*process.cpuNanos - previous->second) / elapsed * 100.0;
        }
        history.lastCPU = std::move(shares);
    }
    history.previousCPU.clear();
    for (const auto& [pid, process] : processes) {
        if (process.cpuNanos)
            history.previousCPU.emplace(pid, *process.cpuNanos);
    }
    history.previousTime = now;
}

QSet<Pid> Sampler::launchdChildrenOf(const ProcessTable& processes) {
    QSet<Pid> children;
    for (const auto& [pid, process] : processes) {
        if (process.ppid == 1)
            children.insert(pid);
    }
    return children;
}

bool Sampler::sameStamps(const QList<std::optional<Timestamp>>& a,
                         const QList<std::optional<Timestamp>>& b) {
    // std::optional's equality already says: both absent, or both present and equal.
    return a == b;
}

std::optional<Sampler::LoginItems> Sampler::loginItemsFrom(const CommandResult& dump, Uid uid) {
    if (dump.status != 0 || !dump.output.contains(QStringLiteral("Records for UID")))
        return std::nullopt;
    return CommandParsers::parseLoginItems(dump.output, uid);
}

QFuture<std::optional<Sampler::LoginItems>>
Sampler::readLoginItems(const SystemTools::Locations& tools, Uid uid, const HostRules& host,
                        std::shared_ptr<const CommandRunner::Stop> stop) {
    auto promise = std::make_shared<QPromise<std::optional<LoginItems>>>();
    QFuture<std::optional<LoginItems>> future = promise->future();
    promise->start();
    if (!host.hasLaunchd) {
        promise->addResult(std::nullopt);
        promise->finish();
        return future;
    }
    QThreadPool::globalInstance()->start([promise, tools, uid, stop = std::move(stop)] {
        const CommandResult dump = SystemTools::run(SystemTools::dumpLoginItems(tools), stop.get());
        promise->addResult(loginItemsFrom(dump, uid));
        promise->finish();
    });
    return future;
}

QString Sampler::standardResolvePath(const QString& path) {
    if (path.startsWith(QLatin1String("/Volumes/")))
        return path;
    const QString resolved = QFileInfo(path).canonicalFilePath();
    return resolved.isEmpty() ? path : resolved;
}
