// Catches: report mode under the Linux rules running launchctl, sfltool, xcrun
// or any other program, reading ~/Library, printing launchd warnings or macOS
// words, and hiding the user's own commands (started from a shell, detached, a
// script run by bash, adopted by a subreaper) as the system's or not stoppable.
//
// The real `quillmarsh --json` under this machine's own rules, real children
// of those four kinds, and recording tools wherever launchd's would be found.

#include <algorithm>
#include <csignal>
#include <map>
#include <memory>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
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

// A web server started from bash, which stays its parent: bash's pid and the
// server's first line.
std::pair<Pid, QByteArray> startServer() {
    const char* argv[] = {"/bin/bash", "-c", "python3 -m http.server 0 --bind 127.0.0.1; true",
                          nullptr};
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return {-1, {}};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    pid_t pid = -1;
    if (::posix_spawn(&pid, argv[0], &actions, nullptr, const_cast<char**>(argv), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    QByteArray line;
    for (char c = 0; pid > 0 && ::read(out[0], &c, 1) == 1 && c != '\n';)
        line += c;
    ::close(out[0]);
    return {pid, line};
}

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

class LinuxReportE2E : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder = std::make_unique<QTemporaryDir>();
        QFile script(folder->filePath(QStringLiteral("script.sh")));
        script.open(QIODevice::WriteOnly | QIODevice::Unbuffered);
        script.write("sleep 602\n"); // each its own time: equal commands are one item
        qint64 detached = -1, nohup = -1, runner = -1;
        // A double fork: pid 1 (or the nearest subreaper above) adopts it.
        QProcess::startDetached("/bin/sh", {"-c", "sleep 600"}, {}, &detached);
        // From here on this test adopts the orphans of its children.
        ::prctl(PR_SET_CHILD_SUBREAPER, 1);
        QProcess::startDetached("nohup", {"sleep", "601"}, folder->path(), &nohup); // nohup.out
        QProcess::startDetached("/bin/bash", {script.fileName()}, {}, &runner);
        qputenv("PYTHONUNBUFFERED", "1"); // the server says at once that it listens
        const auto [shell, serving] = startServer();
        port = serving.split(' ').value(5).toInt(); // "Serving HTTP on 127.0.0.1 port N (...)"
        const std::vector<Pid> server = treeOf(shell);
        commands = {{"server", server.size() == 2 ? server[1] : -1},
                    {"detached", Pid(detached)},
                    {"script", Pid(runner)},
                    {"nohup", Pid(nohup)}};
        roots = {shell, Pid(detached), Pid(runner), Pid(nohup)};
    }

    // Kills every process started, through descriptors, and reaps this test's own.
    static void TearDownTestSuite() {
        std::vector<std::pair<Pid, int>> held;
        for (const Pid root : roots)
            for (const Pid pid : root > 0 ? treeOf(root) : std::vector<Pid>())
                held.emplace_back(pid, ProcessDescriptor::open(pid));
        for (const auto& [pid, fd] : held)
            ::syscall(SYS_pidfd_send_signal, fd, SIGKILL, nullptr, 0);
        for (const auto& [pid, fd] : held) {
            pollfd ended{fd, POLLIN, 0};
            EXPECT_EQ(::poll(&ended, 1, 10000), 1) << pid << " still runs";
            ::close(fd);
            ::waitpid(pid, nullptr, 0); // fails at once for pid 1's adoptees
        }
        ::prctl(PR_SET_CHILD_SUBREAPER, 0);
        qunsetenv("PYTHONUNBUFFERED");
        folder.reset();
    }

    // The report under this machine's rules, recording launchctl, sfltool and
    // xcrun where the program and a shell look, a job in ~/Library; traced by `strace`.
    static json report(const QStringList& arguments, const QString& strace = {}) {
        QTemporaryDir home, tools;
        const QString calls = tools.filePath(QStringLiteral("calls"));
        for (const char* name : {"launchctl", "sfltool", "xcrun"}) {
            QFile tool(tools.filePath(QString::fromUtf8(name)));
            tool.open(QIODevice::WriteOnly);
            tool.write("#!/bin/sh\necho \"$0 $*\" >> '" + QFile::encodeName(calls) + "'\n");
            tool.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
        }
        QDir().mkpath(home.filePath(QStringLiteral("Library/LaunchAgents")));
        StandIns::writePlist(home.filePath(QStringLiteral("Library/LaunchAgents/a.plist")),
                             QStringLiteral("com.example.agent"), {QStringLiteral("/bin/true")});
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("QUILLMARSH_HOST"));
        environment.insert(QStringLiteral("HOME"), home.path());
        environment.insert(QStringLiteral("QUILLMARSH_TOOLS_DIR"), tools.path());
        environment.insert(QStringLiteral("PATH"),
                           tools.path() + u':' + environment.value(QStringLiteral("PATH")));
        const QString trace = tools.filePath(QStringLiteral("trace"));
        QProcess process;
        process.setProcessEnvironment(environment);
        QStringList command{strace, "-f", "-qq", "-e", "trace=execve", "-o", trace};
        command = (strace.isEmpty() ? QStringList() : command) << TestPaths::binary() << arguments;
        process.start(command.takeFirst(), command);
        EXPECT_TRUE(process.waitForFinished(120000) && process.exitCode() == 0);
        const QByteArray output = process.readAllStandardOutput();
        EXPECT_EQ(process.readAllStandardError().toStdString(), "") << "no launchd warnings";
        EXPECT_EQ(JsonSchema::reportErrors(output), QStringList());
        EXPECT_FALSE(QFile::exists(calls)) << "a launchd tool ran";
        QFile traced(trace);
        EXPECT_TRUE(strace.isEmpty() ||
                    (traced.open(QIODevice::ReadOnly) && traced.readAll().count("execve(") == 1))
            << "report mode started a program";
        // (Needs the inventory's Linux rules: without them the ancestry's root
        // and the location and safety texts name launchd and macOS.) The key
        // "disabledInLaunchd" keeps its name and is not matched.
        for (const char* word : {"macOS", "launchd", "Finder", "\u2318"})
            EXPECT_FALSE(output.contains(word)) << word;
        const json document = json::parse(output.toStdString(), nullptr, false);
        return document.is_object() ? document : json::object();
    }

    static inline std::unique_ptr<QTemporaryDir> folder;
    static inline std::map<std::string, Pid> commands;
    static inline std::vector<Pid> roots;
    static inline int port = 0;
};

