// Catches: a key step that skips a row or passes an end; rows that move under
// the pointer or a key-selected row, stay frozen after, or whose ids find old
// rows; a stop that asks nothing, a question a refresh or Escape does not keep
// or end, actions on a gone item; a panel off screen; a refresh loop that
// showing the panel does not start, a new interval restarts or Escape does not
// stop; a tray glyph lost on a dark or light panel, a tooltip without the
// count, the old theme's colours. Under this machine's rules (no singulars
// installed): a text naming macOS, Apple, Finder, launchd, ~/Library or the
// menu bar, or showing ⌘; a system program not located in the system's name;
// "1 processes"; an app's quit not told as SIGTERM; a control without a name of
// its own; a login-items check offered or run without launchd.

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
#include "window/ListNavigation.h"
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

// A light or a dark theme, its text in black or white.
QPalette theme(bool dark) {
    return QPalette(QColor(dark ? 0x2b2b2b : 0xefefef));
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
        return find<QWidget>(name) && find<QWidget>(name)->isVisible();
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

    // Down and Up move one row and stop at the ends; Return opens the row, or
    // the first when none is highlighted.
    void arrowKeysMoveOneRowAndReturnOpensIt() {
        m_model->setInventoryForTesting(standard());
        const std::pair<QList<int>, QString> steps[] = {
            {{Qt::Key_Down}, "a"},
            {{Qt::Key_Up}, "a"},
            {QList<int>(9, Qt::Key_Down), "job:com.example.backup"}};
        for (const auto& [keys, highlighted] : steps) {
            for (const int k : keys)
                key(k);
            QCOMPARE(list()->highlighted().value_or(QString()), highlighted);
        }
        key(Qt::Key_Return);
        QCOMPARE(m_model->screen(), AppModel::Screen::detail("job:com.example.backup"));
        QCOMPARE(ListNavigation::openTarget({"a", "b"}, std::nullopt), QStringLiteral("a"));
    }

    // Rows hold still under the pointer and a key-selected row until both let go (the
    // pointer leaves, Escape, the row goes away); each id finds its row after every change.
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
        // Centred under the anchor, kept off the right edge, above a bottom bar, at the pointer.
        const std::tuple<QRect, QPoint, QRect, QPoint> rows[] = {
            {QRect(1000, 0, 24, 24), QPoint(), below, QPoint(822, 28)},
            {QRect(1900, 0, 20, 24), QPoint(), below, QPoint(1540, 28)},
            {QRect(1000, 1050, 24, 30), QPoint(), QRect(0, 0, 1920, 1050), QPoint(822, 486)},
            {QRect(), QPoint(400, 300), below, QPoint(210, 305)}};
        for (const auto& [anchor, pointer, available, corner] : rows)
            QCOMPARE(Panel::placement({380, 560}, anchor, pointer, available), corner);
    }

    // Under a light and a dark theme the glyph stands out from a dark and a
    // light panel.
    void theTrayPictureReadsOnDarkAndLightPanels() {
        for (const bool dark : {false, true}) {
            for (const QRgb panel : {0xff202124u, 0xfff2f2f2u}) {
                QImage slot(22, 22, QImage::Format_RGB32); // the tray's, on the panel
                slot.fill(panel);
                QPainter painter(&slot);
                MenuBarIcon::icon(std::nullopt, theme(dark)).paint(&painter, slot.rect());
                painter.end();
                int standsOut = 0;
                for (int y = 0; y < 22; ++y) {
                    for (int x = 0; x < 22; ++x)
                        standsOut += std::abs(qGray(slot.pixel(x, y)) - qGray(panel)) > 100;
                }
                QVERIFY2(standsOut >= 40, qPrintable(QString::asprintf("dark %d on %x: %d", dark,
                                                                       panel, standsOut)));
            }
        }
    }

    // The tray item tells the count and follows a new theme. Showing the panel runs the
    // refresh loop, which takes a new interval after the sleep in progress; Escape on the
    // list hides the panel and wakes that sleep to end the loop.
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

        m_model->setRefreshSeconds(1);
        QSignalSpy passes(m_model.get(), &AppModel::inventoryChanged);
        panel.showAt(QRect(100, 0, 24, 24));
        QVERIFY(passes.wait(30000));
        m_model->setRefreshSeconds(60); // a restarted sleep would take a minute
        QVERIFY(passes.wait(30000));
        QTest::keyClick(panel.rootView()->currentScreen()->findChild<QWidget*>("search"),
                        Qt::Key_Escape);
        QTRY_VERIFY(!panel.isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(!m_model->isPanelOpen(), 20000);
    }

    // On the list, the settings and the details of a command, an app and a system daemon
    // (stop asked for) every control has a name of its own and no text speaks of another
    // system; what a screen must say is read from the widget that says it.
    void everyScreenSpeaksOfThisSystem() {
        BackgroundItem command = running("exe:/usr/bin/node", "node", 1, {3000}, me);
        command.primary->workingDirectory = "/srv/chat-api"; // a second path row
        BackgroundItem editor = running("editor", "Editor", 10, {}, me);
        editor.kind = BackgroundItem::Kind::app;
        BackgroundItem daemon = running("daemon", "cupsd", 10);
        daemon.isApple = true;
        const Inventory items = inventory({command, editor, daemon});
        const auto says = [&](const char* shows, const QString& text) {
            QTRY_VERIFY(shown(shows) && !m_root->isTransitioning());
            const QString said = QAccessible::queryAccessibleInterface(find<QWidget>(shows))
                                     ->text(QAccessible::Name);
            QVERIFY2(said.contains(text), qPrintable(said));
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
            for (const char* word :
                 {"Apple", "macOS", "Finder", "launchd", "Library", "menu bar", "⌘"})
                QVERIFY2(!all.contains(QString::fromUtf8(word)), word);
        };
        m_model->setInventoryForTesting(items);
        QTest::keyClicks(search(), "a"); // the clear button shows once there is text
        says("search", {});
        QTest::keyClick(search(), Qt::Key_Comma, Qt::ControlModifier);
        says("settings.back", {});
        QVERIFY(!shown("settings.checkLoginItems"));
        QCoro::waitFor(m_model->checkLoginItems());
        QVERIFY(!m_model->loginItemsMessage()); // no tool ran, none failed
        const std::tuple<QString, const char*, QString> details[] = {
            {command.id, "action.description", " 1 process."},
            {command.id, "note", Hosts::current().words.systemName},
            {editor.id, "action.description", "SIGTERM"},
            {daemon.id, "action.appleNote", {}}};
        for (const auto& [id, shows, text] : details) {
            if (m_model->screen() != AppModel::Screen::detail(id) && open(items, id))
                QTest::keyClick(m_root.get(), Qt::Key_Backspace, Qt::ControlModifier);
            says(shows, text);
        }
    }
};

QTEST_MAIN(LinuxWindowQtTest)
#include "LinuxWindowQtTest.moc"
