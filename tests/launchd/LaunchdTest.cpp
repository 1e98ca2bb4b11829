// Catches: off-by-one and state-spelling mistakes in the tool parsers, wrongly
// typed keys accepted, hostile plists that hang or blow up, a definition
// folder skipped, file names that are not UTF-8 lost between scan and move.
//
// Reading launchd's world: tool output, job definitions (hand-made, hostile,
// captured on real machines), the job folders and their file names.

#include <fstream>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "actions/JobActions.h"
#include "launchd/CommandParsers.h"
#include "launchd/JobScanner.h"
#include "os/FileNames.h"
#include "support/Printers.h"
#include "support/TempHome.h"
#include "support/TestPaths.h"

using CommandParsers::LaunchctlTable;
using CommandParsers::LoginItems;
using Domain = LaunchJob::Domain;

namespace {

QString text(const char* utf8) {
    return QString::fromUtf8(utf8);
}

// Whole files by the bytes of their names, which need not be UTF-8.
bool writeFile(const QByteArray& path, const QByteArray& bytes) {
    return bool(std::ofstream(path.toStdString(), std::ios::binary) << bytes.toStdString());
}

QByteArray readFile(const QByteArray& path) {
    std::ifstream in(path.toStdString(), std::ios::binary);
    return QByteArray::fromStdString({std::istreambuf_iterator<char>(in), {}});
}

TEST(LaunchctlList, RowsAfterTheHeaderSplitOnTabs) {
    const std::pair<const char*, LaunchctlTable> cases[] = {
        {"PID\tStatus\tLabel\n-\t0\tcom.example.idle\n412\t0\tcom.example.agent\n"
         "-\t-9\tcom.example.crashed\n733\t\tcom.example.odd\n17\t0\n",
         {{"com.example.idle", {std::nullopt, 0}},
          {"com.example.agent", {412, 0}},
          {"com.example.crashed", {std::nullopt, -9}},
          {"com.example.odd", {733, std::nullopt}}}},
        // The first non-empty line is the header, whatever it says; labels keep their spaces.
        {"\n1\t0\tfirst\n2\t0\t second \tmore", {{" second ", {2, 0}}}},
        // Numbers are an optional sign and decimal digits; a pid past the range is none.
        {"PID\tStatus\tLabel\n+5\t-0\ta\n5a\t0x10\tb\n\xEF\xBC\x91\t1e3\tc\n2147483648\t-1\td\n",
         {{"a", {5, 0}}, {"b", {}}, {"c", {}}, {"d", {std::nullopt, -1}}}},
    };
    for (const auto& [output, expected] : cases)
        EXPECT_EQ(CommandParsers::parseLaunchctlList(text(output)), expected) << output;
}

TEST(PrintDisabled, OnlyDisabledOrTrueStatesCount) {
    const std::pair<const char*, QSet<QString>> cases[] = {
        {"disabled services = {\n\t\"com.example.a\" => disabled\n\t\"com.example.b\" => enabled\n"
         "\t\"com.example.c\" => true\n}\n",
         QSet<QString>({"com.example.a", "com.example.c"})},
        {"\t\"a\" => Disabled\n\t\"b\" => false\n\t\"c\" =>\n=> disabled\n\"d\" => \"e\" => "
         "disabled\n\"  spaced  \" =>\t disabled \t\nbare => disabled\n\"r\" => disabled\r",
         QSet<QString>({"  spaced  ", "bare"})},
    };
    for (const auto& [output, expected] : cases)
        EXPECT_EQ(CommandParsers::parseDisabled(text(output)), expected) << output;
}

TEST(LoginItems, OnlyEnabledAppsInTheUsersSection) {
    const QString dump = text(R"( Records for UID 501 : 4D7E1F0A-2B7C-4E8E-9B0A-5C1D2E3F4A5B
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
 Records for UID 5010 : C
 #1:
                 Type: app
          Disposition: [enabled]
    Bundle Identifier: com.example.other
)");
    EXPECT_EQ(CommandParsers::parseLoginItems(dump, 501),
              (LoginItems{QSet<QString>({"/Applications/Some Tool.app", "/Applications/Outer.app"}),
                          QSet<QString>({"com.example.sometool", "com.example.inner"})}));
}

QByteArray xmlPlist(const QByteArray& dictBody) {
    return "<?xml version=\"1.0\"?>\n<plist version=\"1.0\">\n<dict>\n" + dictBody +
           "\n</dict>\n</plist>\n";
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
    QStringList words = QStringList{job->label, job->program.value_or(text("-")),
                                    QString::number(job->arguments.size())} +
                        job->arguments.mid(std::max<qsizetype>(job->arguments.size() - 1, 0));
    const std::pair<bool, const char*> flags[] = {{job->runAtLoad, "atLoad"},
                                                  {job->keepAlive, "keepAlive"},
                                                  {job->hasCalendarInterval, "calendar"},
                                                  {job->disabledInPlist, "disabled"}};
    for (const auto& [set, name] : flags)
        words += set ? QStringList{text(name)} : QStringList{};
    if (job->startInterval)
        words.append(QString::number(*job->startInterval));
    return words.join(u' ');
}

// Each key in its valid form and in wrong types.
TEST(ParseJob, KeysAndTheirWrongTypes) {
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
    for (const auto& [body, expected] : cases)
        EXPECT_EQ(summary(parse(xmlPlist(body))), text(expected));
}

// A binary list by hand: objects in order, eight-byte offsets, four-byte references.
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
        table += bigEndian(quint64(out.size()), 8);
        out += object;
    }
    const quint64 tableOffset = quint64(out.size());
    return out + table + QByteArray(6, '\0') + "\x08\x04" + bigEndian(quint64(objects.size()), 8) +
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

