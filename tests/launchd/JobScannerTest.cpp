#include "launchd/JobScanner.h"

#include <ostream>

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

inline void PrintTo(const LaunchJob& job, std::ostream* out) {
    *out << "{label " << job.label.toStdString() << ", path " << job.plistPath.toStdString()
         << ", domain " << domainText(job.domain).toStdString() << ", program "
         << job.program.value_or(QStringLiteral("none")).toStdString() << ", arguments ["
         << job.arguments.join(u", ").toStdString() << "], runAtLoad " << job.runAtLoad
         << ", keepAlive " << job.keepAlive << ", startInterval "
         << (job.startInterval ? std::to_string(*job.startInterval) : "none") << ", calendar "
         << job.hasCalendarInterval << ", disabled " << job.disabledInPlist << ", parked "
         << job.isParkedByQuillmarsh << "}";
}

namespace {

using Domain = LaunchJob::Domain;

QString text(const char* utf8) {
    return QString::fromUtf8(utf8);
}

QByteArray xmlPlist(const char* dictBody) {
    return QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                      "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                      "<plist version=\"1.0\">\n<dict>\n") +
           dictBody + "\n</dict>\n</plist>\n";
}

QByteArray labelled(const char* label) {
    return xmlPlist(QByteArray("<key>Label</key><string>") + label + "</string>");
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Binary twins of XML files, written by Python's plistlib (FMT_BINARY), the same
// tool that produced the binary samples of real machines. Returns false when
// Python is not available.
bool convertToBinary(const QStringList& xmlPaths) {
    const QString python = QStandardPaths::findExecutable(QStringLiteral("python3"));
    if (python.isEmpty())
        return false;
    QProcess process;
    process.start(python, QStringList{QStringLiteral("-c"),
                                      QStringLiteral("import plistlib, sys\n"
                                                     "for path in sys.argv[1:]:\n"
                                                     "    with open(path, 'rb') as f:\n"
                                                     "        value = plistlib.load(f)\n"
                                                     "    with open(path + '.bin', 'wb') as f:\n"
                                                     "        plistlib.dump(value, f, "
                                                     "fmt=plistlib.FMT_BINARY)\n")} +
                              xmlPaths);
    return process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
}

// What a definition should give, field by field.
struct Expected {
    QString label;
    std::optional<QString> program = std::nullopt;
    QStringList arguments = {};
    bool runAtLoad = false;
    bool keepAlive = false;
    std::optional<qint64> startInterval = std::nullopt;
    bool hasCalendarInterval = false;
    bool disabledInPlist = false;
};

struct JobCase {
    const char* name;
    const char* body;
    std::optional<Expected> expected;
};

QStringList list(std::initializer_list<const char*> items) {
    QStringList result;
    for (const char* item : items)
        result.append(text(item));
    return result;
}

const JobCase jobCases[] = {
    {"label only", "<key>Label</key><string>com.example.a</string>",
     Expected{text("com.example.a")}},
    {"every key",
     "<key>Label</key><string>com.example.full</string>"
     "<key>Program</key><string>/usr/local/bin/tool</string>"
     "<key>ProgramArguments</key><array><string>tool</string><string>--flag</string></array>"
     "<key>RunAtLoad</key><true/><key>KeepAlive</key><true/>"
     "<key>StartInterval</key><integer>3600</integer>"
     "<key>StartCalendarInterval</key><dict><key>Hour</key><integer>2</integer></dict>"
     "<key>Disabled</key><true/>",
     Expected{text("com.example.full"), text("/usr/local/bin/tool"), list({"tool", "--flag"}), true,
              true, 3600, true, true}},
    {"keep-alive dictionary",
     "<key>Label</key><string>k</string><key>KeepAlive</key>"
     "<dict><key>NetworkState</key><true/></dict>",
     Expected{text("k"), std::nullopt, {}, false, true}},
    {"keep-alive empty dictionary", "<key>Label</key><string>k</string><key>KeepAlive</key><dict/>",
     Expected{text("k"), std::nullopt, {}, false, true}},
    {"keep-alive false", "<key>Label</key><string>k</string><key>KeepAlive</key><false/>",
     Expected{text("k")}},
    {"keep-alive string",
     "<key>Label</key><string>k</string><key>KeepAlive</key><string>true</string>",
     Expected{text("k")}},
    {"keep-alive array",
     "<key>Label</key><string>k</string><key>KeepAlive</key><array><true/></array>",
     Expected{text("k")}},
    {"keep-alive integer",
     "<key>Label</key><string>k</string><key>KeepAlive</key><integer>1</integer>",
     Expected{text("k")}},
    {"calendar as empty array",
     "<key>Label</key><string>c</string><key>StartCalendarInterval</key><array/>",
     Expected{text("c"), std::nullopt, {}, false, false, std::nullopt, true}},
    {"calendar as string",
     "<key>Label</key><string>c</string><key>StartCalendarInterval</key><string>x</string>",
     Expected{text("c"), std::nullopt, {}, false, false, std::nullopt, true}},
    {"number among arguments",
     "<key>Label</key><string>a</string><key>ProgramArguments</key>"
     "<array><string>/bin/echo</string><integer>1</integer><string>x</string></array>",
     Expected{text("a")}},
    {"arguments as string",
     "<key>Label</key><string>a</string><key>ProgramArguments</key><string>/bin/echo</string>",
     Expected{text("a")}},
    {"empty arguments", "<key>Label</key><string>a</string><key>ProgramArguments</key><array/>",
     Expected{text("a")}},
    {"empty and unicode arguments",
     "<key>Label</key><string>a</string><key>ProgramArguments</key>"
     "<array><string>/bin/echo</string><string></string><string>caf\xC3\xA9 &amp; "
     "&lt;x&gt;</string>"
     "</array>",
     Expected{text("a"), std::nullopt, list({"/bin/echo", "", "caf\xC3\xA9 & <x>"})}},
    {"program as array",
     "<key>Label</key><string>p</string><key>Program</key><array><string>/bin/x</string></array>",
     Expected{text("p")}},
    {"run-at-load string",
     "<key>Label</key><string>r</string><key>RunAtLoad</key><string>YES</string>",
     Expected{text("r")}},
    {"run-at-load integer",
     "<key>Label</key><string>r</string><key>RunAtLoad</key><integer>1</integer>",
     Expected{text("r")}},
    {"interval real", "<key>Label</key><string>i</string><key>StartInterval</key><real>60.5</real>",
     Expected{text("i")}},
    {"interval string",
     "<key>Label</key><string>i</string><key>StartInterval</key><string>60</string>",
     Expected{text("i")}},
    {"interval zero",
     "<key>Label</key><string>i</string><key>StartInterval</key><integer>0</integer>",
     Expected{text("i"), std::nullopt, {}, false, false, 0}},
    {"interval negative",
     "<key>Label</key><string>i</string><key>StartInterval</key><integer>-5</integer>",
     Expected{text("i"), std::nullopt, {}, false, false, -5}},
    {"disabled false", "<key>Label</key><string>d</string><key>Disabled</key><false/>",
     Expected{text("d")}},
    {"disabled string",
     "<key>Label</key><string>d</string><key>Disabled</key><string>true</string>",
     Expected{text("d")}},
    {"empty label", "<key>Label</key><string></string>", Expected{QString()}},
    {"label with spaces", "<key>Label</key><string> spaced label </string>",
     Expected{text(" spaced label ")}},
    {"no label", "<key>Program</key><string>/bin/x</string>", std::nullopt},
    {"label number", "<key>Label</key><integer>5</integer>", std::nullopt},
    {"label array", "<key>Label</key><array><string>x</string></array>", std::nullopt},
    {"label key case", "<key>label</key><string>x</string>", std::nullopt},
    {"empty dictionary", "", std::nullopt},
};

Expected expectedOf(const LaunchJob& job) {
    return Expected{job.label,     job.program,       job.arguments,           job.runAtLoad,
                    job.keepAlive, job.startInterval, job.hasCalendarInterval, job.disabledInPlist};
}

void expectJob(const std::optional<LaunchJob>& job, const JobCase& c, const QString& path,
               const char* encoding) {
    SCOPED_TRACE(std::string(c.name) + " (" + encoding + ")");
    ASSERT_EQ(job.has_value(), c.expected.has_value());
    if (!job)
        return;
    const Expected got = expectedOf(*job);
    const Expected& want = *c.expected;
    EXPECT_EQ(got.label, want.label);
    EXPECT_EQ(got.program, want.program);
    EXPECT_EQ(got.arguments, want.arguments);
    EXPECT_EQ(got.runAtLoad, want.runAtLoad);
    EXPECT_EQ(got.keepAlive, want.keepAlive);
    EXPECT_EQ(got.startInterval, want.startInterval);
    EXPECT_EQ(got.hasCalendarInterval, want.hasCalendarInterval);
    EXPECT_EQ(got.disabledInPlist, want.disabledInPlist);
    EXPECT_EQ(job->plistPath, path);
    EXPECT_EQ(job->domain, Domain::globalDaemon);
    EXPECT_FALSE(job->isParkedByQuillmarsh);
}

TEST(ParseJobTest, KeysInXmlAndBinaryEncodings) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QStringList paths;
    for (const JobCase& c : jobCases) {
        const QString path = dir.filePath(QString::number(paths.size()) + QStringLiteral(".plist"));
        ASSERT_TRUE(writeFile(path, xmlPlist(c.body)));
        paths.append(path);
    }
    const bool haveBinary = convertToBinary(paths);
    for (qsizetype i = 0; i < paths.size(); ++i) {
        const JobCase& c = jobCases[i];
        const auto xml = JobScanner::parseJob(readFile(paths[i]), paths[i], Domain::globalDaemon);
        expectJob(xml, c, paths[i], "XML");
        if (!haveBinary)
            continue;
        const QByteArray binary = readFile(paths[i] + QStringLiteral(".bin"));
        ASSERT_TRUE(binary.startsWith("bplist00")) << c.name;
        expectJob(JobScanner::parseJob(binary, paths[i], Domain::globalDaemon), c, paths[i],
                  "binary");
    }
    if (!haveBinary)
        GTEST_SKIP() << "python3 is not available to write the binary encoding";
}

