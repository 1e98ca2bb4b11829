// Catches, under the rules of the system the tests run on: count texts of the
// window that read "1 processes" because window mode never installed the English
// singulars (this test installs nothing), action texts that speak of Apple or
// ⌘ where an app is quit with SIGTERM, and a login-items check that runs
// sfltool or speaks of administrator access where there is no launchd.
//
// The window as window mode makes it: the session, its panel and its model.

#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <qcoro/qcorotask.h>

#include "os/HostRules.h"
#include "support/TempHome.h"
#include "window/DetailScreen.h"
#include "window/Panel.h"
#include "window/RootView.h"
#include "window/WindowFixtures.h"
#include "window/WindowSession.h"

using namespace WindowFixtures;

class LinuxWindowSessionQtTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void theWindowSpeaksOfThisSystemAndInTheSingular() {
        if (Hosts::current().hasLaunchd)
            QSKIP("the rules of this system include launchd");
        TempHome home;
        StandIns tools;
        QTemporaryDir dir;
        AppModel::Environment environment = WindowFixtures::environment(dir, &tools, home.path());
        // The panel's first pass, then none while the test looks.
        environment.settings()->setRefreshSeconds(3600);
        QProcessEnvironment testHost;
        testHost.insert("XCTestConfigurationFilePath", {});
        WindowSession session(std::move(environment), testHost, false);
        AppModel& model = session.model();
        QTRY_VERIFY_WITH_TIMEOUT(model.inventory().has_value(), 30000);

        BackgroundItem server = running("server", "server", 20, {}, me);
        BackgroundItem editor = running("editor", "Editor", 10, {}, me);
        editor.kind = BackgroundItem::Kind::app;
        BackgroundItem daemon = running("daemon", "cupsd", 10);
        daemon.isApple = true;
        model.setInventoryForTesting(inventory({server, editor, daemon}));

        // The detail screen of `id`, its stop button pressed when it has one,
        // and the text of its label `name`.
        RootView* root = session.panel().rootView();
        const auto shown = [&](const QString& id, const char* name) {
            model.setScreen(AppModel::Screen::detail(id));
            QLabel* label = nullptr;
            const bool found = QTest::qWaitFor([&] {
                auto* screen = qobject_cast<DetailScreen*>(root->currentScreen());
                if (!screen || screen->id() != id || root->isTransitioning())
                    return false;
                if (auto* stop = screen->findChild<QPushButton*>("action.stop"))
                    QTest::mouseClick(stop, Qt::LeftButton);
                label = screen->findChild<QLabel*>(name);
                return label && label->isVisible();
            });
            return found ? label->text() : QString();
        };
        const QString stop = shown("server", "action.description");
        QVERIFY2(stop.contains(" 1 process."), qPrintable(stop));
        const QString quit = shown("editor", "action.description");
        QVERIFY2(quit.contains("SIGTERM") && quit.contains("Editor") && !quit.contains("⌘"),
                 qPrintable(quit));
        const QString note = shown("daemon", "action.appleNote");
        QVERIFY2(!note.isEmpty() && !note.contains("Apple"), qPrintable(note));

        QCoro::waitFor(model.checkLoginItems());
        QCOMPARE(tools.callCount({"sfltool"}), 0);
        QVERIFY(!model.loginItemsMessage() && !model.isCheckingLoginItems());
    }
};

QTEST_MAIN(LinuxWindowSessionQtTest)
#include "LinuxWindowSessionQtTest.moc"
