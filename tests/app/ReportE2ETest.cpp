// Runs the real `quillmarsh --json` over a temporary home with launch agents,
// the stand-in launchctl, and real processes started by the stand-in launchd,
// by a shell and detached.

#include <chrono>
#include <csignal>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSettings>
#include <QTemporaryDir>

#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "launchd/CommandParsers.h"
#include "os/SettingsStore.h"
#include "report/JsonReport.h"
#include "support/JsonSchema.h"
#include "support/StandIns.h"
#include "support/TestPaths.h"

extern char** environ;

using nlohmann::json;

namespace {

constexpr int toolTimeoutMs = 30000;

const QString runnerLabel = QStringLiteral("com.quillmarsh.e2e.runner");

QByteArray plist(const QString& label, const QString& program, const QString& argument,
                 const QString& extraKeys) {
    return QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                          "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                          "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                          "<plist version=\"1.0\"><dict>\n"
                          "<key>Label</key><string>%1</string>\n"
                          "<key>ProgramArguments</key><array><string>%2</string>"
                          "<string>%3</string></array>\n"
                          "%4</dict></plist>\n")
        .arg(label, program, argument, extraKeys)
        .toUtf8();
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// A child started with posix_spawn from an argument vector.
struct Spawned {
    pid_t pid = -1;
    int outputRead = -1; // read end of its standard output, when asked for
};

Spawned spawn(const std::vector<std::string>& arguments, bool ownGroup, bool captureOutput,
              int keepOpen = -1) {
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    int ends[2] = {-1, -1};
    if (captureOutput && ::pipe2(ends, O_CLOEXEC) == 0)
        posix_spawn_file_actions_adddup2(&actions, ends[1], 1);
    else
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    if (keepOpen >= 0)
        posix_spawn_file_actions_adddup2(&actions, keepOpen, 3);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    if (ownGroup) {
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, 0);
    }
    Spawned child;
    if (::posix_spawn(&child.pid, argv[0], &actions, &attributes, argv.data(), environ) != 0)
        child.pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (ends[1] >= 0)
        ::close(ends[1]);
    child.outputRead = ends[0];
    return child;
}

