#include "support/FakeProcPlatform.h"

#include <algorithm>

FakeProcess& FakeProcPlatform::add(Pid pid, FakeProcess process) {
    pidList.push_back(pid);
    return processes[pid] = std::move(process);
}

void FakeProcPlatform::remove(Pid pid) {
    processes.erase(pid);
    std::erase(pidList, pid);
}

void FakeProcPlatform::resetCounts() const {
    statusReads.clear();
    pathReads.clear();
    argumentReads.clear();
    directoryReads.clear();
    argumentBufferSizes.clear();
    descriptorBufferSizes.clear();
    holderChecks = 0;
}

const FakeProcess* FakeProcPlatform::find(Pid pid) const {
    const auto found = processes.find(pid);
    return found == processes.end() ? nullptr : &found->second;
}

Uid FakeProcPlatform::currentUid() const {
    return uid;
}

std::vector<Pid> FakeProcPlatform::listPids() const {
    return pidList;
}

std::optional<ProcHandle> FakeProcPlatform::open(Pid pid) const {
    if (onOpen)
        onOpen(pid);
    if (!find(pid))
        return std::nullopt;
    ++openHandles;
    return ProcHandle{pid, static_cast<int>(pid)};
}

void FakeProcPlatform::close(ProcHandle& handle) const {
    if (handle.fd >= 0)
        --openHandles;
    handle.fd = -1;
}

std::optional<ProcStatus> FakeProcPlatform::status(const ProcHandle& handle) const {
    ++statusReads[handle.pid];
    const FakeProcess* process = find(handle.pid);
    if (!process)
        return std::nullopt;
    return ProcStatus{process->basics, process->cpuTicks, process->memory};
}

std::optional<QString> FakeProcPlatform::executablePath(const ProcHandle& handle) const {
    ++pathReads[handle.pid];
    const FakeProcess* process = find(handle.pid);
    return process ? process->path : std::nullopt;
}

qsizetype FakeProcPlatform::argumentAreaMax() const {
    return argumentMax;
}

QStringList FakeProcPlatform::arguments(const ProcHandle& handle, QByteArray& buffer) const {
    ++argumentReads[handle.pid];
    argumentBufferSizes.push_back(buffer.size());
    const FakeProcess* process = find(handle.pid);
    return process ? process->arguments : QStringList();
}

std::optional<QString> FakeProcPlatform::workingDirectory(const ProcHandle& handle) const {
    ++directoryReads[handle.pid];
    const FakeProcess* process = find(handle.pid);
    return process ? process->workingDirectory : std::nullopt;
}

Timebase FakeProcPlatform::timebase() const {
    return base;
}

bool FakeProcPlatform::listeningSockets(std::vector<ListeningSocket>& out) const {
    out = socketsReadable ? sockets : std::vector<ListeningSocket>{};
    return socketsReadable;
}

qsizetype FakeProcPlatform::descriptors(Pid pid, std::span<DescriptorRecord> buffer) const {
    descriptorBufferSizes[pid].push_back(buffer.size());
    const FakeProcess* process = find(pid);
    if (!process)
        return -1;
    const size_t count = std::min(buffer.size(), process->descriptors.size());
    std::copy_n(process->descriptors.begin(), count, buffer.begin());
    return static_cast<qsizetype>(count);
}

std::optional<quint64> FakeProcPlatform::descriptorSocket(Pid pid, qint32 fd) const {
    ++holderChecks;
    const FakeProcess* process = find(pid);
    if (!process)
        return std::nullopt;
    for (const DescriptorRecord& record : process->descriptors) {
        if (record.fd == fd)
            return record.socket;
    }
    return std::nullopt;
}
