#include "model/AppModel.h"

#include <csignal>

#include <unistd.h>

#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <qcoro/qcorotask.h>

#include "launchd/CommandParsers.h"
#include "os/ProcReader.h"
#include "support/ChildProcess.h"
#include "support/StandIns.h"
#include "support/TempHome.h"

using namespace std::chrono_literals;
using Kind = BackgroundItem::Kind;
using State = BackgroundItem::State;

namespace {

QString s(const char* text) {
    return QString::fromUtf8(text);
}

template <typename T> T await(QCoro::Task<T> task) {
    return QCoro::waitFor(std::move(task));
}

void await(QCoro::Task<> task) {
    QCoro::waitFor(std::move(task));
}

const Uid me = static_cast<Uid>(::getuid());

ProcSnapshot process(Pid pid, std::optional<Timestamp> start = 1000.0) {
    ProcSnapshot p;
    p.pid = pid;
    p.ppid = 1;
    p.uid = me;
    p.name = s("proc");
    p.path = s("/opt/proc");
    p.startDate = start;
    return p;
}

BackgroundItem running(const QString& id, const QString& name, quint64 memory) {
    BackgroundItem item;
    item.id = id;
    item.name = name;
    item.kind = Kind::process;
    item.state = State::running;
    item.primary = process(static_cast<Pid>(qHash(id) % 30000 + 1000));
    item.members = {*item.primary};
    item.memory = memory;
    return item;
}

BackgroundItem notRunning(const QString& label) {
    BackgroundItem item;
    item.id = s("job:") + label;
    item.name = label;
    item.kind = Kind::job;
    item.state = State::notRunning;
    LaunchJob job;
    job.label = label;
    item.job = job;
    return item;
}

QStringList ids(const QList<BackgroundItem>& items) {
    QStringList result;
    for (const BackgroundItem& item : items)
        result.append(item.id);
    return result;
}

// A model whose outside world is temporary: stand-in tools, a temporary home
// with its own settings store and autostart folder.
struct Fixture {
    TempHome home;
    StandIns tools;
    QTemporaryDir config;

    AppModel::Environment environment() const {
        AppModel::Environment environment;
        environment.sampler.tools = tools.locations();
        environment.sampler.folders =
            JobScanner::JobFolders{home.path(), home.path() + s("/ga"), home.path() + s("/gd")};
        environment.actions = JobActions::Context{tools.locations(), me};
        const QString settingsPath = config.filePath(s("Quillmarsh.conf"));
        environment.settings = [settingsPath] {
            return std::make_unique<AppSettings>(
                std::make_unique<QSettings>(settingsPath, QSettings::IniFormat));
        };
        environment.loginEntry = LaunchAtLogin::Entry{config.filePath(s("autostart/q.desktop")),
                                                      s("/usr/bin/quillmarsh")};
        return environment;
    }

    std::unique_ptr<AppModel> model() const { return std::make_unique<AppModel>(environment()); }

    QString agentPath(const QString& label) const {
        home.makeFolder(s("Library/LaunchAgents"));
        return home.path() + s("/Library/LaunchAgents/") + label + s(".plist");
    }
};

} // namespace

class AppModelQtTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void withoutAnInventoryEverythingIsEmpty() {
        Fixture f;
        auto model = f.model();
        QVERIFY(model->visibleRunning().isEmpty());
        QVERIFY(model->visibleNotRunning().isEmpty());
        QCOMPARE(model->menuBarCount(), 0);
        QVERIFY(!model->item(s("job:x")).has_value());
    }

    void filtersPickTheirItems() {
        Fixture f;
        auto model = f.model();
        BackgroundItem app = running(s("app:/Applications/A.app"), s("A"), 10);
        app.kind = Kind::app;
        BackgroundItem server = running(s("exe:/srv"), s("srv"), 30);
        server.ports = {8080};
        BackgroundItem shellChild = running(s("exe:/sh"), s("sh child"), 20);
        shellChild.origin.kind = Origin::Case::shell;
        BackgroundItem sim = running(s("sim:5"), s("iOS Simulator"), 5);
        sim.kind = Kind::simulator;
        BackgroundItem login = running(s("exe:/login"), s("login"), 4);
        login.isLoginItem = true;
        BackgroundItem disabledAutoStart = running(s("job:keep"), s("keep"), 3);
        disabledAutoStart.job = LaunchJob{};
        disabledAutoStart.job->runAtLoad = true;
        disabledAutoStart.isDisabledInLaunchd = true;
        BackgroundItem apple = running(s("exe:/usr/sbin/x"), s("x"), 2);
        apple.isApple = true;
        BackgroundItem parked = notRunning(s("com.example.parked"));
        parked.state = State::disabled;
        model->setInventoryForTesting(
            Inventory{{app, server, shellChild, sim, login, disabledAutoStart, apple},
                      {notRunning(s("com.example.idle")), parked},
                      0,
                      {}});

        QCOMPARE(model->menuBarCount(), 6);
        model->setFilter(AppModel::Filter::autoStart);
        QCOMPARE(ids(model->visibleRunning()), QStringList{login.id});
        QCOMPARE(model->visibleNotRunning().size(), 2);
        model->setFilter(AppModel::Filter::devServers);
        QCOMPARE(ids(model->visibleRunning()), (QStringList{server.id, shellChild.id, sim.id}));
        model->setFilter(AppModel::Filter::apps);
        QCOMPARE(ids(model->visibleRunning()), QStringList{app.id});
        QVERIFY(model->visibleNotRunning().isEmpty());
    }

    void searchIgnoresCaseAndAccentsAndFindsPorts() {
        Fixture f;
        auto model = f.model();
        BackgroundItem cafe = running(s("exe:/cafe"), s("Café Server"), 2);
        BackgroundItem web = running(s("exe:/web"), s("web"), 1);
        web.ports = {8080};
        model->setInventoryForTesting(Inventory{{cafe, web}, {notRunning(s("org.x"))}, 0, {}});

        model->setSearch(s("CAFE"));
        QCOMPARE(ids(model->visibleRunning()), QStringList{cafe.id});
        model->setSearch(s("8080"));
        QCOMPARE(ids(model->visibleRunning()), QStringList{web.id});
        model->setSearch(s(" "));
        QCOMPARE(model->visibleRunning().size(), 2);
        QCOMPARE(model->visibleNotRunning().size(), 1);
        model->setSearch(s("nothing like it"));
        QVERIFY(model->visibleRunning().isEmpty());
    }

    void sortsAreStable() {
        Fixture f;
        auto model = f.model();
        BackgroundItem a = running(s("a"), s("tool 10"), 5);
        BackgroundItem b = running(s("b"), s("tool 2"), 5);
        BackgroundItem c = running(s("c"), s("Alpha"), 9);
        BackgroundItem d = running(s("d"), s("beta"), 1);
        a.primary->startDate = std::nullopt;
        c.primary->startDate = 50;
        d.primary = std::nullopt;
        b.cpuPercent = 12;
        d.cpuPercent = 150;
        model->setInventoryForTesting(Inventory{{a, b, c, d}, {}, 0, {}});

        QCOMPARE(ids(model->visibleRunning()), (QStringList{s("c"), s("a"), s("b"), s("d")}));
        model->setSort(AppModel::Sort::cpu);
        QCOMPARE(ids(model->visibleRunning()), (QStringList{s("d"), s("b"), s("a"), s("c")}));
        model->setSort(AppModel::Sort::uptime);
        QCOMPARE(ids(model->visibleRunning()), (QStringList{s("c"), s("b"), s("a"), s("d")}));
        model->setSort(AppModel::Sort::name);
        QCOMPARE(ids(model->visibleRunning()), (QStringList{s("c"), s("d"), s("b"), s("a")}));
    }

    void itemLooksInRunningFirst() {
        Fixture f;
        auto model = f.model();
        BackgroundItem live = running(s("job:same"), s("live"), 1);
        BackgroundItem idle = notRunning(s("same"));
        model->setInventoryForTesting(Inventory{{live}, {idle}, 0, {}});
        QCOMPARE(model->item(s("job:same"))->name, s("live"));
    }

    void settersNotifyOnlyOnChangeAndPersist() {
        Fixture f;
        {
            auto model = f.model();
            QSignalSpy searchSpy(model.get(), &AppModel::searchChanged);
            model->setSearch(s("x"));
            model->setSearch(s("x"));
            QCOMPARE(searchSpy.count(), 1);

            QSignalSpy refreshSpy(model.get(), &AppModel::refreshSecondsChanged);
            model->setRefreshSeconds(10);
            model->setRefreshSeconds(10);
            QCOMPARE(refreshSpy.count(), 1);
            model->setShowCount(false);
            model->setKeepCountFresh(false);
        }
        auto reopened = f.model();
        QCOMPARE(reopened->refreshSeconds(), 10);
        QVERIFY(!reopened->showCount());
        QVERIFY(!reopened->keepCountFresh());
        QVERIFY(!reopened->showApple());
    }

    void refreshShowsLoadingOnlyWhenAsked() {
        Fixture f;
        auto model = f.model();
        QSignalSpy loading(model.get(), &AppModel::isLoadingChanged);
        await(model->refresh(false));
        QVERIFY(model->inventory().has_value());
        QCOMPARE(loading.count(), 0);
        await(model->refresh(true));
        QCOMPARE(loading.count(), 2);
        QVERIFY(!model->isLoading());
    }

    void theLastPassToCompleteWins() {
        Fixture f;
        auto model = f.model();
        auto first = model->refresh(false);
        // Showing Apple's items starts a second pass, queued behind the first.
        model->setShowApple(true);
        await(std::move(first));
        QTRY_VERIFY(std::any_of(model->inventory()->running.cbegin(),
                                model->inventory()->running.cend(),
                                [](const BackgroundItem& item) { return item.isApple; }));
    }

    void aModelDestroyedMidPassIsNotTouched() {
        Fixture f;
        auto model = f.model();
        auto pending = model->refresh(true);
        model.reset();
        // The pass ends with the sampler; its continuation must find the
        // model gone and return without touching it.
        await(std::move(pending));
        QVERIFY(true);
    }

    void stoppingASimulatorShutsItDown() {
        Fixture f;
        auto model = f.model();
        BackgroundItem sim = running(s("sim:77"), s("iOS Simulator"), 1);
        sim.kind = Kind::simulator;
        sim.launchLabel = s("com.apple.CoreSimulator.SimDevice.ABC-1");
        const AppModel::StopOutcome outcome = await(model->stop(sim));
        QVERIFY(!outcome.error);
        QVERIFY(outcome.survivors.isEmpty());
        QCOMPARE(f.tools.callCount({s("xcrun"), s("simctl"), s("shutdown"), s("ABC-1")}), 1);
        QCOMPARE(model->stoppedNames().at(s("sim:77")), s("iOS Simulator"));
    }

    void anItemThatCannotBeStoppedSaysSo() {
        Fixture f;
        auto model = f.model();
        BackgroundItem apple = running(s("exe:/usr/sbin/x"), s("x"), 1);
        apple.isApple = true;
        const AppModel::StopOutcome outcome = await(model->stop(apple));
        QVERIFY(outcome.error.has_value());
        QCOMPARE(outcome.error->message, s("This item cannot be stopped from here."));
    }

    void survivorsOfAStopCanBeForceQuit() {
        Fixture f;
        auto model = f.model();
        ChildProcess child({s("sh"), s("-c"), s("trap '' TERM; exec sleep 30")});
        QVERIFY(QTest::qWaitFor(
            [&] {
                const auto basics = ProcReader::basics(child.pid());
                return basics && basics->name == s("sleep");
            },
            5000));
        BackgroundItem item = running(s("exe:/bin/sleep"), s("sleep"), 1);
        item.primary->pid = child.pid();
        item.primary->startDate = ProcReader::basics(child.pid())->start;
        item.members = {*item.primary};

        const AppModel::StopOutcome stopped = await(model->stop(item));
        QVERIFY(!stopped.error);
        QCOMPARE(stopped.survivors.size(), 1);
        QVERIFY(model->stoppedNames().empty());

        const AppModel::StopOutcome killed = await(model->forceQuit(stopped.survivors, item));
        QVERIFY(killed.survivors.isEmpty());
        QCOMPARE(model->stoppedNames().at(item.id), s("sleep"));
    }

    void disableAndEnableFollowTheJob() {
        Fixture f;
        const QString label = s("com.example.worker");
        QVERIFY(StandIns::writePlist(f.agentPath(label), label, {s("/bin/sleep"), s("300")}));
        auto model = f.model();
        await(model->refresh(false));
        std::optional<BackgroundItem> idle = model->item(s("job:") + label);
        QVERIFY(idle.has_value());

        QCOMPARE(await(model->disable(*idle)), ActionResult{});
        QCOMPARE(model->screen(), AppModel::Screen::detail(s("job:") + label + s(":disabled")));
        const std::optional<BackgroundItem> parked = model->item(model->screen().id);
        QVERIFY(parked.has_value());
        QCOMPARE(parked->state, State::disabled);

        QCOMPARE(await(model->enable(*parked)), ActionResult{});
        QCOMPARE(model->screen(), AppModel::Screen::detail(s("job:") + label));
        QVERIFY(QFile::exists(f.agentPath(label)));
        const std::optional<Pid> pid = f.tools.jobPid(label);
        QVERIFY(pid && StandIns::isAlive(*pid));
    }

    void disableRefusesWhatItMayNotTouch() {
        Fixture f;
        auto model = f.model();
        const ActionResult result = await(model->disable(running(s("exe:/x"), s("x"), 1)));
        QVERIFY(result.has_value());
        QCOMPARE(result->message, s("Only your own auto-start agents can be disabled."));
    }

    void aFailingLaunchctlReachesTheCaller() {
        Fixture f;
        auto model = f.model();
        BackgroundItem item = notRunning(s("com.example.gone"));
        item.launchLabel = s("com.example.gone");
        f.tools.failVerb(s("kickstart"), 113, s("Could not find service"));
        const ActionResult result = await(model->load(item));
        QVERIFY(result.has_value());
        QCOMPARE(result->message, s("launchctl kickstart failed (113): Could not find service"));
    }

    void enablingAUserAgentLaunchdDoesNotListAlsoLoadsIt() {
        Fixture f;
        const QString label = s("com.example.marked");
        QVERIFY(StandIns::writePlist(f.agentPath(label), label, {s("/bin/sleep"), s("300")}));
        f.tools.setDisabled(label);
        auto model = f.model();
        await(model->refresh(false));
        const std::optional<BackgroundItem> item = model->item(s("job:") + label);
        QVERIFY(item && item->isDisabledInLaunchd);
        QCOMPARE(await(model->enableInLaunchd(*item)), ActionResult{});
        QCOMPARE(f.tools.callCount({s("launchctl"), s("enable")}), 1);
        QCOMPARE(f.tools.callCount({s("launchctl"), s("bootstrap")}), 1);
    }

    void thePanelLoopTakesANewIntervalAfterTheSleepInProgress() {
        Fixture f;
        auto model = f.model();
        model->setRefreshSeconds(1);
        QSignalSpy passes(model.get(), &AppModel::inventoryChanged);
        auto loop = model->runWhileOpen();
        QVERIFY(model->isPanelOpen());
        QVERIFY(passes.wait(5000)); // the first pass, at once
        model->setRefreshSeconds(3);
        QElapsedTimer timer;
        timer.start();
        QVERIFY(passes.wait(5000)); // after the 1-second sleep already running
        QVERIFY2(timer.elapsed() < 2500, qPrintable(QString::number(timer.elapsed())));
        timer.restart();
        QVERIFY(passes.wait(8000)); // now 3 seconds apart
        QVERIFY2(timer.elapsed() >= 2900, qPrintable(QString::number(timer.elapsed())));

        model->stopPanelLoop();
        QTRY_VERIFY(!model->isPanelOpen());
        await(std::move(loop));
    }

    void theBackgroundCountSkipsWhileThePanelIsOpen() {
        Fixture f;
        auto model = f.model();
        model->startBackgroundCount();
        QVERIFY(model->hasBackgroundCount());
        model->setKeepCountFresh(false);
        model->setKeepCountFresh(false);
        QVERIFY(!model->hasBackgroundCount());
        model->setKeepCountFresh(true);
        QVERIFY(model->hasBackgroundCount());

        await(model->runBackgroundCount());
        QVERIFY(model->inventory().has_value());

        auto loop = model->runWhileOpen();
        QSignalSpy passes(model.get(), &AppModel::inventoryChanged);
        QVERIFY(passes.wait(5000));
        const int before = passes.count();
        await(model->runBackgroundCount());
        QCOMPARE(passes.count(), before);
        model->stopPanelLoop();
        await(std::move(loop));
    }

    void loginItemsCheckStoresWhatItFound() {
        Fixture f;
        f.tools.setLoginItemsDump(
            QByteArray("========================\n"
                       " Records for UID ") +
            QByteArray::number(me) +
            " : 00000000-0000-0000-0000-000000000000\n"
            "========================\n"
            " #1:\n"
            "                 UUID: 1\n"
            "                 Name: Helper\n"
            "                 Type: app (0x2)\n"
            "                  URL: file:///Applications/Helper.app/\n"
            "           Generation: 1\n"
            "    Bundle Identifier: com.example.helper\n"
            "          Disposition: [enabled, allowed, visible, notified] (0xb)\n");
        auto model = f.model();
        await(model->checkLoginItems());
        QVERIFY(model->loginItemsCheckedAt().has_value());
        QCOMPARE(model->loginItemsMessage(), s("Login items found: 1"));
        QVERIFY(!model->isCheckingLoginItems());

        f.tools.setLoginItemsDump({}, 1);
        await(model->checkLoginItems());
        QCOMPARE(model->loginItemsMessage(), s("Not checked: administrator access was cancelled."));
        QVERIFY(model->loginItemsCheckedAt().has_value());

        auto reopened = f.model();
        QVERIFY(reopened->loginItemsCheckedAt().has_value());
    }

    void launchAtLoginMirrorsTheAutostartEntry() {
        Fixture f;
        auto model = f.model();
        QVERIFY(!model->launchAtLogin());
        model->setLaunchAtLogin(true);
        QVERIFY(model->launchAtLogin());
        QVERIFY(!model->launchAtLoginError());
        model->setLaunchAtLogin(false);
        QVERIFY(!model->launchAtLogin());
    }
};

QTEST_GUILESS_MAIN(AppModelQtTest)
#include "AppModelQtTest.moc"
