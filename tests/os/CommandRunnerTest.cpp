#include "os/CommandRunner.h"

#include <chrono>
#include <csignal>
#include <thread>
#include <vector>

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "support/Printers.h"

using namespace std::chrono_literals;
using CommandRunner::runCommand;

namespace {

CommandResult shell(const QString& script, std::chrono::milliseconds timeout = 10s,
                    const QStringList& extra = {}) {
    return runCommand(QStringLiteral("/bin/sh"),
                      QStringList{QStringLiteral("-c"), script, QStringLiteral("sh")} + extra,
                      timeout);
}

TEST(CommandRunnerTest, StatusOutputAndErrorOfWhatTheToolWrote) {
    struct Case {
        const char* script;
        CommandResult expected;
    };
    const Case cases[] = {
        {"printf 'one\\ntwo\\n'; printf '\\n\\t first\\n  second \\n' >&2; exit 3",
         {3, QStringLiteral("one\ntwo\n"), QStringLiteral("first\n  second")}},
        {"true", {0, {}, {}}},
        // A byte that is not UTF-8 (or a cut sequence) becomes U+FFFD; the rest is kept.
        {"printf 'ok\\377'; printf 'fine' >&2",
         {0, QStringLiteral("ok\uFFFD"), QStringLiteral("fine")}},
        {"printf 'caf\\303'", {0, QStringLiteral("caf\uFFFD"), {}}},
        {"printf 'caf\\303\\251 a\\000b'", {0, QStringLiteral("café a") + QChar(0) + u'b', {}}},
        // Killed by a signal: never an ordinary exit status.
        {"echo out; echo err >&2; kill -KILL $$",
         {128 + SIGKILL, QStringLiteral("out\n"), QStringLiteral("err")}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(shell(QString::fromUtf8(c.script)), c.expected) << c.script;
}

TEST(CommandRunnerTest, ArgumentsReachTheToolUnchanged) {
    const QStringList arguments{QStringLiteral("a b"), QString(), QStringLiteral("$HOME"),
                                QStringLiteral("*"), QStringLiteral("'\"; exit 9")};
    const CommandResult result = runCommand(QStringLiteral("/usr/bin/printf"),
                                            QStringList{QStringLiteral("[%s]")} + arguments, 10s);
    EXPECT_EQ(result, (CommandResult{0, QStringLiteral("[a b][][$HOME][*]['\"; exit 9]"), {}}));
}

TEST(CommandRunnerTest, ToolsThatCannotStartGiveMinusOneAndAReason) {
    QTemporaryDir dir;
    QFile plain(dir.filePath(QStringLiteral("not-executable")));
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    plain.write("#!/bin/sh\necho hi\n");
    plain.close();
    for (const QString& executable :
         {QStringLiteral("/nonexistent/tool"), plain.fileName(), dir.path(), QString()}) {
        const CommandResult result = runCommand(executable, {QStringLiteral("x")}, 10s);
        EXPECT_EQ(result.status, -1) << qPrintable(executable);
        EXPECT_EQ(result.output, QString()) << qPrintable(executable);
        EXPECT_FALSE(result.error.isEmpty()) << qPrintable(executable);
    }
}

TEST(CommandRunnerTest, ChildStartsWithDefaultSignalsAndNoStrayDescriptors) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction previous {};
    ASSERT_EQ(::sigaction(SIGUSR1, &ignore, &previous), 0);
    const CommandResult ignored = shell(QStringLiteral("kill -USR1 $$; echo survived"));
    ::sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_EQ(ignored.status, 128 + SIGUSR1);

    // ls holds one descriptor of its own for the folder it lists.
    const CommandResult fds = shell(QStringLiteral("ls /proc/self/fd"));
    EXPECT_LE(fds.output.split(u'\n', Qt::SkipEmptyParts).size(), 4) << qPrintable(fds.output);
}

bool gone(int pid) {
    // Neither running nor left as a zombie for anyone to reap.
    return !QFile::exists(QStringLiteral("/proc/%1").arg(pid));
}

// Past the time-out SIGTERM, then SIGKILL for a tool that ignores it; what it
// wrote to stderr stays in the message; no process is left, not even a zombie.
TEST(CommandRunnerTest, TimeOutStopsTheToolAndKeepsWhatItWrote) {
    const std::tuple<const char*, std::chrono::milliseconds, const char*> cases[] = {
        {"echo $$; echo ' almost \n' >&2; exec sleep 60", 1000ms,
         "Timed out after 1.0 seconds: almost"},
        {"trap '' TERM; echo $$; exec sleep 60", 500ms, "Timed out after 0.5 seconds"}};
    for (const auto& [script, timeout, error] : cases) {
        const CommandResult result = shell(QString::fromUtf8(script), timeout);
        EXPECT_EQ(result.status, -2);
        EXPECT_EQ(result.error, QString::fromUtf8(error));
        EXPECT_TRUE(gone(result.output.trimmed().toInt())) << qPrintable(result.output);
    }
}

TEST(CommandRunnerTest, ConcurrentCallsKeepTheirOutputsApart) {
    constexpr int count = 40;
    std::vector<CommandResult> results(count);
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i) {
        threads.emplace_back([i, &results] {
            results[size_t(i)] =
                shell(QStringLiteral(
                          "printf 'out %s' \"$1\"; printf 'err %s' \"$1\" >&2; exit $(($1 % 7))"),
                      60s, {QString::number(i)});
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    for (int i = 0; i < count; ++i)
        EXPECT_EQ(results[size_t(i)], (CommandResult{i % 7, QStringLiteral("out %1").arg(i),
                                                     QStringLiteral("err %1").arg(i)}));
}

} // namespace
