// The detail screen and its action bar over hand-made items, offscreen. No
// operation runs here: the items belong to another user or offer only
// buttons that are pressed no further than their confirmation.

#include <unistd.h>

#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include "inventory/EnglishPlurals.h"
#include "model/AppModel.h"
#include "window/ActionBar.h"
#include "window/DetailScreen.h"
#include "window/RootView.h"
#include "window/ScreenStyle.h"
#include "window/WindowFixtures.h"

using namespace WindowFixtures;

namespace {

// Receives the addresses the desktop would open.
class UrlWitness : public QObject {
    Q_OBJECT

public:
    QList<QUrl> opened;

public Q_SLOTS:
    void open(const QUrl& url) { opened.append(url); }
};

BackgroundItem withMembers(BackgroundItem item, int count) {
    item.members.clear();
    for (int i = 0; i < count; ++i) {
        ProcSnapshot member = *item.primary;
        member.pid = item.primary->pid + i;
        member.name = QStringLiteral("worker-%1").arg(i);
        member.memory = quint64(1000 + i) * 1024 * 1024;
        item.members.append(member);
    }
    item.members.first() = *item.primary;
    return item;
}

QStringList titles(const QList<DetailRows::Row>& rows) {
    QStringList result;
    for (const DetailRows::Row& row : rows)
        result << row.title;
    return result;
}

QString valueOf(const QList<DetailRows::Row>& rows, const QString& title) {
    for (const DetailRows::Row& row : rows) {
        if (row.title == title)
            return row.value;
    }
    return {};
}

} // namespace

class DetailScreenQtTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<AppModel> m_model;
    std::unique_ptr<RootView> m_root;
    EnglishPlurals m_plurals;

    DetailScreen* screen() const { return qobject_cast<DetailScreen*>(m_root->currentScreen()); }
    template <typename T> T* find(const QString& name) const {
        return m_root->currentScreen()->findChild<T*>(name);
    }
    void open(const QList<BackgroundItem>& running, const QList<BackgroundItem>& notRunning,
              const QString& id) {
        m_model->setInventoryForTesting(inventory(running, notRunning));
        m_model->setScreen(AppModel::Screen::detail(id));
        QTRY_VERIFY(screen() && screen()->id() == id && !m_root->isTransitioning());
    }

    void makeModelAgain() {
        m_root.reset();
        m_model = makeModel(*m_dir);
        m_root = std::make_unique<RootView>(m_model.get());
        m_root->resize(380, 560);
        m_root->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_root.get()));
    }

