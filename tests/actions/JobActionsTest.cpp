#include "actions/JobActions.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>

#include <unistd.h>

#include <QDir>
#include <QFile>

#include "actions/Trash.h"
#include "launchd/JobScanner.h"
#include "support/Printers.h"
#include "support/StandIns.h"
#include "support/TempHome.h"

namespace {

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).absolutePath()) && file.open(QIODevice::WriteOnly) &&
           file.write(bytes) == bytes.size();
}

// A temporary home with the stand-in tools; jobs are read back through the
// scanner as the app sees them.
class JobActionsTest : public ::testing::Test {
protected:
    TempHome home;
    StandIns tools;
    const JobActions::Context context{tools.locations(), static_cast<Uid>(::getuid())};
    QString agents() const { return home.path() + "/Library/LaunchAgents"; }
    QString parking() const { return agents() + "/Disabled"; }
    QString trash() const { return home.path() + "/.local/share/Trash/files"; }

    LaunchJob agent(const QString& label, const QStringList& program = {"/bin/true"},
                    bool runAtLoad = false, const QString& extra = {}) {
        const QString path = agents() + '/' + label + ".plist";
        QDir().mkpath(agents());
        EXPECT_TRUE(StandIns::writePlist(path, label, program, runAtLoad, extra));
        return *JobScanner::parseJob(readAll(path), path, LaunchJob::Domain::userAgent);
    }

    std::optional<LaunchJob> scanned(const QString& label) const {
        const JobScanner::JobFolders folders{home.path(), home.path() + "/none",
                                             home.path() + "/none"};
        for (const LaunchJob& job : JobScanner::scanJobs(folders)) {
            if (job.label == label)
                return job;
        }
        return std::nullopt;
    }
};

} // namespace

TEST_F(JobActionsTest, DisableStopsAndParksTheJobAndReenableStartsItAgain) {
    const LaunchJob job = agent("com.example.sleeper", {"/bin/sleep", "300"}, true);
    ASSERT_EQ(JobActions::startJob(job, false, context), std::nullopt);
    const std::optional<Pid> started = tools.jobPid(job.label);
    ASSERT_TRUE(started && StandIns::isAlive(*started));

    ASSERT_EQ(JobActions::disableJob(job, context), std::nullopt);
    EXPECT_TRUE(StandIns::waitGone(*started, std::chrono::seconds(10)));
    EXPECT_FALSE(QFile::exists(job.plistPath));
    const std::optional<LaunchJob> parked = scanned(job.label);
    ASSERT_TRUE(parked && parked->isParkedByQuillmarsh);

    ASSERT_EQ(JobActions::reenableJob(*parked, context), std::nullopt);
    EXPECT_TRUE(QFile::exists(job.plistPath));
    EXPECT_FALSE(QFile::exists(parked->plistPath));
    const std::optional<Pid> restarted = tools.jobPid(job.label);
    ASSERT_TRUE(restarted && *restarted != *started);
    EXPECT_TRUE(StandIns::isAlive(*restarted));
}

TEST_F(JobActionsTest, RefusalsAndFailuresLeaveEveryDefinitionWhereItWas) {
    LaunchJob global = agent("com.example.global");
    global.domain = LaunchJob::Domain::globalAgent;
    const LaunchJob apple = agent("com.apple.thing", {"/bin/true"}, true);
    const LaunchJob stuck = agent("com.example.stuck");
    const LaunchJob twice = agent("com.example.twice");
    ASSERT_EQ(JobActions::disableJob(twice, context), std::nullopt);
    const LaunchJob parked = *scanned(twice.label);
    ASSERT_TRUE(writeFile(twice.plistPath, "a new definition"));

    const std::pair<const char*, std::function<ActionResult()>> rows[] = {
        {"global agent", [&] { return JobActions::disableJob(global, context); }},
        {"Apple's agent", [&] { return JobActions::disableJob(apple, context); }},
        {"parked twice", [&] { return JobActions::disableJob(parked, context); }},
        {"not parked", [&] { return JobActions::reenableJob(stuck, context); }},
        {"over a newer definition", [&] { return JobActions::reenableJob(parked, context); }},
        {"failing bootout", [&] {
             tools.failVerb("bootout", 5, "Boot-out failed: 5: Input/output error");
             return JobActions::disableJob(stuck, context);
         }}};
    const QStringList before = QDir(agents()).entryList(QDir::Files);
    const int bootouts = tools.callCount({"launchctl", "bootout"});
    for (const auto& [what, action] : rows) {
        const ActionResult result = action();
        EXPECT_TRUE(result && !result->message.isEmpty()) << what;
        EXPECT_EQ(QDir(agents()).entryList(QDir::Files), before) << what;
        EXPECT_TRUE(QFile::exists(parked.plistPath)) << what;
    }
    EXPECT_EQ(readAll(twice.plistPath), "a new definition");
    EXPECT_EQ(tools.callCount({"launchctl", "bootout"}), bootouts + 1) << "only the failing one";
}

TEST_F(JobActionsTest, AFailedBootstrapKeepsTheRestoredDefinition) {
    const LaunchJob job = agent("com.example.refused");
    ASSERT_EQ(JobActions::disableJob(job, context), std::nullopt);
    tools.failVerb("bootstrap", 119, "Bootstrap failed: 119: Service is disabled");
    const ActionResult result = JobActions::reenableJob(*scanned(job.label), context);
    EXPECT_TRUE(result && result->message.startsWith("launchctl bootstrap failed (119): "));
    EXPECT_TRUE(QFile::exists(job.plistPath));
}

