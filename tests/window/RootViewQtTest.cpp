// Catches: a keyboard step that skips a row, rows that move under the pointer
// or under a row selected with the keys, a reordered list of the same size
// that keeps its old rows, a control without an accessible name or two that
// read the same, shortcuts that act without confirmation or on an item that
// went away.
//
// The list, detail and settings screens inside the root view, driven through
// their widgets over hand-made items, offscreen. No operation runs here.

#include <QAbstractButton>
#include <QAbstractItemModelTester>
#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QListView>
#include <QTest>

#include "window/ActionBar.h"
#include "window/DetailScreen.h"
#include "window/ItemIcon.h"
#include "window/ItemListModel.h"
#include "window/ListScreen.h"
#include "window/RootView.h"
#include "window/WindowFixtures.h"

using namespace WindowFixtures;

namespace {

Inventory standard() {
    return inventory(
        {running("a", "alpha", 300), running("b", "beta", 200), running("c", "gamma", 100, {8080})},
        {job("com.example.nightly"), job("com.example.backup")});
}

} // namespace

class RootViewQtTest : public QObject {
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
    void key(int k) {
        QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : m_root.get(),
                        Qt::Key(k));
    }
    bool open(const Inventory& items, const QString& id) {
        m_model->setInventoryForTesting(items);
        m_model->setScreen(AppModel::Screen::detail(id));
        return QTest::qWaitFor(
            [&] { return detail() && detail()->id() == id && !m_root->isTransitioning(); });
    }