TEST(ParseJobTest, NotADefinition) {
    const char* inputs[] = {
        "",
        "not a property list",
        "<?xml version=\"1.0\"?><plist "
        "version=\"1.0\"><array><string>Label</string></array></plist>",
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><string>Label</string></plist>",
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>Label</key>",
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>Label</key><string>x</dict>",
        "bplist00",
        "bplist00\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f\x10\x11\x12\x13"
        "\x14\x15\x16\x17\x18\x19\x1a\x1b\x1c\x1d\x1e\x1f\x20\x21\x22\x23\x24\x25\x26\x27",
        "\xEF\xBB\xBF",
        "{ Label = x; }",
        "{\"Label\": \"x\"}",
    };
    for (const char* input : inputs)
        EXPECT_FALSE(
            JobScanner::parseJob(QByteArrayView(input), text("/x.plist"), Domain::userAgent))
            << input;
}

// A binary list by hand: objects in order, four-byte offsets and references.
QByteArray binaryPlist(const QList<QByteArray>& objects, quint32 root = 0) {
    const auto bigEndian = [](quint64 value, int width) {
        QByteArray out;
        for (int shift = (width - 1) * 8; shift >= 0; shift -= 8)
            out.append(static_cast<char>((value >> shift) & 0xFF));
        return out;
    };
    QByteArray out("bplist00");
    QList<quint64> offsets;
    for (const QByteArray& object : objects) {
        offsets.append(static_cast<quint64>(out.size()));
        out.append(object);
    }
    const auto table = static_cast<quint64>(out.size());
    for (const quint64 offset : offsets)
        out.append(bigEndian(offset, 4));
    out.append(QByteArray(6, '\0'));
    out.append('\x04');
    out.append('\x04');
    out.append(bigEndian(static_cast<quint64>(objects.size()), 8));
    out.append(bigEndian(root, 8));
    out.append(bigEndian(table, 8));
    return out;
}

