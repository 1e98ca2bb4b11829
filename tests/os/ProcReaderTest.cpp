// The process reader: parsers on text captured from Debian 12, caching and
// socket owners on a scripted platform, a written proc root and the real /proc.

#include "os/ProcReader.h"

#include <cstring>

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <unistd.h>

#include "os/LinuxProcPlatform.h"
#include "support/FakeProcPlatform.h"
#include "support/Printers.h"

namespace {

using ProcReader::StaticInfo;

const QString replacement(QChar(0xFFFD));

TEST(ProcParsers, MacArgumentArea) {
    const auto area = [](qint32 count, QByteArrayView strings) {
        QByteArray bytes(4, '\0');
        std::memcpy(bytes.data(), &count, sizeof count);
        return bytes + QByteArray("/bin/tool\0\0\0", 12) + strings.toByteArray();
    };
    const std::pair<QByteArray, QStringList> cases[] = {
        {QByteArray(), {}},
        {area(0, {}), {}},
        {area(2, QByteArrayView("tool\0-v\0", 8)), {"tool", "-v"}},
        {area(3, QByteArrayView("tool\0-v\0", 8)), {"tool", "-v"}},
        {area(1, QByteArrayView("tool\0HOME=/x\0", 13)), {"tool"}},
        {area(3, QByteArrayView("tool\0\0last\0", 11)), {"tool", "", "last"}},
        {area(2, QByteArrayView("tool\0caf\xe9", 9)), {"tool", "caf" + replacement}},
        {area(-1, QByteArrayView("tool\0", 5)), {}},
        {area(1, {}).left(9), {}},
    };
    for (const auto& [bytes, expected] : cases)
        EXPECT_EQ(ProcReader::parseArguments(bytes), expected) << bytes.toHex().constData();
}

TEST(ProcParsers, LinuxStatFromTheLastParenthesis) {
    const auto cat = LinuxProc::parseStat(
        "14970 (cat) R 14968 14968 3923 0 -1 4194304 100 0 0 0 7 3 0 0 20 0 1 0 84377 3133440 379 "
        "18446744073709551615 93952783110144 93952783130025 140723189212208 0 0 0 0 0 0 0 0 0 "
        "17\n");
    EXPECT_EQ(cat, (LinuxProc::Stat{14968, "cat", 4194304, 10, 84377, 379}));
    const auto odd = LinuxProc::parseStat(
        "77 (a) b (c)) S 1 77 77 0 -1 4194560 0 0 0 0 1 2 0 0 20 0 1 0 500 0 12 1844 0\n");
    ASSERT_TRUE(odd);
    EXPECT_EQ(odd->name, "a) b (c)");
    EXPECT_EQ(odd->ppid, 1);
    EXPECT_EQ(odd->cpuTicks, 3u);
    for (const char* bad : {"14970 (cat) R 14968 14968", "no parenthesis",
                            "1 (x) S one 0 0 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 1 0 0"})
        EXPECT_FALSE(LinuxProc::parseStat(bad)) << bad;
}

TEST(ProcParsers, LinuxSmallFiles) {
    EXPECT_EQ(LinuxProc::parseBootTime("cpu  1 2 3\nbtime 1796553673\nprocesses 9\n"), 1796553673);
    EXPECT_FALSE(LinuxProc::parseBootTime("cpu  1 2 3\n"));
    EXPECT_EQ(LinuxProc::parseSocketLink("socket:[30931]"), 30931u);
    for (const char* link : {"pipe:[30931]", "/home/me/socket:[1]", "socket:[]"})
        EXPECT_EQ(LinuxProc::parseSocketLink(link), 0u) << link;
    EXPECT_EQ(LinuxProc::executableFromLink("/usr/bin/tool (deleted)"), "/usr/bin/tool");
    EXPECT_EQ(LinuxProc::parseCommandLine(QByteArray("sh\0-c\0\0with blank\0caf\xe9\0", 23)),
              (QStringList{"sh", "-c", "", "with blank", "caf" + replacement}));
    EXPECT_EQ(LinuxProc::parseCommandLine("nginx: worker process"),
              QStringList{"nginx: worker process"});
}

TEST(ProcParsers, NetTcpKeepsListeningSocketsOnly) {
    const QByteArray tcp6 =
        "  sl  local_address                         remote_address                        st "
        "tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
        "   0: 00000000000000000000000001000000:A56F 00000000000000000000000000000000:0000 0A "
        "00000000:00000000 00:00000000 00000000     0        0 30928 1 00000000e8d13ded 100 0 0 "
        "10 0\n"
        "   1: 00000000000000000000000001000000:A56F 00000000000000000000000001000000:E916 01 "
        "00000000:00000000 00:00000000 00000000     0        0 30930 1 000000001e7dab20 20 0 0 "
        "10 -1\n"
        "   2: 0100007F:07E8 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0"
        "        0 313 1 000000000363cec7 100 0 0 10 0\n"
        "   3: garbage\n";
    EXPECT_EQ(LinuxProc::parseNetTcp(tcp6),
              (std::vector<ListeningSocket>{{30928, 42351, 0}, {313, 2024, 0}}));
}

FakeProcess process(Uid uid, const char* path, double start, QStringList arguments = {}) {
    FakeProcess p;
    p.basics = ProcReader::Basics{1, uid, QStringLiteral("kname"), start};
    p.cpuTicks = 100;
    p.memory = 4096;
    if (*path)
        p.path = QString::fromUtf8(path);
    p.arguments = std::move(arguments);
    p.workingDirectory = QStringLiteral("/home/someone");
    return p;
}

TEST(ProcReaderReadAll, ArgumentsOnlyForOwnProcessesOutsideTheSystem) {
    FakeProcPlatform platform;
    ProcReader::StaticInfoCache cache;
    platform.add(1, process(0, "/sbin/launchd", 1, {"/sbin/launchd"}));
    platform.add(20, process(501, "/System/Library/Finder", 2, {"Finder"}));
    platform.add(21, process(501, "/usr/libexec/helper", 3, {"helper"}));
    platform.add(22, process(501, "/usr/local/bin/node", 4, {"node", "serve.js"}));
    platform.add(23, process(502, "/usr/local/bin/other", 5, {"other"}));
    platform.add(30, process(501, "", 6, {"/opt/app/bin/daemon", "-f"}));
    platform.add(31, process(501, "", 7, {"daemon"}));

    const ProcessTable table = ProcReader::readAll(cache, platform);
    ASSERT_EQ(table.size(), 7u);
    for (const Pid pid : {1, 20, 21, 23}) {
        EXPECT_TRUE(table.at(pid).arguments.isEmpty()) << pid;
        EXPECT_FALSE(table.at(pid).workingDirectory) << pid;
    }
    EXPECT_EQ(table.at(22).arguments, (QStringList{"node", "serve.js"}));
    EXPECT_EQ(table.at(22).workingDirectory, "/home/someone");
    EXPECT_EQ(table.at(22).name, "node");
    // Without a readable path an absolute first argument names the process.
    EXPECT_EQ(table.at(30).path, "/opt/app/bin/daemon");
    EXPECT_EQ(table.at(30).name, "daemon");
    EXPECT_EQ(table.at(31).path, "");
    EXPECT_EQ(table.at(31).name, "kname");
    EXPECT_EQ(platform.openHandles, 0);
}

TEST(ProcReaderReadAll, CacheServesOneProcessInstanceOnly) {
    FakeProcPlatform platform;
    ProcReader::StaticInfoCache cache;
    platform.add(40, process(501, "/bin/a", 10, {"a", "x"}));
    platform.add(50, process(501, "/bin/old", 10, {"old", "--flag"}));
    platform.add(60, process(501, "/bin/c", 1));
    platform.add(61, process(501, "/bin/d", 1));
    const ProcessTable first = ProcReader::readAll(cache, platform);

    // Same instances: nothing static is read again.
    platform.resetCounts();
    EXPECT_EQ(ProcReader::readAll(cache, platform), first);
    EXPECT_EQ(platform.staticReads[40], 0);

    // Pid 50 reused by a new process; 61 exits while 60 is read; 40 is gone.
    platform.processes[50] = process(501, "/bin/new", 20, {"new"});
    platform.onOpen = [&](Pid pid) {
        if (pid == 60)
            platform.processes.erase(61);
    };
    platform.processes.erase(40);
    const ProcessTable table = ProcReader::readAll(cache, platform);
    EXPECT_EQ(table.at(50).path, "/bin/new");
    EXPECT_EQ(table.at(50).arguments, QStringList{"new"});
    EXPECT_EQ(cache.at(50), (StaticInfo{20.0, "/bin/new", {"new"}}));
    EXPECT_FALSE(table.contains(61) || table.contains(40));
    EXPECT_FALSE(cache.contains(61) || cache.contains(40));
    EXPECT_EQ(platform.openHandles, 0);
}

class ProcReaderPorts : public ::testing::Test {
protected:
    void listener(Pid pid, double start, std::vector<quint64> sockets) {
        FakeProcess p = process(501, "/bin/srv", start);
        for (qint32 fd = 0; fd < 3; ++fd)
            p.descriptors.push_back(DescriptorRecord{fd, 0});
        for (const quint64 socket : sockets)
            p.descriptors.push_back(DescriptorRecord{qint32(p.descriptors.size()), socket});
        platform.add(pid, p);
    }
    PortMap ports(const std::vector<Pid>& pids) {
        platform.resetCounts();
        return ProcReader::listeningPorts(pids, owners, platform);
    }
    int scans() const {
        int count = 0;
        for (const auto& [pid, reads] : platform.descriptorReads)
            count += reads;
        return count;
    }

