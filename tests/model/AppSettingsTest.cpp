#include "model/AppSettings.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include "model/LaunchAtLogin.h"

namespace {

std::unique_ptr<QSettings> storeAt(const QTemporaryDir& dir) {
    return std::make_unique<QSettings>(dir.filePath("Quillmarsh.conf"), QSettings::IniFormat);
}

} // namespace

TEST(AppSettingsTest, StoredValuesOfTheWrongTypeOrRangeGiveTheDefaults) {
    QTemporaryDir dir;
    {
        auto store = storeAt(dir);
        store->setValue("showApple", "yes");
        store->setValue("showCount", 0);
        store->setValue("refreshSeconds", "soon");
        store->setValue("keepCountFresh", QStringList{"true"});
        store->setValue("loginItemsCheckedAt", "yesterday");
        store->setValue("loginItems", "not data");
    }
    AppSettings settings(storeAt(dir));
    EXPECT_FALSE(settings.showApple());
    EXPECT_TRUE(settings.showCount());
    EXPECT_EQ(settings.refreshSeconds(), 4);
    EXPECT_TRUE(settings.keepCountFresh());
    EXPECT_EQ(settings.loginItemsCheckedAt(), std::nullopt);
    EXPECT_EQ(settings.loginItems(), std::nullopt);

    for (const int seconds : {0, -5}) {
        settings.setRefreshSeconds(seconds);
        EXPECT_EQ(settings.refreshSeconds(), 1) << seconds;
    }
    const QDateTime checked = QDateTime::fromSecsSinceEpoch(1'780'000'000, Qt::UTC);
    settings.setLoginItemsCheckedAt(checked);
    settings.setLoginItems(QByteArray(R"({"appPaths":[],"bundleIDs":["a.b"]})"));
    const AppSettings reopened(storeAt(dir));
    EXPECT_EQ(reopened.loginItemsCheckedAt(), checked);
    EXPECT_EQ(reopened.loginItems(), QByteArray(R"({"appPaths":[],"bundleIDs":["a.b"]})"));
    settings.setLoginItems(std::nullopt);
    EXPECT_FALSE(settings.store().contains("loginItems"));
}

TEST(LaunchAtLoginTest, WritesAQuotedEntryRemovesItAndReportsAFolderItCannotMake) {
    QTemporaryDir dir;
    const LaunchAtLogin::Entry entry{dir.filePath("config/autostart/q.desktop"),
                                     "/home/a b/it's $x/\"q\"\\"};
    EXPECT_FALSE(LaunchAtLogin::isEnabled(entry));
    EXPECT_EQ(LaunchAtLogin::setEnabled(entry, true), std::nullopt);
    EXPECT_TRUE(LaunchAtLogin::isEnabled(entry));
    QFile file(entry.path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(file.readAll());
    EXPECT_TRUE(text.startsWith("[Desktop Entry]\n"));
    EXPECT_TRUE(text.contains("\nExec=\"/home/a b/it's \\\\$x/\\\\\"q\\\\\"\\\\\\\\\"\n"))
        << text.toStdString();
    EXPECT_EQ(LaunchAtLogin::setEnabled(entry, false), std::nullopt);
    EXPECT_FALSE(LaunchAtLogin::isEnabled(entry));
    EXPECT_EQ(LaunchAtLogin::setEnabled(entry, false), std::nullopt);

    // A file stands where the folder would go.
    QFile blocker(dir.filePath("blocked"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    const LaunchAtLogin::Entry blocked{dir.filePath("blocked/autostart/q.desktop"), "/usr/bin/q"};
    EXPECT_NE(LaunchAtLogin::setEnabled(blocked, true), std::nullopt);
    EXPECT_FALSE(LaunchAtLogin::isEnabled(blocked));
}