QByteArray ref(quint32 index) {
    QByteArray out;
    for (int shift = 24; shift >= 0; shift -= 8)
        out.append(static_cast<char>((index >> shift) & 0xFF));
    return out;
}

// {"Label": "x", "Nested": <value built by the caller at index 3>}
QList<QByteArray> labelledBinary() {
    return {QByteArray("\xD2", 1) + ref(1) + ref(2) + ref(4) + ref(3), QByteArray("\x55Label"),
            QByteArray("\x56Nested"), QByteArray(), QByteArray("\x51x")};
}

TEST(ParseJobTest, BinaryListsByHand) {
    QList<QByteArray> plain = labelledBinary();
    plain[3] = QByteArray("\xA0", 1);
    const auto job = JobScanner::parseJob(binaryPlist(plain), text("/b.plist"), Domain::userAgent);
    ASSERT_TRUE(job.has_value());
    EXPECT_EQ(job->label, text("x"));

    // Broken trailers and references are not definitions.
    QByteArray truncated = binaryPlist(plain);
    truncated.chop(1);
    EXPECT_FALSE(JobScanner::parseJob(truncated, text("/b.plist"), Domain::userAgent));
    QList<QByteArray> dangling = plain;
    dangling[3] = QByteArray("\xA1", 1) + ref(99);
    EXPECT_FALSE(JobScanner::parseJob(binaryPlist(dangling), text("/b.plist"), Domain::userAgent));
    EXPECT_FALSE(JobScanner::parseJob(binaryPlist(plain, 9), text("/b.plist"), Domain::userAgent));
}

