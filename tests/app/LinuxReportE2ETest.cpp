// Catches: report mode under the Linux rules running launchctl, sfltool, xcrun
// or any other program, reading ~/Library, printing launchd warnings or macOS
// words, and hiding the user's own commands (started from a shell, detached, a
// script run by bash, adopted by a subreaper) as the system's or not stoppable.
//
// The real `quillmarsh --all --json` under this machine's own rules, real
// children of those four kinds, the stand-in tools wherever launchd's would be
// looked for, and strace to see every program started.

#include <algorithm>
#include <csignal>
#include <iostream>
#include <map>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "os/ProcessDescriptor.h"
#include "support/JsonSchema.h"
#include "support/StandIns.h"
#include "support/TestPaths.h"

using nlohmann::json;

namespace {

// `pid` and every process below it.
std::vector<Pid> treeOf(Pid pid) {
    std::vector<Pid> tree{pid};
    for (size_t i = 0; i < tree.size(); ++i) {
        QFile children(QStringLiteral("/proc/%1/task/%1/children").arg(tree[i]));
        for (const QByteArray& child :
             (children.open(QIODevice::ReadOnly) ? children.readAll() : "").split(' '))
            if (child.toInt() > 0)
                tree.push_back(child.toInt());
    }
    return tree;
}

// The report under this machine's rules with the stand-in tools where the
// program and a shell look for launchd's, and a job in ~/Library.
TEST(LinuxReportE2E, TheUsersCommandsAreStoppableAndNoLaunchdToolRuns) {
    QTemporaryDir home;
    QFile script(home.filePath(QStringLiteral("script.sh")));
    script.open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    script.write("sleep 602\n"); // each its own time: equal commands are one item
    qint64 detached = -1, nohup = -1, runner = -1;
    // A double fork: pid 1 (or the nearest subreaper above) adopts it.
    QProcess::startDetached("/bin/sh", {"-c", "sleep 600"}, {}, &detached);
    // From here on this test adopts the orphans of its children.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    QProcess::startDetached("nohup", {"sleep", "601"}, home.path(), &nohup); // nohup.out
    QProcess::startDetached("/bin/bash", {script.fileName()}, {}, &runner);
    // A web server that bash started and stays the parent of; its first line,
    // "Serving HTTP on 127.0.0.1 port N (...)", says it listens.
    QProcess server;
    server.start("/bin/bash", {"-c", "python3 -u -m http.server 0 --bind 127.0.0.1; true"});
    while (!server.canReadLine() && server.waitForReadyRead(30000)) {
    }
    const int port = server.readLine().split(' ').value(5).toInt();
    const std::vector<Pid> shell = treeOf(Pid(server.processId()));
    // Ends every process started through descriptors and reaps what this test
    // adopted; QProcess reaps bash.
    const auto cleanup = qScopeGuard([&] {
        server.kill();
        server.waitForFinished(10000);
        for (const Pid root : {shell.back(), Pid(detached), Pid(runner), Pid(nohup)}) {
            for (const Pid pid : root > 0 ? treeOf(root) : std::vector<Pid>()) {
                const int fd = ProcessDescriptor::open(pid);
                ::syscall(SYS_pidfd_send_signal, fd, SIGKILL, nullptr, 0);
                ::close(fd);
                ::waitpid(pid, nullptr, 0); // fails at once for pid 1's adoptees
            }
        }
        ::prctl(PR_SET_CHILD_SUBREAPER, 0);
    });
    const std::map<std::string, Pid> commands = {{"server", shell.size() == 2 ? shell[1] : -1},
                                                 {"detached", Pid(detached)},
                                                 {"script", Pid(runner)},
                                                 {"nohup", Pid(nohup)}};

    StandIns tools;
    QDir().mkpath(home.filePath(QStringLiteral("Library/LaunchAgents")));
    StandIns::writePlist(home.filePath(QStringLiteral("Library/LaunchAgents/a.plist")),
                         QStringLiteral("com.example.agent"), {QStringLiteral("/bin/true")});
    QProcessEnvironment environment = tools.environment();
    environment.remove(QStringLiteral("QUILLMARSH_HOST"));
    environment.insert(QStringLiteral("HOME"), home.path());
    environment.insert(QStringLiteral("PATH"),
                       StandIns::toolsDir() + u':' + environment.value(QStringLiteral("PATH")));
    // strace sees programs run by absolute path too.
    QStringList command{TestPaths::binary(), "--all", "--json"};
    const QString strace = QStandardPaths::findExecutable(QStringLiteral("strace"));
    const QString trace = home.filePath(QStringLiteral("trace"));
    if (!strace.isEmpty() && QProcess::execute(strace, {"-o", "/dev/null", "/bin/true"}) == 0)
        command = QStringList{strace, "-f", "-qq", "-e", "trace=execve", "-o", trace} + command;
    else
        std::cerr << "strace is missing or cannot trace here: programs the report starts by "
                     "absolute path go unseen\n";
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(command.first(), command.mid(1));
    ASSERT_TRUE(process.waitForFinished(120000) && process.exitCode() == 0);
    const QByteArray output = process.readAllStandardOutput();
    EXPECT_EQ(process.readAllStandardError().toStdString(), "") << "no launchd warnings";
    EXPECT_EQ(JsonSchema::reportErrors(output), QStringList());
    EXPECT_EQ(tools.callCount({}), 0) << "a launchd tool ran";
    QFile traced(trace);
    EXPECT_TRUE(command.first() != strace ||
                (traced.open(QIODevice::ReadOnly) && traced.readAll().count("execve(") == 1))
        << "report mode started a program";
    // The key "disabledInLaunchd" keeps its name and is not matched.
    for (const char* word : {"macOS", "launchd", "Finder", "\u2318"})
        EXPECT_FALSE(output.contains(word)) << word;
    const json report = json::parse(output.toStdString(), nullptr, false);
    ASSERT_TRUE(report.is_object());
    EXPECT_EQ(report.at("notRunning"), json::array()) << "~/Library read";

    // nohup may or may not have become sleep yet: the user's command either way.
    // Not the system's, so also listed without --all.
    const json& running = report.at("running");
    for (const auto& [name, pid] : commands) {
        SCOPED_TRACE(name);
        ASSERT_GT(pid, 0) << "did not start";
        const auto item = std::find_if(running.begin(), running.end(), [pid = pid](auto& entry) {
            return std::count(entry.at("pids").begin(), entry.at("pids").end(), pid) > 0;
        });
        ASSERT_NE(item, running.end()) << "not in the report";
        EXPECT_EQ(item->at("isApple"), false);
        EXPECT_EQ(item->at("canStop"), true);
        EXPECT_TRUE(name != "server" || item->at("ports") == json::array({port})) << item->dump();
    }
}

} // namespace
