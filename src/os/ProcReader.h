#pragma once

#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <QByteArray>
#include <QByteArrayView>
#include <QStringList>

#include "os/ProcSnapshot.h"

class ProcPlatform;

// Reads the process table and the listening TCP ports. Every function is
// stateless; the caches are owned by the caller and passed in. All kernel access
// goes through a ProcPlatform, the real one unless a test passes another.
namespace ProcReader {

// The cheap first read of a process.
struct Basics {
    Pid ppid = 0;
    Uid uid = 0;
    QString name;
    std::optional<Timestamp> start;

    bool operator==(const Basics&) const = default;
};

// What cannot change for one program run; valid for a pid only while the
// process's start time equals `start` (else the pid was reused) and its kernel
// name equals `kernelName` (else the process ran exec, which keeps the pid and
// the start time but loads a new program with new arguments).
struct StaticInfo {
    std::optional<Timestamp> start;
    QString kernelName;
    QString path;
    QStringList arguments;
    std::optional<QString> cgroup;
    // Read twice: a launcher may move what it started into a cgroup of its own.
    bool cgroupSettled = false;

    bool operator==(const StaticInfo&) const = default;
};

using StaticInfoCache = std::unordered_map<Pid, StaticInfo>;

// One process instance: a pid and its start time (absent when unknown).
struct ProcessKey {
    Pid pid = 0;
    std::optional<Timestamp> start;

    bool operator==(const ProcessKey&) const = default;
};

// The descriptor through which a process holds a listening socket.
struct SocketHolder {
    Pid pid = 0;
    qint32 fd = -1;

    bool operator==(const SocketHolder&) const = default;
};

// Which process holds each listening socket, kept by the caller across passes
// so that a pass on a quiet machine reads one descriptor link per listening
// socket and searches no descriptor table. An empty cache makes the next call
// search the processes it is given until every socket has a holder.
struct SocketOwnerCache {
    // Listening socket id -> the process and descriptor found holding it.
    std::unordered_map<quint64, SocketHolder> owners;
    // Listening sockets that no process in `searched` holds (another user's,
    // or one held outside this program's view of the processes).
    std::unordered_set<quint64> unowned;
    // Processes whose descriptors were searched for every socket in `unowned`.
    std::unordered_map<Pid, std::optional<Timestamp>> searched;

    bool operator==(const SocketOwnerCache&) const = default;
};

// The platform the reader runs on.
const ProcPlatform& systemPlatform();

// Every process id, each at least 1, in the platform's order.
std::vector<Pid> allPids(const ProcPlatform& platform = systemPlatform());

// Parent, user, kernel name and start time; none when the process cannot be read.
std::optional<Basics> basics(Pid pid, const ProcPlatform& platform = systemPlatform());

// The absolute executable path, or none.
std::optional<QString> pidPath(Pid pid, const ProcPlatform& platform = systemPlatform());

// One process without arguments, working directory and cgroup; `cached` (the cache
// entry for the pid) supplies the path when it is valid for the process.
std::optional<ProcSnapshot> snapshot(Pid pid, const StaticInfo* cached = nullptr,
                                     const ProcPlatform& platform = systemPlatform());

// The argument vector, read through `buffer` (owned by the caller, reused
// across calls and grown by the platform as needed). Empty on failure.
QStringList arguments(Pid pid, QByteArray& buffer, const ProcPlatform& platform = systemPlatform());


// The current directory, or none when unreadable or empty.
std::optional<QString> workingDirectory(Pid pid, const ProcPlatform& platform = systemPlatform());

// Every readable process, keyed by pid. Arguments and working directory are read
// only for this program's user's processes outside the system folders, the
// cgroup for all of this user's processes. `cache` is replaced by the entries
// of this pass.
ProcessTable readAll(StaticInfoCache& cache, const ProcPlatform& platform = systemPlatform());

// The listening TCP ports (IPv4 and IPv6) of the given processes: pid ->
// ascending ports without duplicates; processes without one have no entry.
// Each socket counts for one process holding it (the first one found), and
// only sockets created by this program's user, or whose creator the platform
// does not tell, are looked for. Holders known from `owners` are checked
// first; a search of the descriptor tables, newest processes first, stops as
// soon as every socket has a holder.
PortMap listeningPortsOf(const std::vector<ProcessKey>& processes, SocketOwnerCache& owners,
                         const ProcPlatform& platform = systemPlatform());
// The same for processes known by pid alone: a pid reused by a new process
// is taken for the old one until its holder check fails.
PortMap listeningPorts(const std::vector<Pid>& pids, SocketOwnerCache& owners,
                       const ProcPlatform& platform = systemPlatform());

// Converts CPU time in the platform's ticks to nanoseconds.
quint64 ticksToNanos(quint64 ticks, const ProcPlatform& platform = systemPlatform());

} // namespace ProcReader
