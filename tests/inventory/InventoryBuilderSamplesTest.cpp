// The builder over real launchd state: the shared sample plists (scanned as
// the global agents folder) and real `launchctl list` and disabled-set
// outputs, with one process for every pid launchctl reports.

#include <ostream>

#include <QCollator>
#include <QFile>
#include <QSet>
#include <QString>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "inventory/InventoryBuilder.h"
#include "launchd/CommandParsers.h"
#include "launchd/JobScanner.h"
#include "support/InventorySamples.h"
#include "support/TestPaths.h"

void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

using namespace InventorySamples;
using namespace Qt::StringLiterals;

namespace {

QString readText(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

class BuilderSamplesTest : public testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        const auto samples = TestPaths::launchdSamples();
        if (!samples)
            GTEST_SKIP() << "no shared launchd samples";
        ASSERT_TRUE(home.isValid());
        JobScanner::JobFolders folders;
        folders.home = home.path();
        folders.globalAgents = *samples + u"/plists"_s;
        folders.globalDaemons = home.path() + u"/none"_s;

        input = baseSample();
        input.includeApple = true;
        input.jobs = JobScanner::scanJobs(folders);
        input.launchctl = CommandParsers::parseLaunchctlList(
            readText(*samples + u"/outputs/"_s + QString::fromUtf8(GetParam())));
        input.disabled =
            CommandParsers::parseDisabled(readText(*samples + u"/outputs/print-disabled-3.txt"_s));
        ASSERT_FALSE(input.jobs.isEmpty());
        ASSERT_FALSE(input.launchctl.empty());

        QHash<QString, const LaunchJob*> jobs;
        for (const LaunchJob& job : input.jobs)
            jobs.insert(job.label, &job);
        for (const auto& [label, entry] : input.launchctl) {
            if (!entry.pid || *entry.pid <= 1 || input.processes.count(*entry.pid))
                continue;
            const LaunchJob* job = jobs.value(label);
            const QString path =
                job && job->program ? *job->program : u"/usr/libexec/"_s + label.section(u'.', -1);
            add(input, withUid(process(*entry.pid, 1, path),
                               label.startsWith(u"com.apple."_s) ? rootUid : userUid));
        }
    }

    QTemporaryDir home;
    SampleInput input;
};

TEST_P(BuilderSamplesTest, EveryProcessAndEveryJobHasItsPlace) {
    const Inventory inventory = InventoryBuilder::build(input);
    ASSERT_GT(inventory.running.size(), 50);
    ASSERT_GT(inventory.notRunning.size(), 20);

    // Ids are unique across both lists.
    QSet<QString> ids;
    for (const auto* list : {&inventory.running, &inventory.notRunning}) {
        for (const BackgroundItem& item : *list) {
            EXPECT_FALSE(ids.contains(item.id)) << item.id.toStdString();
            ids.insert(item.id);
        }
    }

    // Every process is a member of exactly one running item.
    QSet<Pid> members;
    for (const BackgroundItem& item : inventory.running) {
        ASSERT_TRUE(item.primary);
        EXPECT_EQ(item.members.first(), *item.primary);
        EXPECT_EQ(item.state, BackgroundItem::State::running);
        for (const ProcSnapshot& member : item.members) {
            EXPECT_FALSE(members.contains(member.pid)) << member.pid;
            members.insert(member.pid);
        }
    }
    EXPECT_EQ(members.size(), qsizetype(input.processes.size()) - 2); // without kernel and launchd

    // Items that are not running have no process and no origin.
    QSet<QString> notRunningLabels;
    for (const BackgroundItem& item : inventory.notRunning) {
        EXPECT_EQ(item.kind, BackgroundItem::Kind::job) << item.id.toStdString();
        EXPECT_FALSE(item.primary);
        EXPECT_TRUE(item.members.isEmpty());
        EXPECT_EQ(item.memory, 0u);
        EXPECT_FALSE(item.cpuPercent);
        EXPECT_EQ(item.origin.kind, Origin::Case::unknown);
        EXPECT_TRUE(item.ancestry.isEmpty());
        EXPECT_FALSE(item.explanation.isEmpty()) << item.id.toStdString();
        EXPECT_FALSE(item.id.startsWith(u"job:com.apple."_s)) << item.id.toStdString();
        EXPECT_FALSE(item.id.startsWith(u"job:application."_s)) << item.id.toStdString();
        notRunningLabels.insert(item.job ? item.job->label : item.launchLabel.value_or(QString()));
    }

    // Every job without a live label is listed; every live one is not.
    for (const LaunchJob& job : input.jobs) {
        if (job.label.startsWith(u"com.apple."_s))
            continue;
        const auto entry = input.launchctl.find(job.label);
        const bool live = entry != input.launchctl.end() && entry->second.pid;
        EXPECT_EQ(notRunningLabels.contains(job.label), !live || job.isParkedByQuillmarsh)
            << job.label.toStdString();
    }
    // Every label launchctl knows without a pid or a plist is listed.
    QSet<QString> jobLabels;
    for (const LaunchJob& job : input.jobs)
        jobLabels.insert(job.label);
    for (const auto& [label, entry] : input.launchctl) {
        if (entry.pid || label.startsWith(u"com.apple."_s) || label.startsWith(u"application."_s) ||
            jobLabels.contains(label))
            continue;
        EXPECT_TRUE(ids.contains(u"job:"_s + label)) << label.toStdString();
    }

    // Largest first, then by name.
    for (qsizetype i = 1; i < inventory.running.size(); ++i)
        EXPECT_GE(inventory.running[i - 1].memory, inventory.running[i].memory);
    QCollator collator(QLocale(QLocale::English, QLocale::UnitedStates));
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    collator.setNumericMode(true);
    for (qsizetype i = 1; i < inventory.notRunning.size(); ++i)
        EXPECT_LE(collator.compare(inventory.notRunning[i - 1].name, inventory.notRunning[i].name),
                  0)
            << inventory.notRunning[i - 1].name.toStdString() << " / "
            << inventory.notRunning[i].name.toStdString();

    // Hiding Apple's items leaves the rest as it was.
    SampleInput hidden = input;
    hidden.includeApple = false;
    const Inventory visible = InventoryBuilder::build(hidden);
    QList<BackgroundItem> expected;
    for (const BackgroundItem& item : inventory.running) {
        if (!item.isApple)
            expected.append(item);
    }
    EXPECT_EQ(visible.running, expected);
    EXPECT_EQ(visible.notRunning, inventory.notRunning);
}

INSTANTIATE_TEST_SUITE_P(Outputs, BuilderSamplesTest,
                         testing::Values("launchctl-list-7.txt", "launchctl-list-8.txt"));

} // namespace
