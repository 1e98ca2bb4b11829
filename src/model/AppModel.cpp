#include "model/AppModel.h"

#include <algorithm>
#include <csignal>

#include <malloc.h>

#include <QCollator>
#include <QCoreApplication>
#include <QPointer>
#include <QPromise>
#include <QThreadPool>

#include <qcoro/qcorofuture.h>
#include <qcoro/qcorosignal.h>

#include "inventory/EnglishPlurals.h"
#include "inventory/TextCompare.h"
#include "launchd/CommandParsers.h"
#include "launchd/LaunchdReads.h"

namespace {

// Hands freed memory back to the system after a pass, so the idle footprint
// stays small.
void returnFreeMemory() {
    ::malloc_trim(0);
}

template <typename T> bool assign(T& field, const T& value) {
    if (field == value)
        return false;
    field = value;
    return true;
}

// Runs a blocking action on the shared pool, so the main thread stays free.
QFuture<ActionResult> runInBackground(std::function<ActionResult()> action) {
    auto promise = std::make_shared<QPromise<ActionResult>>();
    QFuture<ActionResult> future = promise->future();
    promise->start();
    QThreadPool::globalInstance()->start([promise, action = std::move(action)] {
        promise->addResult(action());
        promise->finish();
    });
    return future;
}

} // namespace

AppModel::AppModel(QObject* parent) : AppModel(Environment{}, parent) {}

AppModel::AppModel(Environment environment, QObject* parent)
    : QObject(parent), m_environment(std::move(environment)), m_settings(m_environment.settings()) {
    // Every screen reads the model, so no window text can miss the singulars.
    EnglishPlurals::install();
    m_showApple = m_settings->showApple();
    m_showCount = m_settings->showCount();
    m_refreshSeconds = m_settings->refreshSeconds();
    m_keepCountFresh = m_settings->keepCountFresh();
    m_loginItemsCheckedAt = m_settings->loginItemsCheckedAt();
    m_launchAtLogin = LaunchAtLogin::isEnabled(m_environment.loginEntry);
    m_sampler = std::make_unique<Sampler>(m_environment.sampler);

    if (const std::optional<QByteArray> stored =
            m_environment.sampler.host.hasLaunchd ? m_settings->loginItems() : std::nullopt) {
        if (const auto items = CommandParsers::decodeLoginItems(*stored))
            m_sampler->setLoginItems(*items);
    }
}

AppModel::~AppModel() {
    // Loops still waiting end with the model; the sampler finishes its queue.
    m_activePanelLoop = 0;
    // A login-items check in progress ends its tool's group (SIGTERM, then
    // SIGKILL after the runner's grace) on the pool thread; nothing here waits.
    m_toolStop->request();
}

QString AppModel::filterText(Filter filter) {
    switch (filter) {
    case Filter::all:
        return tr("All");
    case Filter::autoStart:
        return tr("Auto-start");
    case Filter::devServers:
        return tr("Dev");
    case Filter::apps:
        return tr("Apps");
    }
    return {};
}

std::optional<AppModel::Filter> AppModel::filterFromText(const QString& text) {
    for (Filter filter : {Filter::all, Filter::autoStart, Filter::devServers, Filter::apps}) {
        if (filterText(filter) == text)
            return filter;
    }
    return std::nullopt;
}

QString AppModel::sortText(Sort sort) {
    switch (sort) {
    case Sort::memory:
        return tr("Memory");
    case Sort::cpu:
        return tr("CPU");
    case Sort::uptime:
        return tr("Uptime");
    case Sort::name:
        return tr("Name");
    }
    return {};
}

std::optional<AppModel::Sort> AppModel::sortFromText(const QString& text) {
    for (Sort sort : {Sort::memory, Sort::cpu, Sort::uptime, Sort::name}) {
        if (sortText(sort) == text)
            return sort;
    }
    return std::nullopt;
}

void AppModel::setSearch(const QString& search) {
    if (assign(m_search, search))
        Q_EMIT searchChanged();
}

