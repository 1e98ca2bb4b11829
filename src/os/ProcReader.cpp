#include "os/ProcReader.h"

#include <algorithm>
#include <map>
#include <set>

#include "os/ProcPlatform.h"

namespace ProcReader {

namespace {

// Descriptor records per process before the buffer grows.
constexpr size_t initialDescriptorRecords = 256;
constexpr size_t descriptorGrowth = 16;

// Closes the process handle when it goes out of scope.
class OpenProcess {
public:
    OpenProcess(const ProcPlatform& platform, Pid pid)
        : m_platform(platform), m_handle(platform.open(pid)) {}
    ~OpenProcess() {
        if (m_handle)
            m_platform.close(*m_handle);
    }
    OpenProcess(const OpenProcess&) = delete;
    OpenProcess& operator=(const OpenProcess&) = delete;

    explicit operator bool() const { return m_handle.has_value(); }
    const ProcHandle& handle() const { return *m_handle; }

private:
    const ProcPlatform& m_platform;
    std::optional<ProcHandle> m_handle;
};

QString lastPathComponent(const QString& path) {
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? path : path.mid(slash + 1);
}

bool isSystemPath(const QString& path) {
    return path.startsWith(QLatin1String("/System/")) ||
           path.startsWith(QLatin1String("/usr/libexec/"));
}

// A snapshot and whether the cache entry it was taken with holds for it.
struct Read {
    ProcSnapshot snapshot;
    QString kernelName;
    bool cacheHolds = false;
};

std::optional<Read> snapshotOf(const ProcHandle& handle, const StaticInfo* cached,
                               const ProcPlatform& platform) {
    const std::optional<ProcStatus> status = platform.status(handle);
    if (!status)
        return std::nullopt;
    Read read;
    read.kernelName = status->basics.name;
    // The kernel name comes with the cheap read and changes on exec: comparing
    // it costs nothing, and a program that replaced itself is read again.
    read.cacheHolds = cached && cached->start == status->basics.start &&
                      cached->kernelName == status->basics.name;

    ProcSnapshot& snapshot = read.snapshot;
    snapshot.pid = handle.pid;
    snapshot.ppid = status->basics.ppid;
    snapshot.uid = status->basics.uid;
    snapshot.startDate = status->basics.start;

    std::optional<QString> path;
    if (read.cacheHolds && !cached->path.isEmpty())
        path = cached->path;
    else
        path = platform.executablePath(handle);
    if (path && !path->isEmpty()) {
        snapshot.path = *path;
        snapshot.name = lastPathComponent(*path);
    } else {
        snapshot.name = status->basics.name;
    }

    snapshot.memory = status->memory;
    if (status->cpuTicks)
        snapshot.cpuNanos = ticksToNanos(*status->cpuTicks, platform);
    return read;
}

// The descriptors of `pid`, listed into `buffer`, which grows until the whole
// table fits; -1 when they cannot be listed.
qsizetype listDescriptors(const ProcPlatform& platform, Pid pid,
                          std::vector<DescriptorRecord>& buffer) {
    if (buffer.empty())
        buffer.resize(initialDescriptorRecords);
    for (;;) {
        const qsizetype count = platform.descriptors(pid, buffer);
        if (count < 0 || static_cast<size_t>(count) < buffer.size())
            return count;
        buffer.assign(buffer.size() * descriptorGrowth, DescriptorRecord{});
    }
}

// A search of descriptor tables for the holders of listening sockets.
class HolderSearch {
public:
    HolderSearch(const ProcPlatform& platform, SocketOwnerCache& cache)
        : m_platform(platform), m_cache(cache) {}

    // Looks through the descriptors of `process` for the sockets in `wanted`
    // and in the cache's unowned set; what it finds moves to the owners.
    void search(const ProcessKey& process, std::unordered_set<quint64>& wanted) {
        m_cache.searched.insert_or_assign(process.pid, process.start);
        const qsizetype count = listDescriptors(m_platform, process.pid, m_buffer);
        for (qsizetype i = 0; i < count; ++i) {
            const DescriptorRecord& record = m_buffer[static_cast<size_t>(i)];
            if (record.socket == 0)
                continue;
            if (wanted.erase(record.socket) == 0 && m_cache.unowned.erase(record.socket) == 0)
                continue;
            m_cache.owners.insert_or_assign(record.socket, SocketHolder{process.pid, record.fd});
        }
    }

private:
    const ProcPlatform& m_platform;
    SocketOwnerCache& m_cache;
    std::vector<DescriptorRecord> m_buffer;
};

} // namespace

} // namespace ProcReader

