// Catches: a report that breaks its schema on a real machine, Apple's items
// shown without --all, a write failure ending in status 0, a misbehaving
// launchctl that silences the warnings or makes jobs auto-start, report mode
// loading the window libraries or taken for a mistyped --json, window mode
// aborting where there is no display; under the Linux rules, report mode
// running launchctl, sfltool, xcrun or any other program, reading ~/Library or
// printing launchd warnings, and hiding the user's own commands (started from a
// shell, detached, a script run by bash, adopted by a subreaper) as the
// system's or not stoppable.
//
// The real `quillmarsh --json` over a temporary home with launch agents, the
// stand-in launchctl (or one that misbehaves) and real processes, under the
// macOS rules and under this machine's own; how the arguments pick the mode,
// and that only window mode loads the window library.

#include <algorithm>
#include <csignal>
#include <iostream>
#include <map>
#include <memory>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "launchd/CommandParsers.h"
#include "os/ProcessDescriptor.h"
#include "os/SettingsStore.h"
#include "report/JsonReport.h"
#include "support/ChildProcess.h"
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

const QString runner = QStringLiteral("com.quillmarsh.e2e.runner");

// Agents on disk, one of them loaded and running, and the stored login items.
class Scene {
public:
    Scene() {
        ok = standIns.isValid() && QDir().mkpath(agents() + "/Disabled") &&
             QFile::copy(QStringLiteral("/bin/sleep"), sleeper());
        const auto agent = [&](const QString& name) {
            return StandIns::writePlist(agents() + u'/' + name + ".plist",
                                        "com.quillmarsh.e2e." + name.section(u'/', -1),
                                        {sleeper(), QStringLiteral("300")});
        };
        ok = ok && agent("off") && agent("Disabled/parked") && agent("runner");
        standIns.setDisabled(QStringLiteral("com.quillmarsh.e2e.off"));

        QSettings settings(home() + QStringLiteral("/.config/%1/%2.conf")
                                        .arg(QLatin1String(SettingsStore::organization),
                                             QLatin1String(SettingsStore::application)),
                           QSettings::IniFormat);
        settings.setValue(QLatin1String(JsonReport::loginItemsKey),
                          CommandParsers::encodeLoginItems({{}, {runner}}));
        settings.sync();
        job = std::make_unique<ChildProcess>(QStringList{sleeper(), QStringLiteral("300")});
        standIns.addJob(runner, job->pid());
    }

    QString home() const { return root.filePath(QStringLiteral("home")); }
    QString agents() const { return home() + QStringLiteral("/Library/LaunchAgents"); }
    QString sleeper() const { return root.filePath(QStringLiteral("qm-sleeper")); }
    QProcessEnvironment environment() const {
        QProcessEnvironment env = standIns.environment();
        env.insert(QStringLiteral("HOME"), home());
        env.remove(QStringLiteral("XDG_CONFIG_HOME"));
        env.insert(QStringLiteral("QUILLMARSH_LIBRARY_DIR"),
                   root.filePath(QStringLiteral("library")));
        env.insert(QStringLiteral("LANG"), QStringLiteral("de_DE.UTF-8"));
        return env;
    }

    QTemporaryDir root;
    StandIns standIns;
    std::unique_ptr<ChildProcess> job;
    bool ok = false;
};

class ReportE2E : public ::testing::Test {
protected:
    static void SetUpTestSuite() { scene = std::make_unique<Scene>(); }
    static void TearDownTestSuite() { scene.reset(); }
    void SetUp() override { ASSERT_TRUE(scene->ok) << "the scene could not be set up"; }

    // Runs the binary; `prepare` runs in the child right before it starts.
    static CommandResult run(const QStringList& arguments, const QProcessEnvironment& environment,
                             std::function<void()> prepare = {},
                             const QString& binary = TestPaths::binary()) {
        QProcess process;
        process.setProcessEnvironment(environment);
        if (prepare)
            process.setChildProcessModifier(prepare);
        process.start(binary, arguments);
        if (!process.waitForFinished(120000))
            return {};
        return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
                QString::fromUtf8(process.readAllStandardOutput()),
                QString::fromUtf8(process.readAllStandardError())};
    }
    static json document(const CommandResult& result) {
        EXPECT_EQ(result.status, 0) << qPrintable(result.error);
        EXPECT_TRUE(result.error.isEmpty()) << qPrintable(result.error);
        EXPECT_EQ(JsonSchema::reportErrors(result.output.toUtf8()), QStringList());
        return json::parse(result.output.toStdString());
    }
    static std::map<std::string, json> byId(const json& report) {
        std::map<std::string, json> items;
        for (const char* list : {"running", "notRunning"}) {
            for (const json& entry : report.value(list, json::array()))
                items[entry.at("id")] = entry;
        }
        return items;
    }

    static inline std::unique_ptr<Scene> scene;
};

