// Catches: a time-out that never kills (SIGKILL missing, children left alive),
// a signal read as an ordinary exit status, unbounded output, one bad byte
// emptying the output, a dependence on TMPDIR, descriptors leaking to tools.

#include "os/CommandRunner.h"

#include <chrono>
#include <csignal>
#include <future>

#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include "os/ProcessDescriptor.h"
#include "support/Printers.h"

using namespace std::chrono_literals;
using CommandRunner::runCommand;

namespace {

struct Case {
    const char* script; // python, after `import os, signal, sys` and `out = sys.stdout.buffer`
    CommandResult expected;
    QStringList arguments = {};
    std::chrono::milliseconds timeout = 10s;
};

const Case cases[] = {
    // Malformed UTF-8 (a cut sequence too) becomes U+FFFD; the rest is kept.
    {"out.write(b'one\\xff\\ntwo caf\\xc3'); os.write(2, b'\\n\\t first\\n  second \\n'); "
     "sys.exit(3)",
     {3, QStringLiteral("one\uFFFD\ntwo caf\uFFFD"), "first\n  second"}},
    // No shell, no quoting.
    {"out.write('|'.join(sys.argv[1:]).encode())",
     {0, "a b||$HOME|*|'\"; exit 9", {}},
     {"a b", "", "$HOME", "*", "'\"; exit 9"}},
    // Only the three standard streams are inherited (the fourth is the listing's);
    // signals start at their defaults; a signal's end reads as 128 + N, as in shells.
    {"os.write(1, b'%d' % len(os.listdir('/proc/self/fd'))); os.kill(os.getpid(), signal.SIGUSR1)",
     {128 + SIGUSR1, "4", QStringLiteral("Stopped by signal %1").arg(SIGUSR1)}},
    // Past the time-out the whole group is ended, with SIGKILL for what ignores
    // SIGTERM; what the tool wrote stays.
    {"signal.signal(signal.SIGTERM, signal.SIG_IGN)\nif os.fork() == 0: signal.pause()\n"
     "os.write(1, b'ready\\n'); os.write(2, b' almost \\n'); signal.pause()",
     {-2, "ready\n", "Timed out after 2.0 seconds: almost"},
     {},
     2s},
    {"line = b'-\\t0\\tcom.example.job\\n' * 4096\n"
     "for _ in range(100 * 2**20 // len(line)): out.write(line)",
     {-3, {}, "Stopped after more than 1.0 MiB of output"}},
};

long peakKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// True when every process whose command line mentions `marker` ends within 20
// seconds; kills those that do not and reaps those this process adopted.
bool allEnd(const QByteArray& marker) {
    bool ended = true;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(entry));
        const pid_t pid = entry.toInt();
        if (pid <= 0 || !cmdline.open(QIODevice::ReadOnly) || !cmdline.readAll().contains(marker))
            continue;
        const int fd = ProcessDescriptor::open(pid);
        pollfd event{fd, POLLIN, 0};
        if (fd >= 0 && poll(&event, 1, 20000) != 1) {
            ended = false;
            kill(pid, SIGKILL);
        }
        close(fd);
        waitpid(pid, nullptr, 0);
    }
    return ended;
}

TEST(CommandRunnerTest, ToolsThatBehaveAndToolsThatDoNot) {
    // Orphans of the tools become this process's children, so none outlives the test.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    const QByteArray marker = "# tool of runner test " + QByteArray::number(::getpid());
    // Meanwhile TMPDIR does not exist and this process ignores SIGUSR1.
    const QByteArray tmpdir = qgetenv("TMPDIR");
    qputenv("TMPDIR", "/nonexistent/quillmarsh-tmp");
    const auto previous = std::signal(SIGUSR1, SIG_IGN);
    const long peakBefore = peakKiB();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.script);
        const QStringList arguments =
            QStringList{"-c",
                        marker + "\nimport os, signal, sys\nout = sys.stdout.buffer\n" + c.script} +
            c.arguments;
        auto run = std::async(std::launch::async,
                              [&] { return runCommand("/usr/bin/python3", arguments, c.timeout); });
        EXPECT_EQ(run.wait_for(30s), std::future_status::ready) << "the runner hangs";
        EXPECT_TRUE(allEnd(marker));
        EXPECT_EQ(run.get(), c.expected);
    }
    // Reading 100 MB before checking the limit would take hundreds of megabytes.
    EXPECT_LT(peakKiB() - peakBefore, 32 * 1024);
    std::signal(SIGUSR1, previous);
    qputenv("TMPDIR", tmpdir);

    for (const auto& [path, reason] : {std::pair{"/nonexistent/tool", "No such file or directory"},
                                       std::pair{"/etc/passwd", "Permission denied"}})
        EXPECT_EQ(runCommand(QString::fromUtf8(path), {}, 10s), (CommandResult{-1, {}, reason}));
}

} // namespace
