// Catches, through the real window: stop, force quit, disable and re-enable
// that do not act or report wrongly, and a failing tool that is not shown red.
//
// Whole actions from the detail screen: real children running a private copy
// of sleep, the stand-in launchctl, a temporary home, the real model sampling.

#include <algorithm>
#include <atomic>
#include <csignal>
#include <thread>

#include <sys/syscall.h>
#include <unistd.h>

#include <QFileInfo>
#include <QTest>
#include <QUuid>

#include <qcoro/qcorotask.h>

#include "os/ProcessDescriptor.h"
#include "support/ChildProcess.h"
#include "support/TempHome.h"
#include "window/DetailDriver.h"
#include "window/ScreenStyle.h"
#include "window/WindowFixtures.h"

namespace {

// A child reaped by its own thread the moment it ends, so that the sampler
// never lists it as a zombie; killed when it outlives the test, through its
// descriptor, since once reaped its pid may belong to a stranger.
struct ReapedChild {
    explicit ReapedChild(const QStringList& argv) : child(argv) {}
    ~ReapedChild() {
        ::syscall(SYS_pidfd_send_signal, descriptor, SIGKILL, nullptr, 0);
        ::close(descriptor);
        reaper.join();
    }
    Pid pid() const { return child.pid(); }

    ChildProcess child;
    int descriptor = ProcessDescriptor::open(child.pid());
    std::atomic<bool> ended = false;
    std::thread reaper{[this] { child.reap(), ended = true; }};
};

// Destroyed in reverse: the window, the model, then the outside world.
struct World {
    TempHome home;
    QTemporaryDir work;
    StandIns tools;
    const QString sleeper =
        work.filePath("qm-sleeper-" + QUuid::createUuid().toString(QUuid::Id128).left(12));
    std::unique_ptr<AppModel> model = WindowFixtures::makeModel(work, &tools, home.path());
    RootView root{model.get()};
    DetailDriver driver{model.get(), &root};
};

} // namespace

class ActionFlowQtTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<World> w;

    // Started once its program is the private sleeper, so SIGTERM finds the
    // shell's trap in place.
    std::unique_ptr<ReapedChild> sleeper(const QStringList& argv) {
        auto child = std::make_unique<ReapedChild>(argv);
        const QString exe = QStringLiteral("/proc/%1/exe").arg(child->pid());
        return QTest::qWaitFor([&] { return QFileInfo(exe).symLinkTarget() == w->sleeper; }, 10000)
                   ? std::move(child)
                   : nullptr;
    }

    DetailScreen* screen() const { return w->driver.screen(); }
    ActionBarPhase phase() const { return w->driver.phase(); }
    bool open(const QString& id, Pid pid = 0) const { return w->driver.open(id, pid); }
    QWidget* shown(const char* name) const { return w->driver.shown(name); }
    bool click(const char* name) const { return w->driver.click(name); }

private Q_SLOTS:
    void init() {
        qputenv("QT_REDUCE_MOTION", "1");
        w = std::make_unique<World>();
        QVERIFY(QFile::copy("/bin/sleep", w->sleeper));
        QVERIFY(QFile::setPermissions(w->sleeper, QFile::ReadOwner | QFile::ExeOwner));
        w->root.resize(380, 560);
        w->root.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w->root));
    }

    void cleanup() { w.reset(); }

    void stopEndsTheProcessAndShowsItStopped() {
        const auto child = sleeper({w->sleeper, "300"});
        QVERIFY(child && open({}, child->pid()));
        QVERIFY(click("action.stop") && click("action.confirm"));
        QTRY_COMPARE_WITH_TIMEOUT(phase(), ActionBarPhase::message("Stopped.", false), 20000);
        QTRY_VERIFY(child->ended);
        QVERIFY(shown("detail.stopped"));
    }

    void aProcessIgnoringSigtermIsForceQuit() {
        const auto child = sleeper({"/bin/sh", "-c", "trap '' TERM; exec \"$0\" 300", w->sleeper});
        QVERIFY(child && open({}, child->pid()));
        const QString id = screen()->id();
        QVERIFY(click("action.stop") && click("action.confirm"));
        QTRY_COMPARE_WITH_TIMEOUT(phase().kind, ActionBarPhase::Case::stillRunning, 20000);
        QVERIFY(phase().survivors.size() == 1 && !child->ended);
        QVERIFY(click("action.forceQuit"));
        QTRY_COMPARE_WITH_TIMEOUT(phase(), ActionBarPhase::message("Force quit.", false), 20000);
        QTRY_VERIFY(child->ended);
        QCOMPARE(w->model->stoppedNames().count(id), size_t(1));
    }

    void disableParksTheAgentAndReenableRestoresIt() {
        const QString label = "com.example.quillmarsh-test.agent";
        const QString agents = w->home.makeFolder("Library/LaunchAgents");
        const QString path = agents + '/' + label + ".plist";
        const QString parked = agents + "/Disabled/" + label + ".plist";
        QVERIFY(StandIns::writePlist(path, label, {w->sleeper, "300"}));
        QVERIFY(open("job:" + label));

        QVERIFY(click("action.disable") && click("action.confirm"));
        QTRY_VERIFY_WITH_TIMEOUT(screen() && screen()->id() == "job:" + label + ":disabled", 20000);
        QVERIFY(QFileInfo::exists(parked) && !QFileInfo::exists(path));

        QVERIFY(click("action.reenable"));
        QTRY_VERIFY_WITH_TIMEOUT(screen() && screen()->id() == "job:" + label, 20000);
        QVERIFY(QFileInfo::exists(path) && !QFileInfo::exists(parked));
        QCOMPARE(phase(), ActionBarPhase::idle());
        // Loaded again with RunAtLoad, the job runs.
        QVERIFY(StandIns::isAlive(w->tools.jobPid(label).value_or(0)));
    }

    void aFailingToolEndsInARedMessageAndChangesNothing() {
        const auto child = sleeper({w->sleeper, "300"});
        QVERIFY(child);
        const QString label = "com.example.quillmarsh-test.held";
        w->tools.addJob(label, child->pid());
        // The stand-in holds its answer, so the running phase can be seen.
        w->tools.failVerb("bootout", 5, "Boot-out failed: 5: Input/output error", {}, 2);
        QVERIFY(open({}, child->pid()));
        QCOMPARE(screen()->id(), "job:" + label);

        QVERIFY(click("action.stop"));
        QTRY_COMPARE(phase().kind, ActionBarPhase::Case::confirm);
        QTest::keyClick(&w->root, Qt::Key_Return);
        QCOMPARE(phase().kind, ActionBarPhase::Case::working);
        QTRY_COMPARE_WITH_TIMEOUT(phase().kind, ActionBarPhase::Case::message, 20000);
        QVERIFY(phase().isError && phase().text.contains("Boot-out failed: 5"));
        const QWidget* message = shown("action.message");
        QVERIFY(message && !child->ended && w->tools.jobPid(label));
        QCOMPARE(message->palette().color(QPalette::WindowText),
                 QColor(ScreenStyle::red(message->palette())));
    }
};

QTEST_MAIN(ActionFlowQtTest)
#include "ActionFlowQtTest.moc"
