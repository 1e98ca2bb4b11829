#include "os/CommandRunner.h"

#include <chrono>
#include <csignal>
#include <thread>
#include <vector>

#include <pthread.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "support/Printers.h"
#include "support/StandIns.h"

using namespace std::chrono_literals;
using CommandRunner::runCommand;

namespace {

const QString sh = QStringLiteral("/bin/sh");

CommandResult shell(const QString& script, std::chrono::milliseconds timeout = 10s,
                    QStringList extra = {}) {
    QStringList arguments{QStringLiteral("-c"), script, QStringLiteral("sh")};
    arguments += extra;
    return runCommand(sh, arguments, timeout);
}

// Every test runs with TMPDIR on a private folder and checks afterwards that
// no temporary file of the runner is left in it.
class CommandRunnerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tmp_.isValid());
        if (qEnvironmentVariableIsSet("TMPDIR"))
            previous_ = qgetenv("TMPDIR");
        qputenv("TMPDIR", QFile::encodeName(tmp_.path()));
        ASSERT_EQ(QDir::tempPath(), QDir(tmp_.path()).canonicalPath());
    }

    void TearDown() override {
        EXPECT_EQ(leftovers(), QStringList());
        if (previous_)
            qputenv("TMPDIR", *previous_);
        else
            qunsetenv("TMPDIR");
    }

    QStringList leftovers() const {
        return QDir(tmp_.path())
            .entryList({QStringLiteral("quillmarsh-*")}, QDir::Files | QDir::Hidden | QDir::System);
    }

    QTemporaryDir tmp_;
    std::optional<QByteArray> previous_;
};

TEST_F(CommandRunnerTest, ReturnsStatusOutputAndTrimmedError) {
    const CommandResult result =
        shell(QStringLiteral("printf 'line one\\nline two\\n'; printf '  word \\n' >&2; exit 3"));
    EXPECT_EQ(result,
              (CommandResult{3, QStringLiteral("line one\nline two\n"), QStringLiteral("word")}));
}

TEST_F(CommandRunnerTest, TrimsOnlyTheEndsOfTheErrorText) {
    const CommandResult result =
        shell(QStringLiteral("printf '\\n\\t  first line\\n  second\\t\\r\\n\\n' >&2"));
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.error, QStringLiteral("first line\n  second"));
}

TEST_F(CommandRunnerTest, PassesArgumentsUnchangedWithoutAShell) {
    const QStringList arguments{QStringLiteral("a b"),         QString(),
                                QStringLiteral("$HOME"),       QStringLiteral("*"),
                                QStringLiteral("'\"; exit 9"), QStringLiteral("Zürich ✓")};
    const CommandResult result = runCommand(QStringLiteral("/usr/bin/printf"),
                                            QStringList{QStringLiteral("[%s]")} + arguments, 10s);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, QStringLiteral("[a b][][$HOME][*]['\"; exit 9][Zürich ✓]"));
    EXPECT_EQ(result.error, QString());
}

TEST_F(CommandRunnerTest, EmptyStreamsGiveEmptyTexts) {
    EXPECT_EQ(runCommand(QStringLiteral("/bin/true"), {}, 10s), (CommandResult{0, {}, {}}));
    EXPECT_EQ(runCommand(QStringLiteral("/bin/false"), {}, 10s).status, 1);
}

TEST_F(CommandRunnerTest, ToolsThatCannotStartGiveMinusOne) {
    QFile plain(tmp_.filePath(QStringLiteral("not-executable")));
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    plain.write("#!/bin/sh\necho hi\n");
    plain.close();
    ASSERT_TRUE(plain.setPermissions(QFile::ReadOwner | QFile::WriteOwner));
    const QString cases[] = {
        QStringLiteral("/nonexistent/quillmarsh-tool"),
        plain.fileName(),
        tmp_.path(), // a folder
        QString(),
    };
    for (const QString& executable : cases) {
        const CommandResult result = runCommand(executable, {QStringLiteral("x")}, 10s);
        EXPECT_EQ(result.status, -1) << qPrintable(executable);
        EXPECT_EQ(result.output, QString()) << qPrintable(executable);
        EXPECT_FALSE(result.error.isEmpty()) << qPrintable(executable);
    }
    EXPECT_EQ(runCommand(cases[0], {}, 10s).error, QStringLiteral("No such file or directory"));
}

