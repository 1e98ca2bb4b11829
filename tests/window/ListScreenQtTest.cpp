// The list screen and the root view driven through their widgets, offscreen.

#include <QAbstractItemView>
#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <QVBoxLayout>

#include "inventory/Explanations.h"
#include "inventory/ItemPresentation.h"
#include "model/AppModel.h"
#include "window/ItemIcon.h"
#include "window/ItemListModel.h"
#include "window/ListNavigation.h"
#include "window/ListScreen.h"
#include "window/RootView.h"
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

} // namespace

class ListScreenQtTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<AppModel> m_model;
    std::unique_ptr<KeyWitness> m_panel;
    RootView* m_root = nullptr;

    ListScreen* list() const { return qobject_cast<ListScreen*>(m_root->currentScreen()); }
    template <typename T> T* find(const char* name) const {
        return m_root->currentScreen()->findChild<T*>(QString::fromLatin1(name));
    }
    ItemListModel* rows() const {
        return qobject_cast<ItemListModel*>(find<QListView>("list")->model());
    }
    QLineEdit* search() const { return find<QLineEdit>("search"); }
    void key(Qt::Key k, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QWidget* target = QApplication::focusWidget() ? QApplication::focusWidget() : m_root;
        QTest::keyClick(target, k, modifiers);
    }
    QStringList sectionTitles() const {
        QStringList titles;
        ItemListModel* model = rows();
        for (int row = 0; row < model->rowCount(); ++row) {
            if (model->kindAt(row) == ItemListModel::RowKind::section)
                titles.append(model->sectionTitleAt(row));
        }
        return titles;
    }
    Inventory standard() const {
        return inventory({running("a", "alpha", 300'000'000), running("b", "beta", 200'000'000),
                          running("c", "gamma", 100'000'000, {8080})},
                         {job("com.example.nightly"), job("com.example.backup")});
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
        auto* layout = new QVBoxLayout(m_panel.get());
        layout->setContentsMargins(0, 0, 0, 0);
        m_root = new RootView(m_model.get(), m_panel.get());
        layout->addWidget(m_root);
        m_panel->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_panel.get()));
        m_panel->activateWindow();
        // The pointer rests on the header, not over the list.
        QTest::mouseMove(m_panel.get(), QPoint(200, 5));
    }

    void cleanup() {
        m_panel.reset();
        m_model.reset();
        m_dir.reset();
    }

    void showsLoadingUntilTheFirstPass() {
        QCOMPARE(find<QWidget>("loading")->isVisible(), true);
        QCOMPARE(find<QLabel>("header.status")->text(), QStringLiteral("Loading…"));
        m_model->setInventoryForTesting(standard());
        QTRY_VERIFY(find<QListView>("list")->isVisible());
    }

    void searchFieldHasFocusOnShow() { QTRY_COMPARE(QApplication::focusWidget(), search()); }

    void downFromNoHighlightPicksTheFirstRowAndStopsAtTheEnd() {
        m_model->setInventoryForTesting(standard());
        key(Qt::Key_Down);
        QCOMPARE(list()->highlighted(), std::optional<QString>(QStringLiteral("a")));
        for (int i = 0; i < 10; ++i)
            key(Qt::Key_Down);
        QCOMPARE(list()->highlighted(),
                 std::optional<QString>(QStringLiteral("job:com.example.backup")));
        for (int i = 0; i < 10; ++i)
            key(Qt::Key_Up);
        QCOMPARE(list()->highlighted(), std::optional<QString>(QStringLiteral("a")));
    }

    void upFromNoHighlightPicksTheLastRow() {
        m_model->setInventoryForTesting(standard());
        key(Qt::Key_Up);
        QCOMPARE(list()->highlighted(),
                 std::optional<QString>(QStringLiteral("job:com.example.backup")));
    }

    void upWithoutNotRunningPicksTheLastRunningRow() {
        m_model->setInventoryForTesting(
            inventory({running("a", "alpha", 3), running("b", "beta", 2)}));
        key(Qt::Key_Up);
        QCOMPARE(list()->highlighted(), std::optional<QString>(QStringLiteral("b")));
    }

    void arrowKeysOnAnEmptyListAreConsumed() {
        m_model->setInventoryForTesting(inventory({}));
        key(Qt::Key_Down);
        key(Qt::Key_Up);
        QCOMPARE(list()->highlighted(), std::nullopt);
        QVERIFY(m_panel->unhandled.isEmpty());
    }

    void highlightThatVanishedStartsOverFromTheEnds() {
        m_model->setInventoryForTesting(standard());
        key(Qt::Key_Down);
        key(Qt::Key_Down);
        QCOMPARE(list()->highlighted(), std::optional<QString>(QStringLiteral("b")));
        m_model->setInventoryForTesting(
            inventory({running("a", "alpha", 300), running("c", "gamma", 100)}));
        key(Qt::Key_Down);
        QCOMPARE(list()->highlighted(), std::optional<QString>(QStringLiteral("a")));
    }

    void returnWithoutHighlightOpensTheFirstRow() {
        m_model->setInventoryForTesting(standard());
        key(Qt::Key_Return);
        QCOMPARE(m_model->screen(), AppModel::Screen::detail(QStringLiteral("a")));
        QTRY_VERIFY(m_root->findChild<QWidget*>(QStringLiteral("detail.screen")));
        QCOMPARE(m_root->currentScreen()->findChild<QLabel*>(QStringLiteral("detail.name"))->text(),
                 QStringLiteral("alpha"));
    }

    void returnOpensTheHighlightedRow() {
        m_model->setInventoryForTesting(standard());
        key(Qt::Key_Up);
        key(Qt::Key_Return);
        QCOMPARE(m_model->screen(),
                 AppModel::Screen::detail(QStringLiteral("job:com.example.backup")));
    }

    void returnOnAnEmptyListIsPassedOn() {
        m_model->setInventoryForTesting(inventory({}));
        key(Qt::Key_Return);
        QCOMPARE(m_model->screen(), AppModel::Screen::list());
        QCOMPARE(m_panel->unhandled, QList<int>{Qt::Key_Return});
    }

    void clickingARowOpensIt() {
        m_model->setInventoryForTesting(standard());
        auto* view = find<QListView>("list");
        const QRect rect = view->visualRect(rows()->index(rows()->rowOf(QStringLiteral("b"))));
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, rect.center());
        QCOMPARE(m_model->screen(), AppModel::Screen::detail(QStringLiteral("b")));
    }

    void hoverHighlightsTheRowUnderThePointer() {
        m_model->setInventoryForTesting(standard());
        auto* view = find<QListView>("list");
        const QRect rect = view->visualRect(rows()->index(rows()->rowOf(QStringLiteral("c"))));
        QTest::mouseMove(view->viewport(), rect.center());
        QTRY_COMPARE(list()->highlighted(), std::optional<QString>(QStringLiteral("c")));
    }

    void orderHoldsStillWhileThePointerIsOverTheList() {
        m_model->setInventoryForTesting(standard());
        auto* view = find<QListView>("list");
        QTest::mouseMove(view->viewport(), QPoint(40, 40));
        QTRY_VERIFY(list()->frozenOrder().has_value());

        // Memory now says c, b, a; and d shows up with the most memory.
        m_model->setInventoryForTesting(
            inventory({running("a", "alpha", 100), running("b", "beta", 200),
                       running("c", "gamma", 300), running("d", "delta", 900)},
                      {job("com.example.nightly")}));
        QCOMPARE(rows()->ids(), (QStringList{"a", "b", "c", "d", "job:com.example.nightly"}));

        // Pointer gone: the model's order again.
        QTest::mouseMove(m_panel.get(), QPoint(5, 5));
        QEvent leave(QEvent::Leave);
        QCoreApplication::sendEvent(view->viewport(), &leave);
        QTRY_VERIFY(!list()->frozenOrder().has_value());
        QCOMPARE(rows()->ids(), (QStringList{"d", "c", "b", "a", "job:com.example.nightly"}));
    }

    void reopeningThePanelStartsAFreshList() {
        m_model->setInventoryForTesting(standard());
        auto* view = find<QListView>("list");
        QTest::mouseMove(view->viewport(), QPoint(40, 40));
        QTRY_VERIFY(list()->frozenOrder().has_value());
        key(Qt::Key_Down);
        QVERIFY(list()->highlighted().has_value());
        m_panel->hide();
        m_panel->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_panel.get()));
        QCOMPARE(list()->highlighted(), std::nullopt);
        QCOMPARE(list()->frozenOrder(), std::nullopt);
    }

    void noMatchesAndNothingHereDependOnTheSearch() {
        m_model->setInventoryForTesting(standard());
        QTest::keyClicks(search(), QStringLiteral("zzzz"));
        QCOMPARE(m_model->search(), QStringLiteral("zzzz"));
        QTRY_VERIFY(find<QWidget>("empty")->isVisible());
        QCOMPARE(find<QLabel>("empty.title")->text(), QStringLiteral("No matches"));
        QCOMPARE(find<QLabel>("empty.text")->text(),
                 QStringLiteral("Try another name, folder or port."));

        QTest::mouseClick(find<QToolButton>("filter.apps"), Qt::LeftButton);
        QCOMPARE(m_model->filter(), AppModel::Filter::apps);
        search()->clear();
        QCOMPARE(find<QLabel>("empty.title")->text(), QStringLiteral("Nothing here"));
        QCOMPARE(find<QLabel>("empty.text")->text(),
                 QStringLiteral("No background items match this filter."));
    }

    void searchFindsAPort() {
        m_model->setInventoryForTesting(standard());
        QTest::keyClicks(search(), QStringLiteral("8080"));
        QCOMPARE(rows()->ids(), QStringList{"c"});
    }

    void appsFilterHidesTheNotRunningSection() {
        m_model->setInventoryForTesting(inventory(
            {app("app:x", "Xylo", 50), running("a", "alpha", 10)}, {job("com.example.nightly")}));
        QCOMPARE(sectionTitles(), (QStringList{"Running", "Scheduled / not running"}));
        QTest::mouseClick(find<QToolButton>("filter.apps"), Qt::LeftButton);
        QCOMPARE(sectionTitles(), QStringList{"Running"});
        QCOMPARE(rows()->ids(), QStringList{"app:x"});
    }

    void headerDescribesOnlyTheRowsShown() {
        m_model->setInventoryForTesting(standard());
        QTRY_COMPARE(find<QLabel>("header.memory")->text(), Explanations::memoryText(600'000'000));
        QVERIFY(find<QLabel>("header.status")
                    ->text()
                    .startsWith(QStringLiteral("3 running · updated ")));
        QTest::keyClicks(search(), QStringLiteral("gamma"));
        QTRY_COMPARE(find<QLabel>("header.memory")->text(), Explanations::memoryText(100'000'000));
        QVERIFY(find<QLabel>("header.status")
                    ->text()
                    .startsWith(QStringLiteral("1 running · updated ")));
        QCOMPARE(find<QWidget>("header")->accessibleName(),
                 find<QLabel>("header.memory")->text() + QStringLiteral(", ") +
                     find<QLabel>("header.status")->text());
    }

    void emptyRunningSectionShowsZeroMegabytes() {
        m_model->setInventoryForTesting(inventory({}, {job("com.example.nightly")}));
        QTRY_COMPARE(find<QLabel>("header.memory")->text(), QStringLiteral("0 MB"));
        QCOMPARE(sectionTitles(), QStringList{"Scheduled / not running"});
    }

    void rowsCarryTheirIdentifierAndSpokenLabel() {
        const Inventory items = standard();
        m_model->setInventoryForTesting(items);
        const QModelIndex index = rows()->index(rows()->rowOf(QStringLiteral("c")));
        QCOMPARE(index.data(ItemListModel::IdentifierRole).toString(), QStringLiteral("row.c"));
        const QString spoken = index.data(Qt::AccessibleTextRole).toString();
        QVERIFY2(spoken.startsWith(QStringLiteral("gamma, A command started from a terminal., ")),
                 qPrintable(spoken));
        QVERIFY2(spoken.contains(QStringLiteral(":8080")), qPrintable(spoken));
    }

    void moreMenuSortsAndOpensTheSettings() {
        m_model->setInventoryForTesting(inventory(
            {running("a", "zulu", 300), running("b", "mike", 200), running("c", "alpha", 100)}));
        QMenu* menu = find<QToolButton>("more")->menu();
        QVERIFY(menu);
        QStringList entries;
        for (QAction* action : menu->actions())
            entries.append(action->isSeparator() ? QStringLiteral("-") : action->text());
        QCOMPARE(entries, (QStringList{"Sort by", "Show Apple processes", "-", "Settings",
                                       "Quit Quillmarsh"}));
        auto* byName = menu->findChild<QAction*>(QStringLiteral("more.sort.Name"));
        QVERIFY(byName);
        byName->trigger();
        QCOMPARE(m_model->sort(), AppModel::Sort::name);
        QCOMPARE(rows()->ids(), (QStringList{"c", "b", "a"}));
        QVERIFY(byName->isChecked());
        menu->findChild<QAction*>(QStringLiteral("more.settings"))->trigger();
        QCOMPARE(m_model->screen(), AppModel::Screen::settings());
    }

    void arrowKeysScrollTheHighlightIntoView() {
        QList<BackgroundItem> many;
        for (int i = 0; i < 60; ++i)
            many.append(running(QStringLiteral("p%1").arg(i), QStringLiteral("worker %1").arg(i),
                                static_cast<quint64>(1000 - i)));
        m_model->setInventoryForTesting(inventory(many));
        auto* view = find<QListView>("list");
        const auto shown = [&](const QString& id) {
            return view->viewport()->rect().contains(
                view->visualRect(rows()->index(rows()->rowOf(id))));
        };
        QVERIFY(!shown(QStringLiteral("p59")));
        key(Qt::Key_Up);
        QCOMPARE(list()->highlighted(), std::optional<QString>(QStringLiteral("p59")));
        QTRY_VERIFY(shown(QStringLiteral("p59")));
        key(Qt::Key_Down);
        QCOMPARE(list()->highlighted(), std::optional<QString>(QStringLiteral("p59")));
    }

    void refreshIsDisabledWhileLoading() {
        auto* refresh = find<QToolButton>("refresh");
        QVERIFY(refresh->isEnabled());
        QTest::mouseClick(refresh, Qt::LeftButton);
        QVERIFY(m_model->isLoading());
        QVERIFY(!refresh->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(refresh->isEnabled(), 30000);
        QVERIFY(m_model->inventory().has_value());
    }

    void settingsShortcutAndEscape() {
        m_model->setInventoryForTesting(standard());
        key(Qt::Key_Escape);
        QCOMPARE(m_model->screen(), AppModel::Screen::list());
        QTest::keyClick(search(), Qt::Key_Comma, Qt::ControlModifier);
        QCOMPARE(m_model->screen(), AppModel::Screen::settings());
        QTest::keyClick(m_root->currentScreen(), Qt::Key_Comma, Qt::ControlModifier);
        QCOMPARE(m_model->screen(), AppModel::Screen::settings());
        QTest::keyClick(m_root->currentScreen(), Qt::Key_Escape);
        QCOMPARE(m_model->screen(), AppModel::Screen::list());
        QTRY_VERIFY(!m_root->isTransitioning());
        QVERIFY(list());
    }

    void escapeOnADetailReturnsToTheList() {
        m_model->setInventoryForTesting(standard());
        m_model->setScreen(AppModel::Screen::detail(QStringLiteral("a")));
        m_model->setScreen(AppModel::Screen::detail(QStringLiteral("b")));
        QTest::keyClick(m_root->currentScreen(), Qt::Key_Escape);
        QCOMPARE(m_model->screen(), AppModel::Screen::list());
        // A fresh list screen: no highlight, search focused.
        QCOMPARE(list()->highlighted(), std::nullopt);
        QTRY_COMPARE(QApplication::focusWidget(), search());
    }

    void backButtonOfAPlaceholderReturnsToTheList() {
        m_model->setScreen(AppModel::Screen::settings());
        QTest::mouseClick(
            m_root->currentScreen()->findChild<QWidget*>(QStringLiteral("settings.back")),
            Qt::LeftButton);
        QCOMPARE(m_model->screen(), AppModel::Screen::list());
    }

    void identifiersOnTheListControls() {
        for (const char* name : {"header", "refresh", "more", "search", "filter"})
            QVERIFY2(find<QWidget>(name), name);
        QCOMPARE(find<QToolButton>("refresh")->accessibleName(), QStringLiteral("Refresh"));
        QCOMPARE(find<QToolButton>("more")->accessibleName(), QStringLiteral("More"));
    }
};

QTEST_MAIN(ListScreenQtTest)
#include "ListScreenQtTest.moc"
