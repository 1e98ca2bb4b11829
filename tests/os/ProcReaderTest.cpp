// Catches: a stale per-process cache after pid reuse or exec, /proc fields
// parsed off by one, socket owners lost or kept when processes come and go.
//
// The process reader: parsers on text captured from Debian 12, caching and
// socket owners on a scripted platform, the Linux platform over a written proc
// root. Real processes are read end to end in ReportE2ETest and the action tests.

#include "os/ProcReader.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <unistd.h>

#include "os/LinuxProcPlatform.h"
#include "support/FakeProcPlatform.h"
#include "support/Printers.h"

namespace {

TEST(ProcParsers, LinuxFiles) {
    using LinuxProc::Stat;
    const std::pair<const char*, std::optional<Stat>> stats[] = {
        {"14970 (cat) R 14968 14968 3923 0 -1 4194304 100 0 0 0 7 3 0 0 20 0 1 0 84377 3133440 "
         "379 18446744073709551615 93952783110144 93952783130025 140723189212208 0 0 0 0 0 0 0 0 "
         "0 17\n",
         Stat{14968, "cat", 4194304, 10, 84377, 379}},
        // The name runs to the last parenthesis.
        {"77 (a) b (c)) S 1 77 77 0 -1 4194560 0 0 0 0 1 2 0 0 20 0 1 0 500 0 12 1844 0\n",
         Stat{1, "a) b (c)", 4194560, 3, 500, 12}},
        {"14970 (cat) R 14968 14968", std::nullopt},
        {"no parenthesis", std::nullopt},
        {"1 (x) S one 0 0 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 1 0 0", std::nullopt},
    };
    for (const auto& [line, expected] : stats)
        EXPECT_TRUE(LinuxProc::parseStat(line) == expected) << line;
    EXPECT_FALSE(LinuxProc::parseBootTime("cpu  1 2 3\n"));
    for (const char* link : {"pipe:[30931]", "/home/me/socket:[1]", "socket:[]"})
        EXPECT_EQ(LinuxProc::parseSocketLink(link), 0u) << link;
    EXPECT_EQ(LinuxProc::parseCommandLine(QByteArray("sh\0-c\0\0with blank\0", 18)),
              (QStringList{"sh", "-c", "", "with blank"}));
    EXPECT_EQ(LinuxProc::parseCommandLine("nginx: worker process"),
              QStringList{"nginx: worker process"});

    // A listening (0A) row; a connection and garbage are skipped.
    const QByteArray tcp =
        "  sl  local_address remote_address st\n"
        "   0: 00000000000000000000000001000000:A56F 00000000000000000000000000000000:0000 0A "
        "00000000:00000000 00:00000000 00000000     0        0 30928 1 00000000e8d13ded 100 0 0\n"
        "   1: 00000000000000000000000001000000:A56F 00000000000000000000000001000000:E916 01 "
        "00000000:00000000 00:00000000 00000000     0        0 30930 1 000000001e7dab20 20 0 0\n"
        "   3: garbage\n";
    EXPECT_EQ(LinuxProc::parseNetTcp(tcp), (std::vector<ListeningSocket>{{30928, 42351, 0}}));
}

FakeProcess process(Uid uid, const char* path, double start, QStringList arguments = {}) {
    FakeProcess p;
    p.basics = ProcReader::Basics{1, uid, QStringLiteral("kname"), start};
    if (*path)
        p.path = QString::fromUtf8(path);
    p.arguments = std::move(arguments);
    p.workingDirectory = QStringLiteral("/home/u");
    return p;
}

// Arguments and folder only for this user's processes outside the system;
// without a readable path an absolute first argument names the process. What
// cannot change is read once per process instance.
TEST(ProcReaderReadAll, OwnArgumentsOutsideTheSystemCachedForOneInstance) {
    const std::tuple<Pid, Uid, const char*, QStringList, const char*> rows[] = {
        {20, 501, "/System/Library/Finder", {"Finder"}, "Finder /System/Library/Finder  -"},
        {21, 501, "/usr/libexec/helper", {"helper"}, "helper /usr/libexec/helper  -"},
        {22, 501, "/usr/bin/node", {"node", "a.js"}, "node /usr/bin/node node,a.js /home/u"},
        {23, 502, "/usr/bin/other", {"other"}, "other /usr/bin/other  -"},
        {30, 501, "", {"/opt/daemon", "-f"}, "daemon /opt/daemon /opt/daemon,-f /home/u"},
        {31, 501, "", {"daemon"}, "kname  daemon /home/u"},
        {32, 501, "/opt/late", {}, "late /opt/late  /home/u"},
        {33, 501, "/opt/tool", {"tool"}, "tool /opt/tool tool /home/u"},
    };
    FakeProcPlatform platform;
    for (const auto& [pid, uid, path, arguments, read] : rows)
        platform.add(pid, process(uid, path, pid, arguments));
    ProcReader::StaticInfoCache cache;
    const ProcessTable table = ProcReader::readAll(cache, platform);
    ASSERT_EQ(table.size(), std::size(rows));
    for (const auto& [pid, uid, path, arguments, read] : rows) {
        const ProcSnapshot& p = table.at(pid);
        EXPECT_EQ(QStringList({p.name, p.path, p.arguments.join(u','),
                               p.workingDirectory.value_or(QStringLiteral("-"))})
                      .join(u' '),
                  QString::fromUtf8(read));
    }

    // The same instances again: nothing static is read.
    platform.resetCounts();
    EXPECT_EQ(ProcReader::readAll(cache, platform), table);
    EXPECT_FALSE(platform.staticReads.contains(22));

    // Pid 22 reused by a new process; 31 exits while 30 is read; 23 is gone;
    // 32, read in the middle of its start, now shows its arguments; 33 ran
    // exec, which keeps the pid and the start time but changes the kernel's name.
    platform.processes[22] = process(501, "/bin/new", 99, {"new"});
    platform.processes[32].arguments = {"late"};
    platform.processes[33].basics.name = "sh";
    platform.processes[33].path = "/bin/sh";
    platform.onOpen = [&](Pid pid) {
        if (pid == 30)
            platform.processes.erase(31);
    };
    platform.processes.erase(23);
    const ProcessTable next = ProcReader::readAll(cache, platform);
    EXPECT_EQ(next.at(22).arguments, QStringList{"new"});
    EXPECT_EQ(next.at(32).arguments, QStringList{"late"});
    EXPECT_EQ(next.at(33).path, "/bin/sh");
    EXPECT_EQ(cache.at(22),
              (ProcReader::StaticInfo{99.0, "kname", "/bin/new", {"new"}, {}, false}));
    for (const Pid pid : {31, 23})
        EXPECT_FALSE(next.contains(pid) || cache.contains(pid)) << pid;
    EXPECT_EQ(platform.openHandles, 0);
}

// A launcher may move a program into a cgroup of its own just after starting
// it: the next pass reads the cgroup again, later passes no more.
TEST(ProcReaderReadAll, CgroupReadOnceMoreThenCached) {
    FakeProcPlatform platform;
    platform.add(7, process(501, "/usr/bin/app", 7)).cgroup = "/a.slice/shell.service";
    ProcReader::StaticInfoCache cache;
    QStringList seen;
    for (const char* next : {"/a.slice/app.scope", "/a.slice/other.scope", ""}) {
        seen.append(ProcReader::readAll(cache, platform).at(7).cgroup.value_or("-"));
        platform.processes[7].cgroup = QString::fromUtf8(next);
    }
    EXPECT_EQ(seen,
              QStringList({"/a.slice/shell.service", "/a.slice/app.scope", "/a.slice/app.scope"}));
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

    FakeProcPlatform platform;
    ProcReader::SocketOwnerCache owners;
};

TEST_F(ProcReaderPorts, OwnersFollowTheMachineAcrossPasses) {
    // Two sockets on one port count once, sorted; a socket that does not listen
    // and one held by a process not asked about count not at all.
    platform.sockets = {{700, 3000}, {701, 3001}, {702, 22}, {703, 22}, {709, 9999}};
    listener(20, 1, {700, 999});
    listener(21, 1, {703, 701, 702});
    listener(22, 1, {});
    listener(29, 1, {709});
    const PortMap first{{20, {3000}}, {21, {22, 3001}}};
    EXPECT_EQ(ports({20, 21, 22, 99}), first);
    // Nothing changed: no descriptor is read.
    EXPECT_EQ(ports({20, 21, 22}), first);
    EXPECT_TRUE(platform.descriptorReads.empty());

    // A new listening socket in a known process.
    platform.sockets.push_back({704, 4000});
    platform.processes[22].descriptors.push_back(DescriptorRecord{9, 704});
    EXPECT_EQ(ports({20, 21, 22}), (PortMap{{20, {3000}}, {21, {22, 3001}}, {22, {4000}}}));

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
    EXPECT_TRUE(platform.descriptorReads.empty());
    platform.socketsReadable = false;
    EXPECT_TRUE(ports({22, 23}).empty());
}

// A proc root written by the test: every field, and no kernel thread.
TEST(LinuxProcRoot, ReadsEveryFieldAndSkipsKernelThreads) {
    QTemporaryDir root;
    // "@name" is a symbolic link to the text.
    const std::pair<QString, QByteArray> files[] = {
        {"stat", "cpu  1 2 3\nbtime 1700000000\n"},
        {"41/stat", "41 (tool) S 1 41 41 0 -1 4194560 0 0 0 0 150 50 0 0 20 0 1 0 250 0 99 0\n"},
        {"41/cmdline", QByteArray("/opt/tool\0--serve\0", 18)},
        {"@41/exe", "/opt/tool (deleted)"},
        {"@41/cwd", "/srv/work"},
        {"41/cgroup", "0::/app.slice/tool.service\n"},
        {"@41/fd/5", "socket:[555]"},
        {"2/stat", "2 (kthreadd) S 0 0 0 0 -1 2129984 0 0 0 0 0 0 0 0 20 0 1 0 1 0 0\n"},
        {"net/tcp", "  sl  local_address rem_address   st\n   0: 0100007F:1F90 00000000:0000 0A "
                    "00000000:00000000 00:00000000 00000000     0        0 555 1 0 100 0 0 10 0\n"},
    };
    for (const auto& [name, contents] : files) {
        const QString path = root.filePath(name.startsWith(u'@') ? name.sliced(1) : name);
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        if (name.startsWith(u'@'))
            ASSERT_TRUE(QFile::link(QString::fromUtf8(contents), path));
        else
            ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size());
    }

    const LinuxProcPlatform platform({root.path(), false, true});
    ProcReader::StaticInfoCache cache;
    const long hz = sysconf(_SC_CLK_TCK);
    EXPECT_EQ(ProcReader::readAll(cache, platform),
              (ProcessTable{{41,
                             {41,
                              1,
                              QFileInfo(root.filePath("41")).ownerId(),
                              "tool",
                              "/opt/tool",
                              1700000000.0 + 250.0 / double(hz),
                              99u * quint64(sysconf(_SC_PAGESIZE)),
                              quint64{200} * 1'000'000'000u / quint64(hz),
                              {"/opt/tool", "--serve"},
                              "/srv/work",
                              "/app.slice/tool.service"}}}));
    ProcReader::SocketOwnerCache owners;
    EXPECT_EQ(ProcReader::listeningPorts({41}, owners, platform), (PortMap{{41, {8080}}}));
}

} // namespace
