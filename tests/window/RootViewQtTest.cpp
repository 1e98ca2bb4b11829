// Catches: a keyboard step that skips a row, rows that move under the pointer,
// a reordered list of the same size that keeps its old rows, shortcuts that
// act without confirmation or on an item that went away.
//
// The list, detail and settings screens inside the root view, driven through
// their widgets over hand-made items, offscreen. No operation runs here.

#include <QAbstractItemModelTester>
#include <QApplication>
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

    void theOrderHoldsStillWhileThePointerIsOverTheList() {
        m_model->setInventoryForTesting(standard());
        auto* view = find<QListView>("list");
        QTest::mouseMove(view->viewport(), QPoint(40, 40));
        QTRY_VERIFY(list()->frozenOrder().has_value());
        // Memory now says c, b, a, and d arrives with the most.
        m_model->setInventoryForTesting(
            inventory({running("a", "alpha", 100), running("b", "beta", 200),
                       running("c", "gamma", 300), running("d", "delta", 900)},
                      {job("com.example.nightly")}));
        const QStringList shown{"a", "b", "c", "d", "job:com.example.nightly"};
        QCOMPARE(rows()->ids(), shown);
        // The keys follow the order shown, from the row under the pointer.
        const qsizetype hovered = shown.indexOf(list()->highlighted().value_or(QString()));
        QVERIFY(hovered >= 0 && hovered + 1 < shown.size());
        key(Qt::Key_Down);
        QCOMPARE(list()->highlighted().value_or(QString()), shown[hovered + 1]);

        QTest::mouseMove(m_root.get(), QPoint(5, 5));
        QEvent leave(QEvent::Leave);
        QCoreApplication::sendEvent(view->viewport(), &leave);
        QTRY_VERIFY(!list()->frozenOrder().has_value());
        QCOMPARE(rows()->ids(), (QStringList{"d", "c", "b", "a", "job:com.example.nightly"}));
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