TEST_F(ReportE2E, SchemaValidReportOfThisMachineAppleItemsOnlyWithAll) {
    const json plain = document(run({QStringLiteral("--json")}, scene->environment()));
    const json all =
        document(run({QStringLiteral("--all"), QStringLiteral("--json")}, scene->environment()));
    const auto anyApple = [](const json& report) {
        return std::ranges::any_of(report.at("running"),
                                   [](const json& entry) { return entry.at("isApple") == true; });
    };
    EXPECT_FALSE(anyApple(plain));
    EXPECT_TRUE(anyApple(all)) << "this machine's /usr/bin and /bin programs count as the system's";

    const std::map<std::string, json> items = byId(plain);
    const json& job = items.at("job:" + runner.toStdString());
    EXPECT_FALSE(job.at("pids").empty());
    EXPECT_EQ(job.at("loginItem"), true) << "the stored login items name this label";
    EXPECT_EQ(job.at("command"), scene->sleeper().toStdString() + " 300");

    const std::pair<const char*, const char*> disabled[] = {
        {"job:com.quillmarsh.e2e.off", "Disabled (in launchd)"},
        {"job:com.quillmarsh.e2e.parked:disabled", "Disabled (plist parked)"}};
    for (const auto& [id, status] : disabled) {
        ASSERT_TRUE(items.contains(id)) << id;
        EXPECT_EQ(items.at(id).at("status").get<std::string>().rfind(status, 0), 0u) << id;
        EXPECT_EQ(items.at(id).at("autoStart"), false) << id;
    }
}

// Output that cannot be written, window mode without the window library next
// to the binary, and window mode without a display (none set, for a mistyped
// --JSON or --json=1, or one that no server answers): status 1 and one line.
TEST_F(ReportE2E, FailuresGiveStatusOneAndOneLine) {
    QTemporaryDir dir;
    const QString lonely = dir.filePath(QStringLiteral("quillmarsh"));
    ASSERT_TRUE(QFile::copy(TestPaths::binary(), lonely));
    int number = 4711;
    while (QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(number)))
        ++number;
    const QString unanswered = QStringLiteral(":%1").arg(number);
    const auto full = [] { ::dup2(::open("/dev/full", O_WRONLY), 1); };
    const auto readerGone = [] { // with SIGPIPE at its default, as in a pipeline
        int ends[2];
        if (::pipe(ends) == 0 && ::close(ends[0]) == 0)
            ::dup2(ends[1], 1);
        std::signal(SIGPIPE, SIG_DFL);
    };
    const QString binary = TestPaths::binary(), json = QStringLiteral("--json");
    const std::tuple<std::function<void()>, QString, QString, QString, const char*> cases[] = {
        {full, binary, json, {}, "quillmarsh: "},
        {readerGone, binary, json, {}, "quillmarsh: "},
        {{}, lonely, {}, {}, "quillmarsh: cannot load the window"},
        {{}, binary, QStringLiteral("--JSON"), {}, "quillmarsh: no display"},
        {{}, binary, QStringLiteral("--json=1"), {}, "quillmarsh: no display"},
        {{}, binary, {}, unanswered, "quillmarsh: cannot open the display"},
    };
    for (const auto& [prepare, program, argument, display, message] : cases) {
        QProcessEnvironment environment = scene->environment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            environment.remove(QString::fromLatin1(name));
        if (!display.isEmpty())
            environment.insert(QStringLiteral("DISPLAY"), display);
        const QStringList arguments = argument.isEmpty() ? QStringList() : QStringList{argument};
        const CommandResult result = run(arguments, environment, prepare, program);
        EXPECT_EQ(result.status, 1) << "-1 is a crash or a signal";
        EXPECT_EQ(result.error.count(u'\n'), 1) << qPrintable(result.error);
        EXPECT_TRUE(result.error.startsWith(message)) << qPrintable(result.error);
    }
}

TEST_F(ReportE2E, ReportModeNeverLoadsTheWindowOrGuiLibraries) {
    QProcessEnvironment environment = scene->environment();
    environment.insert(QStringLiteral("LD_DEBUG"), QStringLiteral("files")); // names every library
    const QString loaded = run({QStringLiteral("--json")}, environment).error;
    ASSERT_TRUE(loaded.contains("libQt6Core")) << "the loader trace is missing";
    for (const char* library : {"libquillmarsh_window", "libQt6Widgets", "libQt6Gui"})
        EXPECT_FALSE(loaded.contains(library)) << library;
}

