// Catches: a keyboard step that skips a row or starts from a row that went
// away; rows that move under the pointer or a row selected with the keys, or
// stay frozen after; a reordered list whose ids find the old rows; a stop that
// asks nothing, a question a refresh or Escape does not keep or end, actions
// left on an item that went away; a panel off screen; a refresh loop that does
// not start when the panel shows or stop once Escape hid it; a tray picture
// that vanishes on a dark or a light panel, a count too small at 22 pixels, a
// tooltip without the count, colours of the old theme. Under this machine's
// rules: a text that names macOS, Apple, Finder, launchd, ~/Library or the
// menu bar or shows ⌘; a system program not located in the system's own name;
// "1 processes" (this test installs no singulars); an app's quit not told as
// SIGTERM; a control without an accessible name, or two on a screen alike; a
// login-items check offered or run where there is no launchd.
//
// The panel and its screens over hand-made items (no operation runs), the tray.

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QListView>
#include <QPainter>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTest>

#include <qcoro/qcorotask.h>

#include "os/HostRules.h"
#include "window/ActionBar.h"
#include "window/DetailScreen.h"
#include "window/ItemIcon.h"
#include "window/ItemListModel.h"
#include "window/ListScreen.h"
#include "window/MenuBarItem.h"
#include "window/Panel.h"
#include "window/RootView.h"
#include "window/WindowFixtures.h"

using namespace WindowFixtures;

namespace {

Inventory standard() {
    return inventory(
        {running("a", "alpha", 300), running("b", "beta", 200), running("c", "gamma", 100, {8080})},
        {job("com.example.nightly"), job("com.example.backup")});
}

// A light or a dark theme with blue highlights.
QPalette theme(bool dark) {
    QPalette palette(QColor(dark ? 0x2b2b2b : 0xefefef)); // text in black or white
    palette.setColor(QPalette::Highlight, QColor(0x2a82da));
    palette.setColor(QPalette::HighlightedText, Qt::white);
    return palette;
}

} // namespace

class LinuxWindowQtTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<AppModel> m_model;
    std::unique_ptr<RootView> m_root;

    ListScreen* list() const { return qobject_cast<ListScreen*>(m_root->currentScreen()); }
    DetailScreen* detail() const { return qobject_cast<DetailScreen*>(m_root->currentScreen()); }
    template <typename T> T* find(const char* name) const {
        return m_root->currentScreen()->findChild<T*>(QString::fromLatin1(name));
    }
    ItemListModel* rows() const {
        return qobject_cast<ItemListModel*>(find<QListView>("list")->model());
    }
    QLineEdit* search() const { return find<QLineEdit>("search"); }
    bool shown(const char* name) const {
        const QWidget* widget = find<QWidget>(name);
        return widget && widget->isVisible();
    }
    void key(int k) { QTest::keyClick(QApplication::focusWidget(), Qt::Key(k)); }
    bool open(const Inventory& items, const QString& id) {
        m_model->setInventoryForTesting(items);
        m_model->setScreen(AppModel::Screen::detail(id));
        return QTest::qWaitFor(
            [&] { return detail() && detail()->id() == id && !m_root->isTransitioning(); });
    }

