#include <cerrno>
#include <csignal>
#include <cstdlib>

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "os/LinuxProcPlatform.h"
#include "os/ProcReader.h"
#include "os/ProcessDescriptor.h"

namespace {

// ---- Parsers, fed with text captured from a Debian 12 machine ----

TEST(LinuxProcParse, StatFromTheLastParenthesis) {
    const QByteArray cat =
        "14970 (cat) R 14968 14968 3923 0 -1 4194304 100 0 0 0 7 3 0 0 20 0 1 0 84377 3133440 "
        "379 18446744073709551615 93952783110144 93952783130025 140723189212208 0 0 0 0 0 0 0 0 "
        "0 17 0 0 0 0 0 0\n";
    const auto stat = LinuxProc::parseStat(cat);
    ASSERT_TRUE(stat);
    EXPECT_EQ(*stat, (LinuxProc::Stat{14968, "cat", 4194304, 10, 84377, 379}));

    // A name may hold blanks and parentheses.
    const QByteArray odd = "77 (a) b (c)) S 1 77 77 0 -1 4194560 0 0 0 0 1 2 0 0 20 0 1 0 500 0 "
                           "12 18446744073709551615 0\n";
    const auto oddStat = LinuxProc::parseStat(odd);
    ASSERT_TRUE(oddStat);
    EXPECT_EQ(oddStat->name, "a) b (c)");
    EXPECT_EQ(oddStat->ppid, 1);
    EXPECT_EQ(oddStat->cpuTicks, 3u);

    // A kernel thread carries PF_KTHREAD.
    const QByteArray kthread =
        "2 (kthreadd) S 0 0 0 0 -1 2129984 0 0 0 0 0 0 0 0 20 0 1 0 1 0 0 18446744073709551615\n";
    ASSERT_TRUE(LinuxProc::parseStat(kthread));
    EXPECT_NE(LinuxProc::parseStat(kthread)->flags & LinuxProc::kernelThreadFlag, 0u);

    EXPECT_FALSE(LinuxProc::parseStat("14970 (cat) R 14968 14968"));
    EXPECT_FALSE(LinuxProc::parseStat("no parenthesis at all"));
    EXPECT_FALSE(LinuxProc::parseStat("1 (x) S one 0 0 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 1 0 0"));
}

TEST(LinuxProcParse, SmallFiles) {
    EXPECT_EQ(LinuxProc::parseBootTime("cpu  1 2 3\nintr 5\nbtime 1796553673\nprocesses 9\n"),
              1796553673);
    EXPECT_FALSE(LinuxProc::parseBootTime("cpu  1 2 3\n"));

    EXPECT_EQ(LinuxProc::parseSocketLink("socket:[30931]"), 30931u);
    EXPECT_EQ(LinuxProc::parseSocketLink("pipe:[30931]"), 0u);
    EXPECT_EQ(LinuxProc::parseSocketLink("/home/me/socket:[1]"), 0u);
    EXPECT_EQ(LinuxProc::parseSocketLink("socket:[]"), 0u);

    EXPECT_EQ(LinuxProc::executableFromLink("/usr/bin/tool (deleted)"), "/usr/bin/tool");
    EXPECT_EQ(LinuxProc::executableFromLink("/usr/bin/tool"), "/usr/bin/tool");
}

TEST(LinuxProcParse, CommandLine) {
    const QString replacement(QChar(0xFFFD));
    EXPECT_EQ(LinuxProc::parseCommandLine(QByteArray("python3\0-c\0\0with blank\0caf\xe9\0", 28)),
              (QStringList{"python3", "-c", "", "with blank", "caf" + replacement}));
    // An empty last argument.
    EXPECT_EQ(LinuxProc::parseCommandLine(QByteArray("prog\0\0", 6)), (QStringList{"prog", ""}));
    // A process that rewrote its title without NULs.
    EXPECT_EQ(LinuxProc::parseCommandLine("nginx: worker process"),
              QStringList{"nginx: worker process"});
    EXPECT_TRUE(LinuxProc::parseCommandLine("").isEmpty());
}

TEST(LinuxProcParse, NetTcpKeepsListeningSocketsOnly) {
    const QByteArray tcp =
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
        "timeout inode\n"
        "   0: 0100007F:C40F 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0       "
        " 0 30931 1 000000002a225015 100 0 0 10 0\n"
        "   1: 00000000:07E8 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0       "
        " 0 313 1 000000000363cec7 100 0 0 10 0\n";
    EXPECT_EQ(LinuxProc::parseNetTcp(tcp),
              (std::vector<ListeningSocket>{{30931, 50191, 0}, {313, 2024, 0}}));

    const QByteArray tcp6 =
        "  sl  local_address                         remote_address                        st "
        "tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
        "   0: 00000000000000000000000001000000:A56F 00000000000000000000000000000000:0000 0A "
        "00000000:00000000 00:00000000 00000000     0        0 30928 1 00000000e8d13ded 100 0 0 "
        "10 0\n"
        "   1: 00000000000000000000000001000000:A56F 00000000000000000000000001000000:E916 01 "
        "00000000:00000000 00:00000000 00000000     0        0 30930 1 000000001e7dab20 20 0 0 "
        "10 -1\n"
        "   2: garbage\n";
    EXPECT_EQ(LinuxProc::parseNetTcp(tcp6), (std::vector<ListeningSocket>{{30928, 42351, 0}}));
    EXPECT_TRUE(LinuxProc::parseNetTcp("").empty());
}

// ---- A proc root written by the test ----

class FakeProcRoot : public ::testing::Test {
protected:
    QTemporaryDir root;