TEST_F(CommandRunnerTest, UnwritableTemporaryFolderGivesMinusOne) {
    // Nobody, root included, can create files in /proc.
    qputenv("TMPDIR", "/proc");
    ASSERT_EQ(QDir::tempPath(), QStringLiteral("/proc"));
    const CommandResult result = runCommand(QStringLiteral("/bin/true"), {}, 10s);
    EXPECT_EQ(result, (CommandResult{-1, {}, QStringLiteral("Could not create temporary files")}));
}

TEST_F(CommandRunnerTest, InvalidUtf8EmptiesOnlyThatStream) {
    struct Case {
        const char* script;
        QString output;
        QString error;
    };
    const Case cases[] = {
        {"printf 'ok\\377\\n'; printf 'fine' >&2", {}, QStringLiteral("fine")},
        {"printf 'ok'; printf 'bad \\300\\200' >&2", QStringLiteral("ok"), {}},
        // A sequence cut off at the very end is not valid either.
        {"printf 'caf\\303'", {}, {}},
        {"printf 'caf\\303\\251 \\342\\234\\223'", QStringLiteral("café ✓"), {}},
        {"printf 'a\\000b'", QStringLiteral("a\0b"), {}},
    };
    for (const Case& c : cases) {
        const CommandResult result = shell(QString::fromUtf8(c.script));
        EXPECT_EQ(result.status, 0) << c.script;
        EXPECT_EQ(result.output, c.output) << c.script;
        EXPECT_EQ(result.error, c.error) << c.script;
    }
}

TEST_F(CommandRunnerTest, CapturesHugeOutputWithoutBlocking) {
    constexpr qsizetype size = 24 * 1024 * 1024;
    const CommandResult result = runCommand(
        QStringLiteral("/usr/bin/python3"),
        {QStringLiteral("-c"),
         QStringLiteral("import sys; sys.stdout.write('x' * %1); sys.stderr.write('e' * %1)")
             .arg(size)},
        60s);
    EXPECT_EQ(result.status, 0);
    ASSERT_EQ(result.output.size(), size);
    EXPECT_EQ(result.output.count(QLatin1Char('x')), size);
    EXPECT_EQ(result.error.size(), size);
}

TEST_F(CommandRunnerTest, TemporaryFilesAreFreshExclusiveAndPrivate) {
    // The tool lists the temporary folder while it runs.
    const CommandResult result = shell(
        QStringLiteral("cd \"$TMPDIR\" && for f in quillmarsh-*; do stat -c '%a %n' \"$f\"; done"));
    ASSERT_EQ(result.status, 0) << qPrintable(result.error);
    const QStringList lines = result.output.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 2) << qPrintable(result.output);
    const QRegularExpression shape(QStringLiteral(
        "^600 "
        "quillmarsh-([0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12})\\.(err|out)$"));
    QStringList uuids;
    QStringList extensions;
    for (const QString& line : lines) {
        const QRegularExpressionMatch match = shape.match(line);
        ASSERT_TRUE(match.hasMatch()) << qPrintable(line);
        uuids.append(match.captured(1));
        extensions.append(match.captured(2));
    }
    extensions.sort();
    EXPECT_EQ(extensions, (QStringList{QStringLiteral("err"), QStringLiteral("out")}));
    EXPECT_NE(uuids[0], uuids[1]);
}

TEST_F(CommandRunnerTest, ChildInheritsEnvironmentButNoStrayDescriptors) {
    qputenv("QUILLMARSH_RUNNER_PROBE", "inherited value");
    const CommandResult result =
        shell(QStringLiteral("printf '%s|' \"$QUILLMARSH_RUNNER_PROBE\"; ls /proc/self/fd"));
    qunsetenv("QUILLMARSH_RUNNER_PROBE");
    ASSERT_EQ(result.status, 0);
    const QStringList parts = result.output.split(QLatin1Char('|'));
    ASSERT_EQ(parts.size(), 2);
    EXPECT_EQ(parts[0], QStringLiteral("inherited value"));
    // ls itself holds one descriptor for the folder it lists.
    QStringList fds = parts[1].split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    EXPECT_LE(fds.size(), 4) << qPrintable(parts[1]);
    EXPECT_TRUE(fds.startsWith(QStringLiteral("0")));
}