private Q_SLOTS:
    void init() {
        qputenv("QT_REDUCE_MOTION", "1");
        ItemIcon::useSymbolTheme();
        m_dir = std::make_unique<QTemporaryDir>();
        m_model = makeModel(*m_dir);
        m_root = std::make_unique<RootView>(m_model.get());
        m_root->resize(380, 560);
        m_root->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_root.get()));
        m_root->activateWindow();
        // The pointer rests on the header, not over the list.
        QTest::mouseMove(m_root.get(), QPoint(200, 5));
        QTRY_COMPARE(QApplication::focusWidget(), search());
    }

    void cleanup() { m_root.reset(), m_model.reset(); }

    void arrowKeysMoveOneRowAndReturnOpensIt_data() {
        QTest::addColumn<QList<int>>("keys");
        QTest::addColumn<QString>("highlighted"); // empty: none, and Return opens the first
        const int down = Qt::Key_Down;
        QTest::newRow("no key") << QList<int>{} << QString();
        QTest::newRow("down from none") << QList<int>{down} << "a";
        QTest::newRow("up from none") << QList<int>{Qt::Key_Up} << "job:com.example.backup";
        QTest::newRow("into not running") << QList<int>(4, down) << "job:com.example.nightly";
        QTest::newRow("past the end") << QList<int>(9, down) << "job:com.example.backup";
        QTest::newRow("back past the start")
            << QList<int>(9, down) + QList<int>(9, Qt::Key_Up) << "a";
    }
    void arrowKeysMoveOneRowAndReturnOpensIt() {
        QFETCH(QList<int>, keys);
        QFETCH(QString, highlighted);
        m_model->setInventoryForTesting(standard());
        for (const int k : keys)
            key(k);
        QCOMPARE(list()->highlighted().value_or(QString()), highlighted);
        key(Qt::Key_Return);
        QCOMPARE(m_model->screen(),
                 AppModel::Screen::detail(highlighted.isEmpty() ? "a" : highlighted));
    }

    // Rows hold still under the pointer and under a row selected with the
    // keys, until both let go: the pointer leaves, Escape, or the selected row
    // goes away. Each id finds its row after every change.
    void theOrderHoldsStillUnderThePointerAndTheKeyboard_data() {
        QTest::addColumn<bool>("pointer");
        QTest::addColumn<bool>("keys"); // two Downs select b
        QTest::newRow("pointer") << true << false;
        QTest::newRow("keys, then b goes away") << false << true;
        QTest::newRow("keys, then the pointer passes") << true << true;
    }
    void theOrderHoldsStillUnderThePointerAndTheKeyboard() {
        QFETCH(bool, pointer);
        QFETCH(bool, keys);
        const auto shows = [this](const QStringList& ids) {
            for (const QString& id : ids)
                QCOMPARE(rows()->idAt(rows()->rowOf(id)), id);
            QCOMPARE(rows()->ids(), ids);
        };
        m_model->setInventoryForTesting(standard());
        QWidget* viewport = find<QListView>("list")->viewport();
        if (pointer)
            QTest::mouseMove(viewport, QPoint(40, 40));
        if (keys)
            key(Qt::Key_Down), key(Qt::Key_Down);
        QTRY_VERIFY(list()->frozenOrder());
        // Memory now says c, b, a, and d arrives with the most.
        QList<BackgroundItem> next{running("a", "alpha", 100), running("b", "beta", 200),
                                   running("c", "gamma", 300), running("d", "delta", 900)};
        m_model->setInventoryForTesting(inventory(next, {job("com.example.nightly")}));
        QStringList reordered{"d", "c", "b", "a", "job:com.example.nightly"};
        shows({"a", "b", "c", "d", "job:com.example.nightly"});
        if (pointer) {
            QTest::mouseMove(m_root.get(), QPoint(5, 5));
            QEvent leave(QEvent::Leave);
            QCoreApplication::sendEvent(viewport, &leave);
        }
        if (keys && pointer) { // the selection still holds the rows
            QCOMPARE(rows()->ids().first(), QStringLiteral("a"));
            key(Qt::Key_Escape);
        } else if (keys) {
            next.removeAt(1), reordered.removeOne("b");
            m_model->setInventoryForTesting(inventory(next, {job("com.example.nightly")}));
        }
        QTRY_VERIFY(!list()->frozenOrder());
        shows(reordered);
        if (keys) { // from no row, or from the one that went away: the last
            key(Qt::Key_Up);
            QCOMPARE(list()->highlighted().value_or(QString()), reordered.last());
        }
    }

    // On a detail, Ctrl+Backspace asks to stop, a refresh keeps the question
    // and Escape cancels it; an item that went away shows no actions.
    void shortcutsConfirmationsAndAGoneItem() {
        BackgroundItem item = running("exe:/usr/bin/make", "make", 1, {}, me);
        item.primary->pid = 999999; // no such process: nothing is confirmed here
        item.members = {*item.primary};
        QVERIFY(open(inventory({item}), item.id));
        QTest::keyClick(m_root.get(), Qt::Key_Backspace, Qt::ControlModifier);
        QTRY_COMPARE(detail()->actionBar()->phase(),
                     ActionBarPhase::confirm(ActionBarPhase::Pending::stop));
        item.explanation = "Changed by a refresh.";
        m_model->setInventoryForTesting(inventory({item}));
        QCOMPARE(detail()->actionBar()->phase().kind, ActionBarPhase::Case::confirm);
        QTest::keyClick(m_root.get(), Qt::Key_Escape);
        QTRY_COMPARE(detail()->actionBar()->phase(), ActionBarPhase::idle());
        QCOMPARE(m_model->screen(), AppModel::Screen::detail(item.id));

        m_model->setInventoryForTesting(standard()); // make goes away
        QTRY_VERIFY(shown("detail.gone") && !detail()->actionBar()->isVisible());
        QTest::keyClick(m_root->currentScreen(), Qt::Key_Escape);
        QCOMPARE(m_model->screen(), AppModel::Screen::list());
    }

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
                const auto slot = [&](std::optional<int> count) { // the tray's, on the panel
                    QImage image(22, 22, QImage::Format_RGB32);
                    image.fill(panel);
                    QPainter painter(&image);
                    MenuBarIcon::icon(count, theme(dark)).paint(&painter, image.rect());
                    return image;
                };
                const QImage bare = slot(std::nullopt), eight = slot(88), one = slot(11);
                int standsOut = 0, top = 22, bottom = 0;
                for (int y = 0; y < 22; ++y) {
                    for (int x = 0; x < 22; ++x) {
                        standsOut += std::abs(qGray(bare.pixel(x, y)) - qGray(panel)) > 100;
                        // Where 88 and 11 differ: the digits.
                        if (std::abs(qGray(eight.pixel(x, y)) - qGray(one.pixel(x, y))) > 64)
                            top = std::min(top, y), bottom = std::max(bottom, y);
                    }
                }
                const QString what = QStringLiteral("dark %1 on %2: ").arg(dark).arg(panel, 0, 16);
                QVERIFY2(standsOut >= 40, qPrintable(what + QString::number(standsOut)));
                QVERIFY2(bottom - top >= 7, qPrintable(what + QString::number(bottom - top + 1)));
            }
        }
    }

    // The tray item tells the count in its tooltip and follows a new theme.
    // Showing the panel runs the refresh loop; Escape on the list hides the
    // panel, and the loop stops.
    void thePanelAndItsTrayItem() {
        Panel panel(m_model.get(), true);
        MenuBarItem item(m_model.get(), &panel);
        m_model->setInventoryForTesting(
            inventory({running("a", "a", 1), running("b", "b", 1), running("c", "c", 1)}));
        QVERIFY2(item.trayIcon()->toolTip().contains("3"), qPrintable(item.trayIcon()->toolTip()));
        const QPalette before = QApplication::palette();
        const QImage light = item.trayIcon()->icon().pixmap(22, 22).toImage();
        QApplication::setPalette(theme(true));
        const QImage recoloured = item.trayIcon()->icon().pixmap(22, 22).toImage();
        QApplication::setPalette(before);
        QVERIFY(light != recoloured);

        QSignalSpy passes(m_model.get(), &AppModel::inventoryChanged);
        panel.showAt(QRect(100, 0, 24, 24));
        QVERIFY(passes.wait(30000));
        QTest::keyClick(panel.rootView()->currentScreen()->findChild<QWidget*>("search"),
                        Qt::Key_Escape);
        QTRY_VERIFY(!panel.isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(!m_model->isPanelOpen(), 30000);
    }

    void everyScreenSpeaksOfThisSystem_data() {
        QTest::addColumn<QString>("screen"); // an item's id, "list" or "settings"
        QTest::addColumn<QString>("shows");  // a widget the screen shows
        QTest::addColumn<QString>("says");   // that widget
        const auto row = [](const char* tag, const char* screen, const char* shows,
                            const QString& says = {}) {
            QTest::newRow(tag) << QString(screen) << QString(shows) << says;
        };
        row("list", "list", "search");
        row("user's command", "exe:/usr/bin/node", "action.description", " 1 process.");
        row("its location", "exe:/usr/bin/node", "note", Hosts::current().words.systemName);
        row("app", "editor", "action.description", "SIGTERM");
        row("system daemon", "daemon", "action.appleNote");
        row("settings", "settings", "settings.back");
    }
    // With stop pressed where there is one.
    void everyScreenSpeaksOfThisSystem() {
        QFETCH(QString, screen);
        QFETCH(QString, shows);
        QFETCH(QString, says);
        BackgroundItem command = running("exe:/usr/bin/node", "node", 1, {3000}, me);
        command.primary->workingDirectory = "/srv/chat-api"; // a second path row
        BackgroundItem editor = running("editor", "Editor", 10, {}, me);
        editor.kind = BackgroundItem::Kind::app;
        BackgroundItem daemon = running("daemon", "cupsd", 10);
        daemon.isApple = true;
        const Inventory items = inventory({command, editor, daemon});
        m_model->setInventoryForTesting(items);
        if (screen == "list") // the clear button shows once there is text
            QTest::keyClicks(search(), "a");
        else if (screen == "settings")
            QTest::keyClick(search(), Qt::Key_Comma, Qt::ControlModifier);
        else if (open(items, screen)) // and stop asked for, where there is one
            QTest::keyClick(m_root.get(), Qt::Key_Backspace, Qt::ControlModifier);
        QTRY_VERIFY(shown(qPrintable(shows)) && !m_root->isTransitioning());

        QWidget* current = m_root->currentScreen();
        QStringList texts;
        QSet<QString> names; // of the controls
        for (QWidget* widget : current->findChildren<QWidget*>()) {
            if (!widget->isVisibleTo(current))
                continue;
            const QString name =
                QAccessible::queryAccessibleInterface(widget)->text(QAccessible::Name);
            texts << name << widget->toolTip() << widget->property("text").toString()
                  << widget->property("placeholderText").toString();
            if (widget->inherits("QAbstractButton") || widget->inherits("QLineEdit") ||
                widget->inherits("QComboBox") || widget->inherits("QAbstractItemView")) {
                QVERIFY2(!name.isEmpty() && !names.contains(name),
                         qPrintable(widget->objectName() + " named \"" + name + '"'));
                names.insert(name);
            }
        }
        for (QAction* action : current->findChildren<QAction*>()) // the More menu's too
            texts << action->text();
        const QString all = texts.join('\n');
        for (const char* word : {"Apple", "macOS", "Finder", "launchd", "Library", "menu bar", "⌘"})
            QVERIFY2(!all.contains(QString::fromUtf8(word)), word);
        const QString said = QAccessible::queryAccessibleInterface(find<QWidget>(qPrintable(shows)))
                                 ->text(QAccessible::Name);
        QVERIFY2(said.contains(says), qPrintable(said));
        if (screen == "settings") {
            QVERIFY(!shown("settings.checkLoginItems"));
            QCoro::waitFor(m_model->checkLoginItems());
            QVERIFY(!m_model->loginItemsMessage()); // no tool ran, none failed
        }
    }
};

QTEST_MAIN(LinuxWindowQtTest)
#include "LinuxWindowQtTest.moc"
