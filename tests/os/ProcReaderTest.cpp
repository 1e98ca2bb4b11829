#include <cstring>

#include <gtest/gtest.h>

#include "os/ProcReader.h"
#include "support/FakeProcPlatform.h"

namespace {

using ProcReader::StaticInfo;
using ProcReader::StaticInfoCache;

// An argument area: count, executable path, padding, then `strings` verbatim.
QByteArray area(qint32 count, const QByteArray& strings,
                const QByteArray& executable = "/bin/tool") {
    QByteArray bytes(4, '\0');
    std::memcpy(bytes.data(), &count, sizeof count);
    bytes += executable;
    bytes += QByteArray(3, '\0');
    bytes += strings;
    return bytes;
}

QByteArray bytesOf(const char* text, size_t size) {
    return QByteArray(text, static_cast<qsizetype>(size));
}

struct ArgumentCase {
    const char* name;
    QByteArray bytes;
    QStringList expected;
};

TEST(ProcReaderParseArguments, Table) {
    const QString replacement(QChar(0xFFFD));
    const std::vector<ArgumentCase> cases = {
        {"empty", QByteArray(), {}},
        {"exactly four bytes", QByteArray(4, '\1'), {}},
        {"count only and one byte", area(1, QByteArray(), QByteArray()).left(5), {}},
        {"path without arguments", area(0, QByteArray()), {}},
        {"path then padding to the end", area(2, QByteArray()), {}},
        {"two strings", area(2, bytesOf("tool\0-v\0", 8)), {"tool", "-v"}},
        {"count 3 but only two strings", area(3, bytesOf("tool\0-v\0", 8)), {"tool", "-v"}},
        {"environment after the arguments is not read",
         area(1, bytesOf("tool\0HOME=/x\0", 13)),
         {"tool"}},
        {"two NULs in a row give an empty argument",
         area(3, bytesOf("tool\0\0last\0", 11)),
         {"tool", "", "last"}},
        {"last string runs to the end", area(2, QByteArray("tool\0tail", 9)), {"tool", "tail"}},
        {"negative count", area(-1, bytesOf("tool\0", 5)), {}},
        {"blank inside an argument",
         area(2, bytesOf("tool\0with blank\0", 16)),
         {"tool", "with blank"}},
        {"invalid UTF-8 is replaced",
         area(2, bytesOf("tool\0caf\xe9\0", 9)),
         {"tool", "caf" + replacement}},
        {"no NUL after the path", area(1, QByteArray(), "/bin/tool").left(13), {}},
    };
    for (const ArgumentCase& c : cases)
        EXPECT_EQ(ProcReader::parseArguments(c.bytes), c.expected) << c.name;
}

FakeProcess process(Uid uid, const char* name, std::optional<double> start, const char* path = "",
                    QStringList arguments = {}, const char* cwd = "/home/someone") {
    FakeProcess p;
    p.basics = ProcReader::Basics{1, uid, QString::fromUtf8(name), start};
    p.cpuTicks = 100;
    p.memory = 4096;
    if (*path)
        p.path = QString::fromUtf8(path);
    p.arguments = std::move(arguments);
    p.workingDirectory = QString::fromUtf8(cwd);
    return p;
}

TEST(ProcReaderAllPids, DropsPidZeroAndNegativeEntries) {
    FakeProcPlatform platform;
    platform.pidList = {0, 1, -3, 42, 7};
    EXPECT_EQ(ProcReader::allPids(platform), (std::vector<Pid>{1, 42, 7}));
    platform.pidList.clear();
    EXPECT_TRUE(ProcReader::allPids(platform).empty());
}

TEST(ProcReaderTicks, MultipliesBeforeDividingAndTreatsZeroDenominatorAsOne) {
    FakeProcPlatform platform;
    platform.base = Timebase{125, 3};
    EXPECT_EQ(ProcReader::ticksToNanos(3, platform), 125u);
    EXPECT_EQ(ProcReader::ticksToNanos(1, platform), 41u);
    platform.base = Timebase{7, 0};
    EXPECT_EQ(ProcReader::ticksToNanos(6, platform), 42u);
}

TEST(ProcReaderSnapshot, NamesFromPathOrKernel) {
    FakeProcPlatform platform;
    platform.base = Timebase{10, 1};
    platform.add(10, process(501, "short", 100.5, "/opt/tools/bin/worker"));
    platform.add(11, process(501, "kernelname", std::nullopt));

    const auto withPath = ProcReader::snapshot(10, nullptr, platform);
    ASSERT_TRUE(withPath);
    EXPECT_EQ(withPath->name, "worker");
    EXPECT_EQ(withPath->path, "/opt/tools/bin/worker");
    EXPECT_EQ(withPath->startDate, 100.5);
    EXPECT_EQ(withPath->cpuNanos, 1000u);
    EXPECT_EQ(withPath->memory, 4096u);
    EXPECT_TRUE(withPath->arguments.isEmpty());
    EXPECT_FALSE(withPath->workingDirectory);

    const auto withoutPath = ProcReader::snapshot(11, nullptr, platform);
    ASSERT_TRUE(withoutPath);
    EXPECT_EQ(withoutPath->name, "kernelname");
    EXPECT_EQ(withoutPath->path, "");
    EXPECT_FALSE(withoutPath->startDate);

    EXPECT_FALSE(ProcReader::snapshot(12, nullptr, platform));
    EXPECT_EQ(platform.openHandles, 0);
}

TEST(ProcReaderSnapshot, UnreadableUsageLeavesMemoryAndCpuAbsent) {
    FakeProcPlatform platform;
    FakeProcess p = process(501, "idle", 5.0);
    p.cpuTicks.reset();
    p.memory.reset();
    platform.add(3, p);
    const auto snap = ProcReader::snapshot(3, nullptr, platform);
    ASSERT_TRUE(snap);
    EXPECT_FALSE(snap->memory);
    EXPECT_FALSE(snap->cpuNanos);
}

TEST(ProcReaderSnapshot, CachedPathOnlyForTheSameStartAndWhenNotEmpty) {
    FakeProcPlatform platform;
    platform.add(10, process(501, "w", 100.0, "/real/path"));
    platform.add(11, process(501, "w", std::nullopt, "/real/other"));

    const StaticInfo same{100.0, "/cached/path", {}};
    EXPECT_EQ(ProcReader::snapshot(10, &same, platform)->path, "/cached/path");
    EXPECT_EQ(platform.pathReads[10], 0);

    const StaticInfo reused{99.0, "/cached/path", {}};
    EXPECT_EQ(ProcReader::snapshot(10, &reused, platform)->path, "/real/path");

    const StaticInfo empty{100.0, "", {}};
    EXPECT_EQ(ProcReader::snapshot(10, &empty, platform)->path, "/real/path");
    EXPECT_EQ(platform.pathReads[10], 2);

    // Two absent start times count as the same process.
    const StaticInfo bothAbsent{std::nullopt, "/cached/other", {}};
    EXPECT_EQ(ProcReader::snapshot(11, &bothAbsent, platform)->path, "/cached/other");
    const StaticInfo oneAbsent{std::nullopt, "/cached/path", {}};
    EXPECT_EQ(ProcReader::snapshot(10, &oneAbsent, platform)->path, "/real/path");
}

class ProcReaderReadAll : public ::testing::Test {
protected:
    FakeProcPlatform platform;
    StaticInfoCache cache;
};

TEST_F(ProcReaderReadAll, ReadsArgumentsAndDirectoryOnlyForOwnNonSystemProcesses) {
    platform.add(1, process(0, "launchd", 1.0, "/sbin/launchd", {"/sbin/launchd"}, "/"));
    platform.add(20, process(501, "Finder", 2.0, "/System/Library/Finder", {"Finder"}));
    platform.add(21, process(501, "helper", 3.0, "/usr/libexec/helper", {"helper"}));
    platform.add(22, process(501, "node", 4.0, "/usr/local/bin/node", {"node", "serve.js"},
                             "/home/someone/app"));
    platform.add(23, process(502, "other", 5.0, "/usr/local/bin/other", {"other"}));

    const ProcessTable table = ProcReader::readAll(cache, platform);
    ASSERT_EQ(table.size(), 5u);
    for (const Pid pid : {1, 20, 21, 23}) {
        EXPECT_TRUE(table.at(pid).arguments.isEmpty()) << pid;
        EXPECT_FALSE(table.at(pid).workingDirectory) << pid;
        EXPECT_EQ(platform.argumentReads[pid], 0) << pid;
        EXPECT_EQ(platform.directoryReads[pid], 0) << pid;
    }
    EXPECT_EQ(table.at(22).arguments, (QStringList{"node", "serve.js"}));
    EXPECT_EQ(table.at(22).workingDirectory, "/home/someone/app");
    EXPECT_EQ(table.at(22).name, "node");
    EXPECT_EQ(cache.at(22), (StaticInfo{4.0, "/usr/local/bin/node", {"node", "serve.js"}}));
    EXPECT_EQ(cache.at(20), (StaticInfo{2.0, "/System/Library/Finder", {}}));
    EXPECT_EQ(platform.openHandles, 0);
}

TEST_F(ProcReaderReadAll, PathlessProcessTakesAnAbsoluteFirstArgument) {
    platform.add(30, process(501, "kname", 1.0, "", {"/opt/app/bin/daemon", "-f"}));
    platform.add(31, process(501, "kname2", 1.0, "", {"daemon", "-f"}));
    const ProcessTable table = ProcReader::readAll(cache, platform);
    EXPECT_EQ(table.at(30).path, "/opt/app/bin/daemon");
    EXPECT_EQ(table.at(30).name, "daemon");
    EXPECT_EQ(table.at(31).path, "");
    EXPECT_EQ(table.at(31).name, "kname2");
    EXPECT_EQ(cache.at(30).path, "/opt/app/bin/daemon");
}

TEST_F(ProcReaderReadAll, SteadyPassServesPathAndArgumentsFromTheCache) {
    platform.add(40, process(501, "a", 10.0, "/bin/a", {"a", "x"}));
    platform.add(41, process(501, "b", 11.0, "", {"b"}));
    const ProcessTable first = ProcReader::readAll(cache, platform);
    platform.resetCounts();

    const ProcessTable second = ProcReader::readAll(cache, platform);
    EXPECT_EQ(first, second);
    EXPECT_EQ(platform.pathReads[40], 0);
    EXPECT_EQ(platform.argumentReads[40], 0);
    EXPECT_EQ(platform.argumentReads[41], 0);
    // An empty cached path is asked for again; the directory is read every pass.
    EXPECT_EQ(platform.pathReads[41], 1);
    EXPECT_EQ(platform.directoryReads[40], 1);
    EXPECT_EQ(platform.directoryReads[41], 1);
    // No uncached argument read, so no argument buffer.
    EXPECT_TRUE(platform.argumentBufferSizes.empty());
}

TEST_F(ProcReaderReadAll, ReusedPidReplacesTheCacheEntry) {
    platform.add(50, process(501, "old", 10.0, "/bin/old", {"old", "--flag"}));
    ProcReader::readAll(cache, platform);

    platform.processes[50] = process(501, "new", 20.0, "/bin/new", {"new"});
    platform.resetCounts();
    const ProcessTable table = ProcReader::readAll(cache, platform);
    EXPECT_EQ(table.at(50).path, "/bin/new");
    EXPECT_EQ(table.at(50).arguments, QStringList{"new"});
    EXPECT_EQ(platform.pathReads[50], 1);
    EXPECT_EQ(platform.argumentReads[50], 1);
    EXPECT_EQ(cache.at(50), (StaticInfo{20.0, "/bin/new", {"new"}}));
}

TEST_F(ProcReaderReadAll, AbsentStartTimesStillValidateTheCache) {
    platform.add(55, process(501, "nostart", std::nullopt, "/bin/nostart", {"nostart"}));
    ProcReader::readAll(cache, platform);
    platform.resetCounts();
    ProcReader::readAll(cache, platform);
    EXPECT_EQ(platform.argumentReads[55], 0);
    EXPECT_EQ(platform.pathReads[55], 0);
}

TEST_F(ProcReaderReadAll, VanishedProcessesLeaveResultAndCache) {
    platform.add(60, process(501, "a", 1.0, "/bin/a"));
    platform.add(61, process(501, "b", 1.0, "/bin/b"));
    platform.add(62, process(501, "c", 1.0, "/bin/c"));
    ProcReader::readAll(cache, platform);
    ASSERT_EQ(cache.size(), 3u);

    // 61 exits while 60 is being read; 62 is listed but gone before it is opened.
    platform.onOpen = [this](Pid pid) {
        if (pid == 60)
            platform.processes.erase(61);
    };
    platform.processes.erase(62);
    const ProcessTable table = ProcReader::readAll(cache, platform);
    EXPECT_EQ(table.size(), 1u);
    EXPECT_TRUE(table.contains(60));
    EXPECT_EQ(cache.size(), 1u);
    EXPECT_TRUE(cache.contains(60));
    EXPECT_EQ(platform.openHandles, 0);
}

TEST_F(ProcReaderReadAll, EmptyWorkingDirectoryIsAbsent) {
    platform.add(80, process(501, "a", 1.0, "/bin/a", {"a"}, ""));
    const ProcessTable table = ProcReader::readAll(cache, platform);
    EXPECT_FALSE(table.at(80).workingDirectory);
}

class ProcReaderPorts : public ::testing::Test {
protected:
    FakeProcPlatform platform;
    ProcReader::SocketOwnerCache owners;

