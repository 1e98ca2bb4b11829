// Job definitions whose file names are not UTF-8 keep their bytes from the
// folder listing to reading, parking (over an older parked copy, which goes to
// the Trash) and putting back; and the home folder does not depend on $HOME.

#include "launchd/JobScanner.h"

#include <filesystem>
#include <fstream>

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

void writeBytes(const QByteArray& path, const QByteArray& bytes) {
    std::ofstream(path.toStdString(), std::ios::binary) << bytes.toStdString();
}

QByteArray readBytes(const QByteArray& path) {
    std::ifstream in(path.toStdString(), std::ios::binary);
    return QByteArray::fromStdString({std::istreambuf_iterator<char>(in), {}});
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
    const QByteArray agents = QFile::encodeName(home.makeFolder("Library/LaunchAgents"));
    const QByteArray parking = QFile::encodeName(home.makeFolder("Library/LaunchAgents/Disabled"));
    // A launchctl that accepts every verb and logs its arguments byte for byte.
    const QByteArray log = QFile::encodeName(home.path()) + "/calls.log";
    const QByteArray tool = QFile::encodeName(home.path()) + "/launchctl";
    writeBytes(tool, "#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" + log + "'\n");
    ::chmod(tool.constData(), 0755);
    JobActions::Context context;
    context.tools.launchctl = FileNames::decode(tool);
    context.uid = ::getuid();
    JobScanner::JobFolders folders;
    folders.home = home.path();
    folders.globalAgents = folders.globalDaemons = home.path() + QStringLiteral("/none");

    // Qt's removal of the temporary home cannot reach names that are not UTF-8.
    struct RemoveAll {
        std::string path;
        ~RemoveAll() { std::filesystem::remove_all(path); }
    } const cleanup{QFile::encodeName(home.path()).toStdString()};

    int number = 0;
    for (const QByteArray& name : names) {
        SCOPED_TRACE(name.toHex().toStdString());
        const QByteArray label = "com.example.bytes." + QByteArray::number(++number);
        writeBytes(agents + '/' + name, definition(label));
        writeBytes(parking + '/' + name, "an older parked copy " + label);

        const std::optional<LaunchJob> job = jobLabelled(folders, QString::fromUtf8(label));
        ASSERT_TRUE(job);
        EXPECT_EQ(FileNames::encode(job->plistPath), agents + '/' + name);
        EXPECT_TRUE(job->runAtLoad);

        ASSERT_EQ(JobActions::disableJob(*job, context), std::nullopt);
        EXPECT_EQ(readBytes(parking + '/' + name), definition(label));
        bool olderCopyInTrash = false;
        for (QDirIterator it(home.path() + QStringLiteral("/.local/share/Trash/files"),
                             QDir::Files);
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