    void write(const QString& name, const QByteArray& contents) {
        QDir().mkpath(QFileInfo(root.filePath(name)).path());
        QFile file(root.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(contents);
    }
    void link(const QString& name, const QString& target) {
        QDir().mkpath(QFileInfo(root.filePath(name)).path());
        ASSERT_EQ(::symlink(QFile::encodeName(target).constData(),
                            QFile::encodeName(root.filePath(name)).constData()),
                  0);
    }
};

TEST_F(FakeProcRoot, ReadsEveryFieldAndSkipsKernelThreads) {
    ASSERT_TRUE(root.isValid());
    write("stat", "cpu  1 2 3\nbtime 1700000000\n");
    write("41/stat", "41 (tool) S 1 41 41 0 -1 4194560 0 0 0 0 150 50 0 0 20 0 1 0 250 0 99 0\n");
    write("41/cmdline", QByteArray("/opt/tool\0--serve\0", 18));
    link("41/exe", "/opt/tool (deleted)");
    link("41/cwd", "/srv/work");
    link("41/fd/0", "/dev/null");
    link("41/fd/5", "socket:[555]");
    link("41/fd/6", "socket:[556]");
    write("2/stat", "2 (kthreadd) S 0 0 0 0 -1 2129984 0 0 0 0 0 0 0 0 20 0 1 0 1 0 0 0\n");
    write("net/tcp", "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt "
                     "  uid  timeout inode\n"
                     "   0: 0100007F:1F90 00000000:0000 0A 00000000:00000000 00:00000000 "
                     "00000000     0        0 555 1 0 100 0 0 10 0\n");

    const LinuxProcPlatform platform({root.path(), false});
    ProcReader::StaticInfoCache cache;
    const ProcessTable table = ProcReader::readAll(cache, platform);
    ASSERT_EQ(table.size(), 1u);
    const ProcSnapshot& tool = table.at(41);
    EXPECT_EQ(tool.ppid, 1);
    EXPECT_EQ(tool.uid, QFileInfo(root.filePath("41")).ownerId());
    EXPECT_EQ(tool.name, "tool");
    EXPECT_EQ(tool.path, "/opt/tool");
    EXPECT_EQ(tool.startDate, 1700000000.0 + 250.0 / double(sysconf(_SC_CLK_TCK)));
    EXPECT_EQ(tool.memory, 99u * sysconf(_SC_PAGESIZE));
    EXPECT_EQ(tool.cpuNanos, quint64{200} * 1'000'000'000u / quint64(sysconf(_SC_CLK_TCK)));
    if (tool.uid == getuid()) {
        EXPECT_EQ(tool.arguments, (QStringList{"/opt/tool", "--serve"}));
        EXPECT_EQ(tool.workingDirectory, "/srv/work");
    }

    ProcReader::SocketOwnerCache owners;
    EXPECT_EQ(ProcReader::listeningPorts({41}, owners, platform), (PortMap{{41, {8080}}}));
}

// ---- Real processes ----

TEST(LinuxProcReader, FindsAListeningSocketBehindMoreThan256Descriptors) {
    std::vector<int> files;
    for (int i = 0; i < 300; ++i) {
        const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        files.push_back(fd);
    }
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GT(listener, 256);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);

    ProcReader::SocketOwnerCache owners;
    const PortMap ports = ProcReader::listeningPorts({getpid()}, owners);
    ::close(listener);
    for (const int fd : files)
        ::close(fd);
    EXPECT_EQ(ports, (PortMap{{getpid(), {ntohs(address.sin_port)}}}));
}

// A python3 child listening on one port over 127.0.0.1 and ::1, with a UDP
// socket on the side; it prints the TCP port and waits for its standard input
// to close.
class ListeningChild {
public:
    static constexpr const char* script = R"(
import socket, sys
for attempt in range(100):
    four = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    four.bind(('127.0.0.1', 0))
    port = four.getsockname()[1]
    six = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
    six.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
    try:
        six.bind(('::1', port))
        break
    except OSError:
        four.close()
        six.close()
four.listen()
six.listen()
udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
udp.bind(('127.0.0.1', 0))
sys.stdout.write('%d %d\n' % (port, udp.getsockname()[1]))
sys.stdout.flush()
sys.stdin.read()
)";

