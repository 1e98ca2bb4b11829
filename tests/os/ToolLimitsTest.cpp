// The command runner against tools that misbehave: too much output, a child
// that keeps the output open after its parent hangs, bytes that are not UTF-8,
// a temporary folder that does not exist. Each fake tool is a script written
// into a temporary folder; afterwards no process started from it may remain.

#include "os/CommandRunner.h"

#include <chrono>

#include <csignal>

#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "os/ProcessDescriptor.h"

using namespace std::chrono_literals;

namespace {

struct Case {
    const char* name;
    const char* script; // python3, after the imports
    const char* tmpdir; // TMPDIR during the run, or null to keep it
    std::chrono::milliseconds timeout;
    int status;
    QString output;    // the exact output, or a part of it for a time-out
    const char* error; // how the error text starts
};

const Case cases[] = {
    {"hundred megabytes of plausible lines",
     "line = b'-\\t0\\tcom.example.job\\n' * 4096\n"
     "for _ in range(100 * 2**20 // len(line)): out.write(line)\n",
     nullptr,
     60s,
     -3,
     {},
     "Stopped after more than 1.0 MiB of output"},
    {"a hung tool whose child holds the output open",
     "if os.fork() == 0: signal.pause()\n"
     "out.write(b'ready\\n'); out.flush(); signal.pause()\n",
     nullptr, 2s, -2, QStringLiteral("ready\n"), "Timed out after 2.0 seconds"},
    {"one byte that is not UTF-8 among good lines",
     "out.write(b'PID\\tStatus\\tLabel\\n-\\t78\\tcaf\\xe9\\n-\\t0\\tcom.example.ok\\n')\n",
     nullptr, 60s, 0,
     QStringLiteral("PID\tStatus\tLabel\n-\t78\tcaf\uFFFD\n-\t0\tcom.example.ok\n"), ""},
    {"a temporary folder that does not exist", "out.write(b'fine\\n'); sys.exit(3)\n",
     "/nonexistent/quillmarsh-tmp", 60s, 3, QStringLiteral("fine\n"), ""},
};

long peakKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Waits (20 seconds at most) for every process whose command line mentions
// `marker` to end, kills any that does not and reaps those this process
// adopted; true when all ended by themselves.
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

TEST(ToolLimitsTest, BoundedLoudAndLossless) {
    // Orphans of the tools become this process's children, so none outlives the test.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir folder;
        const QString tool = folder.filePath(QStringLiteral("tool"));
        QFile file(tool);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QByteArray("#!/usr/bin/python3\nimport os, signal, sys\n"
                              "out = sys.stdout.buffer\n") +
                   c.script);
        file.close();
        file.setPermissions(QFile::ReadOwner | QFile::ExeOwner);

        const QByteArray oldTmpdir = qgetenv("TMPDIR");
        if (c.tmpdir)
            qputenv("TMPDIR", c.tmpdir);
        const long peakBefore = peakKiB();
        const CommandResult result = CommandRunner::runCommand(tool, {}, c.timeout);
        const long growthKiB = peakKiB() - peakBefore;
        if (c.tmpdir)
            qputenv("TMPDIR", oldTmpdir);

        EXPECT_EQ(result.status, c.status) << result.error.toStdString();
        EXPECT_EQ(result.output, c.output);
        EXPECT_EQ(result.error.left(qstrlen(c.error)), QLatin1String(c.error));
        // Reading 100 MB first would take hundreds of megabytes.
        EXPECT_LT(growthKiB, 32 * 1024);
        EXPECT_TRUE(allEnd(folder.path().toUtf8()));
    }
}

} // namespace