// A launchctl that misbehaves: still a report with status 0, one warning line per
// source not read, and no job auto-starting while launchd's answer is unknown.
TEST_F(ReportE2E, AMisbehavingLaunchctlWarnsOncePerSourceAndStillReports) {
    const char* const unknown = "Unknown (launchd could not be read)";
    // launchctl (python3 after `verb = sys.argv[1]`; null: none at all), then the
    // warnings, the status and autoStart of the off job, the verbs asked in order.
    const std::tuple<const char*, int, const char*, bool, const char*> cases[] = {
        // One byte that is not UTF-8 in each listing.
        {"if verb == 'list': out.write(b'PID\\tStatus\\tLabel\\n-\\t0\\tcaf\\xe9\\n"
         "-\\t78\\tcom.quillmarsh.e2e.off\\n')\n"
         "else: out.write(b'disabled services = {\\n\\t\"\\xff\" => disabled\\n}\\n')\n",
         0, "Failed (exit 78)", true, "list print-disabled "},
        // A job table of 100 MB.
        {"line = b'-\\t0\\tcom.example.filler\\n' * 4096\nwhile verb == 'list': out.write(line)\n",
         1, unknown, false, "list print-disabled "},
        {"sys.exit(0 if verb == 'list' else 1)\n", 1, unknown, false, "list print-disabled "},
        // list hangs, so print-disabled is not asked.
        {"if verb == 'list': signal.pause()\n", 2, unknown, false, "list "},
        {nullptr, 2, unknown, false, ""},
    };
    for (const auto& [launchctl, warnings, status, autoStart, verbs] : cases) {
        SCOPED_TRACE(launchctl ? launchctl : "no launchctl");
        QTemporaryDir tools;
        const QString calls = tools.filePath(QStringLiteral("calls"));
        if (launchctl) {
            QFile tool(tools.filePath(QStringLiteral("launchctl")));
            ASSERT_TRUE(tool.open(QIODevice::WriteOnly));
            tool.write("#!/usr/bin/python3\nimport signal, sys\nverb = sys.argv[1]\nopen('" +
                       calls.toUtf8() + "', 'a').write(verb + ' ')\nout = sys.stdout.buffer\n" +
                       launchctl);
            tool.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
        }
        QProcessEnvironment environment = scene->environment();
        environment.insert(QStringLiteral("QUILLMARSH_TOOLS_DIR"), tools.path());
        const CommandResult result = run({QStringLiteral("--json")}, environment);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.error.count(u'\n'), warnings) << qPrintable(result.error);
        EXPECT_EQ(
            result.error.count(QStringLiteral("quillmarsh: warning: could not read launchctl ")),
            warnings);

        const auto items = byId(json::parse(result.output.toStdString()));
        const json& off = items.at("job:com.quillmarsh.e2e.off");
        EXPECT_EQ(off.at("status"), status);
        EXPECT_EQ(off.at("autoStart"), autoStart);
        QFile log(calls);
        EXPECT_EQ(log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray(), QByteArray(verbs));
    }
}

// Under this machine's rules, with the stand-ins where the program and a shell
// look for launchd's tools and strace to see every program started.
TEST_F(ReportE2E, WithoutLaunchdTheUsersCommandsAreStoppableAndNoOtherProgramRuns) {
    QTemporaryDir dir;
    QFile script(dir.filePath(QStringLiteral("script.sh")));
    script.open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    script.write("sleep 602\n"); // each its own time: equal commands are one item
    qint64 detached = -1, bash = -1;
    // A double fork: pid 1 (or the nearest subreaper above) adopts it.
    QProcess::startDetached("/bin/sh", {"-c", "sleep 600"}, {}, &detached);
    // From here on this test adopts the orphans of its children.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    QProcess::startDetached("/bin/bash", {script.fileName()}, {}, &bash);
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
        for (const Pid root : {shell.back(), Pid(detached), Pid(bash)}) {
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
                                                 {"script", Pid(bash)}};

    QProcessEnvironment environment = scene->environment();
    environment.remove(QStringLiteral("QUILLMARSH_HOST"));
    environment.insert(QStringLiteral("PATH"),
                       StandIns::toolsDir() + u':' + environment.value(QStringLiteral("PATH")));
    // strace sees programs run by absolute path too.
    QStringList command{TestPaths::binary(), "--all", "--json"};
    const QString strace = QStandardPaths::findExecutable(QStringLiteral("strace"));
    const QString trace = dir.filePath(QStringLiteral("trace"));
    if (!strace.isEmpty() && QProcess::execute(strace, {"-o", "/dev/null", "/bin/true"}) == 0)
        command = QStringList{strace, "-f", "-qq", "-e", "trace=execve", "-o", trace} + command;
    else
        std::cerr << "strace is missing or cannot trace here: programs the report starts by "
                     "absolute path go unseen\n";
    const int calls = scene->standIns.callCount({});
    const CommandResult result = run(command.mid(1), environment, {}, command.first());
    const json report = document(result); // nothing on stderr: no launchd warnings
    EXPECT_EQ(scene->standIns.callCount({}), calls) << "a launchd tool ran";
    QFile traced(trace);
    EXPECT_TRUE(command.first() != strace ||
                (traced.open(QIODevice::ReadOnly) && traced.readAll().count("execve(") == 1))
        << "report mode started a program";
    // Only the session's units and entries: no job of ~/Library.
    for (const json& item : report.at("notRunning"))
        EXPECT_TRUE(item.contains("systemdUnit") || item.contains("autostartEntry")) << item;

    // The user's commands: not the system's, so also listed without --all.
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