    ListeningChild(const QString& directory, const char* blankArgument, const char* oddArgument) {
        int input[2];
        int output[2];
        if (pipe2(input, O_CLOEXEC) != 0 || pipe2(output, O_CLOEXEC) != 0)
            return;
        const QByteArray where = QFile::encodeName(directory);
        m_pid = fork();
        if (m_pid == 0) {
            dup2(input[0], 0);
            dup2(output[1], 1);
            if (chdir(where.constData()) != 0)
                _exit(126);
            const char* argv[] = {"python3", "-c", script, blankArgument, oddArgument, nullptr};
            execv("/usr/bin/python3", const_cast<char* const*>(argv));
            _exit(127);
        }
        ::close(input[0]);
        ::close(output[1]);
        m_input = input[1];
        m_output = output[0];
    }
    ~ListeningChild() {
        if (m_input >= 0)
            ::close(m_input); // the child's stdin.read() returns and it exits
        if (m_output >= 0)
            ::close(m_output);
        if (m_pid > 0) {
            // Wait for the exit (at most 10 s) through a pidfd, then reap.
            const int exited = ProcessDescriptor::open(m_pid);
            if (exited >= 0) {
                pollfd ready{exited, POLLIN, 0};
                poll(&ready, 1, 10000);
                ::close(exited);
            }
            int status = 0;
            if (waitpid(m_pid, &status, WNOHANG) == 0) {
                kill(m_pid, SIGKILL);
                waitpid(m_pid, &status, 0);
            }
        }
    }
    ListeningChild(const ListeningChild&) = delete;
    ListeningChild& operator=(const ListeningChild&) = delete;

    pid_t pid() const { return m_pid; }

    // Waits (at most 20 s) for the child's line with its TCP and UDP ports.
    bool readPorts(int& tcp, int& udp) {
        QByteArray line;
        while (!line.contains('\n')) {
            pollfd ready{m_output, POLLIN, 0};
            if (poll(&ready, 1, 20000) <= 0)
                return false;
            char chunk[64];
            const ssize_t count = read(m_output, chunk, sizeof chunk);
            if (count <= 0)
                return false;
            line.append(chunk, count);
        }
        const QList<QByteArray> parts = line.trimmed().split(' ');
        if (parts.size() != 2)
            return false;
        tcp = parts[0].toInt();
        udp = parts[1].toInt();
        return tcp > 0 && udp > 0;
    }

private:
    pid_t m_pid = -1;
    int m_input = -1;
    int m_output = -1;
};

bool ipv6LoopbackWorks() {
    const int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    const bool works = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return works;
}

class RealProcess : public ::testing::Test {
protected:
    void SetUp() override {
        if (!QFileInfo::exists(QStringLiteral("/usr/bin/python3")))
            GTEST_SKIP() << "needs /usr/bin/python3";
        if (!ipv6LoopbackWorks())
            GTEST_SKIP() << "needs an IPv6 loopback address";
        ASSERT_TRUE(directory.isValid());
        child.emplace(directory.path(), "with blank", "caf\xe9");
        ASSERT_GT(child->pid(), 0);
        ASSERT_TRUE(child->readPorts(tcpPort, udpPort)) << "the child did not start listening";
    }

