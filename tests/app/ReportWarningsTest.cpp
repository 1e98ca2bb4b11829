// The real `quillmarsh --json` with a launchctl that misbehaves: the document
// is still written with exit status 0, each source that could not be read
// gives one warning line on standard error, and no job is presented as
// auto-starting when launchd's answer is unknown.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/TestPaths.h"

namespace {

struct Case {
    const char* name;
    const char* launchctl; // python3 after `verb = sys.argv[1]`; null: no launchctl at all
    int warnings;
    const char* failedStatus; // "status" of com.example.failed
    bool failedAutoStart;
    bool offAutoStart;
    const char* calls; // the verbs launchctl was asked, in order
};

const char* const unknown = "Unknown (launchd could not be read)";

const Case cases[] = {
    {"one byte that is not UTF-8 in each listing",
     "if verb == 'list': out.write(b'PID\\tStatus\\tLabel\\n-\\t78\\tcom.example.failed\\n"
     "-\\t0\\tcaf\\xe9\\n-\\t0\\tcom.example.off\\n')\n"
     "else: out.write(b'disabled services = {\\n\\t\"\\xff\" => disabled\\n"
     "\\t\"com.example.off\" => disabled\\n}\\n')\n",
     0, "Failed (exit 78)", true, false, "list print-disabled "},
    {"a job table of 100 MB",
     "line = b'-\\t0\\tcom.example.filler\\n' * 4096\n"
     "while verb == 'list': out.write(line)\n",
     1, unknown, false, false, "list print-disabled "},
    {"print-disabled fails", "sys.exit(0 if verb == 'list' else 1)\n", 1, unknown, false, false,
     "list print-disabled "},
    {"list hangs, so print-disabled is not asked", "if verb == 'list': signal.pause()\n", 2,
     unknown, false, false, "list "},
    {"no launchctl", nullptr, 2, unknown, false, false, ""},
};

void writeFile(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

QByteArray definition(const char* label) {
    return QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                      "<key>Label</key><string>") +
           label + "</string><key>RunAtLoad</key><true/></dict></plist>\n";
}

TEST(ReportWarningsTest, WarnsOncePerUnreadSourceAndStillWrites) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir home;
        const QString agents = home.filePath(QStringLiteral("Library/LaunchAgents/"));
        writeFile(agents + QStringLiteral("failed.plist"), definition("com.example.failed"));
        writeFile(agents + QStringLiteral("off.plist"), definition("com.example.off"));
        const QString calls = home.filePath(QStringLiteral("calls"));
        if (c.launchctl) {
            const QString tool = home.filePath(QStringLiteral("tools/launchctl"));
            writeFile(tool, "#!/usr/bin/python3\nimport signal, sys\nverb = sys.argv[1]\n"
                            "open('" +
                                calls.toUtf8() +
                                "', 'a').write(verb + ' ')\n"
                                "out = sys.stdout.buffer\n" +
                                QByteArray(c.launchctl));
            QFile::setPermissions(tool, QFile::ReadOwner | QFile::ExeOwner);
        }

        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("HOME"), home.path());
        environment.insert(QStringLiteral("QUILLMARSH_TOOLS_DIR"), home.filePath("tools"));
        environment.insert(QStringLiteral("QUILLMARSH_LIBRARY_DIR"), home.filePath("library"));
        QProcess report;
        report.setProcessEnvironment(environment);
        report.start(TestPaths::binary(), {QStringLiteral("--json")});
        ASSERT_TRUE(report.waitForFinished(120000));
        EXPECT_EQ(report.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(report.exitCode(), 0);

        const QList<QByteArray> lines = report.readAllStandardError().split('\n');
        EXPECT_EQ(lines.size(), c.warnings + 1) << lines.join('\n').toStdString();
        for (qsizetype i = 0; i + 1 < lines.size(); ++i)
            EXPECT_TRUE(lines[i].startsWith("quillmarsh: warning: could not read launchctl "));

        const auto document = nlohmann::json::parse(report.readAllStandardOutput().toStdString());
        std::map<std::string, nlohmann::json> jobs;
        for (const auto& item : document.at("notRunning"))
            jobs[item.value("launchdLabel", "")] = item;
        ASSERT_TRUE(jobs.count("com.example.failed") && jobs.count("com.example.off"));
        EXPECT_EQ(jobs["com.example.failed"]["status"], c.failedStatus);
        EXPECT_EQ(jobs["com.example.failed"]["autoStart"], c.failedAutoStart);
        EXPECT_EQ(jobs["com.example.off"]["autoStart"], c.offAutoStart);
        EXPECT_EQ(jobs.count("com.example.filler"), 0u);

        QFile log(calls);
        log.open(QIODevice::ReadOnly);
        EXPECT_EQ(log.readAll(), QByteArray(c.calls));
    }
}

} // namespace
