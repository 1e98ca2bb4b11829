// Row layout and badge colours, measured with the application's fonts.

#include <QApplication>
#include <QPalette>
#include <QTest>

#include "inventory/Explanations.h"
#include "window/ItemBadge.h"
#include "window/ItemRow.h"
#include "window/ListScreen.h"
#include "window/WindowFixtures.h"

using namespace WindowFixtures;

namespace {

double luminance(const QColor& color) {
    const auto channel = [](double c) {
        return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(color.redF()) + 0.7152 * channel(color.greenF()) +
           0.0722 * channel(color.blueF());
}

// `over` composited on an opaque `under`.
QColor blend(const QColor& over, const QColor& under) {
    const double a = over.alphaF();
    return QColor::fromRgbF(static_cast<float>(over.redF() * a + under.redF() * (1 - a)),
                            static_cast<float>(over.greenF() * a + under.greenF() * (1 - a)),
                            static_cast<float>(over.blueF() * a + under.blueF() * (1 - a)));
}

double contrast(const QColor& a, const QColor& b) {
    const double la = luminance(a);
    const double lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QPalette paletteWith(const QColor& base, const QColor& text) {
    QPalette palette;
    palette.setColor(QPalette::Base, base);
    palette.setColor(QPalette::Window, base);
    palette.setColor(QPalette::Text, text);
    return palette;
}

} // namespace

class ItemRowQtTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void badgesWrapOntoMoreLinesWhenNarrow() {
        BackgroundItem item = running("v", "vite", 100, {3000, 3001, 5173});
        item.isLoginItem = true;
        item.isPartOfBuild = true;
        item.origin.kind = Origin::Case::agentSession;
        item.origin.payload = QStringLiteral("Claude");
        const ItemRow::Content content = ItemRow::contentOf(item, now());
        const ItemRow::Fonts fonts = ItemRow::Fonts::from(QApplication::font());
        const qreal trailing = ItemRow::minimumTrailing(fonts);
        const ItemRow::Geometry wide = ItemRow::layout(content, fonts, 900, trailing);
        const ItemRow::Geometry narrow = ItemRow::layout(content, fonts, 300, trailing);
        const auto lines = [](const ItemRow::Geometry& geometry) {
            QSet<qreal> tops;
            for (const QRectF& rect : geometry.badges)
                tops.insert(rect.top());
            return tops.size();
        };
        QCOMPARE(lines(wide), 1);
        QVERIFY(lines(narrow) > 1);
        QVERIFY(narrow.height > wide.height);
        // Every badge stays inside the middle column and none overlaps another.
        for (qsizetype i = 0; i < narrow.badges.size(); ++i) {
            QVERIFY(narrow.badges[i].right() <= narrow.name.right() + 0.5);
            for (qsizetype j = i + 1; j < narrow.badges.size(); ++j)
                QVERIFY(!narrow.badges[i].intersects(narrow.badges[j]));
        }
    }

    void runningFiguresKeepTheirColumnAndOthersGetRoom() {
        const ItemRow::Fonts fonts = ItemRow::Fonts::from(QApplication::font());
        const qreal trailing = ItemRow::minimumTrailing(fonts);
        const QFontMetricsF figures(fonts.figure);
        const QFontMetricsF details(fonts.detail);
        // Usual figures fit the fixed column of running rows.
        QVERIFY(figures.horizontalAdvance(Explanations::memoryText(1'234'567'890)) <= trailing);
        QVERIFY(details.horizontalAdvance(QStringLiteral("100 % CPU · 59 min")) <= trailing);

        BackgroundItem failing = job("com.example.failing");
        failing.launchLabel = QStringLiteral("com.example.failing");
        failing.lastExitStatus = 78;
        const ItemRow::Content content = ItemRow::contentOf(failing, now());
        QVERIFY(content.failed);
        QCOMPARE(content.detail, QStringLiteral("exit 78"));
        const ItemRow::Geometry geometry = ItemRow::layout(content, fonts, 380, trailing);
        QVERIFY(geometry.figure.width() >= figures.horizontalAdvance(content.figure));
        QVERIFY(geometry.name.right() < geometry.figure.left());
    }

    void namesWrapInsteadOfRunningUnderTheFigures() {
        BackgroundItem item = running("x", "x86_64-linux-gnu-g++-12 in a-long-folder-name", 100);
        const ItemRow::Content content = ItemRow::contentOf(item, now());
        const ItemRow::Fonts fonts = ItemRow::Fonts::from(QApplication::font());
        const ItemRow::Geometry geometry =
            ItemRow::layout(content, fonts, 300, ItemRow::minimumTrailing(fonts));
        QVERIFY(geometry.nameLines.size() >= 2);
        QVERIFY(geometry.name.right() < geometry.figure.left());
    }

    void badgeTextReadsOnItsCapsule_data() {
        QTest::addColumn<bool>("dark");
        QTest::newRow("light") << false;
        QTest::newRow("dark") << true;
    }

    void badgeTextReadsOnItsCapsule() {
        QFETCH(bool, dark);
        const QPalette palette = dark ? paletteWith(QColor(30, 30, 30), QColor(235, 235, 235))
                                      : paletteWith(QColor(246, 246, 246), QColor(20, 20, 20));
        for (BadgeTint tint : {BadgeTint::secondary, BadgeTint::orange, BadgeTint::brown,
                               BadgeTint::purple, BadgeTint::teal, BadgeTint::blue}) {
            QColor capsule = ItemBadge::tintColor(tint, palette);
            capsule.setAlphaF(0.15f);
            const QColor background = blend(capsule, palette.color(QPalette::Base));
            const QColor text = blend(ItemBadge::textColor(tint, palette), background);
            const double ratio = contrast(text, background);
            QVERIFY2(
                ratio >= 3.0,
                qPrintable(
                    QStringLiteral("tint %1: contrast %2").arg(static_cast<int>(tint)).arg(ratio)));
        }
    }

    void headerCountsUpToTheNewTotal() {
        QTemporaryDir dir;
        auto model = makeModel(dir);
        model->setInventoryForTesting(inventory({running("a", "alpha", 1'000'000)}));
        ListHeader header(model.get(), true);
        header.setRunning(model->inventory()->running);
        QCOMPARE(header.memoryText(), Explanations::memoryText(1'000'000));
        header.setRunning({running("a", "alpha", 900'000'000)});
        QVERIFY(header.memoryText() != Explanations::memoryText(900'000'000));
        QTRY_COMPARE(header.memoryText(), Explanations::memoryText(900'000'000));
        header.setRunning({});
        QTRY_COMPARE(header.memoryText(), QStringLiteral("0 MB"));
    }
};

QTEST_MAIN(ItemRowQtTest)
#include "ItemRowQtTest.moc"
