// Window mode's start: the first pass and the background count, or nothing
// of the kind under a test host.

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <qcoro/qcorotask.h>

#include "window/ItemIcon.h"
#include "window/Panel.h"
#include "window/WindowSession.h"

namespace {

AppModel::Environment environmentIn(const QTemporaryDir& dir) {
    AppModel::Environment environment;
    const QString settingsPath = dir.filePath(QStringLiteral("settings.ini"));
    environment.settings = [settingsPath] {
        return std::make_unique<AppSettings>(
            std::make_unique<QSettings>(settingsPath, QSettings::IniFormat));
    };
    environment.loginEntry.path = dir.filePath(QStringLiteral("quillmarsh.desktop"));
    return environment;
}

// Runs one more pass and waits for it. The sampler serves passes in order, so
// any pass asked for earlier has replaced the inventory before this one ends.
void oneMorePass(AppModel& model) {
    bool done = false;
    [](AppModel& m, bool& flag) -> QCoro::Task<> {
        co_await m.refresh(false);
        flag = true;
    }(model, done);
    QTRY_VERIFY_WITH_TIMEOUT(done, 60000);
}

} // namespace

class WindowSessionQtTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { ItemIcon::useSymbolTheme(); }

    void underTestHostWhateverTheValue() {
        QProcessEnvironment process;
        QVERIFY(!WindowSession::underTestHost(process));
        process.insert(QStringLiteral("XCTestConfigurationFilePath"), QString());
        QVERIFY(WindowSession::underTestHost(process));
    }

    void startsTheFirstPassThenTheBackgroundCount() {
        QTemporaryDir dir;
        // With a tray the panel stays closed, so only the start-up samples.
        WindowSession session(environmentIn(dir), QProcessEnvironment(), true);
        QVERIFY(!session.panel().isVisible());
        QVERIFY(session.menuBarItem());
        QTRY_VERIFY_WITH_TIMEOUT(session.model().hasBackgroundCount(), 60000);
        QVERIFY(session.model().inventory().has_value());
    }

    void underATestHostTheModelExistsButNothingStarts() {
        QTemporaryDir dir;
        QProcessEnvironment process;
        process.insert(QStringLiteral("XCTestConfigurationFilePath"), QString());
        WindowSession session(environmentIn(dir), process, true);
        QSignalSpy passes(&session.model(), &AppModel::inventoryChanged);
        oneMorePass(session.model());
        // Only this test's own pass replaced the inventory.
        QCOMPARE(passes.count(), 1);
        QVERIFY(!session.model().hasBackgroundCount());
    }

    void withoutATrayThePanelOpensAsAWindow() {
        QTemporaryDir dir;
        QProcessEnvironment process;
        process.insert(QStringLiteral("XCTestConfigurationFilePath"), QStringLiteral("x"));
        WindowSession session(environmentIn(dir), process, false);
        QVERIFY(session.panel().isVisible());
        QCOMPARE(session.panel().windowTitle(), QStringLiteral("Quillmarsh"));
        QVERIFY(!session.menuBarItem());
        QTRY_VERIFY(session.model().isPanelOpen());
        session.panel().hide();
        QTRY_VERIFY_WITH_TIMEOUT(!session.model().isPanelOpen(), 60000);
    }
};

QTEST_MAIN(WindowSessionQtTest)
#include "WindowSessionQtTest.moc"