// The first line a child writes, read without a time limit beyond the child's own.
std::optional<pid_t> readPidLine(int fd) {
    std::string line;
    char c = 0;
    while (::read(fd, &c, 1) == 1 && c != '\n')
        line.push_back(c);
    try {
        return static_cast<pid_t>(std::stol(line));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// Waits until `pid` runs `program`. A forked child execs its program a moment
// after its pid is known, and nothing signals that moment, so this looks.
bool waitForExec(pid_t pid, const QString& program) {
    const QString link = QStringLiteral("/proc/%1/exe").arg(pid);
    for (int attempt = 0; attempt < 10000; ++attempt) {
        const QString target = QFileInfo(link).symLinkTarget();
        if (target == program)
            return true;
        if (!QFileInfo::exists(QStringLiteral("/proc/%1").arg(pid)))
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

struct RunResult {
    int exitCode = -1;
    QByteArray output;
    QByteArray error;
};

// The whole scene: a temporary home, library and stand-in state, agents and
// daemons on disk, and the running processes.
class Scene {
public:
    Scene() { m_ok = m_root.isValid() && build(); }

    ~Scene() { tearDown(); }

    bool ok() const { return m_ok; }
    QString home() const { return m_root.filePath(QStringLiteral("home")); }
    QString library() const { return m_root.filePath(QStringLiteral("library")); }
    QString sleeper() const { return m_root.filePath(QStringLiteral("bin/qm-sleeper")); }
    QString agents() const { return home() + QStringLiteral("/Library/LaunchAgents"); }

    pid_t jobPid = -1;
    pid_t shellPid = -1;
    pid_t shellChildPid = -1;
    pid_t detachedPid = -1;
    pid_t listenerPid = -1;
    int listenerPort = 0;

    QProcessEnvironment environment(const QString& failures = QString()) const {
        QProcessEnvironment env = m_standIns.environment();
        env.insert(QStringLiteral("HOME"), home());
        env.remove(QStringLiteral("XDG_CONFIG_HOME"));
        env.insert(QStringLiteral("QUILLMARSH_LIBRARY_DIR"), library());
        env.insert(QStringLiteral("LANG"), QStringLiteral("de_DE.UTF-8"));
        if (!failures.isEmpty())
            env.insert(QStringLiteral("QUILLMARSH_STANDIN_FAIL"), failures);
        return env;
    }

    RunResult run(const QStringList& arguments, const QString& failures = QString()) const {
        QProcess process;
        process.setProcessEnvironment(environment(failures));
        process.start(TestPaths::binary(), arguments);
        RunResult result;
        if (!process.waitForFinished(120000)) {
            process.kill();
            process.waitForFinished();
            return result;
        }
        result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        result.output = process.readAllStandardOutput();
        result.error = process.readAllStandardError();
        return result;
    }

    // Runs the stand-in launchctl the way the program does.
    bool launchctl(const QStringList& arguments) const {
        QProcess process;
        process.setProcessEnvironment(environment());
        process.start(m_standIns.locations().launchctl, arguments);
        return process.waitForFinished(toolTimeoutMs) && process.exitCode() == 0;
    }

    QString guiDomain() const { return QStringLiteral("gui/%1").arg(::getuid()); }

private:
    bool build();
    bool writeAgents();
    bool startProcesses();
    void tearDown();

    QTemporaryDir m_root;
    // Stops the jobs it started (and their watchers) when it goes.
    StandIns m_standIns;
    bool m_ok = false;
    std::vector<pid_t> m_children; // direct children to reap
};

bool Scene::build() {
    if (!QDir().mkpath(home()) || !QDir().mkpath(library() + QStringLiteral("/LaunchAgents")) ||
        !QDir().mkpath(library() + QStringLiteral("/LaunchDaemons")) ||
        !QDir().mkpath(m_root.filePath(QStringLiteral("bin"))))
        return false;
    // A program of our own outside the system folders, so its items are not
    // taken for part of the operating system.
    if (!QFile::copy(QStringLiteral("/bin/sleep"), sleeper()))
        return false;

    CommandParsers::LoginItems loginItems;
    loginItems.bundleIDs = {runnerLabel};
    // Where the settings store lives on Linux, under the temporary home.
    QSettings settings(home() + QStringLiteral("/.config/%1/%2.conf")
                                    .arg(QLatin1String(SettingsStore::organization),
                                         QLatin1String(SettingsStore::application)),
                       QSettings::IniFormat);
    settings.setValue(QLatin1String(JsonReport::loginItemsKey),
                      CommandParsers::encodeLoginItems(loginItems));
    settings.sync();
    return settings.status() == QSettings::NoError && writeAgents() && startProcesses();
}

bool Scene::writeAgents() {
    const QString s = sleeper();
    const auto agent = [&](const QString& label, const QString& argument, const QString& keys) {
        return writeFile(agents() + QLatin1Char('/') + label + QStringLiteral(".plist"),
                         plist(label, s, argument, keys));
    };
    const QString runAtLoad = QStringLiteral("<key>RunAtLoad</key><true/>\n");
    // System daemons are matched to running processes by their program, so the
    // daemon's program is one that never runs here.
    const QString daemonProgram = m_root.filePath(QStringLiteral("bin/qm-daemon"));
    return agent(QStringLiteral("com.quillmarsh.e2e.plain"), QStringLiteral("11"), QString()) &&
           agent(runnerLabel, QStringLiteral("3001"), runAtLoad) &&
           agent(QStringLiteral("com.quillmarsh.e2e.calendar"), QStringLiteral("12"),
                 QStringLiteral("<key>StartCalendarInterval</key>"
                                "<dict><key>Hour</key><integer>3</integer></dict>\n")) &&
           agent(QStringLiteral("com.quillmarsh.e2e.interval"), QStringLiteral("13"),
                 QStringLiteral("<key>StartInterval</key><integer>3600</integer>\n")) &&
           agent(QStringLiteral("com.quillmarsh.e2e.keepalive"), QStringLiteral("14"),
                 QStringLiteral("<key>KeepAlive</key>"
                                "<dict><key>SuccessfulExit</key><false/></dict>\n")) &&
           agent(QStringLiteral("com.quillmarsh.e2e.launchdoff"), QStringLiteral("15"),
                 runAtLoad) &&
           writeFile(agents() + QStringLiteral("/Disabled/com.quillmarsh.e2e.parked.plist"),
                     plist(QStringLiteral("com.quillmarsh.e2e.parked"), s, QStringLiteral("16"),
                           runAtLoad)) &&
           writeFile(library() + QStringLiteral("/LaunchDaemons/com.quillmarsh.e2e.daemon.plist"),
                     plist(QStringLiteral("com.quillmarsh.e2e.daemon"), daemonProgram,
                           QStringLiteral("17"), QString()));
}

bool Scene::startProcesses() {
    // A job that launchd starts at load, and one that launchd holds disabled.
    if (!launchctl({QStringLiteral("disable"),
                    guiDomain() + QStringLiteral("/com.quillmarsh.e2e.launchdoff")}))
        return false;
    if (!launchctl({QStringLiteral("bootstrap"), guiDomain(),
                    agents() + QLatin1Char('/') + runnerLabel + QStringLiteral(".plist")}))
        return false;
    jobPid = m_standIns.jobPid(runnerLabel).value_or(-1);
    if (jobPid <= 0)
        return false;

    // A shell that runs our program in the background and waits for it.
    const std::string program = sleeper().toStdString();
    Spawned shell = spawn({"/bin/bash", "-c", "\"$0\" 3002 & echo $!; wait", program},
                          /*ownGroup=*/true, /*captureOutput=*/true);
    if (shell.pid <= 0)
        return false;
    shellPid = shell.pid;
    m_children.push_back(shell.pid);
    shellChildPid = readPidLine(shell.outputRead).value_or(-1);
    ::close(shell.outputRead);

    // A detached program: its shell ends at once and leaves it to pid 1.
    Spawned starter =
        spawn({"/bin/bash", "-c", "\"$0\" 3003 </dev/null >/dev/null 2>&1 & echo $!", program},
              /*ownGroup=*/true, /*captureOutput=*/true);
    if (starter.pid <= 0)
        return false;
    detachedPid = readPidLine(starter.outputRead).value_or(-1);
    ::close(starter.outputRead);
    int status = 0;
    ::waitpid(starter.pid, &status, 0);

    // A program that holds a listening socket it inherited.
    const int socketFd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (socketFd < 0)
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(socketFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(socketFd, 4) != 0 ||
        ::getsockname(socketFd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(socketFd);
        return false;
    }
    listenerPort = ntohs(address.sin_port);
    Spawned listener =
        spawn({program, "3004"}, /*ownGroup=*/true, /*captureOutput=*/false, socketFd);
    ::close(socketFd); // from here on only the listener holds it
    if (listener.pid <= 0)
        return false;
    listenerPid = listener.pid;
    m_children.push_back(listener.pid);

    return waitForExec(jobPid, sleeper()) && waitForExec(shellChildPid, sleeper()) &&
           waitForExec(detachedPid, sleeper());
}

void Scene::tearDown() {
    // The stand-ins stop the job they started when m_standIns goes.
    if (shellPid > 0)
        ::kill(-shellPid, SIGTERM);
    if (listenerPid > 0)
        ::kill(listenerPid, SIGTERM);
    if (detachedPid > 0) {
        ::kill(detachedPid, SIGTERM);
        StandIns::waitGone(detachedPid, std::chrono::seconds(10));
    }
    for (pid_t child : m_children) {
        int status = 0;
        ::waitpid(child, &status, 0);
    }
    if (shellChildPid > 0)
        StandIns::waitGone(shellChildPid, std::chrono::seconds(10));
}

const json* findItem(const json& list, const std::string& id) {
    for (const json& item : list) {
        if (item.value("id", "") == id)
            return &item;
    }
    return nullptr;
}

const json* findItemWithPid(const json& document, pid_t pid) {
    for (const char* list : {"running", "notRunning"}) {
        for (const json& item : document.at(list)) {
            for (const json& member : item.at("pids")) {
                if (member == pid)
                    return &item;
            }
        }
    }
    return nullptr;
}

bool isReportDate(const std::string& text) {
    static const std::regex form("^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z$");
    return std::regex_match(text, form);
}

class ReportE2ETest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_scene = std::make_unique<Scene>();
        if (!s_scene->ok())
            return;
        s_plain = s_scene->run({QStringLiteral("--json")});
        s_all = s_scene->run({QStringLiteral("--all"), QStringLiteral("--json")});
    }
    static void TearDownTestSuite() { s_scene.reset(); }

    void SetUp() override {
        if (!QFileInfo(TestPaths::binary()).isExecutable())
            GTEST_SKIP() << "no quillmarsh binary";
        ASSERT_TRUE(s_scene->ok()) << "the scene could not be set up";
    }

    static json parsed(const RunResult& result) {
        EXPECT_EQ(result.exitCode, 0) << result.error.toStdString();
        json document = json::parse(result.output.begin(), result.output.end(), nullptr, false);
        EXPECT_FALSE(document.is_discarded()) << result.output.left(400).toStdString();
        return document.is_discarded()
                   ? json::object({{"running", json::array()}, {"notRunning", json::array()}})
                   : document;
    }

    static inline std::unique_ptr<Scene> s_scene;
    static inline RunResult s_plain;
    static inline RunResult s_all;
};

TEST_F(ReportE2ETest, WritesOneDocumentThatMatchesTheSchema) {
    const std::optional<json> schema = JsonSchema::loadReportSchema();
    ASSERT_TRUE(schema.has_value());
    for (const RunResult* result : {&s_plain, &s_all}) {
        ASSERT_EQ(result->exitCode, 0) << result->error.toStdString();
        EXPECT_TRUE(result->error.isEmpty()) << result->error.toStdString();
        EXPECT_TRUE(result->output.endsWith("}\n"));
        EXPECT_FALSE(result->output.endsWith("\n\n"));
        const json document = parsed(*result);
        EXPECT_EQ(JsonSchema::validate(*schema, document), QStringList());
        EXPECT_TRUE(isReportDate(document.at("sampledAt")));
        for (const char* list : {"running", "notRunning"}) {
            for (const json& item : document.at(list)) {
                if (item.contains("startDate")) {
                    EXPECT_TRUE(isReportDate(item.at("startDate"))) << item.at("id");
                }
            }
        }
    }
}

TEST_F(ReportE2ETest, AppleItemsOnlyWithAll) {
    const json plain = parsed(s_plain);
    for (const char* list : {"running", "notRunning"}) {
        for (const json& item : plain.at(list))
            EXPECT_EQ(item.at("isApple"), false) << item.at("id");
    }
    // This machine's own programs live under /usr/bin and /bin, which count as
    // part of the system; with --all they appear.
    const json all = parsed(s_all);
    bool anyApple = false;
    for (const json& item : all.at("running"))
        anyApple = anyApple || item.at("isApple") == true;
    EXPECT_TRUE(anyApple);
    EXPECT_GT(all.at("running").size(), plain.at("running").size());
}

TEST_F(ReportE2ETest, JobStartedByLaunchdIsItsJobItem) {
    const json document = parsed(s_plain);
    const json* item = findItemWithPid(document, s_scene->jobPid);
    ASSERT_NE(item, nullptr);
    const std::string label = runnerLabel.toStdString();
    EXPECT_EQ(item->at("id"), "job:" + label);
    EXPECT_EQ(item->at("kind"), "process");
    EXPECT_EQ(item->at("state"), "running");
    EXPECT_FALSE(item->contains("status"));
    EXPECT_EQ(item->at("launchdLabel"), label);
    EXPECT_EQ(item->at("plist"),
              (s_scene->agents() + QLatin1Char('/') + runnerLabel + QStringLiteral(".plist"))
                  .toStdString());
    EXPECT_EQ(item->at("runAtLoad"), true);
    EXPECT_EQ(item->at("keepAlive"), false);
    EXPECT_TRUE(item->contains("schedule"));
    EXPECT_EQ(item->at("autoStart"), true);
    EXPECT_EQ(item->at("loginItem"), true) << "the stored login items name this label";
    EXPECT_EQ(item->at("origin"), "launchd job");
    EXPECT_EQ(item->at("executable"), s_scene->sleeper().toStdString());
    EXPECT_EQ(item->at("command"), s_scene->sleeper().toStdString() + " 3001");
    EXPECT_EQ(item->at("canStop"), true);
    EXPECT_TRUE(item->contains("startDate"));
    EXPECT_EQ(item->at("workingDirectory"), "/");
    EXPECT_EQ(item->at("ancestry").front(), "launchd");
}

TEST_F(ReportE2ETest, ShellAndDetachedProcessesSayWhoStartedThem) {
    const json document = parsed(s_plain);
    const json* shell = findItemWithPid(document, s_scene->shellChildPid);
    ASSERT_NE(shell, nullptr);
    EXPECT_EQ(shell->at("origin"), "Started from a shell");
    EXPECT_EQ(shell->at("kind"), "process");
    EXPECT_EQ(shell->at("id").get<std::string>().rfind(
                  "exe:" + s_scene->sleeper().toStdString() + "|3002|", 0),
              0u)
        << shell->at("id");
    EXPECT_FALSE(shell->contains("launchdLabel"));
    EXPECT_EQ(shell->at("autoStart"), false);

    const json* detached = findItemWithPid(document, s_scene->detachedPid);
    ASSERT_NE(detached, nullptr);
    EXPECT_EQ(detached->at("origin"), "Detached (no owner)");
    EXPECT_EQ(detached->at("isApple"), false);
    EXPECT_EQ(detached->at("ancestry").front(), "launchd");
}

TEST_F(ReportE2ETest, ListenerShowsItsPort) {
    const json document = parsed(s_plain);
    const json* listener = findItemWithPid(document, s_scene->listenerPid);
    ASSERT_NE(listener, nullptr);
    EXPECT_EQ(listener->at("ports"), json::array({s_scene->listenerPort}));
    EXPECT_NE(listener->at("safety").get<std::string>().find("Serves port " +
                                                             std::to_string(s_scene->listenerPort)),
              std::string::npos);
}

TEST_F(ReportE2ETest, JobsOnDiskThatDoNotRun) {
    const json document = parsed(s_plain);
    const json& notRunning = document.at("notRunning");
    struct Expected {
        const char* id;
        const char* state;
        bool autoStart;
        bool disabledInLaunchd;
        bool keepAlive;
        const char* statusPrefix;
    };
    const Expected expected[] = {
        {"job:com.quillmarsh.e2e.plain", "notRunning", false, false, false, "Not loaded ("},
        {"job:com.quillmarsh.e2e.calendar", "notRunning", true, false, false,
         "Stopped (until login)"},
        {"job:com.quillmarsh.e2e.interval", "notRunning", true, false, false,
         "Stopped (until login)"},
        {"job:com.quillmarsh.e2e.keepalive", "notRunning", true, false, true,
         "Stopped (until login)"},
        {"job:com.quillmarsh.e2e.launchdoff", "notRunning", false, true, false,
         "Disabled (in launchd)"},
        {"job:com.quillmarsh.e2e.parked:disabled", "disabled", false, false, false,
         "Disabled (plist parked)"},
        {"job:com.quillmarsh.e2e.daemon", "notRunning", false, false, false, "Not loaded ("},
    };
    for (const Expected& e : expected) {
        const json* item = findItem(notRunning, e.id);
        ASSERT_NE(item, nullptr) << e.id;
        EXPECT_EQ(item->at("kind"), "job") << e.id;
        EXPECT_EQ(item->at("state"), e.state) << e.id;
        EXPECT_EQ(item->at("autoStart"), e.autoStart) << e.id;
        EXPECT_EQ(item->at("disabledInLaunchd"), e.disabledInLaunchd) << e.id;
        EXPECT_EQ(item->at("keepAlive"), e.keepAlive) << e.id;
        EXPECT_EQ(item->at("pids"), json::array()) << e.id;
        EXPECT_EQ(item->at("canStop"), false) << e.id;
        EXPECT_TRUE(item->contains("schedule")) << e.id;
        EXPECT_FALSE(item->contains("startDate")) << e.id;
        EXPECT_EQ(item->at("status").get<std::string>().rfind(e.statusPrefix, 0), 0u)
            << e.id << ": " << item->at("status");
    }
    const json* daemon = findItem(notRunning, "job:com.quillmarsh.e2e.daemon");
    ASSERT_NE(daemon, nullptr);
    EXPECT_EQ(
        daemon->at("plist"),
        (s_scene->library() + QStringLiteral("/LaunchDaemons/com.quillmarsh.e2e.daemon.plist"))
            .toStdString());
    // A running job is never listed as not running as well.
    EXPECT_EQ(findItem(notRunning, "job:" + runnerLabel.toStdString()), nullptr);
}

TEST_F(ReportE2ETest, FailingLaunchctlStillGivesAReport) {
    const RunResult result = s_scene->run({QStringLiteral("--json")},
                                          QStringLiteral("list:1:launchd is away\n"
                                                         "print-disabled:1:launchd is away"));
    const json document = parsed(result);
    const std::optional<json> schema = JsonSchema::loadReportSchema();
    ASSERT_TRUE(schema.has_value());
    EXPECT_EQ(JsonSchema::validate(*schema, document), QStringList());
    // Without launchd's table nothing is known to be disabled there.
    const json* off = findItem(document.at("notRunning"), "job:com.quillmarsh.e2e.launchdoff");
    ASSERT_NE(off, nullptr);
    EXPECT_EQ(off->at("disabledInLaunchd"), false);
}

TEST_F(ReportE2ETest, FullDiskFailsWithStatusOneAndOneLine) {
    QProcess process;
    process.setProcessEnvironment(s_scene->environment());
    process.setStandardOutputFile(QStringLiteral("/dev/full"));
    process.start(TestPaths::binary(), {QStringLiteral("--json")});
    ASSERT_TRUE(process.waitForFinished(120000));
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), 1);
    const QByteArray error = process.readAllStandardError();
    EXPECT_EQ(error.count('\n'), 1) << error.toStdString();
    EXPECT_TRUE(error.endsWith('\n'));
}

TEST_F(ReportE2ETest, ClosedPipeFailsWithStatusOneAndOneLine) {
    int output[2];
    int error[2];
    ASSERT_EQ(::pipe2(output, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(error, O_CLOEXEC), 0);
    ::close(output[0]); // nobody will ever read the report

    const QProcessEnvironment env = s_scene->environment();
    std::vector<std::string> variables;
    for (const QString& key : env.keys())
        variables.push_back((key + QLatin1Char('=') + env.value(key)).toStdString());
    std::vector<char*> envp;
    for (std::string& variable : variables)
        envp.push_back(variable.data());
    envp.push_back(nullptr);
    std::string binary = TestPaths::binary().toStdString();
    std::string reportArgument = "--json";
    char* argv[] = {binary.data(), reportArgument.data(), nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, output[1], 1);
    posix_spawn_file_actions_adddup2(&actions, error[1], 2);
    // The child starts with SIGPIPE at its default, as from a shell pipeline.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, argv[0], &actions, &attributes, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(output[1]);
    ::close(error[1]);
    ASSERT_EQ(spawned, 0);

    QByteArray text;
    char buffer[4096];
    ssize_t n = 0;
    while ((n = ::read(error[0], buffer, sizeof buffer)) > 0)
        text.append(buffer, n);
    ::close(error[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(text.count('\n'), 1) << text.toStdString();
    EXPECT_TRUE(text.startsWith("quillmarsh: ")) << text.toStdString();
}

} // namespace
