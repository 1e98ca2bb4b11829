// Job definitions whose file names are not UTF-8 keep their bytes from the
// folder listing to reading, parking (over an older parked copy, which goes to
// the Trash) and putting back; and the home folder does not depend on $HOME.

#include "launchd/JobScanner.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDirIterator>
#include <QFile>

#include <gtest/gtest.h>

#include "actions/JobActions.h"
#include "os/FileNames.h"
#include "support/TempHome.h"

namespace {

bool writeBytes(const QByteArray& path, const QByteArray& bytes) {
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const bool written =
        fd >= 0 && ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
    return ::close(fd) == 0 && written;
}

QByteArray readBytes(const QByteArray& path) {
    QByteArray bytes(4096, '\0');
    const int fd = ::open(path.constData(), O_RDONLY);
    const ssize_t got = fd >= 0 ? ::read(fd, bytes.data(), size_t(bytes.size())) : -1;
    ::close(fd);
    return got < 0 ? QByteArray() : bytes.left(got);
}

QByteArray definition(const QByteArray& label) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
           "<key>Label</key><string>" +
           label +
           "</string><key>RunAtLoad</key><true/>"
           "</dict></plist>\n";
}

std::optional<LaunchJob> jobLabelled(const JobScanner::JobFolders& folders, const QString& label) {
    for (const LaunchJob& job : JobScanner::scanJobs(folders)) {
        if (job.label == label)
            return job;
    }
    return std::nullopt;
}

TEST(ScannerBytesTest, NamesKeepTheirBytesFromListingToParkingAndBack) {
    const QByteArray names[] = {"caf\xe9.plist", "\xff\xfe\x80.plist", "caf\xc3\xa9.plist",
                                "mixed-\xe2\x82-\xf0\x9f\x98\x80.plist", "plain.plist"};
    TempHome home;
    const QByteArray agents =
        QFile::encodeName(home.makeFolder(QStringLiteral("Library/LaunchAgents")));
    const QByteArray parking = agents + "/Disabled";
    ::mkdir(parking.constData(), 0755);
    // A launchctl that accepts every verb and logs its arguments byte for byte.
    const QByteArray log = QFile::encodeName(home.path()) + "/calls.log";
    const QByteArray tool = QFile::encodeName(home.path()) + "/launchctl";
    ASSERT_TRUE(writeBytes(tool, "#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" + log + "'\n"));
    ::chmod(tool.constData(), 0755);
    JobActions::Context context;
    context.tools.launchctl = FileNames::decode(tool);
    context.uid = ::getuid();
    JobScanner::JobFolders folders;
    folders.home = home.path();
    folders.globalAgents = folders.globalDaemons = home.path() + QStringLiteral("/none");

    // Qt's removal of the temporary home cannot reach names that are not
    // UTF-8; this removes them however the test ends.
    struct RemoveByName {
        const QByteArray* folders;
        const QByteArray (&names)[5];
        ~RemoveByName() {
            for (const QByteArray& name : names) {
                ::unlink((folders[0] + '/' + name).constData());
                ::unlink((folders[1] + '/' + name).constData());
            }
        }
    };
    const QByteArray folderPair[] = {agents, parking};
    const RemoveByName cleanup{folderPair, names};

    int number = 0;
    for (const QByteArray& name : names) {
        SCOPED_TRACE(name.toHex().toStdString());
        const QByteArray label = "com.example.bytes." + QByteArray::number(++number);
        ASSERT_TRUE(writeBytes(agents + '/' + name, definition(label)));
        ASSERT_TRUE(writeBytes(parking + '/' + name, "an older parked copy " + label));

        const std::optional<LaunchJob> job = jobLabelled(folders, QString::fromUtf8(label));
        ASSERT_TRUE(job);
        EXPECT_EQ(FileNames::encode(job->plistPath), agents + '/' + name);
        EXPECT_TRUE(job->runAtLoad);

        ASSERT_EQ(JobActions::disableJob(*job, context), std::nullopt);
        EXPECT_EQ(readBytes(parking + '/' + name), definition(label));
        bool olderCopyInTrash = false;
        for (QDirIterator it(home.path() + QStringLiteral("/.local/share/Trash/files"));
             it.hasNext();)
            olderCopyInTrash |=
                readBytes(QFile::encodeName(it.next())) == "an older parked copy " + label;
        EXPECT_TRUE(olderCopyInTrash);

        const std::optional<LaunchJob> parked = jobLabelled(folders, QString::fromUtf8(label));
        ASSERT_TRUE(parked && parked->isParkedByQuillmarsh);
        ASSERT_EQ(JobActions::reenableJob(*parked, context), std::nullopt);
        EXPECT_EQ(readBytes(agents + '/' + name), definition(label));
        EXPECT_TRUE(readBytes(log).endsWith(" " + agents + '/' + name + "\n"));
    }

    // Without $HOME the home is the account's, not "/".
    const QByteArray savedHome = qgetenv("HOME");
    qunsetenv("HOME");
    const QString fallback = JobScanner::JobFolders::standard().home;
    qputenv("HOME", savedHome);
    EXPECT_EQ(fallback, QFile::decodeName(getpwuid(getuid())->pw_dir));
}

} // namespace
