// The stand-in launchctl, sfltool and xcrun against real processes: later
// tests of sampling, the report and the actions rely on them behaving like
// the real tools.

#include <algorithm>
#include <csignal>
#include <thread>
#include <vector>

#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "launchd/SystemTools.h"
#include "support/Printers.h"
#include "support/StandIns.h"

using namespace std::chrono_literals;

namespace {

const Uid uid = ::getuid();

struct JobPlist {
    QString label;
    QStringList program;
    bool runAtLoad = true;
    QString extra; // raw XML keys and values
};

class StandInToolsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(standIns_.isValid());
        ASSERT_TRUE(plists_.isValid());
    }

    // The invocations as the program makes them, with room for a machine
    // that is busy running other tests.
    static CommandResult run(SystemTools::Invocation invocation) {
        invocation.timeout = std::max<std::chrono::milliseconds>(invocation.timeout, 60s);
        return SystemTools::run(invocation);
    }
    CommandResult list() { return run(SystemTools::launchctlList(tools())); }
    CommandResult bootstrap(const QString& path) {
        return run(SystemTools::bootstrap(tools(), uid, path));
    }
    CommandResult bootout(const QString& label) {
        return run(SystemTools::bootout(tools(), uid, label));
    }
    CommandResult launchctl(const QStringList& arguments) {
        return run({tools().launchctl, arguments, 20s});
    }
    SystemTools::Locations tools() const { return standIns_.locations(); }

    QString writePlist(const JobPlist& job) {
        const QString path = plists_.filePath(job.label + QStringLiteral(".plist"));
        EXPECT_TRUE(StandIns::writePlist(path, job.label, job.program, job.runAtLoad, job.extra));
        return path;
    }

    QString sleeper(const QString& label, bool runAtLoad = true) {
        return writePlist(
            {label, {QStringLiteral("/bin/sleep"), QStringLiteral("60")}, runAtLoad, {}});
    }

    // The job line of `launchctl list` for a label, empty when not listed.
    QString listLine(const QString& label) {
        const CommandResult result = list();
        EXPECT_EQ(result.status, 0);
        for (const QString& line : result.output.split(QLatin1Char('\n'))) {
            if (line.endsWith(QLatin1Char('\t') + label))
                return line;
        }
        return {};
    }

    // Waits until the watcher of a started job has recorded the job's end.
    void awaitRecordedEnd(const QString& label) {
        const QJsonObject job =
            standIns_.state().value(QStringLiteral("jobs")).toObject().value(label).toObject();
        const QJsonValue watcher = job.value(QStringLiteral("watcher"));
        if (watcher.isDouble()) {
            ASSERT_TRUE(StandIns::waitGone(watcher.toInt(), 20s));
        }
    }

    StandIns standIns_;
    QTemporaryDir plists_;
};

TEST_F(StandInToolsTest, ListPrintsFixturesInTheTableFormat) {
    const Pid self = ::getpid();
    standIns_.addJob(QStringLiteral("com.example.idle"));
    standIns_.addJob(QStringLiteral("com.example.agent"), self, 0);
    standIns_.addJob(QStringLiteral("com.example.crashed"), std::nullopt, -9);
    standIns_.addJob(QStringLiteral("com.example.odd"), self, std::nullopt);
    // Above the kernel's largest pid: never a living process.
    standIns_.addJob(QStringLiteral("com.example.gone"), 2147483647, 1);
    const CommandResult result = list();
    ASSERT_EQ(result.status, 0);
    EXPECT_EQ(result.error, QString());
    ASSERT_TRUE(result.output.endsWith(QLatin1Char('\n')));
    QStringList lines = result.output.split(QLatin1Char('\n'));
    lines.removeLast();
    ASSERT_FALSE(lines.isEmpty());
    EXPECT_EQ(lines.takeFirst(), QStringLiteral("PID\tStatus\tLabel"));
    // Like launchd, the table is in no particular order.
    lines.sort();
    const QString pid = QString::number(self);
    QStringList expected{
        pid + QStringLiteral("\t0\tcom.example.agent"), pid + QStringLiteral("\t\tcom.example.odd"),
        QStringLiteral("-\t-9\tcom.example.crashed"), QStringLiteral("-\t0\tcom.example.idle"),
        QStringLiteral("-\t1\tcom.example.gone")};
    expected.sort();
    EXPECT_EQ(lines, expected);
}

TEST_F(StandInToolsTest, EmptyJobTableIsJustTheHeader) {
    EXPECT_EQ(list(), (CommandResult{0, QStringLiteral("PID\tStatus\tLabel\n"), {}}));
}

