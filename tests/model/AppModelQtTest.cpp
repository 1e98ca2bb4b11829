// Catches: filters, search and sorts that drop or misorder rows, settings not
// kept across a restart, a switch to Apple's items that samples nothing, stale
// launchd state after an action, a login entry whose Exec splits its path,
// quitting that waits out a login-items check or leaves its tool running.

#include "model/AppModel.h"

#include <algorithm>
#include <csignal>

#include <sys/syscall.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
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

// A model over the stand-in tools, a temporary home, settings and autostart
// folder; its own program lies at a path that needs quoting.
struct Fixture {
    TempHome home;
    StandIns tools;
    QTemporaryDir config;
    std::unique_ptr<AppModel> model = open();

    std::unique_ptr<AppModel> open() const {
        return makeModel(config, &tools, home.path(), [](AppModel::Environment& environment) {
            environment.loginEntry.executable = "/home/a b/it's $x/\"q\"\\";
        });
    }
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
        f.model->setInventoryForTesting(inventory(QList(rows, rows + 6), {job("idle")}));
        QCOMPARE(f.model->menuBarCount(), 5);
        using enum AppModel::Filter;
        using enum AppModel::Sort;
        const std::tuple<AppModel::Filter, AppModel::Sort, const char*, QStringList> views[] = {
            {all, memory, "", {"server", "shell", "app", "login", "off", "apple", "job:idle"}},
            {autoStart, memory, "", {"login", "job:idle"}},
            {devServers, memory, "", {"server", "shell"}},
            {apps, memory, "", {"app"}},
            {all, memory, "ECRIRE", {"app"}},
            {all, cpu, "", {"shell", "app", "server", "login", "off", "apple", "job:idle"}},
            {all, uptime, "", {"server", "app", "shell", "off", "apple", "login", "job:idle"}},
            {all, name, "", {"login", "apple", "app", "off", "shell", "server", "job:idle"}},
        };
        for (const auto& [filter, sort, search, expected] : views) {
            f.model->setFilter(filter), f.model->setSort(sort), f.model->setSearch(search);
            QStringList shown;
            for (const BackgroundItem& row :
                 f.model->visibleRunning() + f.model->visibleNotRunning())
                shown.append(row.id);
            QCOMPARE(shown, expected);
        }
    }

    // Stored values of the wrong type or range read as the defaults. The login
    // entry quotes its program for Exec; a folder it cannot make is an error.
    void settingsAreKeptAcrossRestarts() {
        Fixture f;
        QFile ini(f.config.filePath("settings.ini"));
        QVERIFY(ini.open(QIODevice::WriteOnly) &&
                ini.write("[General]\nshowApple=yes\nrefreshSeconds=soon\n") > 0);
        ini.close();
        f.model = f.open();
        QVERIFY(!f.model->showApple() && f.model->refreshSeconds() == 4);
        f.model->setRefreshSeconds(10);
        f.model->setShowApple(true);
        f.model->setShowCount(false);
        f.model->setKeepCountFresh(false);
        f.model->setLaunchAtLogin(true);
        QVERIFY(!f.model->launchAtLoginError());
        QFile entry(f.config.filePath("autostart/quillmarsh.desktop"));
        QVERIFY(
            entry.open(QIODevice::ReadOnly) &&
            entry.readAll().contains("\nExec=\"/home/a b/it's \\\\$x/\\\\\"q\\\\\"\\\\\\\\\"\n"));
        QVERIFY(LaunchAtLogin::setEnabled({f.config.filePath("settings.ini/q.desktop"), ""}, true));
        f.model = f.open();
        QCOMPARE(f.model->refreshSeconds(), 10);
        QVERIFY(f.model->showApple() && !f.model->showCount() && !f.model->keepCountFresh());
        QVERIFY(f.model->launchAtLogin());
        f.model->setLaunchAtLogin(false);
        f.model->setRefreshSeconds(0);
        QVERIFY(!f.open()->launchAtLogin());
        QCOMPARE(f.open()->refreshSeconds(), 1);
    }

    void showingAppleItemsSamplesAgainAndADestroyedModelIsNotTouched() {
        Fixture f;
        f.model->setShowApple(true);
        QTRY_VERIFY(f.model->inventory() &&
                    std::ranges::any_of(f.model->inventory()->running, &BackgroundItem::isApple));
        auto pending = f.model->refresh(true);
        f.model.reset();
        await(std::move(pending));
    }

    void aSimulatorStopShutsItDownAndAppleItemsAreRefused() {
        Fixture f;
        BackgroundItem sim = running("sim:77", "iOS Simulator", 1, {}, me);
        sim.kind = BackgroundItem::Kind::simulator;
        sim.launchLabel = "com.apple.CoreSimulator.SimDevice.ABC-1";
        QCOMPARE(await(f.model->stop(sim)).error, ActionResult{});
        QCOMPARE(f.tools.callCount({"xcrun", "simctl", "shutdown", "ABC-1"}), 1);

        BackgroundItem apple = sim;
        apple.isApple = true;
        QVERIFY(await(f.model->stop(apple)).error);
        QVERIFY(await(f.model->disable(sim)));
    }

    // An action changes launchd's state without starting or ending a process:
    // the refresh after it reads that state again.
    void theRefreshAfterAnActionReadsLaunchdAgain() {
        for (const bool disable : {true, false}) {
            Fixture f;
            const QString label = "com.example.marked";
            QVERIFY(StandIns::writePlist(f.home.makeFolder("Library/LaunchAgents") + "/m.plist",
                                         label, {"/bin/sleep", "300"}, disable));
            disable ? f.tools.addJob(label) : f.tools.setDisabled(label);
            await(f.model->refresh(false));
            const std::optional<BackgroundItem> before = f.model->item("job:" + label);
            QVERIFY(before && before->launchLabel.has_value() == disable &&
                    before->isDisabledInLaunchd == !disable);
            // Disable boots the job out; enable clears the mark and loads it.
            QCOMPARE(disable ? await(f.model->disable(*before))
                             : await(f.model->enableInLaunchd(*before)),
                     ActionResult{});
            const std::optional<BackgroundItem> after =
                f.model->item("job:" + label + (disable ? ":disabled" : ""));
            QVERIFY(after && after->launchLabel.has_value() == !disable &&
                    !after->isDisabledInLaunchd);
        }
    }

    // A cancelled password prompt records no check. The prompt may stay open
    // far longer than this test runs: once the model is gone its tool ends,
    // and all quitting waits for is the pool's threads.
    void theLoginItemsCheckKeepsWhatItFoundAndEndsWithItsModel() {
        Fixture f;
        f.tools.setLoginItemsDump({}, 1); // the password prompt was cancelled
        await(f.model->checkLoginItems());
        QVERIFY(!f.model->loginItemsCheckedAt() && f.model->loginItemsMessage());

        // One record in the shape of sfltool dumpbtm.
        f.tools.setLoginItemsDump(" Records for UID " + QByteArray::number(me) +
                                  " : 0\n #1:\n Type: app (0x2)\n Disposition: [enabled] (0x1)\n"
                                  " Bundle Identifier: com.example.helper\n");
        await(f.model->checkLoginItems());
        QCOMPARE(f.model->loginItemsMessage(), QStringLiteral("Login items found: 1"));
        QVERIFY(f.model->loginItemsCheckedAt() && f.open()->loginItemsCheckedAt());

        f.tools.failVerb("dumpbtm", 0, {}, {}, 600);
        auto check = f.model->checkLoginItems();
        QTRY_COMPARE_WITH_TIMEOUT(f.tools.callCount({"sfltool", "dumpbtm"}), 3, 30000);
        const int tool = childNamed("sfltool");
        QVERIFY(tool >= 0);
        f.model.reset();
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