// Found by fuzzing: the property-list library copies a shared object once per
// reference and recurses once per level, so a few hundred bytes could take
// gigabytes of memory or overflow the stack.
TEST(ParseJobTest, HostileShapesAreRejectedQuickly) {
    const auto chain = [](int levels, int referencesPerLevel) {
        // Object 3 is the first level, each level holding the next one
        // `referencesPerLevel` times; the levels after it start at index 5
        // and the last one holds an empty array.
        QList<QByteArray> objects = labelledBinary();
        objects[3] = QByteArray(1, static_cast<char>(0xA0 + referencesPerLevel));
        for (int r = 0; r < referencesPerLevel; ++r)
            objects[3].append(ref(5));
        for (int level = 1; level < levels; ++level) {
            const auto next = static_cast<quint32>(5 + level);
            QByteArray array(1, static_cast<char>(0xA0 + referencesPerLevel));
            for (int r = 0; r < referencesPerLevel; ++r)
                array.append(ref(next));
            objects.append(array);
        }
        objects.append(QByteArray("\xA0", 1));
        return binaryPlist(objects);
    };
    // Sharing is fine while the expanded tree stays small.
    EXPECT_TRUE(JobScanner::parseJob(chain(10, 2), text("/b"), Domain::userAgent).has_value());
    EXPECT_TRUE(JobScanner::parseJob(chain(200, 1), text("/b"), Domain::userAgent).has_value());
    // 2^40 copies; 100000 levels.
    EXPECT_FALSE(JobScanner::parseJob(chain(40, 2), text("/b"), Domain::userAgent).has_value());
    EXPECT_FALSE(JobScanner::parseJob(chain(100000, 1), text("/b"), Domain::userAgent).has_value());

    // A cycle: object 3 holds itself.
    QList<QByteArray> cycle = labelledBinary();
    cycle[3] = QByteArray("\xA1", 1) + ref(3);
    EXPECT_FALSE(JobScanner::parseJob(binaryPlist(cycle), text("/b"), Domain::userAgent));

    // Deep XML nesting, and the boundary of what counts as too many containers.
    const auto nested = [](int arrays) {
        return xmlPlist(QByteArray("<key>Label</key><string>x</string><key>Deep</key>" +
                                   QByteArray("<array>").repeated(arrays) +
                                   QByteArray("</array>").repeated(arrays))
                            .constData());
    };
    EXPECT_TRUE(JobScanner::parseJob(nested(2047), text("/x"), Domain::userAgent).has_value());
    EXPECT_FALSE(JobScanner::parseJob(nested(2048), text("/x"), Domain::userAgent).has_value());
    EXPECT_FALSE(JobScanner::parseJob(nested(150000), text("/x"), Domain::userAgent).has_value());
    // Self-closing containers do not nest.
    EXPECT_TRUE(
        JobScanner::parseJob(xmlPlist(QByteArray("<key>Label</key><string>x</string>"
                                                 "<key>Many</key><array>" +
                                                 QByteArray("<array/>").repeated(5000) + "</array>")
                                          .constData()),
                             text("/x"), Domain::userAgent)
            .has_value());
}

TEST(ParseJobTest, AByteOrderMarkIsSkipped) {
    const QByteArray plain = labelled("com.example.bom");
    for (const QByteArray& bytes : {plain, QByteArray("\xEF\xBB\xBF") + plain}) {
        const auto job = JobScanner::parseJob(bytes, text("/b.plist"), Domain::userAgent);
        ASSERT_TRUE(job.has_value());
        EXPECT_EQ(job->label, text("com.example.bom"));
    }
    // Only one mark, and only at the very start.
    EXPECT_FALSE(JobScanner::parseJob(QByteArray("\xEF\xBB\xBF\xEF\xBB\xBF") + plain,
                                      text("/b.plist"), Domain::userAgent));
}