void AppModel::setFilter(Filter filter) {
    if (assign(m_filter, filter))
        Q_EMIT filterChanged();
}

void AppModel::setSort(Sort sort) {
    if (assign(m_sort, sort))
        Q_EMIT sortChanged();
}

void AppModel::setScreen(const Screen& screen) {
    if (assign(m_screen, screen))
        Q_EMIT screenChanged();
}

void AppModel::setShowApple(bool value) {
    const bool changed = assign(m_showApple, value);
    m_settings->setShowApple(value);
    if (changed)
        Q_EMIT showAppleChanged();
    refresh(false);
}

void AppModel::setShowCount(bool value) {
    const bool changed = assign(m_showCount, value);
    m_settings->setShowCount(value);
    if (changed)
        Q_EMIT showCountChanged();
}

void AppModel::setRefreshSeconds(int value) {
    const bool changed = assign(m_refreshSeconds, value);
    m_settings->setRefreshSeconds(value);
    if (changed)
        Q_EMIT refreshSecondsChanged();
}

void AppModel::setKeepCountFresh(bool value) {
    const bool changed = assign(m_keepCountFresh, value);
    m_settings->setKeepCountFresh(value);
    if (changed)
        Q_EMIT keepCountFreshChanged();
    if (!value) {
        if (m_backgroundCount) {
            delete m_backgroundCount;
            m_backgroundCount = nullptr;
            Q_EMIT backgroundCountChanged();
        }
    } else {
        startBackgroundCount();
    }
}

void AppModel::setInventory(Inventory inventory) {
    // Every completed pass replaces the inventory, equal or not.
    m_inventory = std::move(inventory);
    Q_EMIT inventoryChanged();
}

void AppModel::setIsLoading(bool value) {
    if (assign(m_isLoading, value))
        Q_EMIT isLoadingChanged();
}

void AppModel::setIsPanelOpen(bool value) {
    if (assign(m_isPanelOpen, value))
        Q_EMIT isPanelOpenChanged();
}

void AppModel::setIsCheckingLoginItems(bool value) {
    if (assign(m_isCheckingLoginItems, value))
        Q_EMIT isCheckingLoginItemsChanged();
}

void AppModel::setLoginItemsMessage(const std::optional<QString>& message) {
    if (assign(m_loginItemsMessage, message))
        Q_EMIT loginItemsMessageChanged();
}

std::optional<QString> AppModel::sourceNote() const {
    if (!m_inventory || m_inventory->warnings.isEmpty())
        return std::nullopt;
    QStringList reasons;
    for (const SourceWarning& warning : m_inventory->warnings)
        reasons.append(LaunchdReads::warningText(warning));
    //: %1 lists what could not be read and why
    return tr("Some launchd facts are unknown: %1.").arg(reasons.join(QStringLiteral("; ")));
}

int AppModel::menuBarCount() const {
    if (!m_inventory)
        return 0;
    return static_cast<int>(
        std::count_if(m_inventory->running.cbegin(), m_inventory->running.cend(),
                      [](const BackgroundItem& item) { return !item.isApple; }));
}

bool AppModel::passesFilter(const BackgroundItem& item) const {
    switch (m_filter) {
    case Filter::all:
        return true;
    case Filter::autoStart:
        return item.state != BackgroundItem::State::running ||
               (!item.isDisabledInLaunchd && Items::autoStarts(item));
    case Filter::devServers:
        return Items::isDevServer(item);
    case Filter::apps:
        return item.kind == BackgroundItem::Kind::app;
    }
    return true;
}

bool AppModel::matches(const BackgroundItem& item) const {
    return passesFilter(item) &&
           TextCompare::localizedStandardContains(Items::searchText(item), m_search);
}