TEST(ScanJobs, FourLocationsInOrderSkippingWhatIsNoDefinition) {
    QTemporaryDir root;
    const JobScanner::JobFolders folders{root.filePath(text("home")),
                                         root.filePath(text("Library/LaunchAgents")),
                                         root.filePath(text("Library/LaunchDaemons"))};
    EXPECT_TRUE(JobScanner::scanJobs(folders).isEmpty());
    for (const QString& folder : {folders.userAgents(), folders.parking(), folders.globalAgents})
        ASSERT_TRUE(QDir().mkpath(folder));
    const QByteArray top = QFile::encodeName(root.path()) + '/';
    const QByteArray agents = top + "home/Library/LaunchAgents/";
    // The daemons folder is a file: it cannot be listed, even by root.
    ASSERT_TRUE(writeFile(top + "Library/LaunchDaemons", labelled("not.a.folder")));
    ASSERT_TRUE(writeFile(agents + "same.plist", labelled("user.same")));
    ASSERT_TRUE(writeFile(agents + ".hidden.plist", labelled("user.hidden")));
    ASSERT_TRUE(writeFile(agents + "Disabled/same.plist", labelled("user.same")));
    ASSERT_TRUE(writeFile(top + "Library/LaunchAgents/g.plist", labelled("global.agent")));
    for (const char* name : {"upper.PLIST", "x.plist.bak", "noext"})
        ASSERT_TRUE(writeFile(agents + name, labelled("skipped")));
    ASSERT_TRUE(writeFile(agents + "garbage.plist", QByteArray("\0\1garbage", 9)));
    // Exactly a mebibyte is read, a byte more is not.
    QByteArray atLimit = labelled("user.limit");
    atLimit += QByteArray((1 << 20) - atLimit.size(), ' ');
    ASSERT_TRUE(writeFile(agents + "limit.plist", atLimit));
    ASSERT_TRUE(writeFile(agents + "over.plist", atLimit + ' '));
    ASSERT_TRUE(writeFile(top + "target", labelled("user.link")));
    ASSERT_EQ(::mkdir(agents + "folder.plist", 0700), 0);
    ASSERT_EQ(::mkfifo(agents + "fifo.plist", 0600), 0);
    ASSERT_EQ(::symlink(top + "missing", agents + "dangling.plist"), 0);
    ASSERT_EQ(::symlink(top + "target", agents + "link.plist"), 0);

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
}

