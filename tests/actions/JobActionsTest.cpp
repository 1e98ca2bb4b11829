#include "actions/JobActions.h"

#include <gtest/gtest.h>

#include <random>

#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>

#include "launchd/JobScanner.h"
#include "support/StandIns.h"
#include "support/TempHome.h"

namespace {

QString s(const char* text) {
    return QString::fromUtf8(text);
}

QByteArray readAll(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

// A temporary home with the stand-in tools, and jobs read back through the
// scanner as the app would see them.
class JobActionsTest : public ::testing::Test {
protected:
    JobActions::Context context() const {
        return JobActions::Context{tools.locations(), static_cast<Uid>(::getuid())};
    }
    QString agents() const { return home.path() + s("/Library/LaunchAgents"); }
    QString parking() const { return agents() + s("/Disabled"); }
    QString trashFiles() const { return home.path() + s("/.local/share/Trash/files"); }

    LaunchJob agent(const QString& label, const QStringList& program, bool runAtLoad = true) {
        const QString path = agents() + u'/' + label + s(".plist");
        QDir().mkpath(agents());
        EXPECT_TRUE(StandIns::writePlist(path, label, program, runAtLoad));
        return *JobScanner::parseJob(readAll(path), path, LaunchJob::Domain::userAgent);
    }

    std::optional<LaunchJob> scanned(const QString& label) const {
        JobScanner::JobFolders folders{home.path(), home.path() + s("/none"),
                                       home.path() + s("/none")};
        for (const LaunchJob& job : JobScanner::scanJobs(folders)) {
            if (job.label == label)
                return job;
        }
        return std::nullopt;
    }

    TempHome home;
    StandIns tools;
};

} // namespace

TEST_F(JobActionsTest, DisableParksTheDefinitionAndReenableBringsTheJobBack) {
    const LaunchJob job = agent(s("com.example.sleeper"), {s("/bin/sleep"), s("300")});
    ASSERT_EQ(JobActions::startJob(job, false, context()), std::nullopt);
    const std::optional<Pid> started = tools.jobPid(job.label);
    ASSERT_TRUE(started && StandIns::isAlive(*started));

    ASSERT_EQ(JobActions::disableJob(job, context()), std::nullopt);
    EXPECT_TRUE(StandIns::waitGone(*started, std::chrono::seconds(5)));
    EXPECT_FALSE(QFile::exists(job.plistPath));
    EXPECT_TRUE(QFile::exists(parking() + s("/com.example.sleeper.plist")));
    const std::optional<LaunchJob> parked = scanned(job.label);
    ASSERT_TRUE(parked && parked->isParkedByQuillmarsh);

    ASSERT_EQ(JobActions::reenableJob(*parked, context()), std::nullopt);
    EXPECT_TRUE(QFile::exists(job.plistPath));
    EXPECT_FALSE(QFile::exists(parked->plistPath));
    const std::optional<Pid> restarted = tools.jobPid(job.label);
    ASSERT_TRUE(restarted);
    EXPECT_NE(*restarted, *started);
    EXPECT_TRUE(StandIns::isAlive(*restarted));
}

TEST_F(JobActionsTest, OnlyTheUsersOwnAgentsCanBeDisabled) {
    LaunchJob global = agent(s("com.example.global"), {s("/bin/true")});
    global.domain = LaunchJob::Domain::globalAgent;
    LaunchJob apple = agent(s("com.apple.thing"), {s("/bin/true")});
    for (const LaunchJob& job : {global, apple}) {
        const ActionResult result = JobActions::disableJob(job, context());
        ASSERT_TRUE(result) << job.label.toStdString();
        EXPECT_EQ(result->message, s("Only your own launch agents can be disabled."));
        EXPECT_TRUE(QFile::exists(job.plistPath));
    }
    EXPECT_EQ(tools.callCount({s("launchctl"), s("bootout")}), 0);
}

TEST_F(JobActionsTest, AFailedBootoutLeavesTheDefinitionInPlace) {
    const LaunchJob job = agent(s("com.example.stuck"), {s("/bin/true")}, false);
    tools.failVerb(s("bootout"), 5, s("Boot-out failed: 5: Input/output error"));
    const ActionResult result = JobActions::disableJob(job, context());
    ASSERT_TRUE(result);
    EXPECT_EQ(result->message,
              s("launchctl bootout failed (5): Boot-out failed: 5: Input/output error"));
    EXPECT_TRUE(QFile::exists(job.plistPath));
}

TEST_F(JobActionsTest, BootoutOfAJobLaunchdDoesNotKnowSucceeds) {
    EXPECT_EQ(JobActions::bootoutJob(s("com.example.unknown"), context()), std::nullopt);
    tools.failVerb(s("bootout"), 9, s("Could not find service: No such process"));
    EXPECT_EQ(JobActions::bootoutJob(s("com.example.unknown"), context()), std::nullopt);
    tools.failVerb(s("bootout"), 36, s("Operation now in progress"));
    EXPECT_EQ(JobActions::bootoutJob(s("com.example.unknown"), context()), std::nullopt);
}

TEST_F(JobActionsTest, ParkingOverAnOlderCopySendsThatCopyToTheTrash) {
    const LaunchJob job = agent(s("com.example.twice"), {s("/bin/true")}, false);
    const QByteArray current = readAll(job.plistPath);
    writeFile(parking() + s("/com.example.twice.plist"), "older copy");

    ASSERT_EQ(JobActions::disableJob(job, context()), std::nullopt);
    EXPECT_EQ(readAll(parking() + s("/com.example.twice.plist")), current);
    EXPECT_EQ(readAll(trashFiles() + s("/com.example.twice.plist")), QByteArray("older copy"));
}

TEST_F(JobActionsTest, ReenableNeverOverwritesADefinitionInLaunchAgents) {
    const LaunchJob job = agent(s("com.example.both"), {s("/bin/true")}, false);
    ASSERT_EQ(JobActions::disableJob(job, context()), std::nullopt);
    const std::optional<LaunchJob> parked = scanned(job.label);
    ASSERT_TRUE(parked);
    writeFile(job.plistPath, "a new definition");

    const ActionResult result = JobActions::reenableJob(*parked, context());
    ASSERT_TRUE(result);
    EXPECT_EQ(result->message, s("com.example.both.plist already exists in LaunchAgents."));
    EXPECT_EQ(readAll(job.plistPath), QByteArray("a new definition"));
    EXPECT_TRUE(QFile::exists(parked->plistPath));
}

TEST_F(JobActionsTest, DisableRefusesAJobThatIsAlreadyParked) {
    const LaunchJob job = agent(s("com.example.parked"), {s("/bin/true")}, false);
    ASSERT_EQ(JobActions::disableJob(job, context()), std::nullopt);
    const std::optional<LaunchJob> parked = scanned(job.label);
    ASSERT_TRUE(parked && parked->isParkedByQuillmarsh);
    const ActionResult result = JobActions::disableJob(*parked, context());
    ASSERT_TRUE(result);
    EXPECT_EQ(result->message, s("This job is already disabled by Quillmarsh."));
    EXPECT_TRUE(QFile::exists(parked->plistPath));
}

TEST_F(JobActionsTest, ReenableRefusesAJobThatIsNotParked) {
    const LaunchJob job = agent(s("com.example.active"), {s("/bin/true")}, false);
    const ActionResult result = JobActions::reenableJob(job, context());
    ASSERT_TRUE(result);
    EXPECT_EQ(result->message, s("This job is not disabled by Quillmarsh."));
}

TEST_F(JobActionsTest, AFailedBootstrapKeepsTheRestoredDefinition) {
    const LaunchJob job = agent(s("com.example.refused"), {s("/bin/true")}, false);
    ASSERT_EQ(JobActions::disableJob(job, context()), std::nullopt);
    tools.failVerb(s("bootstrap"), 119, s("Bootstrap failed: 119: Service is disabled"));
    const ActionResult result = JobActions::reenableJob(*scanned(job.label), context());
    ASSERT_TRUE(result);
    EXPECT_EQ(result->message,
              s("launchctl bootstrap failed (119): Bootstrap failed: 119: Service is disabled"));
    EXPECT_TRUE(QFile::exists(job.plistPath));
}

TEST_F(JobActionsTest, StartKickstartsAListedJobAndBootstrapsAnyOther) {
    const LaunchJob job = agent(s("com.example.start"), {s("/bin/sleep"), s("300")}, false);
    const ActionResult unlisted = JobActions::startJob(job, true, context());
    ASSERT_TRUE(unlisted);
    EXPECT_TRUE(unlisted->message.startsWith(s("launchctl kickstart failed (113): ")));

    ASSERT_EQ(JobActions::startJob(job, false, context()), std::nullopt);
    EXPECT_EQ(tools.callCount({s("launchctl"), s("bootstrap")}), 1);
    ASSERT_EQ(JobActions::startJob(job, true, context()), std::nullopt);
    const std::optional<Pid> pid = tools.jobPid(job.label);
    ASSERT_TRUE(pid);
    EXPECT_TRUE(StandIns::isAlive(*pid));
}

TEST_F(JobActionsTest, EnableClearsLaunchdsMarkOrSaysWhyNot) {
    tools.setDisabled(s("com.example.off"));
    ASSERT_EQ(JobActions::enableJob(s("com.example.off"), context()), std::nullopt);
    EXPECT_FALSE(tools.state()[s("disabled")].toObject()[s("com.example.off")].toBool());

    tools.failVerb(s("enable"), 1, s("Not privileged"));
    const ActionResult result = JobActions::enableJob(s("com.example.off"), context());
    ASSERT_TRUE(result);
    EXPECT_EQ(result->message, s("launchctl enable failed (1): Not privileged"));
}

TEST_F(JobActionsTest, SimulatorShutdownAddressesOneDeviceOrAll) {
    ASSERT_EQ(JobActions::shutdownSimulator(s("ABC-123"), context()), std::nullopt);
    ASSERT_EQ(JobActions::shutdownSimulator(std::nullopt, context()), std::nullopt);
    EXPECT_EQ(tools.callCount({s("xcrun"), s("simctl"), s("shutdown"), s("ABC-123")}), 1);
    EXPECT_EQ(tools.callCount({s("xcrun"), s("simctl"), s("shutdown"), s("all")}), 1);

    tools.setSimctlStatus(149);
    tools.failVerb(s("simctl"), 149, s("No devices are booted."));
    const ActionResult result = JobActions::shutdownSimulator(std::nullopt, context());
    ASSERT_TRUE(result);
    EXPECT_EQ(result->message, s("simctl shutdown failed: No devices are booted."));
}

// Whatever order of actions a user takes, no definition is ever lost: each
// version written stays, byte for byte, in LaunchAgents, the parking folder
// or the Trash.
TEST_F(JobActionsTest, NoSequenceOfActionsLosesADefinition) {
    const QStringList labels{s("com.example.a"), s("com.example.b"), s("com.example.c")};
    QList<QByteArray> written;
    int version = 0;
    QDir().mkpath(agents());
    const auto writeVersion = [&](const QString& label) {
        const QString path = agents() + u'/' + label + s(".plist");
        ASSERT_TRUE(
            StandIns::writePlist(path, label, {s("/bin/true")}, false,
                                 s("<key>Version</key><integer>%1</integer>").arg(++version)));
        written.append(readAll(path));
    };
    for (const QString& label : labels)
        writeVersion(label);

    const auto everyDefinitionIsKept = [&] {
        QList<QByteArray> present;
        for (const QString& folder : {agents(), parking(), trashFiles()}) {
            for (const QFileInfo& file : QDir(folder).entryInfoList(QDir::Files))
                present.append(readAll(file.absoluteFilePath()));
        }
        for (const QByteArray& definition : written) {
            if (!present.contains(definition))
                return false;
        }
        return true;
    };

    std::mt19937 random(20261206);
    for (int step = 0; step < 150; ++step) {
        const QString label = labels[static_cast<int>(random() % labels.size())];
        const std::optional<LaunchJob> job = scanned(label);
        switch (random() % 5) {
        case 0:
            if (job)
                JobActions::disableJob(*job, context());
            break;
        case 1:
            if (job)
                JobActions::reenableJob(*job, context());
            break;
        case 2:
            if (job)
                JobActions::startJob(*job, false, context());
            break;
        case 3:
            JobActions::bootoutJob(label, context());
            break;
        case 4:
            // A new definition appears while an older one may be parked.
            if (!QFile::exists(agents() + u'/' + label + s(".plist")))
                writeVersion(label);
            break;
        }
        ASSERT_TRUE(everyDefinitionIsKept()) << "after step " << step;
    }
}
