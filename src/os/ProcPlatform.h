#pragma once

#include <optional>
#include <span>
#include <vector>

#include <QByteArray>
#include <QString>
#include <QStringList>

#include "os/ProcReader.h"

// A process opened for a series of reads (on Linux its /proc/PID/stat file).
struct ProcHandle {
    Pid pid = 0;
    int fd = -1;
};

// What the platform reads in its first, cheap query of a process.
struct ProcStatus {
    ProcReader::Basics basics;
    // User + system CPU time in ticks (see ProcPlatform::timebase).
    std::optional<quint64> cpuTicks;
    // Bytes of memory the process itself holds.
    std::optional<quint64> memory;

    bool operator==(const ProcStatus&) const = default;
};

// A TCP socket in the listening state.
struct ListeningSocket {
    quint64 id = 0; // the platform's identity of the socket (on Linux its inode)
    int port = 0;
    // The user that created the socket, when the platform tells.
    std::optional<Uid> uid = std::nullopt;

    bool operator==(const ListeningSocket&) const = default;
};

// One open file descriptor of a process; `socket` is the id of the socket it
// refers to, 0 when it refers to no socket.
struct DescriptorRecord {
    qint32 fd = -1;
    quint64 socket = 0;

    bool operator==(const DescriptorRecord&) const = default;
};

// Ticks to nanoseconds: ticks * numerator / denominator.
struct Timebase {
    quint64 numerator = 1;
    quint64 denominator = 1;
};

// The kernel facts the process reader needs, one implementation per platform.
// Every operation is reentrant; none reports errors beyond "none" or "empty".
class ProcPlatform {
public:
    virtual ~ProcPlatform() = default;

    // The real user id of this program.
    virtual Uid currentUid() const = 0;
    // Every process id the kernel lists, in its order (may contain 0).
    virtual std::vector<Pid> listPids() const = 0;
    // Opens a process for reading; none when it does not exist (any more).
    virtual std::optional<ProcHandle> open(Pid pid) const = 0;
    virtual void close(ProcHandle& handle) const = 0;
    // Basics, CPU ticks and memory; none when the process cannot be read or is
    // not a user-space process.
    virtual std::optional<ProcStatus> status(const ProcHandle& handle) const = 0;
    // The absolute executable path, or none.
    virtual std::optional<QString> executablePath(const ProcHandle& handle) const = 0;
    // The largest argument area a process can have in bytes; -1 when unknown.
    virtual qsizetype argumentAreaMax() const = 0;
    // The argument vector, read into `buffer`, which the caller keeps for
    // further reads and the platform sizes to what it reads; empty on failure.
    virtual QStringList arguments(const ProcHandle& handle, QByteArray& buffer) const = 0;
    // The current directory, or none.
    virtual std::optional<QString> workingDirectory(const ProcHandle& handle) const = 0;
    // The control group the process runs in, or none.
    virtual std::optional<QString> cgroup(const ProcHandle& handle) const = 0;
    // The tick-to-nanosecond ratio of cpuTicks; fixed for the platform's lifetime.
    virtual Timebase timebase() const = 0;
    // Replaces `sockets` by every TCP socket listening on the machine (IPv4 and
    // IPv6); false when they cannot be read.
    virtual bool listeningSockets(std::vector<ListeningSocket>& sockets) const = 0;
    // Writes the process's open descriptors into `buffer` and returns how many
    // were written; a result equal to the buffer's size means there may be more.
    // -1 when the descriptors cannot be listed.
    virtual qsizetype descriptors(Pid pid, std::span<DescriptorRecord> buffer) const = 0;
    // The socket id that descriptor `fd` of the process refers to; 0 when it
    // refers to no socket, none when it cannot be read (closed, process gone).
    // The default lists every descriptor; platforms that can look at one do.
    virtual std::optional<quint64> descriptorSocket(Pid pid, qint32 fd) const;
};