TEST(ParseJobTest, TheDomainIsTakenAsGiven) {
    for (const Domain domain : {Domain::userAgent, Domain::globalAgent, Domain::globalDaemon}) {
        const auto job = JobScanner::parseJob(labelled("x"), text("/p/x.plist"), domain);
        ASSERT_TRUE(job.has_value());
        EXPECT_EQ(job->domain, domain);
        EXPECT_EQ(job->plistPath, text("/p/x.plist"));
    }
}

// ---- scriptPath ----------------------------------------------------------------

TEST(ScriptPathTest, FindsTheScriptAnInterpreterRuns) {
    struct Case {
        std::optional<const char*> program;
        std::initializer_list<const char*> arguments;
        std::optional<const char*> script;
    };
    const Case cases[] = {
        {std::nullopt, {"/bin/zsh", "-l", "/Users/u/bin/sync.sh"}, "/Users/u/bin/sync.sh"},
        {std::nullopt, {"/usr/bin/env", "python3", "-u", "/Users/u/bot.py"}, "/Users/u/bot.py"},
        {"/usr/local/bin/redis-server", {}, std::nullopt},
        {std::nullopt, {"/usr/local/bin/redis-server", "/etc/redis.conf"}, std::nullopt},
        {std::nullopt, {}, std::nullopt},
        // The program, when present, names the executable; the arguments still
        // supply the candidates after their first element.
        {"/bin/bash", {"ignored", "-c", "/x/run.sh"}, "/x/run.sh"},
        {"/bin/bash", {}, std::nullopt},
        {"/usr/local/bin/tool", {"/bin/sh", "/x/run.sh"}, std::nullopt},
        // Every python counts, other names must match exactly.
        {std::nullopt, {"/usr/bin/python3.11", "/x/a.py"}, "/x/a.py"},
        {std::nullopt, {"python", "/x/b.py"}, "/x/b.py"},
        {std::nullopt, {"/usr/bin/Python", "/x/c.py"}, std::nullopt},
        {std::nullopt, {"/usr/bin/nodejs", "/x/d.js"}, std::nullopt},
        {std::nullopt, {"/usr/bin/osascript", "/x/e.scpt"}, "/x/e.scpt"},
        {std::nullopt, {"node", "--inspect", "server.js", "extra"}, "server.js"},
        // env needs the interpreter and then the script.
        {std::nullopt, {"/usr/bin/env", "node"}, std::nullopt},
        {std::nullopt, {"/usr/bin/env", "-S", "deno", "run", "x.ts"}, "run"},
        {std::nullopt, {"/bin/sh", "-c", "-e"}, std::nullopt},
        {std::nullopt, {"/bin/sh", "-c", "echo hi"}, "echo hi"},
        {std::nullopt, {"/bin/sh"}, std::nullopt},
        {std::nullopt, {"/bin/sh/", "/x/y.sh"}, "/x/y.sh"},
    };
    for (const Case& c : cases) {
        LaunchJob job;
        job.label = text("x");
        if (c.program)
            job.program = text(*c.program);
        job.arguments = list(c.arguments);
        const auto script = JobScanner::scriptPath(job);
        const std::optional<QString> expected =
            c.script ? std::optional<QString>(text(*c.script)) : std::nullopt;
        EXPECT_EQ(script, expected) << job.arguments.join(u' ').toStdString();
    }
}

// ---- domains ---------------------------------------------------------------------

TEST(DomainTextTest, RoundTripsAndRejectsOtherTexts) {
    const std::pair<Domain, const char*> names[] = {
        {Domain::userAgent, "User agent"},
        {Domain::globalAgent, "Global agent"},
        {Domain::globalDaemon, "System daemon"},
    };
    for (const auto& [domain, name] : names) {
        EXPECT_EQ(domainText(domain), text(name));
        EXPECT_EQ(domainFromText(text(name)), domain);
    }
    for (const char* other : {"", "user agent", "User agent ", "Daemon", "userAgent"})
        EXPECT_FALSE(domainFromText(text(other)).has_value()) << other;
}

// ---- folders -----------------------------------------------------------------------

