// Catches: a main pid, restart count or exit status from the wrong unit or property, or asked
// of inactive or unwanted services; a stop or start that leaves the wrong process; a forced
// mask over the user's own file, no reload, a unit without [Install] "enabled"; a watcher that
// misses a change, asks in a quiet period or never subscribes; a silent manager hanging a caller.
#include <csignal>

#include <QDeadlineTimer>
#include <QTest>

#include "session/UnitChangeWatcher.h"
#include "session/UserManager.h"
#include "support/PrivateBus.h"
#include "support/StandIns.h"
#include "support/TempHome.h"

using namespace UserManager;

class UserManagerQtTest : public QObject {
    Q_OBJECT
    TempHome home_;
    PrivateBus bus_;
    QDBusConnection connection_ = bus_.connection();
    QString log_ = home_.path() + "/calls.log", state_ = home_.path() + "/state.json";
    QString units_ = home_.makeFolder(".config/systemd/user");

    int calls(const QString& member) const {
        QFile log(log_);
        return log.open(QIODevice::ReadOnly) ? QString(log.readAll()).count(member + ' ') : 0;
    }
    void write(const QString& path, const QByteArray& text) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(text) == text.size());
    }
    const QString sync_ = "sync.service";
    Pid mainPid(const QString& n) { return readStates(connection_, {n}).states[n].mainPid; }

private Q_SLOTS:
    void init() {
        bus_.stopManager();
        write(log_, "");
        write(state_, R"({"units": {"idle.service": {}, "sync.service": {"activeState": "active",
            "subState": "running", "command": ["sleep", "600"]}, "other.service": {"subState": "running",
            "activeState": "active"}, "broken.service": {"restarts": 3, "activeState": "failed",
            "subState": "failed", "exitStatus": 1}}})");
        QVERIFY(bus_.isValid() && bus_.startManager(state_, log_));
    }

    void unitFileActionsChangeOnlyTheirFiles() {
        write(units_ + "/sync.service", "[Service]\n[Install]\nWantedBy=a.target\n");
        write(units_ + "/own.service", "[Service]\nExecStart=/bin/true\n");
        const QString wants = "a.target.wants/", file = units_ + "/sync.service";
        const std::tuple<decltype(&enableUnitFiles), QString, QString, QString, bool> steps[] = {
            {enableUnitFiles, "sync.service", wants + "sync.service", file, true},
            {disableUnitFiles, "sync.service", wants + "sync.service", "", true},
            {enableUnitFiles, "own.service", wants + "own.service", "", false},
            {maskUnitFiles, "own.service", "own.service", "", false},
            {maskUnitFiles, "other.service", "other.service", "/dev/null", true},
            {unmaskUnitFiles, "other.service", "other.service", "", true},
        };
        for (int reloads = 0; const auto& [action, unit, link, target, succeeds] : steps) {
            const std::optional<QString> error = action(connection_, unit);
            QVERIFY(succeeds ? !error : error && error->contains(unit));
            QCOMPARE(QFileInfo(units_ + '/' + link).symLinkTarget(), target);
            QCOMPARE(calls("Reload"), reloads += succeeds);
        }
        QVERIFY(QFileInfo(units_ + "/own.service").isFile());
    }

    void readsStatesAndAsksAgainOnlyAfterAChange() {
        bus_.stopManager();
        ChangeWatcher watcher(connection_);
        QVERIFY(readStates(connection_, {}).error); // after the failed Subscribe came back
        QCoreApplication::processEvents();
        QVERIFY(watcher.takeChanged() && watcher.takeChanged() && !isAvailable(connection_));
        QVERIFY(bus_.startManager(state_, log_));
        write(units_ + "/idle.service", "[Install]\nWantedBy=a.target\n");
        const Reading reading = readStates(connection_, {sync_, "broken.service", "idle.service"});
        Pid first = reading.states.at(sync_).mainPid, second = 0;
        QVERIFY(first > 0 && StandIns::isAlive(first));
        const UnitStates expected{{sync_, {"active", "running", first, 0, {}, {}}},
                                  {"other.service", {"active", "running", 0, 0, {}, {}}},
                                  {"broken.service", {"failed", "failed", 0, 3, 1, {}}},
                                  {"idle.service", {"inactive", "dead", 0, 0, {}, {}}}};
        QCOMPARE(reading, (Reading{expected, std::nullopt}));
        QCOMPARE(calls("GetAll"), 2); // only the wanted services that are not inactive
        readStates(connection_, {sync_, "broken.service"}, false); // sync's pid by cgroup
        QCOMPARE(calls("GetAll"), 3);
        const std::function<bool()> triggers[] = {
            [&] { return !stopUnit(connection_, sync_) && !StandIns::isAlive(first); },
            [&] { return !startUnit(connection_, sync_) && (second = mainPid(sync_)); },
            [&] { return !::kill(second, SIGKILL); }, // a crash
            [&] { return !enableUnitFiles(connection_, "idle.service"); },
        };
        for (const auto& trigger : triggers) {
            QTRY_VERIFY((readStates(connection_, {}), QCoreApplication::processEvents(),
                         !watcher.takeChanged())); // all the manager sent before has arrived
            const int lists = calls("ListUnits");
            if (watcher.takeChanged()) // the reader's gate, in a quiet period
                readStates(connection_, {});
            QCOMPARE(calls("ListUnits"), lists);
            QVERIFY(trigger());
            bool seen = false; // QTRY_ evaluates its condition once more at the end
            QTRY_VERIFY((seen = seen || watcher.takeChanged()));
        }
        QCOMPARE(calls("Subscribe"), 1);
        QCOMPARE(readStates(connection_, {sync_}).states[sync_].exitStatus, std::nullopt); // killed
    }

    void noAnswerIsAnErrorNotAHang() {
        const auto none = QDBusConnection::connectToBus("unix:path=" + home_.path() + "/none", "x");
        QVERIFY(readStates(none, {}).error && !isAvailable(none));
        const Pid manager = Pid(bus_.managerPid());
        QVERIFY(manager > 0 && ::kill(manager, SIGSTOP) == 0);
        const QDeadlineTimer deadline(callTimeoutMs + 2000);
        const Reading reading = readStates(connection_, {sync_});
        ::kill(manager, SIGCONT);
        QVERIFY(reading.error && reading.states.empty() && !deadline.hasExpired());
    }
};

QTEST_GUILESS_MAIN(UserManagerQtTest)
#include "UserManagerQtTest.moc"