    QTemporaryDir directory;
    std::optional<ListeningChild> child;
    int tcpPort = 0;
    int udpPort = 0;
};

TEST_F(RealProcess, ReadAllReportsEveryField) {
    const double now = double(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
    ProcReader::StaticInfoCache cache;
    const ProcessTable first = ProcReader::readAll(cache);
    ASSERT_TRUE(first.contains(child->pid()));
    const ProcSnapshot& snap = first.at(child->pid());

    const QString python = QFileInfo(QStringLiteral("/usr/bin/python3")).canonicalFilePath();
    EXPECT_EQ(snap.pid, child->pid());
    EXPECT_EQ(snap.ppid, getpid());
    EXPECT_EQ(snap.uid, geteuid());
    EXPECT_EQ(snap.path, python);
    EXPECT_EQ(snap.name, QFileInfo(python).fileName());
    ASSERT_TRUE(snap.startDate);
    // Boot time plus ticks since boot: whole seconds of boot time, and the
    // wall clock may have been set since boot.
    EXPECT_NEAR(*snap.startDate, now, 30.0) << "start " << *snap.startDate << " now " << now;
    EXPECT_LE(*snap.startDate, now + 1.0);
    ASSERT_TRUE(snap.memory);
    EXPECT_GT(*snap.memory, 0u);
    EXPECT_TRUE(snap.cpuNanos);
    EXPECT_EQ(snap.arguments, (QStringList{"python3", "-c", ListeningChild::script, "with blank",
                                           "caf" + QString(QChar(0xFFFD))}));
    EXPECT_EQ(snap.workingDirectory, QFileInfo(directory.path()).canonicalFilePath());
    EXPECT_EQ(cache.at(child->pid()),
              (ProcReader::StaticInfo{snap.startDate, snap.path, snap.arguments}));

    // A second pass from the cache sees the same process and the same start time.
    const ProcessTable second = ProcReader::readAll(cache);
    ASSERT_TRUE(second.contains(child->pid()));
    const ProcSnapshot& again = second.at(child->pid());
    EXPECT_EQ(again.startDate, snap.startDate);
    EXPECT_EQ(again.arguments, snap.arguments);
    EXPECT_EQ(again.path, snap.path);
    EXPECT_GE(again.cpuNanos.value_or(0), snap.cpuNanos.value_or(0));

    // This test program appears too.
    ASSERT_TRUE(first.contains(getpid()));
    EXPECT_EQ(first.at(getpid()).path, QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget());
}

TEST_F(RealProcess, SingleReadsAgreeWithReadAll) {
    const auto basics = ProcReader::basics(child->pid());
    ASSERT_TRUE(basics);
    EXPECT_EQ(basics->ppid, getpid());
    EXPECT_EQ(basics->uid, geteuid());
    EXPECT_EQ(basics->name, "python3");
    EXPECT_EQ(ProcReader::pidPath(child->pid()),
              QFileInfo(QStringLiteral("/usr/bin/python3")).canonicalFilePath());
    QByteArray buffer(262144, '\0');
    EXPECT_EQ(ProcReader::arguments(child->pid(), buffer).value(3), "with blank");
    EXPECT_EQ(ProcReader::workingDirectory(child->pid()),
              QFileInfo(directory.path()).canonicalFilePath());
    const auto snap = ProcReader::snapshot(child->pid());
    ASSERT_TRUE(snap);
    EXPECT_EQ(snap->startDate, basics->start);
    EXPECT_TRUE(snap->arguments.isEmpty());
    EXPECT_FALSE(snap->workingDirectory);
}

TEST_F(RealProcess, PortListedOnceForIPv4AndIPv6WithAndWithoutNetlink) {
    const LinuxProcPlatform fallback({QStringLiteral("/proc"), false});
    for (const ProcPlatform* platform :
         {&ProcReader::systemPlatform(), static_cast<const ProcPlatform*>(&fallback)}) {
        ProcReader::SocketOwnerCache owners;
        const PortMap ports =
            ProcReader::listeningPorts({child->pid(), getpid()}, owners, *platform);
        EXPECT_EQ(ports, (PortMap{{child->pid(), {tcpPort}}}));
        // Warm cache: the same answer.
        EXPECT_EQ(ProcReader::listeningPorts({child->pid(), getpid()}, owners, *platform), ports);
    }

    const LinuxProcPlatform system;
    std::vector<ListeningSocket> sockets;
    if (!system.netlinkListeningSockets(sockets))
        GTEST_SKIP() << "sock_diag netlink refused here";
    const auto onPort = std::count_if(sockets.begin(), sockets.end(),
                                      [&](const ListeningSocket& s) { return s.port == tcpPort; });
    EXPECT_EQ(onPort, 2); // IPv4 and IPv6
    std::vector<ListeningSocket> fromProc;
    ASSERT_TRUE(system.procListeningSockets(fromProc));
    std::sort(sockets.begin(), sockets.end(), [](auto& a, auto& b) { return a.id < b.id; });
    std::sort(fromProc.begin(), fromProc.end(), [](auto& a, auto& b) { return a.id < b.id; });
    EXPECT_EQ(sockets, fromProc);
}

TEST_F(RealProcess, ExitedProcessDropsOutOfResultAndCache) {
    ProcReader::StaticInfoCache cache;
    ProcReader::SocketOwnerCache owners;
    ProcReader::readAll(cache);
    const Pid pid = child->pid();
    ASSERT_TRUE(cache.contains(pid));
    ASSERT_EQ(ProcReader::listeningPorts({pid}, owners).count(pid), 1u);
    child.reset(); // closes its input; it exits and is reaped

    EXPECT_FALSE(ProcReader::readAll(cache).contains(pid));
    EXPECT_FALSE(cache.contains(pid));
    EXPECT_FALSE(ProcReader::snapshot(pid));
    EXPECT_TRUE(ProcReader::listeningPorts({pid}, owners).empty());
}

} // namespace
