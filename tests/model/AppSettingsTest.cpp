#include "model/AppSettings.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

namespace {

std::unique_ptr<QSettings> storeAt(const QTemporaryDir& dir) {
    return std::make_unique<QSettings>(dir.filePath(QStringLiteral("Quillmarsh.conf")),
                                       QSettings::IniFormat);
}

} // namespace

TEST(AppSettingsTest, DefaultsWhenNothingIsStored) {
    QTemporaryDir dir;
    const AppSettings settings(storeAt(dir));
    EXPECT_FALSE(settings.showApple());
    EXPECT_TRUE(settings.showCount());
    EXPECT_EQ(settings.refreshSeconds(), 4);
    EXPECT_TRUE(settings.keepCountFresh());
    EXPECT_EQ(settings.loginItemsCheckedAt(), std::nullopt);
    EXPECT_EQ(settings.loginItems(), std::nullopt);
}

TEST(AppSettingsTest, ValuesSurviveARestartOfTheStore) {
    QTemporaryDir dir;
    const QDateTime checked = QDateTime::fromSecsSinceEpoch(1'780'000'000, Qt::UTC);
    {
        AppSettings settings(storeAt(dir));
        settings.setShowApple(true);
        settings.setShowCount(false);
        settings.setRefreshSeconds(10);
        settings.setKeepCountFresh(false);
        settings.setLoginItemsCheckedAt(checked);
        settings.setLoginItems(QByteArray(R"({"appPaths":[],"bundleIDs":["a.b"]})"));
    }
    const AppSettings reopened(storeAt(dir));
    EXPECT_TRUE(reopened.showApple());
    EXPECT_FALSE(reopened.showCount());
    EXPECT_EQ(reopened.refreshSeconds(), 10);
    EXPECT_FALSE(reopened.keepCountFresh());
    EXPECT_EQ(reopened.loginItemsCheckedAt(), checked);
    EXPECT_EQ(reopened.loginItems(), QByteArray(R"({"appPaths":[],"bundleIDs":["a.b"]})"));
}

TEST(AppSettingsTest, ValuesOfTheWrongTypeCountAsAbsent) {
    QTemporaryDir dir;
    {
        auto store = storeAt(dir);
        store->setValue(QStringLiteral("showApple"), QStringLiteral("yes"));
        store->setValue(QStringLiteral("showCount"), 0);
        store->setValue(QStringLiteral("refreshSeconds"), QStringLiteral("soon"));
        store->setValue(QStringLiteral("keepCountFresh"), QStringList{QStringLiteral("true")});
        store->setValue(QStringLiteral("loginItemsCheckedAt"), QStringLiteral("yesterday"));
        store->setValue(QStringLiteral("loginItems"), QStringLiteral("not data"));
    }
    const AppSettings settings(storeAt(dir));
    EXPECT_FALSE(settings.showApple());
    EXPECT_TRUE(settings.showCount());
    EXPECT_EQ(settings.refreshSeconds(), 4);
    EXPECT_TRUE(settings.keepCountFresh());
    EXPECT_EQ(settings.loginItemsCheckedAt(), std::nullopt);
    EXPECT_EQ(settings.loginItems(), std::nullopt);
}

TEST(AppSettingsTest, ARefreshIntervalBelowOneSecondCountsAsOne) {
    QTemporaryDir dir;
    AppSettings settings(storeAt(dir));
    settings.setRefreshSeconds(0);
    EXPECT_EQ(settings.refreshSeconds(), 1);
    settings.setRefreshSeconds(-5);
    EXPECT_EQ(settings.refreshSeconds(), 1);
}

TEST(AppSettingsTest, RemovesStoredLoginItemsWhenThereAreNone) {
    QTemporaryDir dir;
    AppSettings settings(storeAt(dir));
    settings.setLoginItems(QByteArray("{}"));
    settings.setLoginItems(std::nullopt);
    EXPECT_FALSE(settings.store().contains(QStringLiteral("loginItems")));
}