    void listener(Pid pid, double start, std::vector<quint64> sockets, int otherFiles = 3) {
        FakeProcess p = process(501, "srv", start, "/bin/srv");
        for (int fd = 0; fd < otherFiles; ++fd)
            p.descriptors.push_back(DescriptorRecord{fd, 0});
        for (const quint64 socket : sockets)
            p.descriptors.push_back(
                DescriptorRecord{static_cast<qint32>(p.descriptors.size()), socket});
        platform.add(pid, p);
    }
    size_t scans() const {
        size_t count = 0;
        for (const auto& [pid, sizes] : platform.descriptorBufferSizes)
            count += sizes.size();
        return count;
    }
};

TEST_F(ProcReaderPorts, SortedWithoutDuplicatesOnlyForTheGivenPids) {
    // 900 and 901 listen on port 8080 over IPv4 and IPv6.
    platform.sockets = {{900, 8080}, {901, 8080}, {902, 22}, {903, 5000}, {904, 9999}};
    listener(10, 1.0, {901, 900, 902, 999});
    listener(11, 1.0, {903});
    listener(12, 1.0, {});
    listener(13, 1.0, {904});

    const PortMap ports = ProcReader::listeningPorts({10, 11, 12}, owners, platform);
    EXPECT_EQ(ports, (PortMap{{10, {22, 8080}}, {11, {5000}}}));
    EXPECT_EQ(platform.openHandles, 0);
}

TEST_F(ProcReaderPorts, ManyDescriptorsGrowTheBufferOnce) {
    platform.sockets = {{700, 3000}, {701, 3001}};
    listener(20, 1.0, {700}, 300);
    listener(21, 1.0, {701}, 5);

    const PortMap ports = ProcReader::listeningPorts({20, 21}, owners, platform);
    EXPECT_EQ(ports, (PortMap{{20, {3000}}, {21, {3001}}}));
    EXPECT_EQ(platform.descriptorBufferSizes[20], (std::vector<size_t>{256, 4096}));
    // The grown buffer is kept for the rest of the call.
    EXPECT_EQ(platform.descriptorBufferSizes[21], (std::vector<size_t>{4096}));
}

TEST_F(ProcReaderPorts, UnchangedMachineScansNoDescriptors) {
    platform.sockets = {{700, 3000}, {800, 22}};
    listener(20, 1.0, {700});
    listener(21, 1.0, {});
    // 22 is not asked about (another user's, say); its socket stays unowned.
    listener(22, 1.0, {800});
    const PortMap first = ProcReader::listeningPorts({20, 21}, owners, platform);
    platform.resetCounts();

    EXPECT_EQ(ProcReader::listeningPorts({20, 21}, owners, platform), first);
    EXPECT_EQ(scans(), 0u);
}

TEST_F(ProcReaderPorts, NewListeningSocketTriggersARescan) {
    platform.sockets = {{700, 3000}};
    listener(20, 1.0, {700});
    listener(21, 1.0, {});
    ProcReader::listeningPorts({20, 21}, owners, platform);

    platform.sockets.push_back({701, 4000});
    platform.processes[21].descriptors.push_back(DescriptorRecord{9, 701});
    platform.resetCounts();
    const PortMap ports = ProcReader::listeningPorts({20, 21}, owners, platform);
    EXPECT_EQ(ports, (PortMap{{20, {3000}}, {21, {4000}}}));
    EXPECT_EQ(scans(), 1u); // 21, not searched before, first
}

TEST_F(ProcReaderPorts, ClosedSocketDisappearsWithoutARescan) {
    platform.sockets = {{700, 3000}, {701, 3001}};
    listener(20, 1.0, {700, 701});
    ProcReader::listeningPorts({20}, owners, platform);

    platform.sockets = {{701, 3001}};
    platform.resetCounts();
    EXPECT_EQ(ProcReader::listeningPorts({20}, owners, platform), (PortMap{{20, {3001}}}));
    EXPECT_EQ(scans(), 0u);
}

TEST_F(ProcReaderPorts, GoneOrReusedOwnerTriggersARescan) {
    platform.sockets = {{700, 3000}, {701, 3001}};
    listener(20, 1.0, {700});
    listener(21, 1.0, {701});
    ProcReader::listeningPorts({20, 21}, owners, platform);

    // 21 exits and its socket lives on in 22, which got it from 21 (not a fork).
    platform.remove(21);
    listener(22, 2.0, {701});
    platform.resetCounts();
    EXPECT_EQ(ProcReader::listeningPorts({20, 22}, owners, platform),
              (PortMap{{20, {3000}}, {22, {3001}}}));
    EXPECT_EQ(scans(), 1u); // the new process, where the socket is found

    // 20 is replaced by a new process with the same pid that holds no socket,
    // while the old socket lives on elsewhere.
    platform.remove(20);
    listener(20, 5.0, {});
    platform.processes[22].descriptors.push_back(DescriptorRecord{9, 700});
    platform.resetCounts();
    EXPECT_EQ(ProcReader::listeningPorts({20, 22}, owners, platform),
              (PortMap{{22, {3000, 3001}}}));
    EXPECT_EQ(scans(), 2u);
}

TEST_F(ProcReaderPorts, ASharedSocketKeepsItsKnownHolder) {
    platform.sockets = {{700, 3000}};
    listener(20, 1.0, {700});
    ProcReader::listeningPorts({20}, owners, platform);

    listener(23, 3.0, {700}); // a forked worker sharing the listening socket
    platform.resetCounts();
    // The socket still has its holder: no search, and one process has the port.
    EXPECT_EQ(ProcReader::listeningPorts({20, 23}, owners, platform), (PortMap{{20, {3000}}}));
    EXPECT_EQ(scans(), 0u);
}

TEST_F(ProcReaderPorts, UnreadableSocketsOrDescriptorsYieldNothing) {
    platform.sockets = {{700, 3000}};
    listener(20, 1.0, {700});
    platform.socketsReadable = false;
    EXPECT_TRUE(ProcReader::listeningPorts({20}, owners, platform).empty());

    platform.socketsReadable = true;
    EXPECT_TRUE(ProcReader::listeningPorts({99}, owners, platform).empty());
    EXPECT_EQ(ProcReader::listeningPorts({20, 99}, owners, platform), (PortMap{{20, {3000}}}));
}

} // namespace