TEST_F(StandInToolsTest, PrintDisabledInBothFormats) {
    standIns_.setDisabled(QStringLiteral("com.example.off"));
    standIns_.setDisabled(QStringLiteral("com.example.on"), false);
    const CommandResult modern = run(SystemTools::printDisabled(tools(), uid));
    EXPECT_EQ(modern, (CommandResult{0,
                                     QStringLiteral("\n\tdisabled services = {\n"
                                                    "\t\t\"com.example.off\" => disabled\n"
                                                    "\t\t\"com.example.on\" => enabled\n"
                                                    "\t}\n"),
                                     {}}));
    standIns_.setLegacyDisabledStyle(true);
    const CommandResult legacy = run(SystemTools::printDisabled(tools(), uid));
    EXPECT_EQ(legacy, (CommandResult{0,
                                     QStringLiteral("disabled services = {\n"
                                                    "\t\"com.example.off\" => true\n"
                                                    "\t\"com.example.on\" => false\n"
                                                    "}\n"),
                                     {}}));
}

TEST_F(StandInToolsTest, OnlyTheUsersGuiDomainIsServed) {
    const CommandResult otherUser = run(SystemTools::printDisabled(tools(), uid + 1));
    EXPECT_EQ(otherUser.status, 113);
    EXPECT_FALSE(otherUser.error.isEmpty());
    EXPECT_EQ(launchctl({QStringLiteral("print-disabled"), QStringLiteral("system/x")}).status, 64);
    EXPECT_EQ(launchctl({QStringLiteral("bootout"), QStringLiteral("com.example.agent")}).status,
              64);
    EXPECT_EQ(launchctl({QStringLiteral("frobnicate")}).status, 64);
}

TEST_F(StandInToolsTest, BootstrappedRunAtLoadJobRunsDetachedUnderPidOne) {
    const QString label = QStringLiteral("com.example.sleeper");
    const QString path = sleeper(label);
    EXPECT_EQ(bootstrap(path), (CommandResult{0, {}, {}}));

    const std::optional<Pid> pid = standIns_.jobPid(label);
    ASSERT_TRUE(pid);
    EXPECT_TRUE(StandIns::isAlive(*pid));
    EXPECT_EQ(StandIns::parentOf(*pid), 1);
    EXPECT_EQ(StandIns::sessionOf(*pid), *pid);
    for (const char* stream : {"0", "1", "2"}) {
        EXPECT_EQ(QFileInfo(QStringLiteral("/proc/%1/fd/%2").arg(*pid).arg(QLatin1String(stream)))
                      .symLinkTarget(),
                  QStringLiteral("/dev/null"));
    }
    QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(*pid));
    ASSERT_TRUE(cmdline.open(QIODevice::ReadOnly));
    EXPECT_EQ(cmdline.readAll(), QByteArray("/bin/sleep\0"
                                            "60\0",
                                            14));
    EXPECT_EQ(listLine(label), QStringLiteral("%1\t0\t%2").arg(*pid).arg(label));

    // Loading it again is refused the way launchd refuses it.
    EXPECT_EQ(bootstrap(path),
              (CommandResult{5, {}, QStringLiteral("Bootstrap failed: 5: Input/output error")}));

    // Boot-out stops the process before it returns, and unloads the job.
    EXPECT_EQ(bootout(label), (CommandResult{0, {}, {}}));
    EXPECT_FALSE(StandIns::isAlive(*pid));
    EXPECT_EQ(listLine(label), QString());
    EXPECT_EQ(bootout(label),
              (CommandResult{3, {}, QStringLiteral("Boot-out failed: 3: No such process")}));
}

TEST_F(StandInToolsTest, BootoutStopsTheJobsWholeProcessGroup) {
    const QString label = QStringLiteral("com.example.parent");
    const QString path = writePlist(
        {label,
         {QStringLiteral("/bin/sh"), QStringLiteral("-c"), QStringLiteral("sleep 60 & wait")},
         true,
         {}});
    ASSERT_EQ(bootstrap(path).status, 0);
    const std::optional<Pid> pid = standIns_.jobPid(label);
    ASSERT_TRUE(pid);
    // The shell's child, once it has started.
    Pid child = 0;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (child == 0 && std::chrono::steady_clock::now() < deadline) {
        QFile children(QStringLiteral("/proc/%1/task/%1/children").arg(*pid));
        if (children.open(QIODevice::ReadOnly))
            child = children.readAll().trimmed().toInt();
        if (child == 0)
            std::this_thread::sleep_for(10ms);
    }
    ASSERT_NE(child, 0);
    ASSERT_EQ(bootout(label).status, 0);
    EXPECT_FALSE(StandIns::isAlive(*pid));
    EXPECT_TRUE(StandIns::waitGone(child, 5s));
}

