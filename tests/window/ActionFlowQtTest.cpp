// Whole actions from the detail screen: real child processes, the stand-in
// launchctl, a temporary home, and the real model sampling this machine.
// Every process the tests start runs a private copy of sleep, so no item ever
// holds a process of anyone else.

#include <atomic>
#include <csignal>
#include <thread>

#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QUuid>

#include <qcoro/qcorotask.h>

#include "support/ChildProcess.h"
#include "support/StandIns.h"
#include "support/TempHome.h"
#include "window/ActionBar.h"
#include "window/DetailScreen.h"
#include "window/RootView.h"
#include "window/ScreenStyle.h"
#include "window/WindowFixtures.h"

namespace {

// A child reaped by its own thread the moment it ends, so that it never
// lingers as a zombie the sampler could still list; killed when it outlives
// the test.
class ReapedChild {
public:
    explicit ReapedChild(const QStringList& argv) : m_child(argv) {
        m_reaper = std::thread([this] {
            m_child.reap();
            m_done = true;
        });
    }
    ~ReapedChild() {
        if (!m_done && m_child.pid() > 0)
            ::kill(m_child.pid(), SIGKILL);
        m_reaper.join();
    }
    ReapedChild(const ReapedChild&) = delete;
    ReapedChild& operator=(const ReapedChild&) = delete;

    Pid pid() const { return m_child.pid(); }
    bool hasEnded() const { return m_done; }

private:
    ChildProcess m_child;
    std::thread m_reaper;
    std::atomic<bool> m_done = false;
};

} // namespace

class ActionFlowQtTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TempHome> m_home;
    std::unique_ptr<QTemporaryDir> m_work;
    std::unique_ptr<StandIns> m_standIns;
    std::unique_ptr<AppModel> m_model;
    std::unique_ptr<RootView> m_root;
    QString m_sleeper;

    DetailScreen* screen() const { return qobject_cast<DetailScreen*>(m_root->currentScreen()); }
    ActionBarPhase phase() const {
        return screen() ? screen()->actionBar()->phase() : ActionBarPhase{};
    }
    template <typename T> T* find(const QString& name) const {
        return m_root->currentScreen() ? m_root->currentScreen()->findChild<T*>(name) : nullptr;
    }
    QString agents() const { return m_home->path() + "/Library/LaunchAgents"; }

    // Started once its program is the private sleeper, so SIGTERM finds the
    // shell's trap in place.
    std::unique_ptr<ReapedChild> sleeper(const QStringList& argv) {
        auto child = std::make_unique<ReapedChild>(argv);
        const QString exe = QStringLiteral("/proc/%1/exe").arg(child->pid());
        return QTest::qWaitFor([&] { return QFileInfo(exe).symLinkTarget() == m_sleeper; }, 10000)
                   ? std::move(child)
                   : nullptr;
    }

    // Opens the item that holds `pid` after a fresh pass.
    bool openHolding(Pid pid) {
        QCoro::waitFor(m_model->refresh(false));
        for (const BackgroundItem& item : m_model->inventory()->running) {
            for (const ProcSnapshot& member : item.members) {
                if (member.pid == pid)
                    return open(item.id);
            }
        }
        return false;
    }

    bool open(const QString& id) {
        m_model->setScreen(AppModel::Screen::detail(id));
        return QTest::qWaitFor(
            [&] { return screen() && screen()->id() == id && !m_root->isTransitioning(); });
    }

    // Clicks the visible button once it is there; false when it never comes.
    bool click(const char* name) {
        QPushButton* button = nullptr;
        if (!QTest::qWaitFor([&] {
                button = find<QPushButton>(QString::fromLatin1(name));
                return button && button->isVisible();
            }))
            return false;
        QTest::mouseClick(button, Qt::LeftButton);
        return true;
    }

