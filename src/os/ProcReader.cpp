#include "os/ProcReader.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

#include "os/ProcPlatform.h"

namespace ProcReader {

namespace {

// The smallest argument buffer, also used when the platform cannot say.
constexpr qsizetype minimumArgumentBuffer = 262144;
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

std::optional<ProcSnapshot> snapshotOf(const ProcHandle& handle, const StaticInfo* cached,
                                       const ProcPlatform& platform) {
    const std::optional<ProcStatus> status = platform.status(handle);
    if (!status)
        return std::nullopt;

    ProcSnapshot snapshot;
    snapshot.pid = handle.pid;
    snapshot.ppid = status->basics.ppid;
    snapshot.uid = status->basics.uid;
    snapshot.startDate = status->basics.start;

    std::optional<QString> path;
    if (cached && cached->start == status->basics.start && !cached->path.isEmpty())
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
    return snapshot;
}

// The processes among `pids` that hold one of `listening`, scanned from their
// descriptors into `owners`. `scanned` receives every pid looked at.
void scanDescriptors(const std::vector<Pid>& pids,
                     const std::unordered_map<quint64, int>& listening, SocketOwnerCache& cache,
                     const ProcPlatform& platform) {
    std::vector<DescriptorRecord> buffer(initialDescriptorRecords);
    for (const Pid pid : pids) {
        cache.scanned.insert(pid);
        qsizetype count = platform.descriptors(pid, buffer);
        if (count <= 0)
            continue;
        if (static_cast<size_t>(count) == buffer.size()) {
            buffer.assign(buffer.size() * descriptorGrowth, DescriptorRecord{});
            count = platform.descriptors(pid, buffer);
            if (count <= 0)
                continue;
        }
        std::optional<SocketOwner> owner;
        for (qsizetype i = 0; i < count; ++i) {
            const quint64 socket = buffer[static_cast<size_t>(i)].socket;
            if (socket == 0 || !listening.contains(socket))
                continue;
            if (!owner) {
                // The start time tells later calls whether this owner is still there.
                OpenProcess process(platform, pid);
                std::optional<ProcStatus> status;
                if (process)
                    status = platform.status(process.handle());
                if (!status)
                    break; // gone while being scanned
                owner = SocketOwner{pid, status->basics.start};
            }
            std::vector<SocketOwner>& holders = cache.owners[socket];
            if (std::find(holders.begin(), holders.end(), *owner) == holders.end())
                holders.push_back(*owner);
            cache.unowned.erase(socket);
        }
    }
}

bool ownerIsPresent(const SocketOwner& owner, const std::unordered_set<Pid>& asked,
                    const ProcPlatform& platform) {
    if (!asked.contains(owner.pid))
        return false;
    OpenProcess process(platform, owner.pid);
    if (!process)
        return false;
    const std::optional<ProcStatus> status = platform.status(process.handle());
    return status && status->basics.start == owner.start;
}

} // namespace

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
    return snapshotOf(process.handle(), cached, platform);
}

QStringList arguments(Pid pid, QByteArray& buffer, const ProcPlatform& platform) {
    OpenProcess process(platform, pid);
    if (!process)
        return {};
    return platform.arguments(process.handle(), buffer);
}

