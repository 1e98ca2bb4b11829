// Whole actions from the detail screen: real child processes, the stand-in
// launchctl, a temporary home, and the real model sampling this machine. Every
// process the tests start runs a private copy of sleep, so no item ever holds
// a process of anyone else.

#include <atomic>
#include <csignal>
#include <thread>

#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QUuid>

#include <qcoro/qcorotask.h>

#include "inventory/EnglishPlurals.h"
#include "model/AppModel.h"
#include "model/AppSettings.h"
#include "model/LaunchAtLogin.h"
#include "support/ChildProcess.h"
#include "support/StandIns.h"
#include "support/TempHome.h"
#include "window/ActionBar.h"
#include "window/DetailScreen.h"
#include "window/RootView.h"

namespace {

// A child process reaped by its own thread the moment it ends, so it never
// lingers as a zombie the sampler could still list.
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

QString executableOf(Pid pid) {
    return QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget();
}

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
    EnglishPlurals m_plurals;

    DetailScreen* screen() const { return qobject_cast<DetailScreen*>(m_root->currentScreen()); }
    template <typename T> T* find(const QString& name) const {
        return m_root->currentScreen() ? m_root->currentScreen()->findChild<T*>(name) : nullptr;
    }
    QString agents() const { return m_home->path() + QStringLiteral("/Library/LaunchAgents"); }

    void refresh() { QCoro::waitFor(m_model->refresh(false)); }

    // The id of the running item that holds `pid`, after a fresh pass.
    QString itemHolding(Pid pid) {
        refresh();
        for (const BackgroundItem& item : m_model->inventory()->running) {
            for (const ProcSnapshot& member : item.members) {
                if (member.pid == pid)
                    return item.id;
            }
        }
        return {};
    }

    void open(const QString& id) {
        m_model->setScreen(AppModel::Screen::detail(id));
        QTRY_VERIFY(screen() && screen()->id() == id && !m_root->isTransitioning());
    }

    void click(const char* name) {
        QPushButton* button = nullptr;
        QTRY_VERIFY((button = find<QPushButton>(QString::fromLatin1(name))) && button->isVisible());
        QTest::mouseClick(button, Qt::LeftButton);
    }

    void writeAgent(const QString& label) {
        QDir().mkpath(agents());
        QVERIFY(StandIns::writePlist(agents() + u'/' + label + QStringLiteral(".plist"), label,
                                     {m_sleeper, QStringLiteral("300")}));
    }

private Q_SLOTS:
    void initTestCase() {
        QCoreApplication::installTranslator(&m_plurals);
        qputenv("QT_REDUCE_MOTION", "1");
    }