TEST_F(CommandRunnerTest, ToolKilledBySignalNeverReadsAsAnOrdinaryStatus) {
    const CommandResult quit = shell(QStringLiteral("kill -QUIT $$"));
    EXPECT_EQ(quit.status, 128 + SIGQUIT);
    EXPECT_FALSE(quit.error.isEmpty());
    const CommandResult killed = shell(QStringLiteral("echo out; echo err >&2; kill -KILL $$"));
    EXPECT_EQ(killed,
              (CommandResult{128 + SIGKILL, QStringLiteral("out\n"), QStringLiteral("err")}));
}

TEST_F(CommandRunnerTest, ChildStartsWithDefaultSignalHandling) {
    // What this process ignores or blocks is not passed on to the tool.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction previous {};
    ASSERT_EQ(::sigaction(SIGUSR1, &ignore, &previous), 0);
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR2);
    sigset_t previousMask;
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &blocked, &previousMask), 0);

    const CommandResult ignored = shell(QStringLiteral("kill -USR1 $$; echo survived"));
    const CommandResult masked = shell(QStringLiteral("kill -USR2 $$; echo survived"));

    ::pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    ::sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_EQ(ignored.status, 128 + SIGUSR1);
    EXPECT_EQ(ignored.output, QString());
    EXPECT_EQ(masked.status, 128 + SIGUSR2);
}

TEST_F(CommandRunnerTest, TimeOutStopsTheToolAndKeepsWhatItWrote) {
    const auto start = std::chrono::steady_clock::now();
    const CommandResult result =
        shell(QStringLiteral("echo partial; echo ' almost \n' >&2; exec sleep 30"), 1000ms);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(result, (CommandResult{-2, QStringLiteral("partial\n"),
                                     QStringLiteral("Timed out after 1.0 seconds: almost")}));
    EXPECT_LT(elapsed, 10s);
}

TEST_F(CommandRunnerTest, TimeOutTextWithoutErrorOutput) {
    const CommandResult result = shell(QStringLiteral("exec sleep 30"), 1500ms);
    EXPECT_EQ(result, (CommandResult{-2, {}, QStringLiteral("Timed out after 1.5 seconds")}));
}

TEST_F(CommandRunnerTest, ToolIgnoringSigtermIsKilledAfterTheGrace) {
    // The shell ignores SIGTERM, and the ignored disposition survives exec.
    const auto start = std::chrono::steady_clock::now();
    const CommandResult result =
        shell(QStringLiteral("trap '' TERM; echo $$; exec sleep 60"), 1000ms);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(result.status, -2);
    EXPECT_EQ(result.error, QStringLiteral("Timed out after 1.0 seconds"));
    bool ok = false;
    const Pid pid = result.output.trimmed().toInt(&ok);
    ASSERT_TRUE(ok) << qPrintable(result.output);
    EXPECT_FALSE(StandIns::isAlive(pid));
    // It outlived SIGTERM for the whole grace, and no longer than that.
    EXPECT_GE(elapsed, 2900ms);
    EXPECT_LT(elapsed, 20s);
}

TEST_F(CommandRunnerTest, ConcurrentCallsKeepTheirOutputsApart) {
    constexpr int count = 200;
    std::vector<CommandResult> results(count);
    std::vector<std::thread> threads;
    threads.reserve(count);
    for (int i = 0; i < count; ++i) {
        threads.emplace_back([i, &results] {
            results[static_cast<size_t>(i)] =
                shell(QStringLiteral("printf 'out %s' \"$1\"; printf 'err %s' \"$1\" >&2; exit "
                                     "$(($1 % 7))"),
                      60s, {QString::number(i)});
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    for (int i = 0; i < count; ++i) {
        const CommandResult expected{i % 7, QStringLiteral("out %1").arg(i),
                                     QStringLiteral("err %1").arg(i)};
        EXPECT_EQ(results[static_cast<size_t>(i)], expected) << i;
    }
}

} // namespace