private Q_SLOTS:
    void initTestCase() {
        QCoreApplication::installTranslator(&m_plurals);
        qputenv("QT_REDUCE_MOTION", "1");
    }

    void init() {
        m_dir = std::make_unique<QTemporaryDir>();
        m_model = makeModel(*m_dir);
        m_root = std::make_unique<RootView>(m_model.get());
        m_root->resize(380, 560);
        m_root->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_root.get()));
    }

    void cleanup() {
        m_root.reset();
        m_model.reset();
        m_dir.reset();
    }

    // --- rows as data ---

    void runningProcessRows() {
        BackgroundItem item = running(QStringLiteral("exe:/usr/bin/node"), QStringLiteral("node"),
                                      50 * 1024 * 1024, {3000, 9229});
        item.primary->workingDirectory = QStringLiteral("/home/me/shop");
        item.members = {*item.primary};
        const QList<DetailRows::Row> rows = DetailRows::rows(item, QStringLiteral("/home/me"));
        QCOMPARE(titles(rows), (QStringList{"Executable", "Folder", "Started", "Origin",
                                            "Auto-start", "Ports", "PID"}));
        QCOMPARE(valueOf(rows, "Ports"), QStringLiteral("3000, 9229"));
        QCOMPARE(valueOf(rows, "PID"), QString::number(item.primary->pid));
        QCOMPARE(valueOf(rows, "Auto-start"),
                 QStringLiteral("No. It will not come back after a restart unless something "
                                "starts it."));
        QVERIFY(rows.first().isPath && rows.first().note && !rows.first().canOpen);
        QVERIFY(DetailRows::processLines(item).isEmpty());
    }

    void rootFolderAndZeroExitAreLeftOut() {
        BackgroundItem item =
            running(QStringLiteral("exe:/usr/bin/cron"), QStringLiteral("cron"), 1024);
        item.primary->workingDirectory = QStringLiteral("/");
        item.members = {*item.primary};
        item.lastExitStatus = 0;
        QList<DetailRows::Row> rows = DetailRows::rows(item, QStringLiteral("/home/me"));
        QVERIFY(!titles(rows).contains("Folder"));
        QVERIFY(!titles(rows).contains("Last exit"));
        item.lastExitStatus = 78;
        rows = DetailRows::rows(item, QStringLiteral("/home/me"));
        QCOMPARE(valueOf(rows, "Last exit"), QStringLiteral("78"));
    }

    void notRunningJobRows() {
        BackgroundItem item = job(QStringLiteral("com.example.backup"));
        item.job->keepAlive = false;
        item.ancestry = {QStringLiteral("launchd")};
        const QList<DetailRows::Row> rows = DetailRows::rows(item, QStringLiteral("/Users/me"));
        QCOMPARE(titles(rows),
                 (QStringList{"Executable", "Label", "Plist", "Runs", "Keys", "Domain"}));
        QCOMPARE(valueOf(rows, "Keys"), QStringLiteral("RunAtLoad yes · KeepAlive no"));
        QCOMPARE(valueOf(rows, "Domain"), QStringLiteral("User agent"));
        QVERIFY(rows[2].isPath && rows[2].canOpen);
        QVERIFY(DetailRows::stats(item, now()).isEmpty());
    }

    void parentsNeedTwoEntries() {
        BackgroundItem item =
            running(QStringLiteral("exe:/usr/bin/vim"), QStringLiteral("vim"), 1024);
        item.ancestry = {QStringLiteral("bash")};
        QVERIFY(!titles(DetailRows::rows(item, {})).contains("Parents"));
        item.ancestry = {QStringLiteral("bash"), QStringLiteral("tmux")};
        QCOMPARE(valueOf(DetailRows::rows(item, {}), "Parents"), QStringLiteral("bash › tmux"));
    }

    void agentSessionOriginNamesTheFolder() {
        BackgroundItem item =
            running(QStringLiteral("exe:/usr/bin/vite"), QStringLiteral("vite"), 1024);
        item.origin = {Origin::Case::agentSession, QStringLiteral("Claude"),
                       QStringLiteral("/home/me/shop")};
        QVERIFY(valueOf(DetailRows::rows(item, {}), "Origin").endsWith(" in /home/me/shop"));
    }

    void comeBackAnswers() {
        BackgroundItem item = running(QStringLiteral("exe:/usr/bin/x"), QStringLiteral("x"), 1024);
        QCOMPARE(DetailRows::comeBackAnswer(item),
                 QStringLiteral("No. It will not come back after a restart unless something "
                                "starts it."));
        item.launchLabel = QStringLiteral("com.example.orphan");
        QCOMPARE(DetailRows::comeBackAnswer(item),
                 QStringLiteral("launchd job without a plist in the usual folders."));
        item.launchLabel = QStringLiteral("application.com.example.App.123");
        QCOMPARE(DetailRows::comeBackAnswer(item),
                 QStringLiteral("App launched via launchd. Check System Settings › General › "
                                "Login Items."));
        item.isLoginItem = true;
        QCOMPARE(DetailRows::comeBackAnswer(item),
                 QStringLiteral("Yes: login item. Turn off in System Settings › General › Login "
                                "Items."));
    }

    void figures() {
        BackgroundItem item =
            running(QStringLiteral("exe:/usr/bin/x"), QStringLiteral("x"), 1024 * 1024);
        item.cpuPercent = 0.04;
        QList<DetailRows::Stat> stats = DetailRows::stats(item, now());
        QCOMPARE(stats.size(), 4);
        QCOMPARE(stats[0].title, QStringLiteral("Memory"));
        QCOMPARE(stats[1], (DetailRows::Stat{"CPU", QLocale().toString(0.0, 'f', 1) + " %"}));
        QCOMPARE(stats[3], (DetailRows::Stat{"Processes", "1"}));
        item.cpuPercent.reset();
        QCOMPARE(DetailRows::stats(item, now())[1].value, QStringLiteral("—"));
        QCOMPARE(DetailRows::cpuText(212.36), QLocale().toString(212.4, 'f', 1) + " %");
    }

    void processesListShowsTheLargestEight() {
        const BackgroundItem one =
            running(QStringLiteral("exe:/usr/bin/x"), QStringLiteral("x"), 1024);
        QVERIFY(DetailRows::processLines(one).isEmpty());
        QVERIFY(!DetailRows::moreProcessesText(one));

        BackgroundItem item = withMembers(one, 12);
        item.members[5].memory.reset();
        const QList<DetailRows::ProcessLine> lines = DetailRows::processLines(item);
        QCOMPARE(lines.size(), 8);
        QCOMPARE(lines.first().name, QStringLiteral("worker-11"));
        QCOMPARE(lines.last().name, QStringLiteral("worker-3"));
        QCOMPARE(DetailRows::moreProcessesText(item), QStringLiteral("+ 4 more"));
        QCOMPARE(valueOf(DetailRows::rows(item, {}), "PID"),
                 QStringLiteral("%1 + 11 helpers").arg(item.primary->pid));
        QCOMPARE(valueOf(DetailRows::rows(withMembers(one, 2), {}), "PID"),
                 QStringLiteral("%1 + 1 helper").arg(one.primary->pid));
    }

    // --- the screen ---

    void unknownIdShowsNoLongerRunningAndOnlyBack() {
        open({}, {}, QStringLiteral("exe:/gone"));
        QWidget* gone = find<QWidget>(QStringLiteral("detail.gone"));
        QVERIFY(gone && gone->isVisible());
        QCOMPARE(gone->findChild<QLabel*>("title")->text(), QStringLiteral("No longer running"));
        QCOMPARE(gone->findChild<QLabel*>("description")->text(),
                 QStringLiteral("This item stopped or went away."));
        QVERIFY(find<QPushButton>(QStringLiteral("detail.back"))->isVisible());
        QVERIFY(!find<QPushButton>(QStringLiteral("detail.copy"))->isVisible());
        QVERIFY(!screen()->actionBar()->isVisible());
    }

    void runningItemShowsEveryPart() {
        BackgroundItem item = running(QStringLiteral("exe:/usr/bin/python3"),
                                      QStringLiteral("python3"), 80 * 1024 * 1024, {8765});
        item.primary->arguments = {QStringLiteral("python3"), QStringLiteral("-m"),
                                   QStringLiteral("http.server")};
        item = withMembers(item, 12);
        item.cpuPercent = 1.5;
        open({item}, {}, item.id);
        QCOMPARE(find<QLabel>(QStringLiteral("detail.name"))->text(), QStringLiteral("python3"));
        QVERIFY(find<QWidget>(QStringLiteral("detail.command"))->isVisible());
        QCOMPARE(find<QWidget>(QStringLiteral("detail.command"))->accessibleName(),
                 QStringLiteral("Command: ") + Items::commandLine(item));
        QVERIFY(find<QWidget>(QStringLiteral("detail.row.Ports")));
        QVERIFY(find<QWidget>(QStringLiteral("detail.badges")));
        QCOMPARE(find<QLabel>(QStringLiteral("detail.more"))->text(), QStringLiteral("+ 4 more"));
        QCOMPARE(find<QWidget>(QStringLiteral("detail.processes"))
                     ->findChildren<QWidget*>("process")
                     .size(),
                 8);
        QVERIFY(find<QWidget>(QStringLiteral("detail.copy"))->isVisible());
        // Another user's process: no stop button, but the command can be copied.
        QVERIFY(!find<QPushButton>(QStringLiteral("action.stop")));
        QVERIFY(find<QPushButton>(QStringLiteral("action.copy")));
    }

    void safetyLineFollowsTheItem() {
        BackgroundItem item = running(QStringLiteral("exe:/usr/bin/x"), QStringLiteral("x"), 1024);
        const std::optional<SafetyNote> note = Items::safetyNote(item, m_model->currentUid());
        open({item}, {}, item.id);
        QLabel* safety = find<QLabel>(QStringLiteral("detail.safety"));
        QCOMPARE(safety != nullptr, note.has_value());
        if (note)
            QCOMPARE(safety->text(), note->text);
    }

    void notRunningJobHasNoFiguresAndNoAutoStartRow() {
        const BackgroundItem item = job(QStringLiteral("com.example.backup"));
        open({}, {item}, item.id);
        QVERIFY(!find<QWidget>(QStringLiteral("detail.stat.Memory")));
        QVERIFY(!find<QWidget>(QStringLiteral("detail.row.Origin")));
        QVERIFY(!find<QWidget>(QStringLiteral("detail.row.Auto-start")));
        for (const char* row : {"Label", "Plist", "Runs", "Keys", "Domain"})
            QVERIFY2(find<QWidget>(QStringLiteral("detail.row.") + row), row);
        QWidget* plist = find<QWidget>(QStringLiteral("detail.row.Plist"));
        QVERIFY(plist->findChild<QPushButton*>("reveal"));
        QVERIFY(plist->findChild<QPushButton*>("open"));
        QVERIFY(!find<QWidget>(QStringLiteral("detail.row.Executable"))
                     ->findChild<QPushButton*>("open"));
        // A job of another domain than the user's agents cannot be loaded from here.
        QVERIFY(find<QPushButton>(QStringLiteral("action.load")));
        QCOMPARE(find<QPushButton>(QStringLiteral("action.load"))->text(), QStringLiteral("Load"));
        QCOMPARE(find<QPushButton>(QStringLiteral("action.disable"))->text(),
                 QStringLiteral("Disable auto-start"));
    }

    void revealAndOpenGoToTheDesktop() {
        UrlWitness witness;
        QDesktopServices::setUrlHandler(QStringLiteral("file"), &witness, "open");
        // Without a session bus the folder opens instead of a selection.
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/quillmarsh-test-bus");
        const BackgroundItem item = job(QStringLiteral("com.example.backup"));
        open({}, {item}, item.id);
        QWidget* plist = find<QWidget>(QStringLiteral("detail.row.Plist"));
        QTest::mouseClick(plist->findChild<QPushButton*>("open"), Qt::LeftButton);
        QTRY_COMPARE(witness.opened.size(), 1);
        QCOMPARE(witness.opened.last(), QUrl::fromLocalFile(item.job->plistPath));
        QTest::mouseClick(plist->findChild<QPushButton*>("reveal"), Qt::LeftButton);
        QTRY_COMPARE(witness.opened.size(), 2);
        QCOMPARE(witness.opened.last(),
                 QUrl::fromLocalFile(QStringLiteral("/Users/me/Library/LaunchAgents")));
        QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    }

    void backAndCopyWithTheirShortcuts() {
        const BackgroundItem item = job(QStringLiteral("com.example.backup"));
        open({}, {item}, item.id);
        QGuiApplication::clipboard()->clear();
        QTest::keyClick(m_root.get(), Qt::Key_C, Qt::ControlModifier | Qt::ShiftModifier);
        QTRY_COMPARE(QGuiApplication::clipboard()->text(), Items::commandLine(item));
        QGuiApplication::clipboard()->clear();
        QTest::mouseClick(find<QPushButton>(QStringLiteral("action.copy")), Qt::LeftButton);
        QCOMPARE(QGuiApplication::clipboard()->text(), Items::commandLine(item));
        QCOMPARE(screen()->actionBar()->phase(), ActionBarPhase::idle());
        QTest::keyClick(m_root.get(), Qt::Key_BracketLeft, Qt::ControlModifier);
        QTRY_COMPARE(m_model->screen(), AppModel::Screen::list());
        open({}, {item}, item.id);
        QTest::mouseClick(find<QPushButton>(QStringLiteral("detail.back")), Qt::LeftButton);
        QTRY_COMPARE(m_model->screen(), AppModel::Screen::list());
    }

    void confirmationSurvivesARefreshAndEscapeCancelsIt() {
        BackgroundItem item = job(QStringLiteral("com.example.backup"));
        open({}, {item}, item.id);
        QTest::mouseClick(find<QPushButton>(QStringLiteral("action.disable")), Qt::LeftButton);
        QCOMPARE(screen()->actionBar()->phase(),
                 ActionBarPhase::confirm(ActionBarPhase::Pending::disable));
        QCOMPARE(find<QLabel>(QStringLiteral("action.description"))->text(),
                 QStringLiteral("Unloads it now and moves its plist to "
                                "~/Library/LaunchAgents/Disabled/. It will not start at login. "
                                "Re-enable puts it back."));
        QCOMPARE(find<QPushButton>(QStringLiteral("action.confirm"))->text(),
                 QStringLiteral("Disable"));
        QVERIFY(qobject_cast<SolidRedButton*>(find<QPushButton>(QStringLiteral("action.confirm"))));

        item.explanation = QStringLiteral("Changed by a refresh.");
        m_model->setInventoryForTesting(inventory({}, {item}));
        QCOMPARE(screen()->actionBar()->phase().kind, ActionBarPhase::Case::confirm);

        QTest::keyClick(m_root.get(), Qt::Key_Escape);
        QTRY_COMPARE(screen()->actionBar()->phase(), ActionBarPhase::idle());
        // Escape in the confirmation stays on the screen.
        QCOMPARE(m_model->screen(), AppModel::Screen::detail(item.id));
    }

    void returnConfirmsAndAFailureIsARedMessage() {
        // The model acts through launchctl at a path where there is none, so
        // the disable fails at its first step and nothing changes.
        qputenv("QUILLMARSH_TOOLS_DIR", m_dir->filePath(QStringLiteral("no-tools")).toUtf8());
        makeModelAgain();
        const BackgroundItem item = job(QStringLiteral("com.example.backup"));
        open({}, {item}, item.id);
        QTest::mouseClick(find<QPushButton>(QStringLiteral("action.disable")), Qt::LeftButton);
        QTest::keyClick(m_root.get(), Qt::Key_Return);
        QCOMPARE(screen()->actionBar()->phase().kind, ActionBarPhase::Case::working);
        QCOMPARE(screen()->actionBar()->phase().text, QStringLiteral("Disabling…"));
        QTRY_COMPARE(screen()->actionBar()->phase().kind, ActionBarPhase::Case::message);
        QVERIFY(screen()->actionBar()->phase().isError);
        QVERIFY(screen()->actionBar()->phase().text.startsWith(
            QStringLiteral("launchctl bootout failed (")));
        QLabel* message = find<QLabel>(QStringLiteral("action.message"));
        QCOMPARE(message->text(), screen()->actionBar()->phase().text);
        QCOMPARE(message->palette().color(QPalette::WindowText),
                 QColor(ScreenStyle::red(message->palette())));
        QCOMPARE(m_model->screen(), AppModel::Screen::detail(item.id));
        qunsetenv("QUILLMARSH_TOOLS_DIR");
    }

    void appleItemShowsOnlyItsNote() {
        BackgroundItem item = job(QStringLiteral("com.apple.backupd"));
        item.isApple = true;
        open({}, {item}, item.id);
        QLabel* note = find<QLabel>(QStringLiteral("action.appleNote"));
        QVERIFY(note);
        QCOMPARE(note->text(), QStringLiteral("Apple system process: never stopped from here."));
        QCOMPARE(screen()->actionBar()->findChildren<QPushButton*>().size(), 0);
    }

    void runningSystemDaemonShowsTheAdminNote() {
        BackgroundItem item =
            running(QStringLiteral("job:org.example.daemon"), QStringLiteral("daemon"), 1024);
        item.primary->uid = m_model->currentUid();
        item.members = {*item.primary};
        LaunchJob definition;
        definition.label = QStringLiteral("org.example.daemon");
        definition.plistPath = QStringLiteral("/Library/LaunchDaemons/org.example.daemon.plist");
        definition.domain = LaunchJob::Domain::globalDaemon;
        item.job = definition;
        open({item}, {}, item.id);
        QCOMPARE(find<QLabel>(QStringLiteral("action.daemonNote"))->text(),
                 QStringLiteral("System daemon: needs admin rights to stop."));
        QVERIFY(!find<QPushButton>(QStringLiteral("action.stop")));
    }

    void stopConfirmationOfAnOwnProcessWithWarnings() {
        BackgroundItem item =
            running(QStringLiteral("exe:/usr/bin/make"), QStringLiteral("make"), 1024);
        item.primary->uid = m_model->currentUid();
        item.primary->pid = 999999; // not a process: nothing is confirmed here
        item.members = {*item.primary};
        item.isPartOfBuild = true;
        open({item}, {}, item.id);
        QPushButton* stop = find<QPushButton>(QStringLiteral("action.stop"));
        QVERIFY(stop);
        QCOMPARE(stop->text(), QStringLiteral("Stop"));
        QTest::keyClick(m_root.get(), Qt::Key_Backspace, Qt::ControlModifier);
        QTRY_COMPARE(screen()->actionBar()->phase(),
                     ActionBarPhase::confirm(ActionBarPhase::Pending::stop));
        QCOMPARE(find<QLabel>(QStringLiteral("action.warning.0"))->text(),
                 QStringLiteral("Part of a running build. The build will likely fail."));
        QTest::mouseClick(find<QPushButton>(QStringLiteral("action.cancel")), Qt::LeftButton);
        QCOMPARE(screen()->actionBar()->phase(), ActionBarPhase::idle());
    }
};

QTEST_MAIN(DetailScreenQtTest)
#include "DetailScreenQtTest.moc"
