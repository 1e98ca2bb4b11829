#pragma once

#include <optional>
#include <unordered_map>
#include <vector>

#include <QByteArrayView>
#include <QStringList>

#include "sampling/ProcSnapshot.h"

class ProcPlatform;

namespace ProcReader {

// The cheap first read of a process.
struct Basics {
    Pid ppid = 0;
    Uid uid = 0;
    QString name;
    std::optional<Timestamp> start;

    bool operator==(const Basics&) const = default;
};

// What cannot change for one process instance; valid for a pid only while the
// process's start time equals `start`.
struct StaticInfo {
    std::optional<Timestamp> start;
    QString path;
    QStringList arguments;

    bool operator==(const StaticInfo&) const = default;
};

using StaticInfoCache = std::unordered_map<Pid, StaticInfo>;

// Which process owns each listening socket, kept by the caller across passes so
// that file descriptors are rescanned only when something changed.
struct SocketOwnerCache;

// The platform the reader runs on; the real one unless a test passes another.
const ProcPlatform& systemPlatform();

QStringList parseArguments(QByteArrayView bytes);

ProcessTable readAll(StaticInfoCache& cache, const ProcPlatform& platform = systemPlatform());

PortMap listeningPorts(const std::vector<Pid>& pids, SocketOwnerCache& owners,
                       const ProcPlatform& platform = systemPlatform());

quint64 ticksToNanos(quint64 ticks, const ProcPlatform& platform = systemPlatform());

} // namespace ProcReader
