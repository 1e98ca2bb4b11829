#include "inventory/EnglishPlurals.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include "inventory/Explanations.h"

namespace {

TEST(EnglishPlurals, AnswersOnlyCountsOfOne) {
    const EnglishPlurals plurals;
    EXPECT_EQ(plurals.translate("Explanations", "%n processes", nullptr, 1),
              QStringLiteral("%n process"));
    EXPECT_TRUE(plurals.translate("Explanations", "%n processes", nullptr, 2).isNull());
    EXPECT_TRUE(plurals.translate("Explanations", "%n processes", nullptr, 0).isNull());
    EXPECT_TRUE(plurals.translate("Explanations", "%n processes").isNull());
    EXPECT_TRUE(plurals.translate("Explanations", "Every %1", nullptr, 1).isNull());
    EXPECT_TRUE(plurals.translate("Explanations", nullptr, nullptr, 1).isNull());
}

TEST(EnglishPlurals, InstalledItGivesTheSingularTexts) {
    int argc = 1;
    char name[] = "EnglishPluralsTest";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    EnglishPlurals plurals;
    ASSERT_TRUE(QCoreApplication::installTranslator(&plurals));

    EXPECT_EQ(Explanations::processCountText(1), QStringLiteral("1 process"));
    EXPECT_EQ(Explanations::processCountText(2), QStringLiteral("2 processes"));
    EXPECT_EQ(Explanations::memoryText(1), QStringLiteral("1 byte"));
    EXPECT_EQ(Explanations::memoryText(1023), QStringLiteral("1023 bytes"));
    EXPECT_EQ(Explanations::uptimeText(0, 1), QStringLiteral("1 s"));
    EXPECT_EQ(Explanations::scheduleText(LaunchJob{}), QStringLiteral("On demand"));

    QCoreApplication::removeTranslator(&plurals);
    EXPECT_EQ(Explanations::processCountText(1), QStringLiteral("1 processes"));
}

} // namespace
