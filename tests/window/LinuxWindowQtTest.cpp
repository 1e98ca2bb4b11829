// Catches: a window text on Linux that names macOS, Apple, Finder, launchd,
// ~/Library or the menu bar, or shows ⌘ in a shortcut, and a settings screen
// that offers the login-items check where there is no launchd.
//
// The list with its More menu, the detail of a user's command with two path
// rows, and the settings, under the rules of the machine the test runs on.

#include <QAction>
#include <QTest>

#include "window/ItemIcon.h"
#include "window/RootView.h"
#include "window/WindowFixtures.h"

using namespace WindowFixtures;

class LinuxWindowQtTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        qputenv("QT_REDUCE_MOTION", "1");
        ItemIcon::useSymbolTheme();
    }

    void noScreenNamesAnotherSystem_data() {
        QTest::addColumn<QString>("screen");
        for (const char* screen : {"list", "detail", "settings"})
            QTest::newRow(screen) << screen;
    }
    void noScreenNamesAnotherSystem() {
        QFETCH(QString, screen);
        QTemporaryDir dir;
        auto model = makeModel(dir);
        RootView root(model.get());
        root.resize(380, 560);
        root.show();
        QVERIFY(QTest::qWaitForWindowExposed(&root));

        const BackgroundItem item = userCommand();
        model->setInventoryForTesting(inventory({item, running("b", "beta", 2)}));
        if (screen == "detail")
            model->setScreen(AppModel::Screen::detail(item.id));
        else if (screen == "settings")
            model->setScreen(AppModel::Screen::settings());
        QTRY_VERIFY(root.currentScreen()->objectName().startsWith(screen) &&
                    !root.isTransitioning());

        QWidget* shown = root.currentScreen();
        QStringList texts;
        for (QWidget* widget : shown->findChildren<QWidget*>()) {
            if (widget->isVisibleTo(shown))
                texts << widget->accessibleName() << widget->toolTip()
                      << widget->property("text").toString()
                      << widget->property("placeholderText").toString();
        }
        for (QAction* action : shown->findChildren<QAction*>()) // the More menu's too
            texts << action->text();
        for (const QString& text : texts) {
            for (const char* word :
                 {"Apple", "macOS", "Finder", "launchd", "Library", "menu bar", "⌘"})
                QVERIFY2(!text.contains(QString::fromUtf8(word)), qPrintable(text));
        }
        if (screen == "settings")
            QVERIFY(!shown->findChild<QWidget*>("settings.checkLoginItems")->isVisibleTo(shown));
    }
};

QTEST_MAIN(LinuxWindowQtTest)
#include "LinuxWindowQtTest.moc"
