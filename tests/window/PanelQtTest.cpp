// Catches: a panel placed off screen, a refresh loop that does not start when
// the panel shows or does not stop once Escape has hidden it.
//
// The panel's life cycle and placement.

#include <QTest>

#include "window/ItemIcon.h"
#include "window/Panel.h"
#include "window/RootView.h"
#include "window/WindowFixtures.h"

using namespace WindowFixtures;

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
