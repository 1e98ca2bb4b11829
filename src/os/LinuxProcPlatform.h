#pragma once

#include <optional>
#include <vector>

#include <QByteArrayView>
#include <QString>

#include "os/HostRules.h"
#include "os/ProcPlatform.h"

// Pure parsers for the files under /proc; LinuxProcPlatform reads the files.
namespace LinuxProc {

// The fields of /proc/PID/stat the reader uses.
struct Stat {
    Pid ppid = 0;
    QString name;         // the kernel's short command name
    quint64 flags = 0;    // PF_* flags
    quint64 cpuTicks = 0; // utime + stime, in clock ticks
    quint64 startTicks = 0;
    quint64 residentPages = 0;

    bool operator==(const Stat&) const = default;
};

// PF_KTHREAD: the task is a kernel thread.
constexpr quint64 kernelThreadFlag = 0x00200000;

// Parses one stat line; the name runs from the first "(" to the last ")".
std::optional<Stat> parseStat(QByteArrayView text);

// The boot time in seconds since 1970 from the "btime" line of /proc/stat.
std::optional<qint64> parseBootTime(QByteArrayView text);

// Splits /proc/PID/cmdline (NUL-terminated strings) into arguments.
QStringList parseCommandLine(QByteArrayView bytes);

// The socket inode of a descriptor link text "socket:[12345]", or 0.
quint64 parseSocketLink(QByteArrayView link);

// The listening sockets of /proc/net/tcp or /proc/net/tcp6 text.
std::vector<ListeningSocket> parseNetTcp(QByteArrayView text);

// A readlink result of /proc/PID/exe without the " (deleted)" mark.
QString executableFromLink(QByteArrayView link);

// The path of /proc/PID/cgroup text: its "name=systemd" line where there is one
// (systemd's own hierarchy on a hybrid system), else the unified "0::" line.
std::optional<QString> parseCgroup(QByteArrayView text);

} // namespace LinuxProc

// Process facts from /proc, listening sockets from a sock_diag netlink dump
// with /proc/net/tcp and tcp6 as the fallback.
class LinuxProcPlatform final : public ProcPlatform {
public:
    struct Options {
        QString procRoot = QStringLiteral("/proc");
        // Off: listening sockets come from procRoot/net/tcp and tcp6 only.
        bool useNetlink = true;
        // Cgroups name the user's units only under systemd; elsewhere they are
        // not worth a read per process.
        bool readsCgroups = Hosts::current().bootedWithSystemd;
    };

    LinuxProcPlatform();
    explicit LinuxProcPlatform(Options options);

    Uid currentUid() const override;
    std::vector<Pid> listPids() const override;
    std::optional<ProcHandle> open(Pid pid) const override;
    void close(ProcHandle& handle) const override;
    std::optional<ProcStatus> status(const ProcHandle& handle) const override;
    std::optional<QString> executablePath(const ProcHandle& handle) const override;
    qsizetype argumentAreaMax() const override;
    QStringList arguments(const ProcHandle& handle, QByteArray& buffer) const override;
    std::optional<QString> workingDirectory(const ProcHandle& handle) const override;
    std::optional<QString> cgroup(const ProcHandle& handle) const override;
    Timebase timebase() const override;
    bool listeningSockets(std::vector<ListeningSocket>& sockets) const override;
    qsizetype descriptors(Pid pid, std::span<DescriptorRecord> buffer) const override;
    std::optional<quint64> descriptorSocket(Pid pid, qint32 fd) const override;

    // The netlink dump alone; false when the kernel refuses it.
    bool netlinkListeningSockets(std::vector<ListeningSocket>& sockets) const;
    // procRoot/net/tcp and tcp6 alone; false when neither can be read.
    bool procListeningSockets(std::vector<ListeningSocket>& sockets) const;

private:
    // procRoot/PID/name into `path`; false when it does not fit.
    bool filePath(Pid pid, const char* name, char (&path)[4200]) const;

    QByteArray m_root; // procRoot, encoded for the file system
    bool m_useNetlink = true;
    bool m_readsCgroups = false;
    qint64 m_bootTime = 0;
    long m_ticksPerSecond = 100;
    quint64 m_pageSize = 4096;
    qsizetype m_argumentAreaMax = -1;
};
