// Runs the parsers over the shared samples of real machines: job definitions
// and captured launchctl outputs (see the samples folder's README for where
// each came from). Skips when the samples are not next to the checkout.

#include <map>
#include <ostream>

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include "launchd/CommandParsers.h"
#include "launchd/JobScanner.h"
#include "support/TestPaths.h"

inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace {

using Domain = LaunchJob::Domain;

QString text(const char* utf8) {
    return QString::fromUtf8(utf8);
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

class SamplesTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto folder = TestPaths::launchdSamples();
        if (!folder)
            GTEST_SKIP() << "shared launchd samples are not available";
        samples = *folder;
    }

    QString path(const QString& relative) const { return samples + u'/' + relative; }

    std::optional<LaunchJob> job(const char* relative) const {
        const QString file = path(text(relative));
        return JobScanner::parseJob(readFile(file), file, Domain::userAgent);
    }

    QString samples;
};

// What the definitions give. The file names that differ from the label are
// kept as found: the label inside counts, not the name.
struct SampleJob {
    const char* file;
    const char* label;
    std::optional<const char*> program;
    const char* firstArgument; // "" when there are no arguments
    qsizetype argumentCount;
    bool runAtLoad;
    bool keepAlive;
    std::optional<qint64> startInterval;
    bool hasCalendarInterval;
    bool disabledInPlist;
};

const SampleJob sampleJobs[] = {
    {"at.obdev.LittleSnitchUIAgent.plist", "at.obdev.LittleSnitchUIAgent", std::nullopt,
     "/Library/Little Snitch/Little Snitch Agent.app/Contents/MacOS/Little Snitch Agent", 1, true,
     true, std::nullopt, false, false},
    // Program and arguments both present; calendar interval as one dictionary.
    {"com.adobe.AAM.Scheduler-1.0.plist", "com.adobe.AAM.Scheduler-1.0",
     "/Library/Application Support/Adobe/OOBE/PDApp/UWA/UpdaterStartupUtility",
     "/Library/Application Support/Adobe/OOBE/PDApp/UWA/UpdaterStartupUtility", 2, false, false,
     std::nullopt, true, false},
    {"com.dropbox.DropboxUpdater.wake.plist", "com.dropbox.DropboxUpdater.wake", std::nullopt,
     "/Users/magnusrodseth/Library/Application Support/Dropbox/DropboxUpdater/Current/"
     "DropboxUpdater.app/Contents/MacOS/DropboxUpdater",
     4, false, false, 3600, false, false},
    // XML comments inside the array and the dictionary.
    {"com.github.backup-utils.ghe-backup.plist", "com.github.backup-utils.ghe-backup", std::nullopt,
     "bin/ghe-backup", 1, false, false, 14400, false, false},
    {"com.google.keystone.user.agent.plist", "com.google.keystone.user.agent", std::nullopt,
     "/nfs/2015/f/fbellott/Library/Google/GoogleSoftwareUpdate/GoogleSoftwareUpdate.bundle/"
     "Contents/Resources/GoogleSoftwareUpdateAgent.app/Contents/MacOS/GoogleSoftwareUpdateAgent",
     3, true, false, 3623, false, false},
    // KeepAlive false, RunAtLoad false, explicitly.
    {"com.google.santa.bundleservice.plist", "com.google.santa.bundleservice", std::nullopt,
     "/Applications/Santa.app/Contents/MacOS/santabundleservice", 2, false, false, std::nullopt,
     false, false},
    {"com.googlecode.munki.ManagedSoftwareCenter.plist",
     "com.googlecode.munki.ManagedSoftwareCenter", std::nullopt,
     "/usr/local/munki/libexec/launchapp", 3, false, true, std::nullopt, false, false},
    // Program only.
    {"com.jetbrains.AppCode.BridgeService.plist", "com.jetbrains.AppCode.BridgeService",
     "/Users/ymy/Applications/Rider.app/Contents/bin/Bridge.framework/Versions/A/Resources/"
     "BridgeService",
     "", 0, false, false, std::nullopt, false, false},
    // A multi-line JSON string as one argument.
    {"com.local.KeyRemapping.plist", "com.local.KeyRemapping", std::nullopt, "/usr/bin/hidutil", 4,
     true, false, std::nullopt, false, false},
    // CRLF line endings; KeepAlive as a dictionary.
    {"com.logi.cp-dev-mgr.plist", "com.logi.cp-dev-mgr",
     "/Library/Application Support/Logitech.localized/LogiOptionsPlus/logioptionsplus_agent.app/"
     "Contents/MacOS/logioptionsplus_agent",
     "/Library/Application Support/Logitech.localized/LogiOptionsPlus/logioptionsplus_agent.app/"
     "Contents/MacOS/logioptionsplus_agent",
     2, true, true, std::nullopt, false, false},
    {"com.magnusrodseth.pi-extension-update.plist", "com.magnusrodseth.pi-extension-update",
     std::nullopt, "/bin/zsh", 3, true, false, std::nullopt, true, false},
    // Disabled in the definition; the first argument is a bare name.
    {"com.openssh.sshd.plist", "com.openssh.sshd", "/usr/libexec/sshd-keygen-wrapper",
     "sshd-keygen-wrapper", 1, false, false, std::nullopt, false, true},
    {"com.spotify.webhelper.plist", "com.spotify.webhelper",
     "/nfs/2015/f/fbellott/Library/Application Support/Spotify/SpotifyWebHelper", "", 0, true, true,
     std::nullopt, false, false},
    // Disabled present and false; label without dots.
    {"gitlab-runner.plist", "gitlab-runner", std::nullopt, "/usr/local/bin/gitlab-runner", 9, true,
     true, std::nullopt, false, false},
    // Not well-formed XML ("--" inside a comment), but the reader recovers it,
    // as launchd itself did on the user's machine.
    {"homebrew.mxcl.colima.plist", "homebrew.mxcl.colima", std::nullopt,
     "/usr/local/opt/colima/bin/colima", 12, true, true, std::nullopt, false, false},
    {"homebrew.mxcl.mongodb.plist", "homebrew.mxcl.mongodb", std::nullopt, "/usr/local/bin/mongod",
     4, true, false, std::nullopt, false, false},
    {"homebrew.mxcl.redis~2.plist", "homebrew.mxcl.redis", std::nullopt,
     "/opt/homebrew/opt/redis/bin/redis-server", 3, true, true, std::nullopt, false, false},
    // Program is an array (wrong type): absent, the job still counts.
    {"io.macadmins.Outset.login-window.plist", "io.macadmins.Outset.login-window", std::nullopt,
     "/usr/local/outset/Outset.app/Contents/MacOS/Outset", 2, false, false, std::nullopt, false,
     false},
    {"io.macadmins.Outset.cleanup.plist", "io.macadmins.Outset.cleanup", std::nullopt,
     "/usr/local/outset/Outset.app/Contents/MacOS/Outset", 2, false, true, std::nullopt, false,
     false},
    {"local.all.ssh-agent.plist", "local.all.ssh-agent", std::nullopt, "ssh-add", 2, true, false,
     std::nullopt, false, false},
    {"local.secur-t.speedtest.plist", "local.secur-t.speedtest", std::nullopt,
     "/usr/local/bin/speedtest-cli", 2, false, false, std::nullopt, true, false},
    {"local.walle.homebrew.fetch.plist", "local.walle.homebrew.fetch", "/bin/bash", "bash", 3,
     false, false, std::nullopt, true, false},
    {"net.syncthing.syncthing.plist", "net.syncthing.syncthing", std::nullopt,
     "/Users/USERNAME/bin/syncthing", 1, false, true, std::nullopt, false, false},
    {"org.gnupg.gpg-agent.plist", "org.gnupg.gpg-agent", std::nullopt,
     "/Users/camdennarzt/Developer/Bash/dot-files/Library/LaunchAgents/startup-gpg-agent.sh", 1,
     true, false, std::nullopt, false, false},
};