std::optional<quint64> ProcPlatform::descriptorSocket(Pid pid, qint32 fd) const {
    std::vector<DescriptorRecord> buffer;
    const qsizetype count = ProcReader::listDescriptors(*this, pid, buffer);
    const auto end = buffer.begin() + std::max<qsizetype>(count, 0);
    const auto found = std::find_if(
        buffer.begin(), end, [fd](const DescriptorRecord& record) { return record.fd == fd; });
    if (found == end)
        return std::nullopt;
    return found->socket;
}

namespace ProcReader {

std::vector<Pid> allPids(const ProcPlatform& platform) {
    std::vector<Pid> pids = platform.listPids();
    std::erase_if(pids, [](Pid pid) { return pid < 1; });
    return pids;
}

std::optional<Basics> basics(Pid pid, const ProcPlatform& platform) {
    OpenProcess process(platform, pid);
    if (!process)
        return std::nullopt;
    std::optional<ProcStatus> status = platform.status(process.handle());
    if (!status)
        return std::nullopt;
    return std::move(status->basics);
}

std::optional<QString> pidPath(Pid pid, const ProcPlatform& platform) {
    OpenProcess process(platform, pid);
    if (!process)
        return std::nullopt;
    return platform.executablePath(process.handle());
}

std::optional<ProcSnapshot> snapshot(Pid pid, const StaticInfo* cached,
                                     const ProcPlatform& platform) {
    OpenProcess process(platform, pid);
    if (!process)
        return std::nullopt;
    std::optional<Read> read = snapshotOf(process.handle(), cached, platform);
    if (!read)
        return std::nullopt;
    return std::move(read->snapshot);
}

QStringList arguments(Pid pid, QByteArray& buffer, const ProcPlatform& platform) {
    OpenProcess process(platform, pid);
    if (!process)
        return {};
    return platform.arguments(process.handle(), buffer);
}

std::optional<QString> workingDirectory(Pid pid, const ProcPlatform& platform) {
    OpenProcess process(platform, pid);
    if (!process)
        return std::nullopt;
    return platform.workingDirectory(process.handle());
}

ProcessTable readAll(StaticInfoCache& cache, const ProcPlatform& platform) {
    const Uid ownUid = platform.currentUid();
    ProcessTable result;
    // The cache is updated in place (its entries are reused) and swept of the
    // pids not read in this pass at the end.
    std::vector<Pid> seen;
    seen.reserve(cache.size() + 64);
    // Shared by the argument reads of this pass; the platform sizes it to what
    // it reads.
    QByteArray argumentBuffer;

    for (const Pid pid : allPids(platform)) {
        OpenProcess process(platform, pid);
        if (!process)
            continue;
        const auto old = cache.find(pid);
        const StaticInfo* cached = old == cache.end() ? nullptr : &old->second;
        std::optional<Read> read = snapshotOf(process.handle(), cached, platform);
        if (!read)
            continue;
        ProcSnapshot& snapshot = read->snapshot;

        if (snapshot.uid == ownUid && !isSystemPath(snapshot.path)) {
            // Read in the middle of an exec, a process shows its new name
            // before its arguments: empty ones are asked for again.
            if (read->cacheHolds && !cached->arguments.isEmpty()) {
                snapshot.arguments = cached->arguments;
            } else {
                snapshot.arguments = platform.arguments(process.handle(), argumentBuffer);
            }
            snapshot.workingDirectory = platform.workingDirectory(process.handle());
            if (snapshot.workingDirectory && snapshot.workingDirectory->isEmpty())
                snapshot.workingDirectory.reset();
            if (snapshot.path.isEmpty() && !snapshot.arguments.isEmpty() &&
                snapshot.arguments.front().startsWith(QLatin1Char('/'))) {
                snapshot.path = snapshot.arguments.front();
                snapshot.name = lastPathComponent(snapshot.path);
            }
        }

        if (snapshot.uid == ownUid) {
            if (read->cacheHolds && cached->cgroupSettled)
                snapshot.cgroup = cached->cgroup;
            else
                snapshot.cgroup = platform.cgroup(process.handle());
        }

        // Path and arguments share their data with the snapshot: no copies.
        StaticInfo entry{snapshot.startDate, std::move(read->kernelName),
                         snapshot.path,      snapshot.arguments,
                         snapshot.cgroup,    read->cacheHolds};
        if (cached)
            old->second = std::move(entry);
        else
            cache.emplace(pid, std::move(entry));
        seen.push_back(pid);
        result.emplace(pid, std::move(snapshot));
    }

    std::sort(seen.begin(), seen.end());
    std::erase_if(cache, [&](const auto& entry) {
        return !std::binary_search(seen.begin(), seen.end(), entry.first);
    });
    return result;
}

PortMap listeningPortsOf(const std::vector<ProcessKey>& processes, SocketOwnerCache& cache,
                         const ProcPlatform& platform) {
    PortMap result;
    std::vector<ListeningSocket> sockets;
    if (!platform.listeningSockets(sockets))
        return result;
    // Only this user's sockets can be held by this user's processes (apart
    // from a socket handed over by another user's program, which is rare).
    const Uid ownUid = platform.currentUid();
    std::unordered_map<quint64, int> listening;
    listening.reserve(sockets.size());
    for (const ListeningSocket& socket : sockets) {
        if (!socket.uid || *socket.uid == ownUid)
            listening.emplace(socket.id, socket.port);
    }
    std::unordered_map<Pid, const ProcessKey*> asked;
    asked.reserve(processes.size());
    for (const ProcessKey& process : processes)
        asked.emplace(process.pid, &process);

    // Forget closed sockets and processes that are gone or no longer asked about.
    std::erase_if(cache.unowned, [&](quint64 socket) { return !listening.contains(socket); });
    std::erase_if(cache.searched, [&](const auto& entry) {
        const auto found = asked.find(entry.first);
        return found == asked.end() || found->second->start != entry.second;
    });

    // Known holders first: one descriptor link each tells whether they still
    // hold their socket.
    std::unordered_set<quint64> wanted;
    for (const auto& [socket, port] : listening) {
        if (cache.unowned.contains(socket))
            continue;
        const auto known = cache.owners.find(socket);
        if (known != cache.owners.end() && asked.contains(known->second.pid) &&
            platform.descriptorSocket(known->second.pid, known->second.fd) == socket)
            continue;
        wanted.insert(socket);
    }
    std::erase_if(cache.owners, [&](const auto& entry) {
        return !listening.contains(entry.first) || wanted.contains(entry.first);
    });

    // Then a search, only while a socket lacks a holder: processes not
    // searched before first (they alone can hold an unowned socket), newest
    // first (otherwise in the order given), until every socket has a holder.
    if (!wanted.empty() || !cache.unowned.empty()) {
        std::vector<const ProcessKey*> order;
        order.reserve(processes.size());
        for (const ProcessKey& process : processes)
            order.push_back(&process);
        const auto searched = [&](const ProcessKey* process) {
            return cache.searched.contains(process->pid);
        };
        std::stable_sort(order.begin(), order.end(), [&](const ProcessKey* a, const ProcessKey* b) {
            if (searched(a) != searched(b))
                return !searched(a);
            return a->start > b->start; // absent starts last
        });
        HolderSearch search(platform, cache);
        for (const ProcessKey* process : order) {
            if (wanted.empty() && (cache.unowned.empty() || searched(process)))
                break;
            search.search(*process, wanted);
        }
        // Every process was searched for what is still wanted.
        cache.unowned.insert(wanted.begin(), wanted.end());
    }

    std::map<Pid, std::set<int>> ports;
    for (const auto& [socket, holder] : cache.owners)
        ports[holder.pid].insert(listening.at(socket));
    for (const auto& [pid, set] : ports)
        result.emplace(pid, QList<int>(set.begin(), set.end()));
    return result;
}

PortMap listeningPorts(const std::vector<Pid>& pids, SocketOwnerCache& cache,
                       const ProcPlatform& platform) {
    std::vector<ProcessKey> processes;
    processes.reserve(pids.size());
    for (const Pid pid : pids)
        processes.push_back(ProcessKey{pid, std::nullopt});
    return listeningPortsOf(processes, cache, platform);
}

quint64 ticksToNanos(quint64 ticks, const ProcPlatform& platform) {
    const Timebase base = platform.timebase();
    return ticks * base.numerator / (base.denominator == 0 ? 1 : base.denominator);
}

} // namespace ProcReader