QList<BackgroundItem> AppModel::visibleRunning() const {
    QList<BackgroundItem> items;
    if (!m_inventory)
        return items;
    for (const BackgroundItem& item : m_inventory->running) {
        if (matches(item))
            items.append(item);
    }

    switch (m_sort) {
    case Sort::memory:
        std::stable_sort(items.begin(), items.end(),
                         [](const auto& a, const auto& b) { return a.memory > b.memory; });
        break;
    case Sort::cpu:
        std::stable_sort(items.begin(), items.end(), [](const auto& a, const auto& b) {
            return a.cpuPercent.value_or(0) > b.cpuPercent.value_or(0);
        });
        break;
    case Sort::uptime: {
        const auto started = [](const BackgroundItem& item) {
            if (item.primary && item.primary->startDate)
                return *item.primary->startDate;
            return std::numeric_limits<Timestamp>::infinity();
        };
        std::stable_sort(items.begin(), items.end(),
                         [&](const auto& a, const auto& b) { return started(a) < started(b); });
        break;
    }
    case Sort::name: {
        const QCollator collator = TextCompare::standardCollator();
        std::stable_sort(items.begin(), items.end(), [&](const auto& a, const auto& b) {
            return collator.compare(a.name, b.name) < 0;
        });
        break;
    }
    }
    return items;
}

QList<BackgroundItem> AppModel::visibleNotRunning() const {
    QList<BackgroundItem> items;
    if (!m_inventory || m_filter == Filter::apps)
        return items;
    for (const BackgroundItem& item : m_inventory->notRunning) {
        if (matches(item))
            items.append(item);
    }
    return items;
}

std::optional<BackgroundItem> AppModel::item(const QString& id) const {
    if (!m_inventory)
        return std::nullopt;
    for (const QList<BackgroundItem>* list : {&m_inventory->running, &m_inventory->notRunning}) {
        for (const BackgroundItem& candidate : *list) {
            if (candidate.id == id)
                return candidate;
        }
    }
    return std::nullopt;
}

QCoro::Task<> AppModel::refresh(bool showLoading) {
    QPointer<AppModel> self(this);
    if (showLoading)
        setIsLoading(true);
    Inventory inventory = co_await m_sampler->sample(m_showApple);
    if (!self)
        co_return;
    setInventory(std::move(inventory));
    if (showLoading)
        setIsLoading(false);
}

QCoro::Task<> AppModel::runWhileOpen() {
    QPointer<AppModel> self(this);
    const quint64 loop = ++m_panelLoopCounter;
    m_activePanelLoop = loop;
    setIsPanelOpen(true);

    while (m_activePanelLoop == loop) {
        Inventory inventory = co_await m_sampler->sample(m_showApple);
        if (!self)
            co_return;
        setInventory(std::move(inventory));
        if (m_activePanelLoop != loop)
            break;

        // A changed refreshSeconds applies from the next sleep on.
        QPointer<QTimer> sleep = new QTimer(this);
        sleep->setSingleShot(true);
        m_panelSleep = sleep;
        sleep->start(std::chrono::seconds(std::max(1, m_refreshSeconds)));
        co_await qCoro(sleep.data(), &QTimer::timeout);
        if (!self)
            co_return;
        delete sleep.data();
    }

    // A newer loop that took over keeps the panel open and the caches warm.
    if (m_activePanelLoop != 0)
        co_return;
    co_await m_sampler->resetCaches();
    if (!self)
        co_return;
    returnFreeMemory();
    setIsPanelOpen(false);
}

void AppModel::stopPanelLoop() {
    m_activePanelLoop = 0;
    if (m_panelSleep)
        m_panelSleep->start(0);
}

void AppModel::startBackgroundCount() {
    if (!m_keepCountFresh || m_backgroundCount)
        return;
    m_backgroundCount = new QTimer(this);
    m_backgroundCount->setTimerType(Qt::VeryCoarseTimer);
    m_backgroundCount->setInterval(m_environment.backgroundInterval);
    connect(m_backgroundCount, &QTimer::timeout, this, [this] { runBackgroundCount(); });
    m_backgroundCount->start();
    Q_EMIT backgroundCountChanged();
}