TEST_F(StandInToolsTest, JobThatEndsShowsItsExitStatus) {
    const QString label = QStringLiteral("com.example.exits");
    ASSERT_EQ(bootstrap(writePlist({label,
                                    {QStringLiteral("/bin/sh"), QStringLiteral("-c"),
                                     QStringLiteral("exit 7")},
                                    true,
                                    {}}))
                  .status,
              0);
    awaitRecordedEnd(label);
    EXPECT_EQ(listLine(label), QStringLiteral("-\t7\t") + label);
}

TEST_F(StandInToolsTest, JobEndedBySignalShowsANegativeStatus) {
    struct Case {
        const char* label;
        int signal;
    };
    for (const Case c :
         {Case{"com.example.killed", SIGKILL}, Case{"com.example.terminated", SIGTERM}}) {
        const QString label = QString::fromLatin1(c.label);
        ASSERT_EQ(bootstrap(sleeper(label)).status, 0);
        const std::optional<Pid> pid = standIns_.jobPid(label);
        ASSERT_TRUE(pid);
        EXPECT_EQ(listLine(label), QStringLiteral("%1\t0\t%2").arg(*pid).arg(label));
        ASSERT_EQ(::kill(*pid, c.signal), 0);
        ASSERT_TRUE(StandIns::waitGone(*pid, 10s));
        awaitRecordedEnd(label);
        EXPECT_EQ(listLine(label), QStringLiteral("-\t%1\t%2").arg(-c.signal).arg(label));
    }
}

TEST_F(StandInToolsTest, ProgramArgumentsAloneAreLookedUpInPath) {
    const QString label = QStringLiteral("com.example.bare");
    ASSERT_EQ(bootstrap(writePlist(
                            {label,
                             {QStringLiteral("sh"), QStringLiteral("-c"), QStringLiteral("exit 4")},
                             true,
                             {}}))
                  .status,
              0);
    awaitRecordedEnd(label);
    EXPECT_EQ(listLine(label), QStringLiteral("-\t4\t") + label);
}

TEST_F(StandInToolsTest, ProgramThatCannotRunEndsWith78) {
    const QString label = QStringLiteral("com.example.missing");
    ASSERT_EQ(
        bootstrap(writePlist({label, {QStringLiteral("/nonexistent/tool")}, true, {}})).status, 0);
    awaitRecordedEnd(label);
    EXPECT_EQ(listLine(label), QStringLiteral("-\t78\t") + label);
}

TEST_F(StandInToolsTest, DisabledJobIsRefusedUntilEnabled) {
    const QString label = QStringLiteral("com.example.marked");
    const QString path = sleeper(label, false);
    standIns_.setDisabled(label);
    EXPECT_EQ(
        bootstrap(path),
        (CommandResult{119, {}, QStringLiteral("Bootstrap failed: 119: Service is disabled")}));
    EXPECT_EQ(run(SystemTools::enable(tools(), uid, label)), (CommandResult{0, {}, {}}));
    EXPECT_TRUE(run(SystemTools::printDisabled(tools(), uid))
                    .output.contains(QStringLiteral("\"com.example.marked\" => enabled")));
    EXPECT_EQ(bootstrap(path).status, 0);
    EXPECT_EQ(listLine(label), QStringLiteral("-\t0\t") + label);

    // disable sets the mark again; a loaded job stays loaded.
    EXPECT_EQ(launchctl({QStringLiteral("disable"), SystemTools::serviceTarget(uid, label)}),
              (CommandResult{0, {}, {}}));
    EXPECT_TRUE(run(SystemTools::printDisabled(tools(), uid))
                    .output.contains(QStringLiteral("\"com.example.marked\" => disabled")));
    EXPECT_EQ(listLine(label), QStringLiteral("-\t0\t") + label);

    // A plist's own Disabled key counts until launchd's mark says otherwise.
    const QString own = QStringLiteral("com.example.plistoff");
    const QString ownPath = writePlist({own,
                                        {QStringLiteral("/bin/sleep"), QStringLiteral("60")},
                                        false,
                                        QStringLiteral("\t<key>Disabled</key>\n\t<true/>\n")});
    EXPECT_EQ(bootstrap(ownPath).status, 119);
    ASSERT_EQ(run(SystemTools::enable(tools(), uid, own)).status, 0);
    EXPECT_EQ(bootstrap(ownPath).status, 0);
}