TEST_F(LinuxReportE2E, TheUsersCommandsAreStoppableAndNoLaunchdToolRuns) {
    for (const auto& [name, pid] : commands)
        ASSERT_GT(pid, 0) << name << " did not start";
    // strace, where it can trace here, sees programs run by absolute path too.
    const QString strace = QStandardPaths::findExecutable(QStringLiteral("strace"));
    const bool traces =
        !strace.isEmpty() && QProcess::execute(strace, {"-o", "/dev/null", "/bin/true"}) == 0;
    const json plain = report({QStringLiteral("--json")}, traces ? strace : QString());
    const json all = report({QStringLiteral("--all"), QStringLiteral("--json")});
    for (const json* document : {&plain, &all})
        EXPECT_EQ(document->value("notRunning", json::array()), json::array()) << "~/Library read";

    // nohup may or may not have become sleep yet: the user's command either way.
    for (const auto& [name, pid] : commands) {
        SCOPED_TRACE(name);
        const auto holding = [pid = pid](const json& document) {
            for (const json& item : document.value("running", json::array()))
                if (std::count(item.at("pids").begin(), item.at("pids").end(), pid) > 0)
                    return item;
            return json();
        };
        const json item = holding(all);
        ASSERT_TRUE(item.is_object()) << "not in the report";
        // (These three need the inventory's Linux rules: without them a
        // command under /usr/bin or /bin counts as the system's.)
        EXPECT_EQ(item.at("isApple"), false);
        EXPECT_TRUE(holding(plain).is_object()) << "left out without --all";
        EXPECT_EQ(item.at("canStop"), true);
        if (name == "server") {
            EXPECT_EQ(item.at("ports"), json::array({port}));
        }
    }
}

} // namespace