    void init() {
        m_home = std::make_unique<TempHome>();
        m_work = std::make_unique<QTemporaryDir>();
        m_standIns = std::make_unique<StandIns>();
        QVERIFY(m_standIns->isValid());
        m_sleeper = m_work->filePath(QStringLiteral("qm-sleeper-") +
                                     QUuid::createUuid().toString(QUuid::Id128).left(12));
        QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), m_sleeper));
        QVERIFY(QFile::setPermissions(m_sleeper, QFile::ReadOwner | QFile::ExeOwner));

        AppModel::Environment environment;
        const QString settings = m_work->filePath(QStringLiteral("settings.ini"));
        environment.settings = [settings] {
            return std::make_unique<AppSettings>(
                std::make_unique<QSettings>(settings, QSettings::IniFormat));
        };
        environment.loginEntry = LaunchAtLogin::Entry{
            m_work->filePath(QStringLiteral("autostart.desktop")), QStringLiteral("/bin/true")};
        environment.sampler.tools = m_standIns->locations();
        environment.sampler.folders.home = m_home->path();
        environment.sampler.folders.globalAgents = m_work->filePath(QStringLiteral("agents"));
        environment.sampler.folders.globalDaemons = m_work->filePath(QStringLiteral("daemons"));
        environment.sampler.uid = static_cast<Uid>(::getuid());
        environment.actions.tools = m_standIns->locations();
        environment.actions.uid = static_cast<Uid>(::getuid());
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

    void stopConfirmedShowsStoppedThenTheStoppedPlaceholder() {
        ReapedChild child({m_sleeper, QStringLiteral("300")});
        QTRY_COMPARE(executableOf(child.pid()), m_sleeper);
        const QString id = itemHolding(child.pid());
        QVERIFY(!id.isEmpty());
        const QString name = m_model->item(id)->name;
        open(id);

        click("action.stop");
        QCOMPARE(find<QLabel>(QStringLiteral("action.description"))->text(),
                 QStringLiteral("Sends SIGTERM to 1 process. If it does not exit in 3 s, you can "
                                "force quit. It does not start again by itself."));
        click("action.confirm");
        QCOMPARE(screen()->actionBar()->phase(),
                 ActionBarPhase::working(QStringLiteral("Stopping…")));
        QTRY_COMPARE_WITH_TIMEOUT(screen()->actionBar()->phase(),
                                  ActionBarPhase::message(QStringLiteral("Stopped."), false),
                                  10000);
        QTRY_VERIFY(child.hasEnded());
        QWidget* stopped = find<QWidget>(QStringLiteral("detail.stopped"));
        QVERIFY(stopped && stopped->isVisible());
        QCOMPARE(stopped->findChild<QLabel*>("title")->text(), name + QStringLiteral(" stopped"));
        QCOMPARE(stopped->findChild<QLabel*>("description")->text(),
                 QStringLiteral("It is no longer running."));
    }

    void stubbornProcessIsForceQuit() {
        // The shell ignores SIGTERM and hands that on to the program it becomes.
        ReapedChild child({QStringLiteral("/bin/sh"), QStringLiteral("-c"),
                           QStringLiteral("trap '' TERM; exec \"$0\" 300"), m_sleeper});
        QTRY_COMPARE(executableOf(child.pid()), m_sleeper);
        const QString id = itemHolding(child.pid());
        QVERIFY(!id.isEmpty());
        open(id);

        click("action.stop");
        click("action.confirm");
        QTRY_COMPARE_WITH_TIMEOUT(screen()->actionBar()->phase().kind,
                                  ActionBarPhase::Case::stillRunning, 10000);
        QCOMPARE(find<QLabel>(QStringLiteral("action.stillRunning"))->text(),
                 QStringLiteral("Still running after SIGTERM (%1).").arg(child.pid()));
        QVERIFY(!child.hasEnded());
        QVERIFY(m_model->stoppedNames().empty());

        click("action.forceQuit");
        QTRY_COMPARE_WITH_TIMEOUT(screen()->actionBar()->phase(),
                                  ActionBarPhase::message(QStringLiteral("Force quit."), false),
                                  10000);
        QTRY_VERIFY(child.hasEnded());
        QTRY_VERIFY(find<QWidget>(QStringLiteral("detail.stopped")));
        QCOMPARE(m_model->stoppedNames().count(id), size_t(1));
    }

    void cancelInTheStillRunningPanelLeavesTheProcess() {
        ReapedChild child({QStringLiteral("/bin/sh"), QStringLiteral("-c"),
                           QStringLiteral("trap '' TERM; exec \"$0\" 300"), m_sleeper});
        QTRY_COMPARE(executableOf(child.pid()), m_sleeper);
        open(itemHolding(child.pid()));
        click("action.stop");
        click("action.confirm");
        QTRY_COMPARE_WITH_TIMEOUT(screen()->actionBar()->phase().kind,
                                  ActionBarPhase::Case::stillRunning, 10000);
        click("action.cancel");
        QCOMPARE(screen()->actionBar()->phase(), ActionBarPhase::idle());
        QVERIFY(!child.hasEnded());
    }

    void failingBootoutShowsTheRedMessage() {
        ReapedChild child({m_sleeper, QStringLiteral("300")});
        QTRY_COMPARE(executableOf(child.pid()), m_sleeper);
        const QString label = QStringLiteral("com.example.quillmarsh-test.held");
        m_standIns->addJob(label, child.pid());
        m_standIns->failVerb(QStringLiteral("bootout"), 5,
                             QStringLiteral("Boot-out failed: 5: Input/output error"));
        const QString id = itemHolding(child.pid());
        QCOMPARE(id, QStringLiteral("job:") + label);
        open(id);

        click("action.stop");
        QVERIFY(find<QLabel>(QStringLiteral("action.description"))
                    ->text()
                    .startsWith(QStringLiteral("Unloads ") + label +
                                QStringLiteral(" with launchctl bootout.")));
        click("action.confirm");
        QTRY_COMPARE_WITH_TIMEOUT(
            screen()->actionBar()->phase(),
            ActionBarPhase::message(QStringLiteral("launchctl bootout failed (5): Boot-out failed: "
                                                   "5: Input/output error"),
                                    true),
            10000);
        QLabel* message = find<QLabel>(QStringLiteral("action.message"));
        QVERIFY(message && message->isVisible());
        QCOMPARE(message->property("isError").toBool(), true);
        QVERIFY(!child.hasEnded());

        click("action.ok");
        QCOMPARE(screen()->actionBar()->phase(), ActionBarPhase::idle());
    }

    void disableParksTheJobAndReenableRestoresIt() {
        const QString label = QStringLiteral("com.example.quillmarsh-test.agent");
        writeAgent(label);
        refresh();
        const QString id = QStringLiteral("job:") + label;
        QVERIFY(m_model->item(id));
        open(id);

        click("action.disable");
        click("action.confirm");
        QTRY_COMPARE_WITH_TIMEOUT(
            m_model->screen(), AppModel::Screen::detail(id + QStringLiteral(":disabled")), 10000);
        QVERIFY(QFileInfo::exists(agents() + QStringLiteral("/Disabled/") + label + ".plist"));
        QVERIFY(!QFileInfo::exists(agents() + u'/' + label + ".plist"));
        QTRY_VERIFY(screen() && screen()->id() == id + QStringLiteral(":disabled"));
        QVERIFY(!find<QPushButton>(QStringLiteral("action.disable")));

        click("action.reenable");
        QTRY_COMPARE_WITH_TIMEOUT(m_model->screen(), AppModel::Screen::detail(id), 10000);
        QVERIFY(QFileInfo::exists(agents() + u'/' + label + ".plist"));
        QVERIFY(!QFileInfo::exists(agents() + QStringLiteral("/Disabled/") + label + ".plist"));
        QTRY_VERIFY(screen() && screen()->id() == id && !m_root->isTransitioning());
        QCOMPARE(find<QLabel>(QStringLiteral("detail.name"))->text(), m_model->item(id)->name);
        QCOMPARE(screen()->actionBar()->phase(), ActionBarPhase::idle());
    }

    void enableClearsLaunchdsMark() {
        const QString label = QStringLiteral("com.example.quillmarsh-test.marked");
        writeAgent(label);
        m_standIns->setDisabled(label);
        refresh();
        const QString id = QStringLiteral("job:") + label;
        QVERIFY(m_model->item(id) && m_model->item(id)->isDisabledInLaunchd);
        open(id);
        QVERIFY(!find<QPushButton>(QStringLiteral("action.load")));
        click("action.enable");
        QTRY_COMPARE_WITH_TIMEOUT(screen()->actionBar()->phase(),
                                  ActionBarPhase::message(QStringLiteral("Enabled."), false),
                                  10000);
        QVERIFY(!m_standIns->state()
                     .value(QStringLiteral("disabled"))
                     .toObject()
                     .value(label)
                     .toBool());
    }

    void failingLoadShowsTheRedMessage() {
        const QString label = QStringLiteral("com.example.quillmarsh-test.loader");
        writeAgent(label);
        refresh();
        const QString id = QStringLiteral("job:") + label;
        open(id);
        QCOMPARE(find<QPushButton>(QStringLiteral("action.load"))->text(), QStringLiteral("Load"));
        m_standIns->failVerb(QStringLiteral("bootstrap"), 5,
                             QStringLiteral("Bootstrap failed: 5: Input/output error"));
        click("action.load");
        QTRY_COMPARE_WITH_TIMEOUT(
            screen()->actionBar()->phase(),
            ActionBarPhase::message(
                QStringLiteral("launchctl bootstrap failed (5): Bootstrap failed: 5: Input/output "
                               "error"),
                true),
            10000);
        click("action.ok");
        QCOMPARE(screen()->actionBar()->phase(), ActionBarPhase::idle());
    }
};

QTEST_MAIN(ActionFlowQtTest)
#include "ActionFlowQtTest.moc"
