// The menu-bar picture, the panel's placement and life cycle, and the icons.

#include <QApplication>
#include <QIcon>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>

#include "model/AppModel.h"
#include "window/ItemIcon.h"
#include "window/MenuBarItem.h"
#include "window/Panel.h"
#include "window/RootView.h"
#include "window/WindowFixtures.h"

using namespace WindowFixtures;

namespace {

// Columns of the picture that hold any visible pixel.
int inkedColumns(const QImage& image) {
    int columns = 0;
    for (int x = 0; x < image.width(); ++x) {
        for (int y = 0; y < image.height(); ++y) {
            if (qAlpha(image.pixel(x, y)) > 0) {
                ++columns;
                break;
            }
        }
    }
    return columns;
}

} // namespace

class MenuBarQtTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { ItemIcon::useSymbolTheme(); }

    void iconAloneIsEighteenPointsSharpAtTwice() {
        const QImage image = MenuBarIcon::image(std::nullopt, Qt::black, 2.0);
        QCOMPARE(image.size(), QSize(36, 36));
        QCOMPARE(image.devicePixelRatio(), 2.0);
        // The line spans almost the whole width; the tip is solid.
        QVERIFY(inkedColumns(image) >= 32);
        QCOMPARE(qAlpha(image.pixel(qRound(9.0 * 2), qRound(4.5 * 2))), 255);
        // The body is translucent inside its outline.
        const int body = qAlpha(image.pixel(qRound(9.0 * 2), qRound(11.5 * 2)));
        QVERIFY2(body > 40 && body < 120, qPrintable(QString::number(body)));
    }

    void countIsDrawnBesideTheIcon() {
        const QImage alone = MenuBarIcon::image(std::nullopt, Qt::black, 2.0);
        const QImage one = MenuBarIcon::image(1, Qt::black, 2.0);
        const QImage many = MenuBarIcon::image(12345, Qt::black, 2.0);
        QVERIFY(one.width() > alone.width());
        QVERIFY(many.width() > one.width());
        QCOMPARE(one.height(), alone.height());
        // Something is drawn right of the icon.
        QVERIFY(inkedColumns(one.copy(40, 0, one.width() - 40, one.height())) > 0);
    }

    void countOnlyWithShowCountAndNonAppleItems() {
        QTemporaryDir dir;
        auto model = makeModel(dir);
        QCOMPARE(MenuBarItem::countFor(*model), std::nullopt);
        BackgroundItem apple = running("apple", "cfprefsd", 10);
        apple.isApple = true;
        model->setInventoryForTesting(inventory({apple}));
        QCOMPARE(MenuBarItem::countFor(*model), std::nullopt);
        model->setInventoryForTesting(inventory({apple, running("a", "alpha", 10)}));
        QCOMPARE(MenuBarItem::countFor(*model), std::optional<int>(1));
        model->setShowCount(false);
        QCOMPARE(MenuBarItem::countFor(*model), std::nullopt);
    }

    void trayPictureFollowsTheModel() {
        if (!QSystemTrayIcon::isSystemTrayAvailable())
            QSKIP("no system tray on this display");
        QTemporaryDir dir;
        auto model = makeModel(dir);
        Panel panel(model.get(), true);
        MenuBarItem item(model.get(), &panel);
        QCOMPARE(item.trayIcon()->toolTip(), QStringLiteral("Quillmarsh"));
        QCOMPARE(item.shownCount(), std::nullopt);
        const int narrow = item.currentImage().width();
        model->setInventoryForTesting(
            inventory({running("a", "alpha", 10), running("b", "beta", 10)}));
        QCOMPARE(item.shownCount(), std::optional<int>(2));
        QVERIFY(item.currentImage().width() > narrow);
        Q_EMIT item.trayIcon()->activated(QSystemTrayIcon::Trigger);
        QTRY_VERIFY(panel.isVisible());
        panel.hide();
    }

    void placementUnderTheAnchorInsideTheScreen() {
        const QSize size(380, 560);
        const QRect screen(0, 0, 1920, 1080);
        const QRect available(0, 28, 1920, 1052);
        (void)screen;
        // Centred under an icon in a top bar.
        QCOMPARE(Panel::placement(size, QRect(1000, 0, 24, 24), {}, available), QPoint(822, 28));
        // Pushed back inside at the right edge.
        QCOMPARE(Panel::placement(size, QRect(1900, 0, 20, 24), {}, available), QPoint(1540, 28));
        // Above an icon in a bottom bar.
        QCOMPARE(Panel::placement(size, QRect(1000, 1050, 24, 30), {}, QRect(0, 0, 1920, 1050)),
                 QPoint(822, 1050 - 4 - 560));
        // No anchor: at the pointer.
        QCOMPARE(Panel::placement(size, QRect(), QPoint(400, 300), available), QPoint(210, 305));
    }

    void withoutATrayThePanelIsAnOrdinaryWindow() {
        QTemporaryDir dir;
        auto model = makeModel(dir);
        Panel panel(model.get(), false);
        QCOMPARE(panel.windowTitle(), QStringLiteral("Quillmarsh"));
        QCOMPARE(panel.windowType(), Qt::Window);
        QCOMPARE(panel.size(), QSize(380, 560));
    }

    void showingThePanelRunsTheLoopAndHidingStopsIt() {
        QTemporaryDir dir;
        auto model = makeModel(dir);
        Panel panel(model.get(), false);
        panel.show();
        QTRY_VERIFY(model->isPanelOpen());
        QTRY_VERIFY_WITH_TIMEOUT(model->inventory().has_value(), 30000);
        // An icon cached while open is dropped on hide.
        QTemporaryDir bundle;
        QVERIFY(ItemIcon::appIcon(bundle.path()).has_value());
        QCOMPARE(ItemIcon::iconCacheSize(), 1);
        panel.hide();
        QCOMPARE(ItemIcon::iconCacheSize(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(!model->isPanelOpen(), 30000);
    }

    void escapeClosesThePopupOnlyFromTheList() {
        QTemporaryDir dir;
        auto model = makeModel(dir);
        model->setInventoryForTesting(inventory({running("a", "alpha", 10)}));
        Panel panel(model.get(), true);
        panel.showAt(QRect(100, 0, 24, 24));
        QVERIFY(QTest::qWaitForWindowExposed(&panel));
        model->setScreen(AppModel::Screen::detail(QStringLiteral("a")));
        QTest::keyClick(panel.rootView()->currentScreen(), Qt::Key_Escape);
        QCOMPARE(model->screen(), AppModel::Screen::list());
        QVERIFY(panel.isVisible());
        QTest::keyClick(
            panel.rootView()->currentScreen()->findChild<QWidget*>(QStringLiteral("search")),
            Qt::Key_Escape);
        QTRY_VERIFY(!panel.isVisible());
    }

    void reopensOnTheScreenItWasClosedOn() {
        QTemporaryDir dir;
        auto model = makeModel(dir);
        Panel panel(model.get(), true);
        panel.showAt(QRect());
        QTRY_VERIFY(model->isPanelOpen());
        model->setScreen(AppModel::Screen::settings());
        panel.hide();
        QTRY_VERIFY_WITH_TIMEOUT(!model->isPanelOpen(), 30000);
        panel.showAt(QRect());
        QTRY_VERIFY(panel.isVisible());
        QCOMPARE(panel.rootView()->currentScreen()->objectName(),
                 QStringLiteral("settings.screen"));
        // Fresh data at once: the loop runs again.
        QTRY_VERIFY(model->isPanelOpen());
        panel.hide();
        QTRY_VERIFY_WITH_TIMEOUT(!model->isPanelOpen(), 30000);
    }

    void externalVolumesAndMissingPathsGiveNoAppIcon() {
        ItemIcon::clearIconCache();
        QCOMPARE(ItemIcon::appIcon(QStringLiteral("/Volumes/External/Tool.app")), std::nullopt);
        QCOMPARE(ItemIcon::appIcon(QStringLiteral("/nonexistent/Tool.app")), std::nullopt);
        QCOMPARE(ItemIcon::iconCacheSize(), 0);
    }

    void everySymbolHasAThemeIcon_data() {
        QTest::addColumn<QString>("symbol");
        for (const char* symbol : {"iphone", "sparkles", "mug", "network", "gearshape.2",
                                   "terminal", "calendar.badge.clock", "moon.zzz", "pause.circle",
                                   "arrow.clockwise", "ellipsis.circle", "checkmark.circle"})
            QTest::newRow(symbol) << QString::fromLatin1(symbol);
    }

    void everySymbolHasAThemeIcon() {
        QFETCH(QString, symbol);
        const QString name = ItemIcon::themeIconName(symbol);
        QVERIFY(!name.isEmpty());
        if (!QIcon::hasThemeIcon(name))
            QSKIP("the Adwaita icon theme is not installed");
        QVERIFY(!ItemIcon::symbolIcon(symbol).isNull());
    }
};

QTEST_MAIN(MenuBarQtTest)
#include "MenuBarQtTest.moc"