// Names that are not UTF-8 keep their bytes from the folder listing to reading,
// parking and putting back.
TEST(ScanJobs, NamesKeepTheirBytesFromListingToParkingAndBack) {
    TempHome home;
    const QByteArray agents = QFile::encodeName(home.makeFolder("Library/LaunchAgents"));
    // A launchctl that accepts every verb and logs its arguments byte for byte.
    const QByteArray log = QFile::encodeName(home.path()) + "/calls.log";
    const QByteArray tool = QFile::encodeName(home.path()) + "/launchctl";
    writeFile(tool, "#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" + log + "'\n");
    ::chmod(tool.constData(), 0755);
    JobActions::Context context;
    context.tools.launchctl = FileNames::decode(tool);
    context.uid = ::getuid();
    const JobScanner::JobFolders folders{home.path(), "/none", "/none"};
    const auto scanned = [&](const QString& label) {
        const QList<LaunchJob> jobs = JobScanner::scanJobs(folders);
        const auto job = std::ranges::find(jobs, label, &LaunchJob::label);
        return job == jobs.end() ? std::nullopt : std::optional(*job);
    };

    for (const QByteArray name : {"caf\xe9.plist", "\xff\xfe\x80.plist", "caf\xc3\xa9.plist"}) {
        SCOPED_TRACE(name.toHex().toStdString());
        const QByteArray definition = "<plist version=\"1.0\"><dict><key>Label</key><string>" +
                                      name.toHex() + "</string></dict></plist>\n";
        writeFile(agents + '/' + name, definition);
        const std::optional<LaunchJob> job = scanned(QString::fromLatin1(name.toHex()));
        ASSERT_TRUE(job);
        EXPECT_EQ(FileNames::encode(job->plistPath), agents + '/' + name);
        ASSERT_EQ(JobActions::disableJob(*job, context), std::nullopt);
        EXPECT_EQ(readFile(agents + "/Disabled/" + name), definition);

        const std::optional<LaunchJob> parked = scanned(QString::fromLatin1(name.toHex()));
        ASSERT_TRUE(parked && parked->isParkedByQuillmarsh);
        ASSERT_EQ(JobActions::reenableJob(*parked, context), std::nullopt);
        EXPECT_EQ(readFile(agents + '/' + name), definition);
        EXPECT_TRUE(readFile(log).endsWith(" " + agents + '/' + name + "\n"));
    }

    // Without $HOME the home is the account's, not "/".
    const QByteArray savedHome = qgetenv("HOME");
    qunsetenv("HOME");
    const QString fallback = JobScanner::JobFolders::standard().home;
    qputenv("HOME", savedHome);
    EXPECT_EQ(fallback, QFile::decodeName(getpwuid(getuid())->pw_dir));
}

// Real definitions in both encodings pass the parser's limits and read the same
// either way; real tool outputs parse whole.
TEST(Samples, DefinitionsAndOutputsFromRealMachines) {
    const auto folder = TestPaths::launchdSamples();
    if (!folder)
        GTEST_SKIP() << "the shared launchd samples are not next to the checkout";
    const auto read = [&](const QString& name) {
        return readFile(QFile::encodeName(*folder + u'/' + name));
    };
    const auto job = [&](const char* kind, const QString& name) {
        return JobScanner::parseJob(read(text(kind) + name), name, Domain::userAgent);
    };
    const QStringList binaries = QDir(*folder + text("/plists-binary")).entryList(QDir::Files);
    ASSERT_FALSE(binaries.isEmpty());
    for (const QString& name : binaries) {
        const auto fromXml = job("plists/", name);
        ASSERT_TRUE(fromXml) << qPrintable(name);
        EXPECT_EQ(job("plists-binary/", name), fromXml) << qPrintable(name);
    }
    const QString list = QString::fromUtf8(read(text("outputs/launchctl-list-7.txt")));
    EXPECT_EQ(qsizetype(CommandParsers::parseLaunchctlList(list).size()),
              list.split(u'\n', Qt::SkipEmptyParts).size() - 1);
    EXPECT_EQ(CommandParsers::parseDisabled(
                  QString::fromUtf8(read(text("outputs/print-disabled-4.txt")))),
              QSet<QString>({"com.apple.CSCSupportd", "com.apple.ftpd",
                             "com.apple.mdmclient.daemon.runatboot"}));
}

} // namespace