    FakeProcPlatform platform;
    ProcReader::SocketOwnerCache owners;
};

TEST_F(ProcReaderPorts, SortedWithoutDuplicatesForTheGivenPids) {
    platform.sockets = {{900, 8080}, {901, 8080}, {902, 22}, {903, 5000}, {904, 9999}};
    listener(10, 1, {901, 900, 902, 999});
    listener(11, 1, {903});
    listener(12, 1, {});
    listener(13, 1, {904});
    EXPECT_EQ(ports({10, 11, 12, 99}), (PortMap{{10, {22, 8080}}, {11, {5000}}}));
    platform.socketsReadable = false;
    EXPECT_TRUE(ports({10, 11}).empty());
}

TEST_F(ProcReaderPorts, OwnersFollowTheMachineAcrossPasses) {
    platform.sockets = {{700, 3000}, {701, 3001}};
    listener(20, 1, {700});
    listener(21, 1, {701});
    listener(22, 1, {});
    ports({20, 21, 22});
    // Nothing changed: no descriptor is read.
    EXPECT_EQ(ports({20, 21, 22}), (PortMap{{20, {3000}}, {21, {3001}}}));
    EXPECT_EQ(scans(), 0);

    // A new listening socket in a known process.
    platform.sockets.push_back({702, 4000});
    platform.processes[22].descriptors.push_back(DescriptorRecord{9, 702});
    EXPECT_EQ(ports({20, 21, 22}), (PortMap{{20, {3000}}, {21, {3001}}, {22, {4000}}}));

    // 21 exits and its socket lives on in 23; pid 20 is reused by a process
    // without sockets while its old socket lives on in 22.
    platform.remove(21);
    platform.remove(20);
    listener(23, 2, {701});
    listener(20, 5, {});
    platform.processes[22].descriptors.push_back(DescriptorRecord{10, 700});
    EXPECT_EQ(ports({20, 22, 23}), (PortMap{{22, {3000, 4000}}, {23, {3001}}}));

    // A socket closes; a forked worker sharing another one leaves it with its
    // known holder, and no descriptor list is read to learn that.
    platform.sockets = {{700, 3000}, {701, 3001}};
    listener(24, 6, {701});
    EXPECT_EQ(ports({20, 22, 23, 24}), (PortMap{{22, {3000}}, {23, {3001}}}));
    EXPECT_EQ(scans(), 0);
}

// A proc root written by the test.
TEST(LinuxProcRoot, ReadsEveryFieldAndSkipsKernelThreads) {
    QTemporaryDir root;
    const auto write = [&](const QString& name, const QByteArray& contents) {
        QDir().mkpath(QFileInfo(root.filePath(name)).path());
        QFile file(root.filePath(name));
        return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size();
    };
    const auto link = [&](const QString& name, const QString& target) {
        QDir().mkpath(QFileInfo(root.filePath(name)).path());
        return QFile::link(target, root.filePath(name));
    };
    ASSERT_TRUE(write("stat", "cpu  1 2 3\nbtime 1700000000\n"));
    ASSERT_TRUE(write("41/stat", "41 (tool) S 1 41 41 0 -1 4194560 0 0 0 0 150 50 0 0 20 0 1 0 "
                                 "250 0 99 0\n"));
    ASSERT_TRUE(write("41/cmdline", QByteArray("/opt/tool\0--serve\0", 18)));
    ASSERT_TRUE(link("41/exe", "/opt/tool (deleted)"));
    ASSERT_TRUE(link("41/cwd", "/srv/work"));
    ASSERT_TRUE(link("41/fd/5", "socket:[555]"));
    ASSERT_TRUE(
        write("2/stat", "2 (kthreadd) S 0 0 0 0 -1 2129984 0 0 0 0 0 0 0 0 20 0 1 0 1 0 0\n"));
    ASSERT_TRUE(write("net/tcp", "  sl  local_address rem_address   st\n"
                                 "   0: 0100007F:1F90 00000000:0000 0A 00000000:00000000 "
                                 "00:00000000 00000000     0        0 555 1 0 100 0 0 10 0\n"));

    const LinuxProcPlatform platform({root.path(), false});
    ProcReader::StaticInfoCache cache;
    const ProcessTable table = ProcReader::readAll(cache, platform);
    ASSERT_EQ(table.size(), 1u);
    const ProcSnapshot& tool = table.at(41);
    const long hz = sysconf(_SC_CLK_TCK);
    EXPECT_EQ(tool.ppid, 1);
    EXPECT_EQ(tool.uid, QFileInfo(root.filePath("41")).ownerId());
    EXPECT_EQ(tool.path, "/opt/tool");
    EXPECT_EQ(tool.startDate, 1700000000.0 + 250.0 / double(hz));
    EXPECT_EQ(tool.memory, 99u * quint64(sysconf(_SC_PAGESIZE)));
    EXPECT_EQ(tool.cpuNanos, quint64{200} * 1'000'000'000u / quint64(hz));
    EXPECT_EQ(tool.arguments, (QStringList{"/opt/tool", "--serve"}));
    EXPECT_EQ(tool.workingDirectory, "/srv/work");
    ProcReader::SocketOwnerCache owners;
    EXPECT_EQ(ProcReader::listeningPorts({41}, owners, platform), (PortMap{{41, {8080}}}));
}

// A python child listening on one port that prints it and lives until its
// input closes; QProcess kills and reaps it on destruction.
constexpr const char* listenScript = R"(
import socket, sys
server = socket.create_server(('127.0.0.1', 0))
print(server.getsockname()[1], flush=True)
sys.stdin.read()
)";

class RealProcess : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(folder.isValid());
        child.setWorkingDirectory(folder.path());
        child.start(QStringLiteral("/usr/bin/python3"),
                    {QStringLiteral("-c"), listenScript, QStringLiteral("with blank")});
        ASSERT_TRUE(child.waitForStarted(20000));
        while (!child.canReadLine())
            ASSERT_TRUE(child.waitForReadyRead(20000)) << "the child did not start listening";
        port = child.readLine().trimmed().toInt();
        ASSERT_GT(port, 0);
        pid = Pid(child.processId());
    }
    void TearDown() override { child.close(); }

    QTemporaryDir folder;
    QProcess child;
    Pid pid = 0;
    int port = 0;
};