TEST(JobFoldersTest, LocationsUnderTheHomeAndTheLibrary) {
    JobScanner::JobFolders folders;
    folders.home = text("/Users/u");
    EXPECT_EQ(folders.userAgents(), text("/Users/u/Library/LaunchAgents"));
    EXPECT_EQ(folders.parking(), text("/Users/u/Library/LaunchAgents/Disabled"));
    EXPECT_EQ(folders.globalAgents, text("/Library/LaunchAgents"));
    EXPECT_EQ(folders.globalDaemons, text("/Library/LaunchDaemons"));
}

TEST(JobFoldersTest, StandardFoldersFollowTheLibraryVariable) {
    const QByteArray saved = qgetenv("QUILLMARSH_LIBRARY_DIR");
    const bool wasSet = qEnvironmentVariableIsSet("QUILLMARSH_LIBRARY_DIR");

    qunsetenv("QUILLMARSH_LIBRARY_DIR");
    auto folders = JobScanner::JobFolders::standard();
    EXPECT_EQ(folders.home, QDir::homePath());
    EXPECT_EQ(folders.globalAgents, text("/Library/LaunchAgents"));
    EXPECT_EQ(folders.globalDaemons, text("/Library/LaunchDaemons"));

    qputenv("QUILLMARSH_LIBRARY_DIR", "/tmp/elsewhere/Library");
    folders = JobScanner::JobFolders::standard();
    EXPECT_EQ(folders.globalAgents, text("/tmp/elsewhere/Library/LaunchAgents"));
    EXPECT_EQ(folders.globalDaemons, text("/tmp/elsewhere/Library/LaunchDaemons"));

    if (wasSet)
        qputenv("QUILLMARSH_LIBRARY_DIR", saved);
    else
        qunsetenv("QUILLMARSH_LIBRARY_DIR");
}

// ---- scanning --------------------------------------------------------------------

// A temporary home with the user's folders and a temporary library for the
// machine-wide ones.
class ScanTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(root.isValid());
        folders.home = root.filePath(QStringLiteral("home"));
        folders.globalAgents = root.filePath(QStringLiteral("Library/LaunchAgents"));
        folders.globalDaemons = root.filePath(QStringLiteral("Library/LaunchDaemons"));
    }

    void makeAll() {
        for (const QString& folder :
             {folders.userAgents(), folders.parking(), folders.globalAgents, folders.globalDaemons})
            ASSERT_TRUE(QDir().mkpath(folder));
    }

    void put(const QString& folder, const char* name, const QByteArray& bytes) {
        ASSERT_TRUE(writeFile(folder + u'/' + text(name), bytes));
    }

    // Labels found in one location, in listing order.
    static QStringList labelsIn(const QList<LaunchJob>& jobs, const QString& folder) {
        QStringList labels;
        for (const LaunchJob& job : jobs) {
            if (job.plistPath.section(u'/', 0, -2) == folder)
                labels.append(job.label);
        }
        labels.sort();
        return labels;
    }

    QTemporaryDir root;
    JobScanner::JobFolders folders;
};

