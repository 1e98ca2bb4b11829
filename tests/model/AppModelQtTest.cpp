// Catches: filters, search and sorts that drop or misorder rows, settings not
// kept across a restart, an older pass overwriting a newer one, stale launchd
// state after an action, a panel loop that ignores its new interval, quitting
// that waits out a login-items check or leaves its tool running.

#include "model/AppModel.h"

#include <algorithm>
#include <csignal>

#include <sys/syscall.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTest>
#include <QThreadPool>

#include <qcoro/qcorotask.h>

#include "os/ProcessDescriptor.h"
#include "support/StandIns.h"
#include "support/TempHome.h"
#include "window/WindowFixtures.h"

using namespace WindowFixtures;

namespace {

template <typename T> T await(QCoro::Task<T> task) {
    return QCoro::waitFor(std::move(task));
}

QStringList ids(const QList<BackgroundItem>& items) {
    QStringList result;
    for (const BackgroundItem& item : items)
        result.append(item.id);
    return result;
}

// A model over the stand-in tools, a temporary home, settings and autostart folder.
struct Fixture {
    TempHome home;
    StandIns tools;
    QTemporaryDir config;

    std::unique_ptr<AppModel> model() const { return makeModel(config, &tools, home.path()); }
};

// A process descriptor of this process's child named `name`, or -1.
int childNamed(const QByteArray& name) {
    for (const QString& pid : QDir("/proc").entryList(QDir::Dirs)) {
        QFile stat("/proc/" + pid + "/stat"); // "PID (NAME) STATE PPID ..."
        const QList<QByteArray> fields =
            stat.open(QIODevice::ReadOnly) ? stat.readAll().split(' ') : QList<QByteArray>();
        if (fields.value(1) == "(" + name + ")" && fields.value(3).toInt() == ::getpid())
            return ProcessDescriptor::open(pid.toInt());
    }
    return -1;
}

bool signalThrough(int descriptor, int number) {
    return ::syscall(SYS_pidfd_send_signal, descriptor, number, nullptr, 0) == 0;
}

} // namespace

class AppModelQtTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void filtersSearchAndSortsPickAndOrderTheRows() {
        Fixture f;
        auto model = f.model();
        const auto item = [](const char* id, const char* name, quint64 memory,
                             std::optional<Timestamp> start, auto change) {
            BackgroundItem result = running(id, name, memory);
            result.origin = {Origin::Case::detached, {}, std::nullopt};
            result.primary->startDate = start;
            change(result);
            return result;
        };
        const BackgroundItem rows[] = {
            item("app", "Écrire", 10, 100,
                 [](auto& i) { i.kind = BackgroundItem::Kind::app, i.cpuPercent = 5; }),
            item("server", "srv 10", 30, 50, [](auto& i) { i.ports = {8080}; }),
            item("shell", "srv 2", 20, 200,
                 [](auto& i) { i.origin.kind = Origin::Case::shell, i.cpuPercent = 150; }),
            item("login", "agent", 4, 0, [](auto& i) { i.isLoginItem = true, i.primary.reset(); }),
            item("off", "off", 3, 300,
                 [](auto& i) { i.job = job("off").job, i.isDisabledInLaunchd = true; }),
            item("apple", "cfprefsd", 2, 400, [](auto& i) { i.isApple = true; })};
        model->setInventoryForTesting(inventory(QList(rows, rows + 6), {job("com.example.idle")}));
        QCOMPARE(model->menuBarCount(), 5);
        QCOMPARE(ids(model->visibleRunning()),
                 (QStringList{"server", "shell", "app", "login", "off", "apple"}));