QCoro::Task<> AppModel::runBackgroundCount() {
    if (m_isPanelOpen)
        co_return;
    QPointer<AppModel> self(this);
    co_await refresh(false);
    if (!self)
        co_return;
    co_await m_sampler->resetCaches();
    if (!self)
        co_return;
    returnFreeMemory();
}

QCoro::Task<> AppModel::reloadAfterAction() {
    QPointer<AppModel> self(this);
    co_await m_sampler->forgetLaunchdState();
    if (!self)
        co_return;
    co_await refresh(false);
}

QCoro::Task<ActionResult> AppModel::runAction(std::function<ActionResult()> action) {
    co_return co_await runInBackground(std::move(action));
}

void AppModel::recordStopped(const BackgroundItem& item) {
    auto [position, inserted] = m_stoppedNames.insert_or_assign(item.id, item.name);
    (void)position;
    (void)inserted;
    Q_EMIT stoppedNamesChanged();
}

// g++ 12 destroys locals twice when co_await sits in an if-condition or
// builds temporaries around it, so each action is named first and its
// result awaited in a statement of its own.

QCoro::Task<AppModel::StopOutcome> AppModel::stop(BackgroundItem item) {
    const JobActions::Context context = m_environment.actions;
    if (!Items::canStop(item, context.uid))
        co_return StopOutcome{{}, ActionError{tr("This item cannot be stopped from here.")}};

    QPointer<AppModel> self(this);
    QList<ProcessTarget> targets;
    for (const ProcSnapshot& member : item.members)
        targets.append(ProcessTarget::of(member));

    QList<ProcessTarget> survivors;
    const std::optional<QString> label = Items::controllableLabel(item);
    if (item.sessionJob && SessionJobs::isUnit(*item.sessionJob)) {
        // Through the manager: a plain signal would have Restart= bring it back.
        std::function<ActionResult()> stopUnit = [job = *item.sessionJob,
                                                  context = sessionContext()] {
            return SessionActions::stopUnit(job, context);
        };
        const ActionResult failed = co_await runAction(std::move(stopUnit));
        if (failed)
            co_return StopOutcome{{}, failed};
        survivors = co_await ProcessActions::awaitExit(targets, ProcessActions::termWait);
    } else if (item.kind == BackgroundItem::Kind::simulator) {
        const std::optional<QString> device = Items::simulatorDeviceID(item);
        std::function<ActionResult()> shutdown = [device, context] {
            return JobActions::shutdownSimulator(device, context);
        };
        const ActionResult failed = co_await runAction(std::move(shutdown));
        if (failed)
            co_return StopOutcome{{}, failed};
    } else if (label) {
        std::function<ActionResult()> bootout = [label, context] {
            return JobActions::bootoutJob(*label, context);
        };
        const ActionResult failed = co_await runAction(std::move(bootout));
        if (failed)
            co_return StopOutcome{{}, failed};
        ProcessActions::sendSignal(targets, SIGTERM);
        survivors = co_await ProcessActions::awaitExit(targets, ProcessActions::termWait);
    } else if (item.kind == BackgroundItem::Kind::app && item.primary) {
        const ProcessTarget app = ProcessTarget::of(*item.primary);
        survivors = co_await ProcessActions::quitApp(app, ProcessActions::appQuitWait);
    } else {
        ProcessActions::sendSignal(targets, SIGTERM);
        survivors = co_await ProcessActions::awaitExit(targets, ProcessActions::termWait);
    }
    if (!self)
        co_return StopOutcome{survivors, std::nullopt};

    if (survivors.isEmpty())
        recordStopped(item);
    co_await reloadAfterAction();
    co_return StopOutcome{survivors, std::nullopt};
}