TEST_F(RealProcess, ReadAllReportsEveryFieldAndItsPort) {
    const double now = double(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
    ProcReader::StaticInfoCache cache;
    const ProcessTable table = ProcReader::readAll(cache);
    ASSERT_TRUE(table.contains(pid));
    const ProcSnapshot& snap = table.at(pid);
    const QString python = QFileInfo(QStringLiteral("/usr/bin/python3")).canonicalFilePath();
    EXPECT_EQ(snap.ppid, getpid());
    EXPECT_EQ(snap.uid, geteuid());
    EXPECT_EQ(snap.path, python);
    ASSERT_TRUE(snap.startDate);
    EXPECT_NEAR(*snap.startDate, now, 30.0);
    EXPECT_GT(snap.memory.value_or(0), 0u);
    EXPECT_EQ(snap.arguments.value(3), "with blank");
    EXPECT_EQ(snap.workingDirectory, QFileInfo(folder.path()).canonicalFilePath());
    EXPECT_EQ(ProcReader::basics(pid)->start, snap.startDate);

    const LinuxProcPlatform fallback({QStringLiteral("/proc"), false});
    for (const ProcPlatform* platform :
         {&ProcReader::systemPlatform(), static_cast<const ProcPlatform*>(&fallback)}) {
        ProcReader::SocketOwnerCache owners;
        EXPECT_EQ(ProcReader::listeningPorts({pid, getpid()}, owners, *platform),
                  (PortMap{{pid, {port}}}));
    }

    // Once it has exited it leaves the table, the cache and the ports.
    ProcReader::SocketOwnerCache owners;
    ProcReader::listeningPorts({pid}, owners);
    child.closeWriteChannel();
    ASSERT_TRUE(child.waitForFinished(20000));
    EXPECT_FALSE(ProcReader::readAll(cache).contains(pid));
    EXPECT_FALSE(cache.contains(pid));
    EXPECT_TRUE(ProcReader::listeningPorts({pid}, owners).empty());
}

} // namespace
