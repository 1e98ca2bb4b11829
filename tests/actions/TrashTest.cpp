#include "actions/Trash.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "support/TempHome.h"

namespace {

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

} // namespace

TEST(TrashTest, MovesIntoTheHomeTrashEvenWhenItsDataFolderIsMissing) {
    TempHome home;
    ASSERT_FALSE(QDir(home.path() + QStringLiteral("/.local/share")).exists());
    const QString work = home.path() + QStringLiteral("/work");
    ASSERT_TRUE(QDir().mkpath(work));
    const QString cwd = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(work));

    const QString file = work + QStringLiteral("/agent.plist");
    writeFile(file, "<plist/>");
    const ActionResult result = Trash::moveToTrash(file);
    QDir::setCurrent(cwd);

    EXPECT_EQ(result, std::nullopt);
    EXPECT_FALSE(QFile::exists(file));
    EXPECT_FALSE(QDir(work + QStringLiteral("/files")).exists());
    QFile trashed(home.path() + QStringLiteral("/.local/share/Trash/files/agent.plist"));
    ASSERT_TRUE(trashed.open(QIODevice::ReadOnly));
    EXPECT_EQ(trashed.readAll(), QByteArray("<plist/>"));
}

TEST(TrashTest, KeepsBothCopiesWhenTheSameNameIsTrashedTwice) {
    TempHome home;
    const QString file = home.path() + QStringLiteral("/agent.plist");
    writeFile(file, "first");
    ASSERT_EQ(Trash::moveToTrash(file), std::nullopt);
    writeFile(file, "second");
    ASSERT_EQ(Trash::moveToTrash(file), std::nullopt);

    const QDir trashFiles(home.path() + QStringLiteral("/.local/share/Trash/files"));
    EXPECT_EQ(trashFiles.entryList(QDir::Files).size(), 2);
}

TEST(TrashTest, FailsWithTheFileSystemsMessageForAMissingFile) {
    TempHome home;
    const ActionResult result = Trash::moveToTrash(home.path() + QStringLiteral("/missing.plist"));
    ASSERT_TRUE(result.has_value());
    EXPECT_FALSE(result->message.isEmpty());
}