TEST_F(StandInToolsTest, UnreadablePlistsAreRefused) {
    const QString broken = plists_.filePath(QStringLiteral("broken.plist"));
    QFile file(broken);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("<plist><dict><key>Label</key>");
    file.close();
    EXPECT_EQ(bootstrap(broken).status, 5);
    EXPECT_EQ(bootstrap(plists_.filePath(QStringLiteral("absent.plist"))).status, 2);
    EXPECT_EQ(bootstrap(writePlist({QStringLiteral("com.example.noprogram"), {}, true, {}})).status,
              5);
    EXPECT_EQ(list().output, QStringLiteral("PID\tStatus\tLabel\n"));
}

TEST_F(StandInToolsTest, KickstartStartsALoadedJob) {
    const QString label = QStringLiteral("com.example.ondemand");
    ASSERT_EQ(bootstrap(sleeper(label, false)).status, 0);
    EXPECT_EQ(listLine(label), QStringLiteral("-\t0\t") + label);
    EXPECT_EQ(run(SystemTools::kickstart(tools(), uid, label)), (CommandResult{0, {}, {}}));
    const std::optional<Pid> pid = standIns_.jobPid(label);
    ASSERT_TRUE(pid);
    EXPECT_TRUE(StandIns::isAlive(*pid));
    EXPECT_EQ(StandIns::parentOf(*pid), 1);
    // Already running: nothing changes.
    EXPECT_EQ(run(SystemTools::kickstart(tools(), uid, label)).status, 0);
    EXPECT_EQ(standIns_.jobPid(label), pid);

    const CommandResult unknown =
        run(SystemTools::kickstart(tools(), uid, QStringLiteral("com.example.unknown")));
    EXPECT_EQ(unknown.status, 113);
    EXPECT_FALSE(unknown.error.isEmpty());
}

TEST_F(StandInToolsTest, InjectedFailuresReplaceAVerbsWork) {
    standIns_.addJob(QStringLiteral("com.example.agent"));
    standIns_.failVerb(QStringLiteral("bootout"), 5,
                       QStringLiteral("Boot-out failed: 5: Input/output error"));
    EXPECT_EQ(bootout(QStringLiteral("com.example.agent")),
              (CommandResult{5, {}, QStringLiteral("Boot-out failed: 5: Input/output error")}));
    EXPECT_EQ(listLine(QStringLiteral("com.example.agent")),
              QStringLiteral("-\t0\tcom.example.agent"));

    qputenv("QUILLMARSH_STANDIN_FAIL", "enable:1:Not privileged to set domain overrides.");
    const CommandResult enable =
        run(SystemTools::enable(tools(), uid, QStringLiteral("com.example.agent")));
    qunsetenv("QUILLMARSH_STANDIN_FAIL");
    EXPECT_EQ(enable,
              (CommandResult{1, {}, QStringLiteral("Not privileged to set domain overrides.")}));
    EXPECT_EQ(run(SystemTools::enable(tools(), uid, QStringLiteral("com.example.agent"))).status,
              0);
}

TEST_F(StandInToolsTest, CallLogCountsEveryInvocation) {
    list();
    list();
    run(SystemTools::printDisabled(tools(), uid));
    bootout(QStringLiteral("com.example.none"));
    EXPECT_EQ(standIns_.callCount({QStringLiteral("launchctl"), QStringLiteral("list")}), 2);
    EXPECT_EQ(standIns_.callCount({QStringLiteral("launchctl")}), 4);
    EXPECT_EQ(standIns_.calls().last(),
              (QStringList{QStringLiteral("launchctl"), QStringLiteral("bootout"),
                           SystemTools::serviceTarget(uid, QStringLiteral("com.example.none"))}));
}

TEST_F(StandInToolsTest, LoginItemsDumpComesFromTheFixture) {
    EXPECT_EQ(run(SystemTools::dumpLoginItems(tools())), (CommandResult{0, {}, {}}));
    const QByteArray dump = "========================\n"
                            " Records for UID 501 : 0A1B\n"
                            "========================\n"
                            " #1:\n"
                            "                 UUID: 0A1B\n"
                            "                 Type: app (0x2)\n";
    standIns_.setLoginItemsDump(dump);
    EXPECT_EQ(run(SystemTools::dumpLoginItems(tools())),
              (CommandResult{0, QString::fromUtf8(dump), {}}));
    standIns_.setLoginItemsDump(dump, 1);
    EXPECT_EQ(run(SystemTools::dumpLoginItems(tools())).status, 1);
    EXPECT_EQ(standIns_.callCount({QStringLiteral("sfltool"), QStringLiteral("dumpbtm")}), 3);
}