TEST_F(ScanTest, ReadsTheFourLocationsInOrder) {
    makeAll();
    put(folders.userAgents(), "user.a.plist", labelled("user.a"));
    put(folders.userAgents(), "user.b.plist", labelled("user.b"));
    put(folders.userAgents(), "same.plist", labelled("user.same"));
    put(folders.userAgents(), ".hidden.plist", labelled("user.hidden"));
    put(folders.parking(), "same.plist", labelled("user.same"));
    put(folders.parking(), "parked.plist", labelled("user.parked"));
    put(folders.globalAgents, "global.agent.plist", labelled("global.agent"));
    put(folders.globalDaemons, "global.daemon.plist", labelled("global.daemon"));
    put(folders.globalDaemons, "daemon.two.plist", labelled("global.daemon.two"));

    const QList<LaunchJob> jobs = JobScanner::scanJobs(folders);
    ASSERT_EQ(jobs.size(), 9);

    // Location order: each job's location index never goes down.
    const QString locations[] = {folders.userAgents(), folders.parking(), folders.globalAgents,
                                 folders.globalDaemons};
    const Domain domains[] = {Domain::userAgent, Domain::userAgent, Domain::globalAgent,
                              Domain::globalDaemon};
    int last = 0;
    for (const LaunchJob& job : jobs) {
        const QString folder = job.plistPath.section(u'/', 0, -2);
        const int index = static_cast<int>(
            std::find(std::begin(locations), std::end(locations), folder) - std::begin(locations));
        ASSERT_LT(index, 4) << job.plistPath.toStdString();
        EXPECT_GE(index, last) << job.plistPath.toStdString();
        last = index;
        EXPECT_EQ(job.domain, domains[index]) << job.plistPath.toStdString();
        EXPECT_EQ(job.isParkedByQuillmarsh, index == 1) << job.plistPath.toStdString();
    }
    EXPECT_EQ(labelsIn(jobs, folders.userAgents()),
              list({"user.a", "user.b", "user.hidden", "user.same"}));
    EXPECT_EQ(labelsIn(jobs, folders.parking()), list({"user.parked", "user.same"}));
    EXPECT_EQ(labelsIn(jobs, folders.globalAgents), list({"global.agent"}));
    EXPECT_EQ(labelsIn(jobs, folders.globalDaemons), list({"global.daemon", "global.daemon.two"}));

    // The same file name in place and parked gives two jobs, the parked one second.
    QList<LaunchJob> same;
    for (const LaunchJob& job : jobs) {
        if (job.label == u"user.same")
            same.append(job);
    }
    ASSERT_EQ(same.size(), 2);
    EXPECT_FALSE(same[0].isParkedByQuillmarsh);
    EXPECT_TRUE(same[1].isParkedByQuillmarsh);
    EXPECT_EQ(same[1].plistPath, folders.parking() + text("/same.plist"));
}

TEST_F(ScanTest, SkipsWhatIsNotADefinition) {
    makeAll();
    const QString agents = folders.userAgents();
    put(agents, "good.plist", labelled("kept.good"));
    // The extension match is exact and case-sensitive.
    put(agents, "upper.PLIST", labelled("skipped.upper"));
    put(agents, "mixed.Plist", labelled("skipped.mixed"));
    put(agents, "good.plist.bak", labelled("skipped.backup"));
    put(agents, "noext", labelled("skipped.noext"));
    put(agents, ".plist", labelled("skipped.bare"));
    put(agents, "nolabel.plist", xmlPlist("<key>Program</key><string>/bin/x</string>"));
    put(agents, "numberlabel.plist", xmlPlist("<key>Label</key><integer>1</integer>"));
    put(agents, "garbage.plist", QByteArray("\x00\x01garbage", 9));
    put(agents, "empty.plist", QByteArray());
    put(agents, "array.plist", "<?xml version=\"1.0\"?><plist version=\"1.0\"><array/></plist>");
    // A directory, a FIFO and a dangling link with the right extension.
    ASSERT_TRUE(QDir().mkpath(agents + text("/folder.plist")));
    put(agents + text("/folder.plist"), "inner.plist", labelled("skipped.inner"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(agents + text("/fifo.plist")).constData(), 0600), 0);
    ASSERT_TRUE(
        QFile::link(root.filePath(QStringLiteral("missing")), agents + text("/dangling.plist")));
    // A link to a regular file is read as that file.
    ASSERT_TRUE(writeFile(root.filePath(QStringLiteral("target.xml")), labelled("kept.link")));
    ASSERT_TRUE(
        QFile::link(root.filePath(QStringLiteral("target.xml")), agents + text("/link.plist")));

    // Files past one mebibyte are not definitions; exactly the limit is read.
    const qsizetype limit = 1 << 20;
    QByteArray atLimit = labelled("kept.limit");
    atLimit.append(QByteArray(limit - atLimit.size(), ' '));
    ASSERT_EQ(atLimit.size(), limit);
    put(agents, "limit.plist", atLimit);
    put(agents, "oversized.plist", atLimit + ' ');

    const QList<LaunchJob> jobs = JobScanner::scanJobs(folders);
    QStringList labels;
    for (const LaunchJob& job : jobs)
        labels.append(job.label);
    labels.sort();
    EXPECT_EQ(labels, list({"kept.good", "kept.limit", "kept.link"}));
    for (const LaunchJob& job : jobs) {
        if (job.label == u"kept.link") {
            EXPECT_EQ(job.plistPath, agents + text("/link.plist"));
        }
    }
}