TEST_F(JobActionsTest, LaunchdVerbsAndTheirAnswers) {
    // A job launchd does not know is as good as booted out.
    for (const auto& [status, message] :
         {std::pair{3, "No such process"}, std::pair{36, "In progress"},
          std::pair{9, "Could not find service: No such process"}}) {
        tools.failVerb("bootout", status, message);
        EXPECT_EQ(JobActions::bootoutJob("com.example.unknown", context), std::nullopt) << status;
    }
    tools.failVerb("bootout", 1, "Operation not permitted");
    EXPECT_TRUE(JobActions::bootoutJob("com.example.unknown", context));

    // Start kickstarts a listed job and bootstraps any other.
    const LaunchJob job = agent("com.example.start", {"/bin/sleep", "300"});
    const ActionResult unlisted = JobActions::startJob(job, true, context);
    EXPECT_TRUE(unlisted && unlisted->message.startsWith("launchctl kickstart failed (113): "));
    ASSERT_EQ(JobActions::startJob(job, false, context), std::nullopt);
    ASSERT_EQ(JobActions::startJob(job, true, context), std::nullopt);
    const std::optional<Pid> pid = tools.jobPid(job.label);
    EXPECT_TRUE(pid && StandIns::isAlive(*pid));

    tools.setDisabled("com.example.off");
    EXPECT_EQ(JobActions::enableJob("com.example.off", context), std::nullopt);
    EXPECT_EQ(tools.callCount({"launchctl", "enable"}), 1);
    tools.failVerb("enable", 1, "Not privileged");
    EXPECT_EQ(JobActions::enableJob("com.example.off", context),
              ActionError{"launchctl enable failed (1): Not privileged"});

    EXPECT_EQ(JobActions::shutdownSimulator(QStringLiteral("ABC-123"), context), std::nullopt);
    EXPECT_EQ(JobActions::shutdownSimulator(std::nullopt, context), std::nullopt);
    EXPECT_EQ(tools.callCount({"xcrun", "simctl", "shutdown", "ABC-123"}), 1);
    EXPECT_EQ(tools.callCount({"xcrun", "simctl", "shutdown", "all"}), 1);
    tools.failVerb("simctl", 149, "No devices are booted.");
    EXPECT_EQ(JobActions::shutdownSimulator(std::nullopt, context),
              ActionError{"simctl shutdown failed: No devices are booted."});
}

// Whatever order of actions a user takes, no definition is ever lost: each
// version written stays, byte for byte, in LaunchAgents, the parking folder
// or the Trash.
TEST_F(JobActionsTest, NoSequenceOfActionsLosesADefinition) {
    const QStringList labels{"com.example.a", "com.example.b", "com.example.c"};
    QList<QByteArray> written;
    int version = 0;
    const auto writeVersion = [&](const QString& label) {
        agent(label, {"/bin/true"}, false,
              QString("<key>V</key><integer>%1</integer>").arg(++version));
        written.append(readAll(agents() + '/' + label + ".plist"));
    };
    for (const QString& label : labels)
        writeVersion(label);

    const auto lost = [&] {
        QList<QByteArray> present;
        for (const QString& folder : {agents(), parking(), trash()}) {
            for (const QFileInfo& file : QDir(folder).entryInfoList(QDir::Files))
                present.append(readAll(file.absoluteFilePath()));
        }
        return std::count_if(written.cbegin(), written.cend(),
                             [&](const QByteArray& one) { return !present.contains(one); });
    };

    std::mt19937 random(20261206);
    for (int step = 0; step < 150; ++step) {
        const QString label = labels[static_cast<int>(random() % labels.size())];
        const std::optional<LaunchJob> job = scanned(label);
        switch (random() % 5) {
        case 0:
            if (job)
                JobActions::disableJob(*job, context);
            break;
        case 1:
            if (job)
                JobActions::reenableJob(*job, context);
            break;
        case 2:
            if (job)
                JobActions::startJob(*job, false, context);
            break;
        case 3:
            JobActions::bootoutJob(label, context);
            break;
        default:
            // A new definition appears while an older one may be parked.
            if (!QFile::exists(agents() + '/' + label + ".plist"))
                writeVersion(label);
        }
        ASSERT_EQ(lost(), 0) << "after step " << step;
    }
}

TEST(TrashTest, FilesGoToTheHomeTrashEvenWithoutItsDataFolder) {
    TempHome home;
    ASSERT_FALSE(QDir(home.path() + "/.local/share").exists());
    // Qt would otherwise make a Trash under the current folder.
    const QString work = home.makeFolder("work");
    const QString cwd = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(work));
    const QString file = work + "/agent.plist";
    ASSERT_TRUE(writeFile(file, "first"));
    EXPECT_EQ(Trash::moveToTrash(file), std::nullopt);
    QDir::setCurrent(cwd);
    EXPECT_FALSE(QFile::exists(file));
    EXPECT_EQ(readAll(home.path() + "/.local/share/Trash/files/agent.plist"), "first");
    const ActionResult missing = Trash::moveToTrash(home.path() + "/missing.plist");
    EXPECT_TRUE(missing && !missing->message.isEmpty());
}