private Q_SLOTS:
    void initTestCase() {
        qputenv("QT_REDUCE_MOTION", "1");
        ItemIcon::useSymbolTheme();
    }

    void init() {
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

    void cleanup() {
        m_root.reset();
        m_model.reset();
    }

    void arrowKeysMoveOneRowAndReturnOpensIt_data() {
        QTest::addColumn<QList<int>>("keys");
        QTest::addColumn<QString>("highlighted"); // empty: none, and Return opens the first
        const int down = Qt::Key_Down;
        const int up = Qt::Key_Up;
        QTest::newRow("no key") << QList<int>{} << QString();
        QTest::newRow("down from none") << QList<int>{down} << "a";
        QTest::newRow("up from none") << QList<int>{up} << "job:com.example.backup";
        QTest::newRow("into not running") << QList<int>(4, down) << "job:com.example.nightly";
        QTest::newRow("past the end") << QList<int>(9, down) << "job:com.example.backup";
        QTest::newRow("back past the start") << QList<int>(9, down) + QList<int>(9, up) << "a";
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

    void keysAfterTheHighlightWentAway() {
        m_model->setInventoryForTesting(standard());
        key(Qt::Key_Down);
        key(Qt::Key_Down);
        m_model->setInventoryForTesting(
            inventory({running("a", "alpha", 3), running("c", "gamma", 1)}));
        key(Qt::Key_Up);
        QCOMPARE(list()->highlighted().value_or(QString()), QStringLiteral("c"));
    }

    // Rows hold still under the pointer and under a row selected with the
    // keys; the model's order comes back when neither holds.
    void theOrderHoldsStillUnderThePointerAndTheKeyboard_data() {
        QTest::addColumn<bool>("pointer");
        QTest::addColumn<int>("downs");
        QTest::addColumn<bool>("selectedGoes"); // the refresh drops the selected row
        QTest::newRow("pointer over the list") << true << 0 << false;
        QTest::newRow("row selected with the keys") << false << 2 << false;
        QTest::newRow("selected, then the pointer passes") << true << 2 << false;
        QTest::newRow("the selected row goes away") << false << 2 << true;
    }
    void theOrderHoldsStillUnderThePointerAndTheKeyboard() {
        QFETCH(bool, pointer);
        QFETCH(int, downs);
        QFETCH(bool, selectedGoes);
        m_model->setInventoryForTesting(standard());
        auto* view = find<QListView>("list");
        if (pointer) {
            QTest::mouseMove(view->viewport(), QPoint(40, 40));
            QTRY_VERIFY(list()->frozenOrder().has_value());
        }
        for (int i = 0; i < downs; ++i)
            key(Qt::Key_Down);
        const QString selected = list()->highlighted().value_or(QString());
        const qsizetype row = rows()->ids().indexOf(selected);
        // Memory now says c, b, a, and d arrives with the most.
        QList<BackgroundItem> next{running("a", "alpha", 100), running("b", "beta", 200),
                                   running("c", "gamma", 300), running("d", "delta", 900)};
        if (selectedGoes)
            next.removeIf([&](const BackgroundItem& item) { return item.id == selected; });
        m_model->setInventoryForTesting(inventory(next, {job("com.example.nightly")}));
        QStringList reordered{"d", "c", "b", "a", "job:com.example.nightly"};
        if (selectedGoes) {
            reordered.removeOne(selected);
            QCOMPARE(rows()->ids(), reordered);
            return;
        }
        const QStringList held{"a", "b", "c", "d", "job:com.example.nightly"};
        QCOMPARE(rows()->ids(), held);
        if (!selected.isEmpty())
            QCOMPARE(rows()->ids().indexOf(selected), row);
        if (pointer) {
            QTest::mouseMove(m_root.get(), QPoint(5, 5));
            QEvent leave(QEvent::Leave);
            QCoreApplication::sendEvent(view->viewport(), &leave);
        }
        if (downs > 0) {
            // The keyboard selection still holds the rows; Escape ends it.
            QCOMPARE(rows()->ids(), held);
            key(Qt::Key_Escape);
            QVERIFY(!list()->highlighted());
        }
        QTRY_VERIFY(!list()->frozenOrder().has_value());
        QCOMPARE(rows()->ids(), reordered);
    }

    // The same number of rows in another order is a new list, not new data.
    void aReorderedListOfTheSameSizeMovesItsRows() {
        ItemListModel model;
        QAbstractItemModelTester tester(&model,
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        for (const QStringList& order : {QStringList{"a", "b", "c"}, QStringList{"c", "a", "b"}}) {
            QList<BackgroundItem> items;
            for (const QString& id : order)
                items.append(running(id, id, 1));
            model.setItems(items, {}, now());
        }
        QCOMPARE(model.ids(), (QStringList{"c", "a", "b"}));
        for (const QString& id : model.ids())
            QCOMPARE(model.index(model.rowOf(id)).data(ItemListModel::IdRole).toString(), id);
    }

    // Every control a screen shows has an accessible name, and no two controls
    // of one screen share one: a screen reader tells each apart by its name.
    void everyControlHasItsOwnAccessibleName_data() {
        QTest::addColumn<QString>("screen");
        for (const char* screen : {"list", "process", "job", "settings"})
            QTest::newRow(screen) << screen;
    }
    void everyControlHasItsOwnAccessibleName() {
        QFETCH(QString, screen);
        const BackgroundItem process = userCommand();
        const Inventory items =
            inventory({process, running("b", "beta", 2)}, {job("com.example.nightly")});
        if (screen == "list") {
            m_model->setInventoryForTesting(items);
            // The clear button shows once there is text.
            QTest::keyClicks(search(), "a");
        } else if (screen == "settings") {
            m_model->setScreen(AppModel::Screen::settings());
            QTRY_VERIFY(find<QWidget>("settings.back") && !m_root->isTransitioning());
        } else {
            QVERIFY(open(items, screen == "job" ? "job:com.example.nightly" : process.id));
        }
        QWidget* shown = m_root->currentScreen();
        QHash<QString, QString> names; // name -> the control that has it
        for (QWidget* widget : shown->findChildren<QWidget*>()) {
            if (!widget->isVisibleTo(shown) ||
                !(qobject_cast<QAbstractButton*>(widget) || qobject_cast<QLineEdit*>(widget) ||
                  qobject_cast<QComboBox*>(widget) || qobject_cast<QAbstractItemView*>(widget)))
                continue;
            const QString what = widget->metaObject()->className() + (" " + widget->objectName());
            const QString name =
                QAccessible::queryAccessibleInterface(widget)->text(QAccessible::Name);
            QVERIFY2(!name.isEmpty() && !names.contains(name),
                     qPrintable(what + " named \"" + name + "\" like " + names.value(name)));
            names.insert(name, what);
        }
        QVERIFY(names.size() >= 4);
    }

    // On a detail, Ctrl+Backspace asks to stop, a refresh keeps the question
    // and Escape cancels it; an item that went away shows no actions.
    void shortcutsConfirmationsAndAGoneItem() {
        QTest::keyClick(search(), Qt::Key_Comma, Qt::ControlModifier);
        QCOMPARE(m_model->screen(), AppModel::Screen::settings());
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

        QVERIFY(open(standard(), "exe:/gone"));
        QVERIFY(find<QWidget>("detail.gone")->isVisible() && !detail()->actionBar()->isVisible());
        QTest::keyClick(m_root->currentScreen(), Qt::Key_Escape);
        QCOMPARE(m_model->screen(), AppModel::Screen::list());
    }
};

QTEST_MAIN(RootViewQtTest)
#include "RootViewQtTest.moc"
