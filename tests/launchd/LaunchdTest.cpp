// Reading launchd's world: tool output, job definitions (hand-made, hostile,
// captured on real machines), the job folders and the tool invocations.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "launchd/CommandParsers.h"
#include "launchd/JobScanner.h"
#include "launchd/SystemTools.h"
#include "support/Printers.h"
#include "support/StandIns.h"
#include "support/TestPaths.h"

using namespace std::chrono_literals;
using CommandParsers::LaunchctlEntry;
using CommandParsers::LaunchctlTable;
using CommandParsers::LoginItems;
using Domain = LaunchJob::Domain;

namespace {

QString text(const char* utf8) {
    return QString::fromUtf8(utf8);
}

QSet<QString> setOf(std::initializer_list<const char*> values) {
    QSet<QString> set;
    for (const char* value : values)
        set.insert(text(value));
    return set;
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

TEST(LaunchctlList, RowsAfterTheHeaderSplitOnTabs) {
    const std::pair<const char*, LaunchctlTable> cases[] = {
        {"PID\tStatus\tLabel\n-\t0\tcom.example.idle\n412\t0\tcom.example.agent\n"
         "-\t-9\tcom.example.crashed\n733\t\tcom.example.odd\n17\t0\n",
         {{"com.example.idle", {std::nullopt, 0}},
          {"com.example.agent", {412, 0}},
          {"com.example.crashed", {std::nullopt, -9}},
          {"com.example.odd", {733, std::nullopt}}}},
        // The first non-empty line is the header, whatever it says.
        {"\n1\t0\tcom.example.first\n2\t0\tcom.example.second", {{"com.example.second", {2, 0}}}},
        {"PID\tStatus\tLabel\n25951   0   com.example.spaced\n", {}},
        {"PID\tStatus\tLabel\n6\t0\t com.example.extra \tmore\n",
         {{" com.example.extra ", {6, 0}}}},
        // The later line wins.
        {"PID\tStatus\tLabel\n10\t0\tx\n-\t1\tx\n", {{"x", {std::nullopt, 1}}}},
        // Numbers are an optional sign and ASCII digits, within range.
        {"PID\tStatus\tLabel\n+5\t-0\ta\n5a\t0x10\tb\n\xEF\xBC\x91\t1e3\tc\n2147483648\t"
         "-9223372036854775808\td\n-\t9223372036854775808\te\n",
         {{"a", {5, 0}},
          {"b", {}},
          {"c", {}},
          {"d", {std::nullopt, std::numeric_limits<qint64>::min()}},
          {"e", {}}}},
    };
    for (const auto& [output, expected] : cases)
        EXPECT_EQ(CommandParsers::parseLaunchctlList(text(output)), expected) << output;
}

TEST(PrintDisabled, OnlyDisabledOrTrueStatesCount) {
    const std::pair<const char*, QSet<QString>> cases[] = {
        {"disabled services = {\n\t\"com.example.a\" => disabled\n\t\"com.example.b\" => enabled\n"
         "\t\"com.example.c\" => true\n}\n",
         setOf({"com.example.a", "com.example.c"})},
        {"\t\"a\" => Disabled\n\t\"b\" => false\n\t\"c\" =>\n=> disabled\n\"d\" => \"e\" => "
         "disabled",
         {}},
        {"\"  spaced  \" =>\t disabled \t\nbare => disabled\n\"r\" => disabled\r",
         setOf({"  spaced  ", "bare"})},
    };
    for (const auto& [output, expected] : cases)
        EXPECT_EQ(CommandParsers::parseDisabled(text(output)), expected) << output;
}

TEST(LoginItems, OnlyEnabledAppsInTheUsersSection) {
    const QString dump = text(R"( Records for UID 0 : 00000000-0000-0000-0000-000000000000
 #1:
                 Type: app (0x2)
          Disposition: [enabled, allowed, visible] (0x3)
                  URL: file:///Applications/Root%20Only.app/
    Bundle Identifier: com.example.rootonly
========================
 Records for UID 501 : 4D7E1F0A-2B7C-4E8E-9B0A-5C1D2E3F4A5B
========================
 #1:
                 Type: app (0x2)
          Disposition: [enabled, allowed, visible] (0x3)
                  URL: file:///Applications/Some%20Tool.app/
    Bundle Identifier: com.example.sometool
 #2:
                 Type: login item (0x4)
          Disposition: [enabled] (0x1)
                  URL: file:///Applications/Outer.app/Contents/Library/LoginItems/Inner.app/
    Bundle Identifier: com.example.inner
 #3:
                 Type: app (0x2)
          Disposition: [disabled, allowed] (0x2)
    Bundle Identifier: com.example.off
 #4:
                 Type: daemon (0x10)
          Disposition: [enabled, allowed] (0x3)
    Bundle Identifier: com.example.daemon
 #5:
                 Type: app
          Disposition: [enabled]
                  URL: file:///Applications/Bad%zz.app/
 Records for UID 5010 : C
 #1:
                 Type: app
          Disposition: [enabled]
    Bundle Identifier: com.example.other
)");
    EXPECT_EQ(CommandParsers::parseLoginItems(dump, 501),
              (LoginItems{setOf({"/Applications/Some Tool.app", "/Applications/Outer.app",
                                 "file:///Applications/Bad%zz.app"}),
                          setOf({"com.example.sometool", "com.example.inner"})}));
    EXPECT_EQ(
        CommandParsers::parseLoginItems(dump, 0),
        (LoginItems{setOf({"/Applications/Root Only.app"}), setOf({"com.example.rootonly"})}));
    EXPECT_EQ(CommandParsers::parseLoginItems(dump, 50), LoginItems{});
}

QByteArray xmlPlist(const QByteArray& dictBody) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple//DTD "
           "PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">\n<dict>\n" +
           dictBody + "\n</dict>\n</plist>\n";
}

QByteArray labelled(const char* label) {
    return xmlPlist(QByteArray("<key>Label</key><string>") + label + "</string>");
}

std::optional<LaunchJob> parse(const QByteArray& bytes) {
    return JobScanner::parseJob(bytes, text("/p/x.plist"), Domain::globalDaemon);
}

// A definition in one line: label, program, argument count and the last
// argument, then the keys that are set; "none" for no definition.
QString summary(const std::optional<LaunchJob>& job) {
    if (!job)
        return text("none");
    QStringList words{job->label, job->program.value_or(text("-")),
                      QString::number(job->arguments.size())};
    if (!job->arguments.isEmpty())
        words.append(job->arguments.last());
    const std::pair<bool, const char*> flags[] = {{job->runAtLoad, "atLoad"},
                                                  {job->keepAlive, "keepAlive"},
                                                  {job->hasCalendarInterval, "calendar"},
                                                  {job->disabledInPlist, "disabled"}};
    for (const auto& [set, name] : flags) {
        if (set)
            words.append(text(name));
    }
    if (job->startInterval)
        words.append(QString::number(*job->startInterval));
    return words.join(u' ');
}

// Each key in its valid form and in wrong types; every file again in the
// binary encoding, written by Python's plistlib like the binary samples.
TEST(ParseJob, KeysInXmlAndBinary) {
    const char* label = "<key>Label</key><string>com.example.full</string>";
    const std::pair<QByteArray, const char*> cases[] = {
        {QByteArray(label) +
             "<key>Program</key><string>/usr/local/bin/tool</string><key>ProgramArguments</key>"
             "<array><string>tool</string><string></string><string>caf\xC3\xA9 &amp; "
             "&lt;x&gt;</string></array><key>RunAtLoad</key><true/><key>KeepAlive</key><true/>"
             "<key>StartInterval</key><integer>3600</integer><key>StartCalendarInterval</key>"
             "<dict><key>Hour</key><integer>2</integer></dict><key>Disabled</key><true/>",
         "com.example.full /usr/local/bin/tool 3 caf\xC3\xA9 & <x> atLoad keepAlive calendar "
         "disabled 3600"},
        {QByteArray(label) + "<key>KeepAlive</key><dict><key>NetworkState</key><true/></dict>",
         "com.example.full - 0 keepAlive"},
        {QByteArray(label) +
             "<key>Program</key><array/><key>ProgramArguments</key><array><string>/bin/echo"
             "</string><integer>1</integer></array><key>RunAtLoad</key><string>YES</string>"
             "<key>KeepAlive</key><integer>1</integer><key>StartInterval</key><real>60.5</real>"
             "<key>Disabled</key><string>true</string>",
         "com.example.full - 0"},
        {"<key>Program</key><string>/bin/x</string>", "none"},
        {"<key>Label</key><integer>5</integer>", "none"},
        {"<key>label</key><string>x</string>", "none"},
    };
    QTemporaryDir dir;
    QStringList paths;
    for (const auto& [body, expected] : cases) {
        paths.append(dir.filePath(QString::number(paths.size())));
        ASSERT_TRUE(writeFile(paths.last(), xmlPlist(body)));
    }
    QProcess python;
    python.start(text("/usr/bin/python3"),
                 QStringList{text("-c"), text("import plistlib, sys\nfor p in sys.argv[1:]:\n"
                                              "    v = plistlib.load(open(p, 'rb'))\n"
                                              "    plistlib.dump(v, open(p + '.bin', 'wb'), "
                                              "fmt=plistlib.FMT_BINARY)\n")} +
                     paths);
    ASSERT_TRUE(python.waitForFinished(60000) && python.exitCode() == 0);
    for (qsizetype i = 0; i < paths.size(); ++i) {
        EXPECT_EQ(summary(parse(readFile(paths[i]))), text(cases[i].second));
        const QByteArray binary = readFile(paths[i] + text(".bin"));
        ASSERT_TRUE(binary.startsWith("bplist00"));
        EXPECT_EQ(summary(parse(binary)), text(cases[i].second)) << "binary";
    }
}

// A binary list by hand: objects in order, four-byte offsets and references.
QByteArray binaryPlist(const QList<QByteArray>& objects) {
    const auto bigEndian = [](quint64 value, int width) {
        QByteArray out;
        for (int shift = (width - 1) * 8; shift >= 0; shift -= 8)
            out.append(char((value >> shift) & 0xFF));
        return out;
    };
    QByteArray out("bplist00");
    QByteArray table;
    for (const QByteArray& object : objects) {
        table += bigEndian(quint64(out.size()), 4);
        out += object;
    }
    const quint64 tableOffset = quint64(out.size());
    return out + table + QByteArray(6, '\0') + "\x04\x04" + bigEndian(quint64(objects.size()), 8) +
           bigEndian(0, 8) + bigEndian(tableOffset, 8);
}

QByteArray ref(quint32 index) {
    return QByteArray(1, '\0') + char(index >> 16) + char(index >> 8) + char(index);
}

// {"Label": "x", "Nested": object 3}, then `levels` arrays from object 5 on,
// each holding the next `copies` times.
QByteArray nestedBinary(QByteArray third, int levels = 0, int copies = 1) {
    QList<QByteArray> objects = {QByteArray("\xD2", 1) + ref(1) + ref(2) + ref(4) + ref(3),
                                 "\x55Label", "\x56Nested", third, "\x51x"};
    for (int level = 0; level < levels; ++level) {
        QByteArray array(1, char(0xA0 + copies));
        for (int c = 0; c < copies; ++c)
            array += ref(quint32(level + 1 < levels ? 6 + level : 4));
        objects.append(array);
    }
    return binaryPlist(objects);
}

TEST(ParseJob, BrokenAndHostileInputIsRejectedQuickly) {
    EXPECT_TRUE(parse(nestedBinary("\xA0")));
    EXPECT_TRUE(parse(nestedBinary(QByteArray("\xA2", 1) + ref(5) + ref(5), 10, 2)));
    EXPECT_TRUE(parse(QByteArray("\xEF\xBB\xBF") + labelled("bom")));
    const auto deepXml = [](int arrays) {
        return xmlPlist("<key>Label</key><string>x</string><key>Deep</key>" +
                        QByteArray("<array>").repeated(arrays) +
                        QByteArray("</array>").repeated(arrays));
    };
    EXPECT_TRUE(parse(deepXml(2047)));
    QByteArray truncated = nestedBinary("\xA0");
    truncated.chop(1);
    const QByteArray rejected[] = {
        "", "not a property list", "bplist00", "{\"Label\": \"x\"}",
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>Label</key><string>x</dict>",
        QByteArray("\xEF\xBB\xBF\xEF\xBB\xBF") + labelled("bom"), truncated,
        nestedBinary(QByteArray("\xA1", 1) + ref(99)),
        // A cycle, 2^40 copies of one shared object, 100000 levels of nesting.
        nestedBinary(QByteArray("\xA1", 1) + ref(3)),
        nestedBinary(QByteArray("\xA2", 1) + ref(5) + ref(5), 40, 2),
        nestedBinary(QByteArray("\xA1", 1) + ref(5), 100000), deepXml(2048), deepXml(150000)};
    for (const QByteArray& bytes : rejected)
        EXPECT_FALSE(parse(bytes)) << bytes.left(80).toHex().constData();
}

TEST(ScriptPath, TheScriptAnInterpreterRuns) {
    const std::tuple<std::optional<const char*>, QStringList, std::optional<const char*>> cases[] =
        {{std::nullopt, {"/bin/zsh", "-l", "/u/sync.sh"}, "/u/sync.sh"},
         {std::nullopt, {"/usr/bin/env", "python3", "-u", "/u/bot.py"}, "/u/bot.py"},
         {std::nullopt, {"/usr/bin/env", "node"}, std::nullopt},
         {std::nullopt, {"/usr/local/bin/redis-server", "/etc/redis.conf"}, std::nullopt},
         {"/bin/bash", {"ignored", "-c", "/x/run.sh"}, "/x/run.sh"},
         {"/usr/local/bin/tool", {"/bin/sh", "/x/run.sh"}, std::nullopt},
         {std::nullopt, {"/usr/bin/python3.11", "/x/a.py"}, "/x/a.py"},
         {std::nullopt, {"/usr/bin/Python", "/x/c.py"}, std::nullopt},
         {std::nullopt, {"/bin/sh", "-c", "-e"}, std::nullopt}};
    for (const auto& [program, arguments, script] : cases) {
        LaunchJob job;
        job.program = program ? std::optional(text(*program)) : std::nullopt;
        job.arguments = arguments;
        EXPECT_EQ(JobScanner::scriptPath(job), script ? std::optional(text(*script)) : std::nullopt)
            << qPrintable(arguments.join(u' '));
    }
}

TEST(ScanJobs, FourLocationsInOrderSkippingWhatIsNoDefinition) {
    QTemporaryDir root;
    JobScanner::JobFolders folders;
    folders.home = root.filePath(text("home"));
    folders.globalAgents = root.filePath(text("Library/LaunchAgents"));
    folders.globalDaemons = root.filePath(text("Library/LaunchDaemons"));
    EXPECT_TRUE(JobScanner::scanJobs(folders).isEmpty());
    for (const QString& folder : {folders.userAgents(), folders.parking(), folders.globalAgents})
        ASSERT_TRUE(QDir().mkpath(folder));
    // The daemons folder is a file: it cannot be listed, even by root.
    ASSERT_TRUE(writeFile(folders.globalDaemons, labelled("not.a.folder")));
    const QString agents = folders.userAgents() + u'/';
    ASSERT_TRUE(writeFile(agents + text("same.plist"), labelled("user.same")));
    ASSERT_TRUE(writeFile(agents + text(".hidden.plist"), labelled("user.hidden")));
    ASSERT_TRUE(writeFile(folders.parking() + text("/same.plist"), labelled("user.same")));
    ASSERT_TRUE(writeFile(folders.globalAgents + text("/g.plist"), labelled("global.agent")));
    for (const char* name : {"upper.PLIST", "x.plist.bak", "noext", "garbage.plist"})
        ASSERT_TRUE(writeFile(agents + text(name), name == text("garbage.plist")
                                                       ? QByteArray("\0\1garbage", 9)
                                                       : labelled("skipped")));
    // Exactly a mebibyte is read, a byte more is not.
    QByteArray atLimit = labelled("user.limit");
    atLimit += QByteArray((1 << 20) - atLimit.size(), ' ');
    ASSERT_TRUE(writeFile(agents + text("limit.plist"), atLimit));
    ASSERT_TRUE(writeFile(agents + text("over.plist"), atLimit + ' '));
    ASSERT_TRUE(QDir().mkpath(agents + text("folder.plist")));
    ASSERT_EQ(::mkfifo(QFile::encodeName(agents + text("fifo.plist")).constData(), 0600), 0);
    ASSERT_TRUE(QFile::link(root.filePath(text("missing")), agents + text("dangling.plist")));
    ASSERT_TRUE(writeFile(root.filePath(text("target")), labelled("user.link")));
    ASSERT_TRUE(QFile::link(root.filePath(text("target")), agents + text("link.plist")));

    QStringList found;
    for (const LaunchJob& job : JobScanner::scanJobs(folders))
        found.append(QStringLiteral("%1 %2 %3")
                         .arg(job.label, domainText(job.domain))
                         .arg(text(job.isParkedByQuillmarsh ? "parked" : "in place")));
    std::sort(found.begin(), found.begin() + std::min<qsizetype>(4, found.size()));
    EXPECT_EQ(found,
              (QStringList{"user.hidden User agent in place", "user.limit User agent in place",
                           "user.link User agent in place", "user.same User agent in place",
                           "user.same User agent parked", "global.agent Global agent in place"}));

    const auto stamps = JobScanner::folderStamps(folders);
    ASSERT_EQ(stamps.size(), 4);
    EXPECT_TRUE(stamps[0] && stamps[1] && stamps[2]);
    ASSERT_TRUE(writeFile(folders.globalAgents + text("/new.plist"), labelled("new")));
    const auto after = JobScanner::folderStamps(folders);
    EXPECT_EQ(after[0], stamps[0]);
    EXPECT_NE(after[2], stamps[2]);
}

TEST(SystemTools, InvocationsAndARunThroughTheStandIns) {
    const SystemTools::Locations tools;
    const QString launchctl = text("/bin/launchctl");
    const std::pair<SystemTools::Invocation, SystemTools::Invocation> cases[] = {
        {SystemTools::bootout(tools, 501, text("a.b")),
         {launchctl, {"bootout", "gui/501/a.b"}, 8s}},
        {SystemTools::bootstrap(tools, 501, text("/L/a b.plist")),
         {launchctl, {"bootstrap", "gui/501", "/L/a b.plist"}, 8s}},
        {SystemTools::shutdownSimulator(tools, text("all")),
         {"/usr/bin/xcrun", {"simctl", "shutdown", "all"}, 8s}},
    };
    for (const auto& [actual, expected] : cases)
        EXPECT_TRUE(actual == expected) << qPrintable(actual.arguments.join(u' '));

    StandIns standIns;
    ASSERT_TRUE(standIns.isValid());
    standIns.addJob(text("com.example.idle"));
    EXPECT_EQ(SystemTools::run(SystemTools::launchctlList(SystemTools::Locations::standard())),
              (CommandResult{0, text("PID\tStatus\tLabel\n-\t0\tcom.example.idle\n"), {}}));
}

class Samples : public ::testing::Test {
protected:
    void SetUp() override {
        const auto folder = TestPaths::launchdSamples();
        if (!folder)
            GTEST_SKIP() << "the shared launchd samples are not next to the checkout";
        samples = *folder + u'/';
    }
    std::optional<LaunchJob> job(const QString& relative) const {
        return JobScanner::parseJob(readFile(samples + relative), samples + relative,
                                    Domain::userAgent);
    }
    QString output(const char* name) const {
        return QString::fromUtf8(readFile(samples + text("outputs/") + text(name)));
    }
    QString samples;
};

TEST_F(Samples, DefinitionsFromRealMachines) {
    const QString support = text("/Library/Application Support/");
    const std::pair<const char*, QString> rows[] = {
        // Program and arguments; calendar interval as one dictionary.
        {"com.adobe.AAM.Scheduler-1.0",
         text("com.adobe.AAM.Scheduler-1.0 ") + support +
             text("Adobe/OOBE/PDApp/UWA/UpdaterStartupUtility 2 -mode=scheduled calendar")},
        // XML comments inside the array and the dictionary.
        {"com.github.backup-utils.ghe-backup",
         text("com.github.backup-utils.ghe-backup - 1 bin/ghe-backup 14400")},
        // CRLF line endings; KeepAlive as a dictionary.
        {"com.logi.cp-dev-mgr",
         text("com.logi.cp-dev-mgr ") + support +
             text("Logitech.localized/LogiOptionsPlus/logioptionsplus_agent.app/Contents/MacOS/"
                  "logioptionsplus_agent 2 --launchd atLoad keepAlive")},
        {"com.openssh.sshd",
         text("com.openssh.sshd /usr/libexec/sshd-keygen-wrapper 1 sshd-keygen-wrapper disabled")},
        // "--" inside a comment: not well-formed, recovered as launchd does.
        {"homebrew.mxcl.colima",
         text("homebrew.mxcl.colima - 12 --ssh-config=false atLoad keepAlive")},
    };
    for (const auto& [file, expected] : rows) {
        const auto parsed = job(text("plists/") + text(file) + text(".plist"));
        EXPECT_EQ(summary(parsed), expected);
    }
    for (const char* file : {"NO-LABEL--com.google.keystone.agent.plist",
                             "com.loanlassalle.dns-black-hole.update.plist"})
        EXPECT_FALSE(job(text("plists/") + text(file))) << file;

    // Every binary copy gives what its XML original gives.
    const QStringList binaries = QDir(samples + text("plists-binary")).entryList(QDir::Files);
    ASSERT_FALSE(binaries.isEmpty());
    for (const QString& name : binaries) {
        auto fromBinary = job(text("plists-binary/") + name);
        const auto fromXml = job(text("plists/") + name);
        ASSERT_TRUE(fromBinary && fromXml) << qPrintable(name);
        fromBinary->plistPath = fromXml->plistPath;
        EXPECT_EQ(*fromBinary, *fromXml) << qPrintable(name);
    }
}

TEST_F(Samples, CapturedToolOutputs) {
    const LaunchctlTable table = CommandParsers::parseLaunchctlList(output("launchctl-list-7.txt"));
    EXPECT_EQ(qsizetype(table.size()),
              output("launchctl-list-7.txt").split(u'\n', Qt::SkipEmptyParts).size() - 1);
    const std::pair<const char*, LaunchctlEntry> spots[] = {
        {"com.apple.Finder", {1050, -15}},
        {"com.openai.atlas.update-helper", {std::nullopt, 78}},
        {"Wacom_IOManager", {842, 0}}};
    for (const auto& [label, entry] : spots)
        EXPECT_TRUE(table.at(text(label)) == entry) << label;
    // Pasted with spaces instead of tabs: nothing.
    EXPECT_TRUE(CommandParsers::parseLaunchctlList(output("launchctl-list-6.txt")).empty());
    EXPECT_EQ(
        CommandParsers::parseDisabled(output("print-disabled-4.txt")),
        setOf({"com.apple.CSCSupportd", "com.apple.ftpd", "com.apple.mdmclient.daemon.runatboot"}));
}

} // namespace