QCoro::Task<AppModel::StopOutcome> AppModel::forceQuit(QList<ProcessTarget> targets,
                                                       BackgroundItem item) {
    QPointer<AppModel> self(this);
    ProcessActions::sendSignal(targets, SIGKILL);
    const QList<ProcessTarget> survivors =
        co_await ProcessActions::awaitExit(targets, ProcessActions::killWait);
    if (!self)
        co_return StopOutcome{survivors, std::nullopt};
    if (survivors.isEmpty())
        recordStopped(item);
    co_await reloadAfterAction();
    co_return StopOutcome{survivors, std::nullopt};
}

QCoro::Task<ActionResult> AppModel::disable(BackgroundItem item) {
    if (item.sessionJob && Items::canDisable(item))
        co_return co_await changeSessionJob(std::move(item), true);
    if (!Items::canDisable(item) || !item.job)
        co_return ActionError{tr("Only your own auto-start agents can be disabled.")};
    QPointer<AppModel> self(this);
    const JobActions::Context context = m_environment.actions;
    const LaunchJob job = *item.job;
    std::function<ActionResult()> park = [job, context] {
        return JobActions::disableJob(job, context);
    };
    const ActionResult failed = co_await runAction(std::move(park));
    if (failed)
        co_return failed;
    if (!self)
        co_return std::nullopt;
    co_await reloadAfterAction();
    if (!self)
        co_return std::nullopt;
    setScreen(Screen::detail(QStringLiteral("job:") + job.label + QStringLiteral(":disabled")));
    co_return std::nullopt;
}

QCoro::Task<ActionResult> AppModel::enable(BackgroundItem item) {
    if (item.sessionJob)
        co_return co_await changeSessionJob(std::move(item), false);
    if (!item.job)
        co_return std::nullopt;
    QPointer<AppModel> self(this);
    const JobActions::Context context = m_environment.actions;
    const LaunchJob job = *item.job;
    std::function<ActionResult()> unpark = [job, context] {
        return JobActions::reenableJob(job, context);
    };
    const ActionResult failed = co_await runAction(std::move(unpark));
    if (failed)
        co_return failed;
    if (!self)
        co_return std::nullopt;
    co_await reloadAfterAction();
    if (!self)
        co_return std::nullopt;
    setScreen(Screen::detail(QStringLiteral("job:") + job.label));
    co_return std::nullopt;
}

QCoro::Task<ActionResult> AppModel::load(BackgroundItem item) {
    if (item.sessionJob) {
        QPointer<AppModel> self(this);
        std::function<ActionResult()> start = [job = *item.sessionJob, context = sessionContext()] {
            return SessionActions::start(job, context);
        };
        const ActionResult failed = co_await runAction(std::move(start));
        if (failed)
            co_return failed;
        if (self)
            co_await reloadAfterAction();
        co_return std::nullopt;
    }
    if (!item.job)
        co_return std::nullopt;
    QPointer<AppModel> self(this);
    const JobActions::Context context = m_environment.actions;
    const LaunchJob job = *item.job;
    const bool listed = item.launchLabel.has_value();
    std::function<ActionResult()> start = [job, listed, context] {
        return JobActions::startJob(job, listed, context);
    };
    const ActionResult failed = co_await runAction(std::move(start));
    if (failed)
        co_return failed;
    if (!self)
        co_return std::nullopt;
    co_await reloadAfterAction();
    co_return std::nullopt;
}

SessionActions::Context AppModel::sessionContext() const {
    const SessionReads::Sources& sources = m_environment.sampler.session;
    return {sources.bus, sources.autostartFolders, sources.unitFolders};
}

