// The list, detail and settings screens inside the root view, driven through
// their widgets over hand-made items, offscreen. No operation runs here.

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QTest>
#include <QToolButton>
#include <QVBoxLayout>

#include "window/ActionBar.h"
#include "window/DetailScreen.h"
#include "window/ItemIcon.h"
#include "window/ItemListModel.h"
#include "window/ListScreen.h"
#include "window/RootView.h"
#include "window/SettingsScreen.h"
#include "window/WindowFixtures.h"

using namespace WindowFixtures;

namespace {

// Stands for the rest of the panel: records the keys nobody inside handled.
class KeyWitness : public QWidget {
public:
    QList<int> unhandled;

protected:
    void keyPressEvent(QKeyEvent* event) override {
        unhandled.append(event->key());
        event->accept();
    }
};

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
    std::unique_ptr<KeyWitness> m_panel;
    RootView* m_root = nullptr;

    ListScreen* list() const { return qobject_cast<ListScreen*>(m_root->currentScreen()); }
    DetailScreen* detail() const { return qobject_cast<DetailScreen*>(m_root->currentScreen()); }
    template <typename T> T* find(const char* name) const {
        return m_root->currentScreen()->findChild<T*>(QString::fromLatin1(name));
    }
    ItemListModel* rows() const {
        return qobject_cast<ItemListModel*>(find<QListView>("list")->model());
    }
    QLineEdit* search() const { return find<QLineEdit>("search"); }
    void key(int k, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QWidget* focus = QApplication::focusWidget();
        QTest::keyClick(focus ? focus : m_root, Qt::Key(k), modifiers);
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
        m_panel = std::make_unique<KeyWitness>();
        m_panel->resize(380, 560);
        m_root = new RootView(m_model.get(), m_panel.get());
        (new QVBoxLayout(m_panel.get()))->addWidget(m_root);
        m_panel->layout()->setContentsMargins(0, 0, 0, 0);
        m_panel->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_panel.get()));
        m_panel->activateWindow();
        // The pointer rests on the header, not over the list.
        QTest::mouseMove(m_panel.get(), QPoint(200, 5));
        QTRY_COMPARE(QApplication::focusWidget(), search());
    }

    void cleanup() {
        m_panel.reset();
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
        QTest::newRow("down twice") << QList<int>{down, down} << "b";
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
        QVERIFY(m_panel->unhandled.isEmpty());
    }

    void keysOnAnEmptyListAndAfterTheHighlightWentAway() {
        m_model->setInventoryForTesting(inventory({}));
        key(Qt::Key_Down);
        QCOMPARE(list()->highlighted(), std::nullopt);
        key(Qt::Key_Return);
        QCOMPARE(m_panel->unhandled, QList<int>{Qt::Key_Return});

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

        QTest::mouseMove(m_panel.get(), QPoint(5, 5));
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
        const auto set = [&](const QStringList& order) {
            QList<BackgroundItem> items;
            for (const QString& id : order)
                items.append(running(id, id, 1));
            model.setItems(items, {job("com.example.nightly")}, now());
        };
        set({"a", "b", "c"});
        const QPersistentModelIndex a = model.index(model.rowOf("a"));
        set({"c", "a", "b"});
        QCOMPARE(model.ids(), (QStringList{"c", "a", "b", "job:com.example.nightly"}));
        for (const QString& id : model.ids()) {
            QCOMPARE(model.idAt(model.rowOf(id)), id);
            QCOMPARE(model.index(model.rowOf(id)).data(ItemListModel::IdRole).toString(), id);
        }
        QVERIFY(!a.isValid() || a.data(ItemListModel::IdRole).toString() == "a");
    }

    void theSearchFieldAndTheFiltersPickTheRows() {
        m_model->setInventoryForTesting(standard());
        QTest::keyClicks(search(), "8080");
        QCOMPARE(rows()->ids(), QStringList{"c"});
        search()->clear();
        QTest::mouseClick(find<QToolButton>("filter.apps"), Qt::LeftButton);
        QCOMPARE(m_model->filter(), AppModel::Filter::apps);
        QTRY_VERIFY(find<QWidget>("empty")->isVisible());
    }

    void shortcutsMoveBetweenTheScreens() {
        m_model->setInventoryForTesting(standard());
        QTest::keyClick(search(), Qt::Key_Comma, Qt::ControlModifier);
        QCOMPARE(m_model->screen(), AppModel::Screen::settings());
        QTest::keyClick(m_root->currentScreen(), Qt::Key_Escape);
        QCOMPARE(m_model->screen(), AppModel::Screen::list());
        // An item that went away leaves the placeholder and the way back.
        QVERIFY(open(standard(), "exe:/gone"));
        QVERIFY(find<QWidget>("detail.gone")->isVisible());
        QVERIFY(!detail()->actionBar()->isVisible());
        QTest::keyClick(m_root->currentScreen(), Qt::Key_Escape);
        QCOMPARE(m_model->screen(), AppModel::Screen::list());
        // A fresh list: no highlight, the search field focused.
        QTRY_VERIFY(list() && !m_root->isTransitioning());
        QCOMPARE(list()->highlighted(), std::nullopt);
        QTRY_COMPARE(QApplication::focusWidget(), search());
    }

    void aConfirmationSurvivesARefreshAndEscapeCancelsIt() {
        BackgroundItem item = running("exe:/usr/bin/make", "make", 1, {}, me);
        item.primary->pid = 999999; // no such process: nothing is confirmed here
        item.members = {*item.primary};
        item.isPartOfBuild = true;
        QVERIFY(open(inventory({item}), item.id));
        QTest::keyClick(m_root, Qt::Key_Backspace, Qt::ControlModifier);
        QTRY_COMPARE(detail()->actionBar()->phase(),
                     ActionBarPhase::confirm(ActionBarPhase::Pending::stop));
        QVERIFY(find<QLabel>("action.warning.0"));
        QVERIFY(qobject_cast<SolidRedButton*>(find<QPushButton>("action.confirm")));

        item.explanation = "Changed by a refresh.";
        m_model->setInventoryForTesting(inventory({item}));
        QCOMPARE(detail()->actionBar()->phase().kind, ActionBarPhase::Case::confirm);
        QTest::keyClick(m_root, Qt::Key_Escape);
        QTRY_COMPARE(detail()->actionBar()->phase(), ActionBarPhase::idle());
        QCOMPARE(m_model->screen(), AppModel::Screen::detail(item.id));
    }

    void theReportCommandSurvivesAShell() {
        const std::pair<const char*, const char*> pathCommand[] = {
            {"/opt/quill marsh/q", "'/opt/quill marsh/q' --json"},
            {"/home/o'neil/q", "'/home/o'\\''neil/q' --json"},
            {"/tmp/$HOME/q", "'/tmp/$HOME/q' --json"}};
        for (const auto& [path, command] : pathCommand)
            QCOMPARE(SettingsText::reportCommand(path), QString(command));
    }
};

QTEST_MAIN(RootViewQtTest)
#include "RootViewQtTest.moc"
