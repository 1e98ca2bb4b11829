#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "sampling/Sampler.h"

using namespace std::chrono_literals;

namespace {

using Clock = Sampler::Clock;

ProcSnapshot process(Pid pid, std::optional<quint64> cpuNanos, Pid ppid = 1) {
    ProcSnapshot snapshot;
    snapshot.pid = pid;
    snapshot.ppid = ppid;
    snapshot.name = QStringLiteral("p%1").arg(pid);
    snapshot.cpuNanos = cpuNanos;
    return snapshot;
}

ProcessTable table(std::initializer_list<ProcSnapshot> processes) {
    ProcessTable result;
    for (const ProcSnapshot& p : processes)
        result[p.pid] = p;
    return result;
}

const Clock::time_point start = Clock::time_point() + 1000s;

} // namespace

TEST(SamplerCpuHistory, FirstPassSetsTheBaselineWithoutShares) {
    Sampler::CpuHistory history;
    Sampler::updateCpuHistory(history, table({process(10, 5'000), process(11, std::nullopt)}),
                              start);
    EXPECT_FALSE(history.lastCPU);
    EXPECT_EQ(history.previousTime, start);
    // A process without CPU time has no baseline.
    EXPECT_EQ(history.previousCPU, (std::map<Pid, quint64>{{10, 5'000}}));
}

TEST(SamplerCpuHistory, SharesArePercentOfOneCore) {
    Sampler::CpuHistory history;
    Sampler::updateCpuHistory(history,
                              table({process(10, 1'000'000'000), process(11, 0), process(12, 7),
                                     process(13, 900), process(14, 5)}),
                              start);
    Sampler::updateCpuHistory(history,
                              table({
                                  process(10, 2'500'000'000), // 1.5 s of CPU in 3 s
                                  process(11, 6'000'000'000), // two cores busy
                                  process(12, 7),             // idle
                                  process(13, 100),           // reused pid: CPU time went down
                                  process(14, std::nullopt),  // CPU time unreadable now
                                  process(20, 4'000'000'000), // new process
                              }),
                              start + 3s);
    ASSERT_TRUE(history.lastCPU);
    const std::map<Pid, double>& shares = *history.lastCPU;
    EXPECT_EQ(shares.size(), 3u);
    EXPECT_DOUBLE_EQ(shares.at(10), 50.0);
    EXPECT_DOUBLE_EQ(shares.at(11), 200.0);
    EXPECT_DOUBLE_EQ(shares.at(12), 0.0);
    EXPECT_FALSE(shares.contains(13));
    EXPECT_FALSE(shares.contains(14));
    EXPECT_FALSE(shares.contains(20));
    EXPECT_EQ(history.previousTime, start + 3s);
    // The new baseline holds every process with a CPU time, the new one included.
    EXPECT_EQ(
        history.previousCPU,
        (std::map<Pid, quint64>{
            {10, 2'500'000'000}, {11, 6'000'000'000}, {12, 7}, {13, 100}, {20, 4'000'000'000}}));
}

TEST(SamplerCpuHistory, APassLessThanASecondLaterChangesNothing) {
    Sampler::CpuHistory history;
    Sampler::updateCpuHistory(history, table({process(10, 0)}), start);
    Sampler::updateCpuHistory(history, table({process(10, 2'000'000'000)}), start + 2s);
    const Sampler::CpuHistory before = history;
    ASSERT_TRUE(before.lastCPU);

    Sampler::updateCpuHistory(history, table({process(10, 9'000'000'000), process(11, 1)}),
                              start + 2500ms);
    EXPECT_EQ(history, before);

    // Exactly one second after the baseline counts again.
    Sampler::updateCpuHistory(history, table({process(10, 2'250'000'000)}), start + 3s);
    EXPECT_DOUBLE_EQ(history.lastCPU->at(10), 25.0);
}

TEST(SamplerCpuHistory, AReusedPidNeverGetsANegativeOrImpossibleShare) {
    // The old process had used 10 s of CPU; the pid now belongs to a process that
    // started after the last pass, so it cannot have used more than the interval
    // on every core it could run on.
    Sampler::CpuHistory history;
    Sampler::updateCpuHistory(history, table({process(30, 10'000'000'000)}), start);
    Sampler::updateCpuHistory(history, table({process(30, 12'000'000'000)}), start + 4s);
    ASSERT_TRUE(history.lastCPU);
    const double share = history.lastCPU->at(30);
    EXPECT_GE(share, 0.0);
    EXPECT_LE(share, 100.0);

    Sampler::updateCpuHistory(history, table({process(30, 1'000)}), start + 8s);
    EXPECT_FALSE(history.lastCPU->contains(30));
}

TEST(SamplerGuards, LaunchdChildrenArePidsWhoseParentIsOne) {
    const ProcessTable processes =
        table({process(1, 0, 0), process(50, 0, 1), process(51, 0, 50), process(52, 0, 1)});
    EXPECT_EQ(Sampler::launchdChildrenOf(processes), (QSet<Pid>{50, 52}));
    EXPECT_TRUE(Sampler::launchdChildrenOf({}).isEmpty());
}

TEST(SamplerGuards, FolderStampsCompareEntryByEntry) {
    using Stamps = QList<std::optional<Timestamp>>;
    const Stamps four = {1.5, std::nullopt, 3.0, 4.0};
    struct Case {
        Stamps a;
        Stamps b;
        bool same;
    };
    const Case cases[] = {
        {four, four, true},
        {{}, {}, true},
        {{}, four, false}, // nothing scanned yet
        {four, {1.5, std::nullopt, 3.0}, false},
        {four, {1.5, 2.0, 3.0, 4.0}, false}, // a folder appeared
        {four, {1.5, std::nullopt, 3.25, 4.0}, false},
        {{std::nullopt}, {std::nullopt}, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Sampler::sameStamps(c.a, c.b), c.same);
        EXPECT_EQ(Sampler::sameStamps(c.b, c.a), c.same);
    }
}

TEST(SamplerLoginItems, OnlyACompleteDumpIsRead) {
    const QString dump = QStringLiteral("========================\n"
                                        " Records for UID 501 : 00000000-0000\n"
                                        "========================\n");
    const Uid uid = 501;
    EXPECT_TRUE(Sampler::loginItemsFrom({0, dump, {}}, uid));
    // Authorisation cancelled, tool missing, timed out.
    EXPECT_FALSE(Sampler::loginItemsFrom({1, dump, QStringLiteral("cancelled")}, uid));
    EXPECT_FALSE(Sampler::loginItemsFrom({-1, {}, QStringLiteral("No such file")}, uid));
    EXPECT_FALSE(Sampler::loginItemsFrom({-2, dump, QStringLiteral("Timed out")}, uid));
    // Status 0 but not a dump.
    EXPECT_FALSE(Sampler::loginItemsFrom({0, QStringLiteral("usage: sfltool"), {}}, uid));
    EXPECT_FALSE(Sampler::loginItemsFrom({0, {}, {}}, uid));
}

TEST(SamplerResolvePath, ResolvesLinksExceptUnderVolumes) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString real = QDir(dir.path()).canonicalPath();
    const QString target = real + QStringLiteral("/target");
    {
        QFile file(target);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    const QString link = real + QStringLiteral("/link");
    ASSERT_TRUE(QFile::link(target, link));
    const QString chained = real + QStringLiteral("/chained");
    ASSERT_TRUE(QFile::link(link, chained));

    EXPECT_EQ(Sampler::standardResolvePath(link), target);
    EXPECT_EQ(Sampler::standardResolvePath(chained), target);
    EXPECT_EQ(Sampler::standardResolvePath(target), target);
    // Unresolvable paths come back as they are.
    const QString missing = real + QStringLiteral("/missing/tool");
    EXPECT_EQ(Sampler::standardResolvePath(missing), missing);
    EXPECT_EQ(Sampler::standardResolvePath(QString()), QString());
    const QString dangling = real + QStringLiteral("/dangling");
    ASSERT_TRUE(QFile::link(real + QStringLiteral("/nothing"), dangling));
    EXPECT_EQ(Sampler::standardResolvePath(dangling), dangling);
    // Removable volumes are never touched, even when the path does not exist.
    EXPECT_EQ(Sampler::standardResolvePath(QStringLiteral("/Volumes/Disk/App.app/x")),
              QStringLiteral("/Volumes/Disk/App.app/x"));
}
