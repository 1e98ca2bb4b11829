// The keyboard and ordering rules of the list, without widgets.

#include <QTest>

#include "window/ListNavigation.h"
#include "window/WindowFixtures.h"

using namespace WindowFixtures;

namespace {

QStringList idsOf(const QList<BackgroundItem>& items) {
    QStringList ids;
    for (const BackgroundItem& item : items)
        ids.append(item.id);
    return ids;
}

} // namespace

class ListNavigationQtTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void move_data() {
        QTest::addColumn<QStringList>("ids");
        QTest::addColumn<QString>("highlighted"); // empty: none
        QTest::addColumn<int>("step");
        QTest::addColumn<QString>("expected"); // empty: none
        const QStringList three{"a", "b", "c"};
        QTest::newRow("empty list") << QStringList{} << "" << 1 << "";
        QTest::newRow("down without highlight") << three << "" << 1 << "a";
        QTest::newRow("up without highlight") << three << "" << -1 << "c";
        QTest::newRow("down") << three << "a" << 1 << "b";
        QTest::newRow("up") << three << "b" << -1 << "a";
        QTest::newRow("down at the end") << three << "c" << 1 << "c";
        QTest::newRow("up at the start") << three << "a" << -1 << "a";
        QTest::newRow("highlight gone, down") << three << "x" << 1 << "a";
        QTest::newRow("highlight gone, up") << three << "x" << -1 << "c";
    }

    void move() {
        QFETCH(QStringList, ids);
        QFETCH(QString, highlighted);
        QFETCH(int, step);
        QFETCH(QString, expected);
        const std::optional<QString> result = ListNavigation::move(
            ids, highlighted.isEmpty() ? std::nullopt : std::optional(highlighted), step);
        QCOMPARE(result.value_or(QString()), expected);
    }

    void openTarget() {
        QCOMPARE(ListNavigation::openTarget({}, std::nullopt), std::nullopt);
        QCOMPARE(ListNavigation::openTarget({"a", "b"}, std::nullopt), std::optional<QString>("a"));
        QCOMPARE(ListNavigation::openTarget({"a", "b"}, QStringLiteral("b")),
                 std::optional<QString>("b"));
        QCOMPARE(ListNavigation::openTarget({"a", "b"}, QStringLiteral("gone")),
                 std::optional<QString>("a"));
    }

    void frozenOrderKeepsPlacesAndAppendsNewRows() {
        const QList<BackgroundItem> model{running("d", "d", 9), running("c", "c", 3),
                                          running("e", "e", 2), running("a", "a", 1)};
        QCOMPARE(idsOf(ListNavigation::applyFrozenOrder(model, std::nullopt)),
                 (QStringList{"d", "c", "e", "a"}));
        // b vanished; d and e are new and follow in the model's order; a
        // duplicate id counts at its first place.
        const QStringList frozen{"a", "b", "c", "a"};
        QCOMPARE(idsOf(ListNavigation::applyFrozenOrder(model, frozen)),
                 (QStringList{"a", "c", "d", "e"}));
    }
};

QTEST_GUILESS_MAIN(ListNavigationQtTest)
#include "ListNavigationQtTest.moc"