        const std::pair<AppModel::Filter, QStringList> filters[] = {
            {AppModel::Filter::autoStart, {"login", "job:com.example.idle"}},
            {AppModel::Filter::devServers, {"server", "shell"}},
            {AppModel::Filter::apps, {"app"}},
        };
        for (const auto& [filter, expected] : filters) {
            model->setFilter(filter);
            QCOMPARE(ids(model->visibleRunning() + model->visibleNotRunning()), expected);
        }
        model->setFilter(AppModel::Filter::all);
        model->setSearch("ECRIRE");
        QCOMPARE(ids(model->visibleRunning()), QStringList{"app"});
        model->setSearch({});
        const std::pair<AppModel::Sort, QStringList> sorts[] = {
            {AppModel::Sort::cpu, {"shell", "app", "server", "login", "off", "apple"}},
            {AppModel::Sort::uptime, {"server", "app", "shell", "off", "apple", "login"}},
            {AppModel::Sort::name, {"login", "apple", "app", "off", "shell", "server"}},
        };
        for (const auto& [sort, expected] : sorts) {
            model->setSort(sort);
            QCOMPARE(ids(model->visibleRunning()), expected);
        }
    }

    // Stored values of the wrong type or range read as the defaults.
    void settingsAreKeptAcrossRestarts() {
        Fixture f;
        QFile ini(f.config.filePath("settings.ini"));
        QVERIFY(ini.open(QIODevice::WriteOnly) &&
                ini.write("[General]\nshowApple=yes\nshowCount=0\nrefreshSeconds=soon\n"
                          "loginItemsCheckedAt=yesterday\n") > 0);
        ini.close();
        {
            auto model = f.model();
            QVERIFY(!model->showApple() && model->showCount() && model->keepCountFresh());
            QCOMPARE(model->refreshSeconds(), 4);
            QVERIFY(!model->loginItemsCheckedAt());
            model->setRefreshSeconds(10);
            model->setShowApple(true);
            model->setShowCount(false);
            model->setKeepCountFresh(false);
            model->setLaunchAtLogin(true);
            QVERIFY(!model->launchAtLoginError());
        }
        auto reopened = f.model();
        QCOMPARE(reopened->refreshSeconds(), 10);
        QVERIFY(reopened->showApple() && !reopened->showCount() && !reopened->keepCountFresh());
        QVERIFY(reopened->launchAtLogin());
        reopened->setLaunchAtLogin(false);
        reopened->setRefreshSeconds(0);
        QVERIFY(!f.model()->launchAtLogin());
        QCOMPARE(f.model()->refreshSeconds(), 1);
    }

    void theLoginEntryIsQuotedForExecAndAFolderItCannotMakeIsAnError() {
        QTemporaryDir dir;
        const LaunchAtLogin::Entry entry{dir.filePath("q.desktop"), "/home/a b/it's $x/\"q\"\\"};
        QCOMPARE(LaunchAtLogin::setEnabled(entry, true), std::nullopt);
        QFile file(entry.path);
        QVERIFY(
            file.open(QIODevice::ReadOnly) &&
            file.readAll().contains("\nExec=\"/home/a b/it's \\\\$x/\\\\\"q\\\\\"\\\\\\\\\"\n"));
        QVERIFY(
            LaunchAtLogin::setEnabled({dir.filePath("q.desktop/autostart/q.desktop"), ""}, true));
    }

    void theLastPassAskedForWinsAndADestroyedModelIsNotTouched() {
        Fixture f;
        auto model = f.model();
        auto first = model->refresh(false);
        // Showing Apple's items starts a second pass, queued behind the first.
        model->setShowApple(true);
        await(std::move(first));
        QTRY_VERIFY(std::ranges::any_of(model->inventory()->running, &BackgroundItem::isApple));
        auto pending = model->refresh(true);
        model.reset();
        await(std::move(pending));
    }

    void aSimulatorStopShutsItDownAndAppleItemsAreRefused() {
        Fixture f;
        auto model = f.model();
        BackgroundItem sim = running("sim:77", "iOS Simulator", 1, {}, me);
        sim.kind = BackgroundItem::Kind::simulator;
        sim.launchLabel = "com.apple.CoreSimulator.SimDevice.ABC-1";
        QCOMPARE(await(model->stop(sim)).error, ActionResult{});
        QCOMPARE(f.tools.callCount({"xcrun", "simctl", "shutdown", "ABC-1"}), 1);
        QCOMPARE(model->stoppedNames().at("sim:77"), QStringLiteral("iOS Simulator"));

        BackgroundItem apple = sim;
        apple.isApple = true;
        QVERIFY(await(model->stop(apple)).error);
        QVERIFY(await(model->disable(sim)));
    }

    // An action changes launchd's state without starting or ending a process:
    // the refresh after it must read that state again, not reuse the last one.
    void theRefreshAfterAnActionReadsLaunchdAgain() {
        for (const bool disable : {true, false}) {
            Fixture f;
            const QString label = "com.example.marked";
            QVERIFY(StandIns::writePlist(f.home.makeFolder("Library/LaunchAgents") + "/m.plist",
                                         label, {"/bin/sleep", "300"}, disable));
            if (disable)
                f.tools.addJob(label);
            else
                f.tools.setDisabled(label);
            auto model = f.model();
            await(model->refresh(false));
            const std::optional<BackgroundItem> before = model->item("job:" + label);
            QVERIFY(before && before->launchLabel.has_value() == disable &&
                    before->isDisabledInLaunchd == !disable);
            // Disable boots the job out; enable clears the mark and loads it.
            QCOMPARE(disable ? await(model->disable(*before))
                             : await(model->enableInLaunchd(*before)),
                     ActionResult{});
            const std::optional<BackgroundItem> after =
                model->item("job:" + label + (disable ? ":disabled" : ""));
            QVERIFY(after && after->launchLabel.has_value() == !disable &&
                    !after->isDisabledInLaunchd);
        }
    }

    // A changed interval applies after the sleep in progress; stopping wakes that sleep.
    void thePanelLoopTakesANewIntervalAndStops() {
        Fixture f;
        auto model = f.model();
        model->setRefreshSeconds(1);
        QSignalSpy passes(model.get(), &AppModel::inventoryChanged);
        auto loop = model->runWhileOpen();
        QVERIFY(model->isPanelOpen());
        QVERIFY(passes.wait(10000));
        // Restarting the sleep with the new interval would take a minute.
        model->setRefreshSeconds(60);
        QVERIFY(passes.wait(10000));
        model->stopPanelLoop();
        QTRY_VERIFY_WITH_TIMEOUT(!model->isPanelOpen(), 10000);
        await(std::move(loop));
    }

    void theLoginItemsCheckKeepsWhenItFoundSomething() {
        Fixture f;
        auto model = f.model();
        f.tools.setLoginItemsDump({}, 1); // the password prompt was cancelled
        await(model->checkLoginItems());
        QVERIFY(!model->loginItemsCheckedAt() && model->loginItemsMessage());

        // One record in the shape of sfltool dumpbtm.
        f.tools.setLoginItemsDump(" Records for UID " + QByteArray::number(me) +
                                  " : 0\n #1:\n Type: app (0x2)\n Disposition: [enabled] (0x1)\n"
                                  " Bundle Identifier: com.example.helper\n");
        await(model->checkLoginItems());
        QCOMPARE(model->loginItemsMessage(), QStringLiteral("Login items found: 1"));
        QVERIFY(model->loginItemsCheckedAt() && f.model()->loginItemsCheckedAt());
    }

    // The password prompt stays open far longer than this test may run. What
    // quitting waits for after the model is gone is the pool's threads.
    void aModelGoneMidCheckEndsTheToolAndQuittingWaitsForNothing() {
        Fixture f;
        f.tools.failVerb("dumpbtm", 0, {}, {}, 600);
        auto model = f.model();
        auto check = model->checkLoginItems();
        QTRY_COMPARE_WITH_TIMEOUT(f.tools.callCount({"sfltool", "dumpbtm"}), 1, 30000);
        const int tool = childNamed("sfltool");
        QVERIFY(tool >= 0);
        model.reset();
        const bool poolDone = QThreadPool::globalInstance()->waitForDone(60000);
        const bool toolGone = !signalThrough(tool, 0);
        signalThrough(tool, SIGKILL); // when it was left running
        ::close(tool);
        QVERIFY(poolDone && toolGone);
        QCoro::waitFor(std::move(check));
    }
};

QTEST_GUILESS_MAIN(AppModelQtTest)
#include "AppModelQtTest.moc"