private Q_SLOTS:
    void initTestCase() { qputenv("QT_REDUCE_MOTION", "1"); }

    void init() {
        m_home = std::make_unique<TempHome>();
        m_work = std::make_unique<QTemporaryDir>();
        m_standIns = std::make_unique<StandIns>();
        m_sleeper =
            m_work->filePath("qm-sleeper-" + QUuid::createUuid().toString(QUuid::Id128).left(12));
        QVERIFY(QFile::copy("/bin/sleep", m_sleeper));
        QVERIFY(QFile::setPermissions(m_sleeper, QFile::ReadOwner | QFile::ExeOwner));

        AppModel::Environment environment = WindowFixtures::environmentIn(*m_work);
        environment.sampler.tools = environment.actions.tools = m_standIns->locations();
        environment.sampler.folders = {m_home->path(), m_work->filePath("ga"),
                                       m_work->filePath("gd")};
        m_model = std::make_unique<AppModel>(std::move(environment));
        m_root = std::make_unique<RootView>(m_model.get());
        m_root->resize(380, 560);
        m_root->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_root.get()));
    }

    void cleanup() {
        m_root.reset();
        m_model.reset();
        m_standIns.reset();
        m_work.reset();
        m_home.reset();
    }

    void stopEndsTheProcessAndShowsItStopped() {
        const auto child = sleeper({m_sleeper, "300"});
        QVERIFY(child && openHolding(child->pid()));
        QVERIFY(click("action.stop"));
        QVERIFY(click("action.confirm"));
        QTRY_COMPARE_WITH_TIMEOUT(phase(), ActionBarPhase::message("Stopped.", false), 20000);
        QTRY_VERIFY(child->hasEnded());
        QTRY_VERIFY(find<QWidget>("detail.stopped") &&
                    find<QWidget>("detail.stopped")->isVisible());
    }

    void aProcessIgnoringSigtermIsForceQuit() {
        const auto child = sleeper({"/bin/sh", "-c", "trap '' TERM; exec \"$0\" 300", m_sleeper});
        QVERIFY(child && openHolding(child->pid()));
        const QString id = screen()->id();
        QVERIFY(click("action.stop"));
        QVERIFY(click("action.confirm"));
        QTRY_COMPARE_WITH_TIMEOUT(phase().kind, ActionBarPhase::Case::stillRunning, 20000);
        QCOMPARE(phase().survivors.size(), 1);
        QVERIFY(!child->hasEnded());
        QVERIFY(m_model->stoppedNames().empty());

        QVERIFY(click("action.forceQuit"));
        QTRY_COMPARE_WITH_TIMEOUT(phase().kind, ActionBarPhase::Case::message, 20000);
        QVERIFY(!phase().isError);
        QTRY_VERIFY(child->hasEnded());
        QCOMPARE(m_model->stoppedNames().count(id), size_t(1));
    }

    void disableParksTheAgentAndReenableRestoresIt() {
        const QString label = "com.example.quillmarsh-test.agent";
        const QString path = agents() + '/' + label + ".plist";
        const QString parked = agents() + "/Disabled/" + label + ".plist";
        QDir().mkpath(agents());
        QVERIFY(StandIns::writePlist(path, label, {m_sleeper, "300"}));
        QCoro::waitFor(m_model->refresh(false));
        QVERIFY(open("job:" + label));

        QVERIFY(click("action.disable"));
        QVERIFY(click("action.confirm"));
        QTRY_VERIFY_WITH_TIMEOUT(screen() && screen()->id() == "job:" + label + ":disabled", 20000);
        QVERIFY(QFileInfo::exists(parked) && !QFileInfo::exists(path));
        QVERIFY(!find<QPushButton>("action.disable"));

        QVERIFY(click("action.reenable"));
        QTRY_VERIFY_WITH_TIMEOUT(screen() && screen()->id() == "job:" + label, 20000);
        QVERIFY(QFileInfo::exists(path) && !QFileInfo::exists(parked));
        QCOMPARE(phase(), ActionBarPhase::idle());
        // Loaded again with RunAtLoad, the job runs.
        const std::optional<Pid> pid = m_standIns->jobPid(label);
        QVERIFY(pid && StandIns::isAlive(*pid));
    }

    void aFailingToolEndsInARedMessageAndChangesNothing() {
        const auto child = sleeper({m_sleeper, "300"});
        QVERIFY(child);
        const QString label = "com.example.quillmarsh-test.held";
        m_standIns->addJob(label, child->pid());
        // The stand-in holds its answer, so the running phase can be seen.
        m_standIns->failVerb("bootout", 5, "Boot-out failed: 5: Input/output error", {}, 2);
        QVERIFY(openHolding(child->pid()));
        QCOMPARE(screen()->id(), "job:" + label);

        QVERIFY(click("action.stop"));
        QTRY_COMPARE(phase().kind, ActionBarPhase::Case::confirm);
        QTest::keyClick(m_root.get(), Qt::Key_Return);
        QCOMPARE(phase().kind, ActionBarPhase::Case::working);
        QTRY_COMPARE_WITH_TIMEOUT(phase().kind, ActionBarPhase::Case::message, 20000);
        QVERIFY(phase().isError);
        QVERIFY(phase().text.contains("Boot-out failed: 5"));
        QLabel* message = find<QLabel>("action.message");
        QVERIFY(message && message->isVisible());
        QCOMPARE(message->palette().color(QPalette::WindowText),
                 QColor(ScreenStyle::red(message->palette())));
        QVERIFY(!child->hasEnded());
        QVERIFY(m_standIns->jobPid(label));

        QVERIFY(click("action.ok"));
        QCOMPARE(phase(), ActionBarPhase::idle());
    }
};

QTEST_MAIN(ActionFlowQtTest)
#include "ActionFlowQtTest.moc"