TEST_F(SamplesTest, DefinitionsGiveTheirKeys) {
    for (const SampleJob& s : sampleJobs) {
        SCOPED_TRACE(s.file);
        const auto parsed = job((std::string("plists/") + s.file).c_str());
        ASSERT_TRUE(parsed.has_value());
        EXPECT_EQ(parsed->label, text(s.label));
        EXPECT_EQ(parsed->plistPath, path(text("plists/") + text(s.file)));
        EXPECT_EQ(parsed->program,
                  s.program ? std::optional<QString>(text(*s.program)) : std::nullopt);
        EXPECT_EQ(parsed->arguments.size(), s.argumentCount);
        EXPECT_EQ(parsed->arguments.value(0), text(s.firstArgument));
        EXPECT_EQ(parsed->runAtLoad, s.runAtLoad);
        EXPECT_EQ(parsed->keepAlive, s.keepAlive);
        EXPECT_EQ(parsed->startInterval, s.startInterval);
        EXPECT_EQ(parsed->hasCalendarInterval, s.hasCalendarInterval);
        EXPECT_EQ(parsed->disabledInPlist, s.disabledInPlist);
        EXPECT_FALSE(parsed->isParkedByQuillmarsh);
    }
}

TEST_F(SamplesTest, TextInsideArgumentsIsKeptExactly) {
    const auto solver = job("plists/com.aoc2025.solver.plist");
    ASSERT_TRUE(solver.has_value());
    ASSERT_EQ(solver->arguments.size(), 3);
    EXPECT_EQ(solver->arguments[2],
              text("cd /Users/magnusrodseth/dev/personal/aoc-2025 && /opt/homebrew/bin/claude "
                   "--dangerously-skip-permissions \"/solve\""));

    const auto remap = job("plists/com.local.KeyRemapping.plist");
    ASSERT_TRUE(remap.has_value());
    ASSERT_EQ(remap->arguments.size(), 4);
    EXPECT_TRUE(remap->arguments[3].startsWith(u"{\"UserKeyMapping\":[\n"));
    EXPECT_TRUE(remap->arguments[3].endsWith(u"]}"));

    const auto nginx = job("plists/homebrew.mxcl.nginx.plist");
    ASSERT_TRUE(nginx.has_value());
    EXPECT_EQ(nginx->arguments,
              (QStringList{text("/usr/local/sbin/nginx"), text("-g"), text("daemon off;")}));
}

