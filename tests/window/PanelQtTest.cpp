// Catches: a panel placed off screen, a refresh loop that does not start when
// the panel shows or does not stop once Escape has hidden it, a tray picture
// that vanishes on a dark or a light panel, a count squeezed too small to read
// in a 22-pixel slot, a tooltip without the count, a picture that keeps the
// old theme's colours.
//
// The panel's life cycle and placement, and the tray item.

#include <QApplication>
#include <QLocale>
#include <QPainter>
#include <QSystemTrayIcon>
#include <QTest>

#include "window/ItemIcon.h"
#include "window/MenuBarItem.h"
#include "window/Panel.h"
#include "window/RootView.h"
#include "window/WindowFixtures.h"

using namespace WindowFixtures;

namespace {

// A light or a dark theme with blue highlights.
QPalette theme(bool dark) {
    QPalette palette;
    palette.setColor(QPalette::Window, QColor(dark ? 0x2b2b2b : 0xefefef));
    palette.setColor(QPalette::WindowText, QColor(dark ? 0xf0f0f0 : 0x000000));
    palette.setColor(QPalette::Highlight, QColor(0x2a82da));
    palette.setColor(QPalette::HighlightedText, Qt::white);
    return palette;
}

// The tray's 22-pixel slot on a panel of colour `panel`.
QImage onPanel(const QIcon& icon, QRgb panel) {
    QImage slot(22, 22, QImage::Format_RGB32);
    slot.fill(panel);
    QPainter painter(&slot);
    icon.paint(&painter, slot.rect());
    return slot;
}

// The difference in lightness of two pixels, from 0 to 1.
double contrast(QRgb a, QRgb b) {
    const auto lightness = [](QRgb pixel) {
        return (0.2126 * qRed(pixel) + 0.7152 * qGreen(pixel) + 0.0722 * qBlue(pixel)) / 255;
    };
    return std::abs(lightness(a) - lightness(b));
}

} // namespace

class PanelQtTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { ItemIcon::useSymbolTheme(); }

    void placementStaysUnderTheAnchorAndOnTheScreen() {
        const QRect below(0, 28, 1920, 1052);
        const std::tuple<const char*, QRect, QPoint, QRect, QPoint> rows[] = {
            {"centred under", QRect(1000, 0, 24, 24), QPoint(), below, QPoint(822, 28)},
            {"right edge", QRect(1900, 0, 20, 24), QPoint(), below, QPoint(1540, 28)},
            {"bottom bar", QRect(1000, 1050, 24, 30), QPoint(), QRect(0, 0, 1920, 1050),
             QPoint(822, 1050 - 4 - 560)},
            {"at the pointer", QRect(), QPoint(400, 300), below, QPoint(210, 305)}};
        for (const auto& [what, anchor, pointer, available, corner] : rows)
            QVERIFY2(Panel::placement({380, 560}, anchor, pointer, available) == corner, what);
    }

    // Under a light and a dark theme, on a dark and a light panel: the glyph
    // stands out from the panel, and a two-digit count stands at least 8 of
    // the slot's 22 pixels tall.
    void theTrayPictureReadsOnDarkAndLightPanels() {
        for (const bool dark : {false, true}) {
            for (const QRgb panel : {0xff202124u, 0xfff2f2f2u}) {
                const QImage bare = onPanel(MenuBarIcon::icon(std::nullopt, theme(dark)), panel);
                const QImage eight = onPanel(MenuBarIcon::icon(88, theme(dark)), panel);
                const QImage one = onPanel(MenuBarIcon::icon(11, theme(dark)), panel);
                int standsOut = 0;
                int top = 22;
                int bottom = -1;
                for (int y = 0; y < 22; ++y) {
                    for (int x = 0; x < 22; ++x) {
                        standsOut += contrast(bare.pixel(x, y), panel) > 0.4;
                        // Where 88 and 11 differ: the digits' height.
                        if (contrast(eight.pixel(x, y), one.pixel(x, y)) > 0.25) {
                            top = std::min(top, y);
                            bottom = std::max(bottom, y);
                        }
                    }
                }
                QVERIFY2(standsOut >= 40 && bottom - top + 1 >= 8,
                         qPrintable(QStringLiteral("dark theme %1, panel %2: %3 pixels, %4 high")
                                        .arg(dark)
                                        .arg(panel, 0, 16)
                                        .arg(standsOut)
                                        .arg(bottom - top + 1)));
            }
        }
    }

    // The tooltip tells the count, and a new theme recolours the picture.
    void theTrayItemFollowsTheCountAndTheTheme() {
        QTemporaryDir dir;
        auto model = makeModel(dir);
        Panel panel(model.get(), true);
        MenuBarItem item(model.get(), &panel);
        QList<BackgroundItem> items;
        for (const char* id : {"a", "b", "c"})
            items.append(running(id, id, 1));
        model->setInventoryForTesting(inventory(items));
        QCOMPARE(item.shownCount(), 3);
        QVERIFY2(item.trayIcon()->toolTip().contains(QLocale().toString(3)),
                 qPrintable(item.trayIcon()->toolTip()));

        const QPalette before = QApplication::palette();
        const QImage shown = item.trayIcon()->icon().pixmap(22, 22).toImage();
        QApplication::setPalette(theme(true));
        const QImage recoloured = item.trayIcon()->icon().pixmap(22, 22).toImage();
        QApplication::setPalette(before);
        QVERIFY(shown != recoloured);
    }

    void showingThePanelRunsTheLoopAndEscapeOnTheListHidesIt() {
        QTemporaryDir dir;
        auto model = makeModel(dir);
        Panel panel(model.get(), true);
        panel.showAt(QRect(100, 0, 24, 24));
        QVERIFY(QTest::qWaitForWindowExposed(&panel));
        QTRY_VERIFY(model->isPanelOpen());
        QTRY_VERIFY_WITH_TIMEOUT(model->inventory().has_value(), 30000);
        model->setScreen(AppModel::Screen::settings());
        QTest::keyClick(panel.rootView()->currentScreen(), Qt::Key_Escape);
        QCOMPARE(model->screen(), AppModel::Screen::list());
        QVERIFY(panel.isVisible());
        QTRY_VERIFY(panel.rootView()->currentScreen()->findChild<QWidget*>("search"));
        QTest::keyClick(panel.rootView()->currentScreen()->findChild<QWidget*>("search"),
                        Qt::Key_Escape);
        QTRY_VERIFY(!panel.isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(!model->isPanelOpen(), 30000);
    }
};

QTEST_MAIN(PanelQtTest)
#include "PanelQtTest.moc"