TEST_F(ScanTest, UnreadableFilesAndFoldersAreSkipped) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "permissions do not stop root";
    makeAll();
    put(folders.userAgents(), "readable.plist", labelled("kept"));
    put(folders.userAgents(), "secret.plist", labelled("secret"));
    ASSERT_TRUE(QFile::setPermissions(folders.userAgents() + text("/secret.plist"), {}));
    put(folders.globalDaemons, "hidden.plist", labelled("hidden"));
    ASSERT_EQ(::chmod(QFile::encodeName(folders.globalDaemons).constData(), 0), 0);

    const QList<LaunchJob> jobs = JobScanner::scanJobs(folders);
    ASSERT_EQ(::chmod(QFile::encodeName(folders.globalDaemons).constData(), 0700), 0);
    ASSERT_EQ(jobs.size(), 1);
    EXPECT_EQ(jobs[0].label, text("kept"));
}

TEST_F(ScanTest, FoldersThatCannotBeListedContributeNothing) {
    // A file where a folder should be cannot be listed, even by root.
    ASSERT_TRUE(QDir().mkpath(folders.home + text("/Library")));
    ASSERT_TRUE(writeFile(folders.userAgents(), labelled("not.a.folder")));
    ASSERT_TRUE(QDir().mkpath(root.filePath(QStringLiteral("Library"))));
    ASSERT_TRUE(writeFile(folders.globalAgents, labelled("not.a.folder")));
    ASSERT_TRUE(QDir().mkpath(folders.globalDaemons));
    put(folders.globalDaemons, "d.plist", labelled("d"));

    const QList<LaunchJob> jobs = JobScanner::scanJobs(folders);
    ASSERT_EQ(jobs.size(), 1);
    EXPECT_EQ(jobs[0].label, text("d"));
    EXPECT_EQ(jobs[0].domain, Domain::globalDaemon);
}

TEST_F(ScanTest, MissingFoldersContributeNothing) {
    EXPECT_TRUE(JobScanner::scanJobs(folders).isEmpty());
    const auto none = JobScanner::folderStamps(folders);
    ASSERT_EQ(none.size(), 4);
    for (const auto& stamp : none)
        EXPECT_FALSE(stamp.has_value());

    // Without the daemons folder, the other three still count.
    ASSERT_TRUE(QDir().mkpath(folders.parking()));
    ASSERT_TRUE(QDir().mkpath(folders.globalAgents));
    put(folders.userAgents(), "a.plist", labelled("a"));
    put(folders.parking(), "b.plist", labelled("b"));
    put(folders.globalAgents, "c.plist", labelled("c"));
    const QList<LaunchJob> jobs = JobScanner::scanJobs(folders);
    ASSERT_EQ(jobs.size(), 3);
    EXPECT_EQ(jobs[0].label, text("a"));
    EXPECT_EQ(jobs[1].label, text("b"));
    EXPECT_EQ(jobs[2].label, text("c"));
    const auto stamps = JobScanner::folderStamps(folders);
    ASSERT_EQ(stamps.size(), 4);
    EXPECT_TRUE(stamps[0].has_value());
    EXPECT_TRUE(stamps[1].has_value());
    EXPECT_TRUE(stamps[2].has_value());
    EXPECT_FALSE(stamps[3].has_value());
}

TEST_F(ScanTest, StampsAreTheFoldersModificationTimes) {
    makeAll();
    const QString locations[] = {folders.userAgents(), folders.parking(), folders.globalAgents,
                                 folders.globalDaemons};
    for (int i = 0; i < 4; ++i) {
        // Whole seconds plus a quarter, distinct per folder.
        const timespec times[2] = {{1700000000 + i, 250000000}, {1700000000 + i, 250000000}};
        ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(locations[i]).constData(), times, 0), 0);
    }
    const auto stamps = JobScanner::folderStamps(folders);
    ASSERT_EQ(stamps.size(), 4);
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(stamps[i].has_value()) << i;
        EXPECT_DOUBLE_EQ(*stamps[i], 1700000000.25 + i) << i;
    }
    // Adding a definition moves the stamp of its folder only.
    put(folders.globalAgents, "new.plist", labelled("new"));
    const auto after = JobScanner::folderStamps(folders);
    EXPECT_EQ(after[0], stamps[0]);
    EXPECT_EQ(after[1], stamps[1]);
    EXPECT_NE(after[2], stamps[2]);
    EXPECT_EQ(after[3], stamps[3]);
}

} // namespace