TEST_F(SamplesTest, MalformedAndLabelLessDefinitionsAreSkipped) {
    for (const char* file : {"plists/NO-LABEL--com.google.keystone.agent.plist",
                             "plists/NO-LABEL--com.user-name.desktop-randomizer.plist",
                             // A comment before the declaration and an unclosed
                             // element inside a string.
                             "plists/com.loanlassalle.dns-black-hole.update.plist"})
        EXPECT_FALSE(job(file).has_value()) << file;
}

TEST_F(SamplesTest, EveryDefinitionParsesWithoutTrouble) {
    // Every file is either skipped or gives a job whose label is not empty.
    int found = 0;
    for (const char* folder : {"plists", "plists-binary"}) {
        const QDir dir(path(text(folder)));
        for (const QString& name : dir.entryList(QDir::Files, QDir::Name)) {
            const QString file = dir.filePath(name);
            const auto parsed = JobScanner::parseJob(readFile(file), file, Domain::globalAgent);
            if (name.startsWith(u"NO-LABEL--")) {
                EXPECT_FALSE(parsed.has_value()) << name.toStdString();
                continue;
            }
            if (!parsed)
                continue;
            ++found;
            EXPECT_FALSE(parsed->label.isEmpty()) << name.toStdString();
            EXPECT_EQ(parsed->domain, Domain::globalAgent);
        }
    }
    EXPECT_GE(found, 60);
}

TEST_F(SamplesTest, BinaryCopiesGiveTheSameJobsAsTheXml) {
    const QDir binaries(path(text("plists-binary")));
    const QStringList names = binaries.entryList(QDir::Files, QDir::Name);
    ASSERT_FALSE(names.isEmpty());
    for (const QString& name : names) {
        SCOPED_TRACE(name.toStdString());
        const QString binaryPath = binaries.filePath(name);
        const QByteArray bytes = readFile(binaryPath);
        ASSERT_TRUE(bytes.startsWith("bplist00"));
        auto fromBinary = JobScanner::parseJob(bytes, binaryPath, Domain::userAgent);
        const auto fromXml = job(("plists/" + name.toStdString()).c_str());
        ASSERT_TRUE(fromBinary.has_value());
        ASSERT_TRUE(fromXml.has_value());
        fromBinary->plistPath = fromXml->plistPath;
        EXPECT_EQ(*fromBinary, *fromXml);
    }
}

TEST_F(SamplesTest, ScriptsRunThroughInterpreters) {
    const std::pair<const char*, std::optional<const char*>> cases[] = {
        {"plists/local.walle.homebrew.fetch.plist", "brew outdated --quiet | xargs brew fetch"},
        {"plists/homebrew.mxcl.redis.plist", std::nullopt},
        {"plists/org.gnupg.gpg-agent.plist", std::nullopt},
        {"plists/com.metabolistics.backup.plist", std::nullopt},
    };
    for (const auto& [file, script] : cases) {
        const auto parsed = job(file);
        ASSERT_TRUE(parsed.has_value()) << file;
        EXPECT_EQ(JobScanner::scriptPath(*parsed),
                  script ? std::optional<QString>(text(*script)) : std::nullopt)
            << file;
    }
}

// ---- captured command outputs --------------------------------------------------

