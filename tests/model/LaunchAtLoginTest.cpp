#include "model/LaunchAtLogin.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

TEST(LaunchAtLoginTest, WritesAndRemovesTheAutostartEntry) {
    QTemporaryDir dir;
    const LaunchAtLogin::Entry entry{dir.filePath(QStringLiteral("config/autostart/q.desktop")),
                                     QStringLiteral("/opt/quillmarsh/bin/quillmarsh")};
    EXPECT_FALSE(LaunchAtLogin::isEnabled(entry));

    EXPECT_EQ(LaunchAtLogin::setEnabled(entry, true), std::nullopt);
    EXPECT_TRUE(LaunchAtLogin::isEnabled(entry));
    QFile file(entry.path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(file.readAll());
    EXPECT_TRUE(text.startsWith(QStringLiteral("[Desktop Entry]\n")));
    EXPECT_TRUE(text.contains(QStringLiteral("\nExec=\"/opt/quillmarsh/bin/quillmarsh\"\n")));

    EXPECT_EQ(LaunchAtLogin::setEnabled(entry, false), std::nullopt);
    EXPECT_FALSE(LaunchAtLogin::isEnabled(entry));
    EXPECT_EQ(LaunchAtLogin::setEnabled(entry, false), std::nullopt);
}

TEST(LaunchAtLoginTest, QuotesAwkwardExecutablePaths) {
    EXPECT_TRUE(
        LaunchAtLogin::desktopFile(QStringLiteral("/home/a b/it's $x/\"q\"\\"))
            .contains(QStringLiteral("Exec=\"/home/a b/it's \\\\$x/\\\\\"q\\\\\"\\\\\\\\\"\n")));
}

TEST(LaunchAtLoginTest, ReportsAFolderThatCannotBeMade) {
    QTemporaryDir dir;
    QFile blocker(dir.filePath(QStringLiteral("config")));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const LaunchAtLogin::Entry entry{dir.filePath(QStringLiteral("config/autostart/q.desktop")),
                                     QStringLiteral("/usr/bin/quillmarsh")};
    EXPECT_NE(LaunchAtLogin::setEnabled(entry, true), std::nullopt);
    EXPECT_FALSE(LaunchAtLogin::isEnabled(entry));
}