QStringList parseArguments(QByteArrayView bytes) {
    QStringList result;
    if (bytes.size() < 5)
        return result;
    qint32 count = 0;
    std::memcpy(&count, bytes.data(), sizeof count);
    if (count <= 0)
        return result;

    const char* const data = bytes.data();
    const qsizetype end = bytes.size();
    qsizetype position = 4;
    while (position < end && data[position] != '\0')
        ++position; // the executable path
    while (position < end && data[position] == '\0')
        ++position; // its padding
    while (result.size() < count && position < end) {
        const char* start = data + position;
        const void* nul = std::memchr(start, '\0', static_cast<size_t>(end - position));
        const qsizetype length = nul ? static_cast<const char*>(nul) - start : end - position;
        result.append(QString::fromUtf8(start, length));
        position += length + 1;
    }
    return result;
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
    QByteArray argumentBuffer; // allocated on the first argument read that the cache cannot serve

    for (const Pid pid : allPids(platform)) {
        OpenProcess process(platform, pid);
        if (!process)
            continue;
        const auto old = cache.find(pid);
        const StaticInfo* cached = old == cache.end() ? nullptr : &old->second;
        std::optional<ProcSnapshot> snapshot = snapshotOf(process.handle(), cached, platform);
        if (!snapshot)
            continue;

        if (snapshot->uid == ownUid && !isSystemPath(snapshot->path)) {
            if (cached && cached->start == snapshot->startDate) {
                snapshot->arguments = cached->arguments;
            } else {
                if (argumentBuffer.isEmpty()) {
                    const qsizetype most = platform.argumentAreaMax();
                    argumentBuffer = QByteArray(std::max(most, minimumArgumentBuffer), '\0');
                }
                snapshot->arguments = platform.arguments(process.handle(), argumentBuffer);
            }
            snapshot->workingDirectory = platform.workingDirectory(process.handle());
            if (snapshot->workingDirectory && snapshot->workingDirectory->isEmpty())
                snapshot->workingDirectory.reset();
            if (snapshot->path.isEmpty() && !snapshot->arguments.isEmpty() &&
                snapshot->arguments.front().startsWith(QLatin1Char('/'))) {
                snapshot->path = snapshot->arguments.front();
                snapshot->name = lastPathComponent(snapshot->path);
            }
        }

        // Path and arguments share their data with the snapshot: no copies.
        StaticInfo entry{snapshot->startDate, snapshot->path, snapshot->arguments};
        if (cached)
            old->second = std::move(entry);
        else
            cache.emplace(pid, std::move(entry));
        seen.push_back(pid);
        result.emplace(pid, std::move(*snapshot));
    }

    std::sort(seen.begin(), seen.end());
    std::erase_if(cache, [&](const auto& entry) {
        return !std::binary_search(seen.begin(), seen.end(), entry.first);
    });
    return result;
}

PortMap listeningPorts(const std::vector<Pid>& pids, SocketOwnerCache& cache,
                       const ProcPlatform& platform) {
    PortMap result;
    std::vector<ListeningSocket> sockets;
    if (!platform.listeningSockets(sockets))
        return result;
    std::unordered_map<quint64, int> listening;
    listening.reserve(sockets.size());
    for (const ListeningSocket& socket : sockets)
        listening.emplace(socket.id, socket.port);
    const std::unordered_set<Pid> asked(pids.begin(), pids.end());

    // Forget sockets that were closed and processes no longer asked about.
    std::erase_if(cache.owners,
                  [&](const auto& entry) { return !listening.contains(entry.first); });
    std::erase_if(cache.unowned, [&](quint64 socket) { return !listening.contains(socket); });
    std::erase_if(cache.scanned, [&](Pid pid) { return !asked.contains(pid); });

    bool rescan = false;
    std::map<Pid, bool> present;
    for (const auto& [socket, holders] : cache.owners) {
        for (const SocketOwner& owner : holders) {
            auto [entry, inserted] = present.try_emplace(owner.pid, false);
            if (inserted)
                entry->second = ownerIsPresent(owner, asked, platform);
            rescan = rescan || !entry->second;
        }
    }
    for (const auto& [socket, port] : listening)
        rescan = rescan || (!cache.owners.contains(socket) && !cache.unowned.contains(socket));

    if (rescan) {
        cache = SocketOwnerCache{};
        scanDescriptors(pids, listening, cache, platform);
        for (const auto& [socket, port] : listening) {
            if (!cache.owners.contains(socket))
                cache.unowned.insert(socket);
        }
    } else {
        // Processes not seen before may have inherited a listening socket.
        std::vector<Pid> fresh;
        for (const Pid pid : pids) {
            if (!cache.scanned.contains(pid))
                fresh.push_back(pid);
        }
        if (!fresh.empty())
            scanDescriptors(fresh, listening, cache, platform);
    }

    std::map<Pid, std::set<int>> ports;
    for (const auto& [socket, holders] : cache.owners) {
        const int port = listening.at(socket);
        for (const SocketOwner& owner : holders) {
            if (asked.contains(owner.pid))
                ports[owner.pid].insert(port);
        }
    }
    for (const auto& [pid, set] : ports)
        result.emplace(pid, QList<int>(set.begin(), set.end()));
    return result;
}

quint64 ticksToNanos(quint64 ticks, const ProcPlatform& platform) {
    const Timebase base = platform.timebase();
    return ticks * base.numerator / (base.denominator == 0 ? 1 : base.denominator);
}

} // namespace ProcReader