QCoro::Task<ActionResult> AppModel::changeSessionJob(BackgroundItem item, bool disabling) {
    QPointer<AppModel> self(this);
    // A unit in a crash loop has no process but is still worth stopping.
    const bool active =
        !item.members.isEmpty() || (item.unitState && item.unitState->activeState != u"inactive" &&
                                    item.unitState->activeState != u"failed");
    std::function<ActionResult()> change = [job = *item.sessionJob, context = sessionContext(),
                                            disabling, active] {
        return disabling ? SessionActions::disable(job, active, context)
                         : SessionActions::reenable(job, context);
    };
    const ActionResult failed = co_await runAction(std::move(change));
    if (failed)
        co_return failed;
    // An entry's program is no unit the manager stops: it gets SIGTERM, as any
    // process does.
    if (disabling && !SessionJobs::isUnit(*item.sessionJob) && !item.members.isEmpty()) {
        QList<ProcessTarget> targets;
        for (const ProcSnapshot& member : item.members)
            targets.append(ProcessTarget::of(member));
        ProcessActions::sendSignal(targets, SIGTERM);
        co_await ProcessActions::awaitExit(targets, ProcessActions::termWait);
    }
    if (!self)
        co_return std::nullopt;
    co_await reloadAfterAction();
    if (!self)
        co_return std::nullopt;
    setScreen(Screen::detail(item.id));
    // The entry may be this program's own.
    if (assign(m_launchAtLogin, LaunchAtLogin::isEnabled(m_environment.loginEntry)))
        Q_EMIT launchAtLoginChanged();
    co_return std::nullopt;
}

QCoro::Task<ActionResult> AppModel::enableInLaunchd(BackgroundItem item) {
    const std::optional<QString> label =
        item.job ? std::optional(item.job->label) : item.launchLabel;
    if (!label)
        co_return std::nullopt;
    QPointer<AppModel> self(this);
    const JobActions::Context context = m_environment.actions;
    std::function<ActionResult()> clearMark = [label, context] {
        return JobActions::enableJob(*label, context);
    };
    const ActionResult notEnabled = co_await runAction(std::move(clearMark));
    if (notEnabled)
        co_return notEnabled;
    if (item.job && item.job->domain == LaunchJob::Domain::userAgent && !item.launchLabel) {
        const LaunchJob job = *item.job;
        std::function<ActionResult()> bootstrap = [job, context] {
            return JobActions::startJob(job, false, context);
        };
        const ActionResult notLoaded = co_await runAction(std::move(bootstrap));
        if (notLoaded)
            co_return notLoaded;
    }
    if (!self)
        co_return std::nullopt;
    co_await reloadAfterAction();
    co_return std::nullopt;
}

QCoro::Task<> AppModel::checkLoginItems() {
    if (!m_environment.sampler.host.hasLaunchd)
        co_return;
    QPointer<AppModel> self(this);
    setIsCheckingLoginItems(true);
    QFuture<std::optional<CommandParsers::LoginItems>> reading =
        Sampler::readLoginItems(m_environment.sampler.tools, m_environment.sampler.uid,
                                m_environment.sampler.host, m_toolStop);
    const std::optional<CommandParsers::LoginItems> items = co_await reading;
    if (!self)
        co_return;
    if (!items) {
        setLoginItemsMessage(tr("Not checked: administrator access was cancelled."));
        setIsCheckingLoginItems(false);
        co_return;
    }

    m_settings->setLoginItems(CommandParsers::encodeLoginItems(*items));
    const QDateTime now = QDateTime::currentDateTimeUtc();
    m_settings->setLoginItemsCheckedAt(now);
    if (assign(m_loginItemsCheckedAt, std::optional(now)))
        Q_EMIT loginItemsCheckedAtChanged();
    setLoginItemsMessage(tr("Login items found: %1").arg(items->bundleIDs.size()));
    co_await m_sampler->setLoginItems(*items);
    if (!self)
        co_return;
    co_await refresh(false);
    if (!self)
        co_return;
    setIsCheckingLoginItems(false);
}

void AppModel::setLaunchAtLogin(bool enabled) {
    const std::optional<QString> error =
        LaunchAtLogin::setEnabled(m_environment.loginEntry, enabled);
    if (assign(m_launchAtLoginError, error))
        Q_EMIT launchAtLoginErrorChanged();
    if (assign(m_launchAtLogin, LaunchAtLogin::isEnabled(m_environment.loginEntry)))
        Q_EMIT launchAtLoginChanged();
}