TEST_F(SamplesTest, LaunchctlListOutputsLineForLine) {
    for (const char* file : {"outputs/launchctl-list-7.txt", "outputs/launchctl-list-8.txt"}) {
        SCOPED_TRACE(file);
        const QString output = QString::fromUtf8(readFile(path(text(file))));
        const auto table = CommandParsers::parseLaunchctlList(output);
        QStringList lines = output.split(u'\n', Qt::SkipEmptyParts);
        ASSERT_GT(lines.size(), 500);
        EXPECT_EQ(lines.takeFirst(), text("PID\tStatus\tLabel"));
        // Every captured row has three columns and a label of its own.
        ASSERT_EQ(table.size(), static_cast<size_t>(lines.size()));
        for (const QString& line : lines) {
            const QStringList fields = line.split(u'\t');
            ASSERT_EQ(fields.size(), 3) << line.toStdString();
            const auto found = table.find(fields[2]);
            ASSERT_NE(found, table.end()) << line.toStdString();
            bool pidOk = false;
            const int pid = fields[0].toInt(&pidOk);
            EXPECT_EQ(found->second.pid, pidOk ? std::optional<Pid>(pid) : std::nullopt)
                << line.toStdString();
            EXPECT_EQ(pidOk, fields[0] != u"-") << line.toStdString();
            bool statusOk = false;
            const qint64 status = fields[1].toLongLong(&statusOk);
            ASSERT_TRUE(statusOk) << line.toStdString();
            EXPECT_EQ(found->second.lastExitStatus, status) << line.toStdString();
        }
    }

    const auto table = CommandParsers::parseLaunchctlList(
        QString::fromUtf8(readFile(path(text("outputs/launchctl-list-7.txt")))));
    const std::map<QString, CommandParsers::LaunchctlEntry> spots = {
        {text("com.apple.Finder"), {1050, -15}},
        {text("com.openai.atlas.update-helper"), {std::nullopt, 78}},
        {text("Wacom_IOManager"), {842, 0}},
        {text("com.apple.SafariHistoryServiceAgent"), {std::nullopt, 0}},
    };
    for (const auto& [label, entry] : spots) {
        const auto found = table.find(label);
        ASSERT_NE(found, table.end()) << label.toStdString();
        EXPECT_EQ(found->second, entry) << label.toStdString();
    }
}

TEST_F(SamplesTest, AFilteredListingWithoutTabsGivesNothing) {
    // A shell command line and one row with spaces instead of tabs, as pasted
    // into a document.
    const QString output = QString::fromUtf8(readFile(path(text("outputs/launchctl-list-6.txt"))));
    ASSERT_FALSE(output.isEmpty());
    EXPECT_TRUE(CommandParsers::parseLaunchctlList(output).empty());
}

TEST_F(SamplesTest, PrintDisabledOutputs) {
    // An aggregate, not a pair: a pair's constructor would leave the lists
    // pointing at arrays that no longer exist.
    struct Case {
        const char* file;
        std::initializer_list<const char*> labels;
    };
    const Case cases[] = {
        {"outputs/print-disabled-3.txt",
         {"com.apple.ManagedClientAgent.enrollagent", "com.apple.FolderActionsDispatcher",
          "org.chromium.chromoting", "com.apple.appleseed.seedusaged.postinstall",
          "com.apple.ScriptMenuApp", "com.nexon.plug.helper"}},
        {"outputs/print-disabled-4.txt",
         {"com.apple.CSCSupportd", "com.apple.ftpd", "com.apple.mdmclient.daemon.runatboot"}},
        {"outputs/print-disabled-5.txt",
         {"com.apple.ManagedClientAgent.enrollagent", "com.apple.FolderActionsDispatcher",
          "com.apple.appleseed.seedusaged.postinstall", "com.apple.ScriptMenuApp"}},
    };
    for (const auto& [file, labels] : cases) {
        const QString output = QString::fromUtf8(readFile(path(text(file))));
        ASSERT_FALSE(output.isEmpty()) << file;
        QSet<QString> expected;
        for (const char* label : labels)
            expected.insert(text(label));
        EXPECT_EQ(CommandParsers::parseDisabled(output), expected) << file;
        // Every line either names an enabled service or is one of the above.
        int disabledLines = 0;
        for (const QString& line : output.split(u'\n')) {
            if (line.endsWith(u"=> disabled"))
                ++disabledLines;
        }
        EXPECT_EQ(disabledLines, expected.size()) << file;
    }
}

TEST_F(SamplesTest, OtherOutputsAreNotLoginItems) {
    // None of the captured outputs holds a login-items dump.
    const QDir outputs(path(text("outputs")));
    for (const QString& name : outputs.entryList(QDir::Files)) {
        const QString output = QString::fromUtf8(readFile(outputs.filePath(name)));
        EXPECT_EQ(CommandParsers::parseLoginItems(output, 501), CommandParsers::LoginItems{})
            << name.toStdString();
        EXPECT_TRUE(CommandParsers::parseDisabled(output).isEmpty() ||
                    name.startsWith(u"print-disabled"))
            << name.toStdString();
    }
}

} // namespace