TEST_F(StandInToolsTest, SimulatorShutdownIsLoggedWithItsStatus) {
    EXPECT_EQ(run(SystemTools::shutdownSimulator(tools(), QStringLiteral("all"))),
              (CommandResult{0, {}, {}}));
    standIns_.setSimctlStatus(149);
    EXPECT_EQ(run(SystemTools::shutdownSimulator(tools(), QStringLiteral("6C1D-44"))).status, 149);
    standIns_.failVerb(QStringLiteral("simctl"), 2, QStringLiteral("Invalid device: 6C1D-44"));
    EXPECT_EQ(run(SystemTools::shutdownSimulator(tools(), QStringLiteral("6C1D-44"))),
              (CommandResult{2, {}, QStringLiteral("Invalid device: 6C1D-44")}));
    const QStringList all{QStringLiteral("xcrun"), QStringLiteral("simctl"),
                          QStringLiteral("shutdown"), QStringLiteral("all")};
    EXPECT_EQ(standIns_.callCount(all), 1);
    EXPECT_EQ(standIns_.callCount({QStringLiteral("xcrun")}), 3);
}

TEST_F(StandInToolsTest, ConcurrentCallsKeepTheStateConsistent) {
    constexpr int count = 8;
    std::vector<QString> paths;
    for (int i = 0; i < count; ++i)
        paths.push_back(sleeper(QStringLiteral("com.example.parallel%1").arg(i), false));
    std::vector<int> statuses(count, -100);
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i) {
        threads.emplace_back([&, i] {
            statuses[static_cast<size_t>(i)] =
                run(SystemTools::bootstrap(tools(), uid, paths[static_cast<size_t>(i)])).status;
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    for (int i = 0; i < count; ++i) {
        EXPECT_EQ(statuses[static_cast<size_t>(i)], 0) << i;
        EXPECT_EQ(listLine(QStringLiteral("com.example.parallel%1").arg(i)),
                  QStringLiteral("-\t0\tcom.example.parallel%1").arg(i));
    }
    EXPECT_EQ(standIns_.callCount({QStringLiteral("launchctl"), QStringLiteral("bootstrap")}),
              count);
}

TEST(StandInsLifetimeTest, DestructionStopsStartedProcessesAndRemovesTheFolder) {
    QTemporaryDir plists;
    const QString path = plists.filePath(QStringLiteral("job.plist"));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
               "<key>Label</key><string>com.example.left</string>"
               "<key>ProgramArguments</key><array><string>/bin/sleep</string>"
               "<string>60</string></array><key>KeepAlive</key><true/></dict></plist>\n");
    file.close();

    Pid pid = 0;
    Pid watcher = 0;
    QString folder;
    const std::optional<QByteArray> toolsBefore =
        qEnvironmentVariableIsSet("QUILLMARSH_TOOLS_DIR")
            ? std::optional<QByteArray>(qgetenv("QUILLMARSH_TOOLS_DIR"))
            : std::nullopt;
    {
        StandIns standIns;
        folder = standIns.stateDir();
        EXPECT_EQ(qgetenv("QUILLMARSH_STANDIN_STATE"), QFile::encodeName(folder));
        ASSERT_EQ(SystemTools::run(SystemTools::bootstrap(standIns.locations(), uid, path)).status,
                  0);
        pid = standIns.jobPid(QStringLiteral("com.example.left")).value_or(0);
        watcher = standIns.state()
                      .value(QStringLiteral("jobs"))
                      .toObject()
                      .value(QStringLiteral("com.example.left"))
                      .toObject()
                      .value(QStringLiteral("watcher"))
                      .toInt();
        ASSERT_GT(pid, 0);
        ASSERT_GT(watcher, 0);
        EXPECT_TRUE(StandIns::isAlive(pid));
    }
    EXPECT_FALSE(StandIns::isAlive(pid));
    EXPECT_FALSE(StandIns::isAlive(watcher));
    EXPECT_FALSE(QFileInfo::exists(folder));
    EXPECT_FALSE(qEnvironmentVariableIsSet("QUILLMARSH_STANDIN_STATE"));
    EXPECT_EQ(qEnvironmentVariableIsSet("QUILLMARSH_TOOLS_DIR"), toolsBefore.has_value());
}

} // namespace
