// Catches: a job definition lost, overwritten or left half-moved by any sequence
// of actions or by a failing launchctl; an agent not the user's own disabled or
// booted out; an older parked copy deleted instead of moved to the Trash.

#include "actions/JobActions.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>

#include <unistd.h>

#include <QDir>
#include <QFile>

#include "launchd/JobScanner.h"
#include "support/Printers.h"
#include "support/StandIns.h"
#include "support/TempHome.h"

namespace {

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A temporary home with the stand-in tools; jobs are read back through the
// scanner as the app sees them.
class JobActionsTest : public ::testing::Test {
protected:
    TempHome home;
    StandIns tools;
    const JobActions::Context context{tools.locations(), static_cast<Uid>(::getuid())};
    const QString agents = home.makeFolder("Library/LaunchAgents");

    LaunchJob agent(const QString& label, const QStringList& program = {"/bin/true"},
                    bool runAtLoad = false) {
        const QString path = agents + '/' + label + ".plist";
        EXPECT_TRUE(StandIns::writePlist(path, label, program, runAtLoad));
        return *JobScanner::parseJob(readAll(path), path, LaunchJob::Domain::userAgent);
    }

    // Every definition of `label`: in LaunchAgents, parked, or both.
    QList<LaunchJob> scanned(const QString& label) const {
        QList<LaunchJob> found = JobScanner::scanJobs({home.path(), "/none", "/none"});
        found.removeIf([&](const LaunchJob& job) { return job.label != label; });
        return found;
    }
};

} // namespace

// Start bootstraps a job launchd does not list and kickstarts one it lists;
// disable stops and parks it, re-enable starts it anew.
TEST_F(JobActionsTest, StartDisableAndReenableALoadedJob) {
    const LaunchJob job = agent("com.example.sleeper", {"/bin/sleep", "300"}, true);
    ASSERT_EQ(JobActions::startJob(job, false, context), std::nullopt);
    const std::optional<Pid> started = tools.jobPid(job.label);
    ASSERT_TRUE(started && StandIns::isAlive(*started));
    ASSERT_EQ(JobActions::startJob(job, true, context), std::nullopt) << "kickstart";

    ASSERT_EQ(JobActions::disableJob(job, context), std::nullopt);
    EXPECT_TRUE(StandIns::waitGone(*started, std::chrono::seconds(10)));
    const QList<LaunchJob> parked = scanned(job.label);
    ASSERT_TRUE(parked.size() == 1 && parked[0].isParkedByQuillmarsh);
    ASSERT_EQ(JobActions::reenableJob(parked[0], context), std::nullopt);
    EXPECT_EQ(scanned(job.label), QList{job});
    EXPECT_TRUE(StandIns::isAlive(tools.jobPid(job.label).value_or(0)));

    // A refused bootstrap leaves the restored definition in place.
    ASSERT_EQ(JobActions::disableJob(job, context), std::nullopt);
    tools.failVerb("bootstrap", 119, "Bootstrap failed: 119: Service is disabled");
    const ActionResult result = JobActions::reenableJob(scanned(job.label).at(0), context);
    EXPECT_TRUE(result && result->message.contains("(119): Bootstrap failed"));
    EXPECT_EQ(scanned(job.label), QList{job});
}

// A global agent and Apple's are refused before anything is booted out; a
// failing boot-out leaves the definition where it was.
TEST_F(JobActionsTest, RefusedAndFailingDisablesLeaveTheDefinitionInPlace) {
    LaunchJob global = agent("com.example.global");
    global.domain = LaunchJob::Domain::globalAgent;
    const LaunchJob jobs[] = {global, agent("com.apple.thing"), agent("com.example.stuck")};
    tools.failVerb("bootout", 5, "Boot-out failed: 5: Input/output error");
    const QStringList before = QDir(agents).entryList(QDir::Files);
    for (const LaunchJob& job : jobs) {
        const ActionResult result = JobActions::disableJob(job, context);
        EXPECT_TRUE(result && !result->message.isEmpty()) << qPrintable(job.label);
        EXPECT_EQ(QDir(agents).entryList(QDir::Files), before) << qPrintable(job.label);
    }
    EXPECT_EQ(tools.callCount({"launchctl", "bootout"}), 1) << "only the failing one";
}

// Whatever order of actions a user takes (disabling a parked copy, re-enabling
// one not parked or over a newer one), each version written stays, byte for
// byte, in LaunchAgents, the parking folder or the Trash (not there yet).
TEST_F(JobActionsTest, NoSequenceOfActionsLosesADefinition) {
    const QStringList labels{"com.example.a", "com.example.b"};
    QList<QByteArray> written;
    const auto writeVersion = [&](const QString& label, const LaunchJob&) {
        // A new definition appears while an older one may be parked.
        const QString path = agents + '/' + label + ".plist";
        const QString version = QString("<key>V</key><integer>%1</integer>").arg(written.size());
        if (!QFile::exists(path) &&
            StandIns::writePlist(path, label, {"/bin/true"}, false, version))
            written.append(readAll(path));
    };
    const std::function<void(const QString&, const LaunchJob&)> actions[] = {
        [&](auto&, auto& job) { JobActions::disableJob(job, context); },
        [&](auto&, auto& job) { JobActions::reenableJob(job, context); },
        [&](auto&, auto& job) { JobActions::startJob(job, false, context); },
        [&](auto& label, auto&) { JobActions::bootoutJob(label, context); }, writeVersion};
    for (const QString& label : labels)
        writeVersion(label, {});

    std::mt19937 random(10); // 80 steps take every action from every state
    for (int step = 0; step < 80; ++step) {
        const QString label = labels[static_cast<int>(random() % labels.size())];
        const QList<LaunchJob> jobs = scanned(label);
        const LaunchJob job =
            jobs.value(static_cast<int>(random() % std::max<qsizetype>(jobs.size(), 1)));
        actions[random() % 5](label, job);
        QList<QByteArray> present;
        for (const QString& folder :
             {agents, agents + "/Disabled", home.path() + "/.local/share/Trash/files"}) {
            for (const QFileInfo& file : QDir(folder).entryInfoList(QDir::Files))
                present.append(readAll(file.absoluteFilePath()));
        }
        for (const QByteArray& version : written)
            ASSERT_TRUE(present.contains(version)) << "after step " << step;
    }
}
