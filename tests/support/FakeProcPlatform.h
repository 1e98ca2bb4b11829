#pragma once

#include <algorithm>
#include <functional>
#include <map>
#include <optional>
#include <vector>

#include "os/ProcPlatform.h"

// One scripted process.
struct FakeProcess {
    ProcReader::Basics basics;
    std::optional<quint64> cpuTicks;
    std::optional<quint64> memory;
    std::optional<QString> path;
    QStringList arguments;
    std::optional<QString> workingDirectory;
    std::optional<QString> cgroup;
    std::vector<DescriptorRecord> descriptors;
};

// A platform whose processes and sockets a test writes down, and which counts
// what the reader asks of it. A listed pid without a process in `processes`
// vanished between listing and reading.
class FakeProcPlatform final : public ProcPlatform {
public:
    Uid uid = 501;
    std::vector<Pid> pidList;
    std::map<Pid, FakeProcess> processes;
    std::vector<ListeningSocket> sockets;
    bool socketsReadable = true;
    // Runs whenever a process is opened, so a test can change the machine mid-pass.
    std::function<void(Pid)> onOpen;
    mutable std::map<Pid, int> staticReads; // path and arguments
    mutable std::map<Pid, int> descriptorReads;
    mutable int openHandles = 0;

    FakeProcess& add(Pid pid, FakeProcess process) {
        pidList.push_back(pid);
        return processes[pid] = std::move(process);
    }
    void remove(Pid pid) {
        processes.erase(pid);
        std::erase(pidList, pid);
    }
    void resetCounts() const {
        staticReads.clear();
        descriptorReads.clear();
    }

    Uid currentUid() const override { return uid; }
    std::vector<Pid> listPids() const override { return pidList; }
    std::optional<ProcHandle> open(Pid pid) const override {
        if (onOpen)
            onOpen(pid);
        if (!find(pid))
            return std::nullopt;
        ++openHandles;
        return ProcHandle{pid, static_cast<int>(pid)};
    }
    void close(ProcHandle& handle) const override {
        if (handle.fd >= 0)
            --openHandles;
        handle.fd = -1;
    }
    std::optional<ProcStatus> status(const ProcHandle& handle) const override {
        const FakeProcess* p = find(handle.pid);
        return p ? std::optional(ProcStatus{p->basics, p->cpuTicks, p->memory}) : std::nullopt;
    }
    std::optional<QString> executablePath(const ProcHandle& handle) const override {
        ++staticReads[handle.pid];
        const FakeProcess* p = find(handle.pid);
        return p ? p->path : std::nullopt;
    }
    qsizetype argumentAreaMax() const override { return -1; }
    QStringList arguments(const ProcHandle& handle, QByteArray&) const override {
        ++staticReads[handle.pid];
        const FakeProcess* p = find(handle.pid);
        return p ? p->arguments : QStringList();
    }
    std::optional<QString> workingDirectory(const ProcHandle& handle) const override {
        const FakeProcess* p = find(handle.pid);
        return p ? p->workingDirectory : std::nullopt;
    }
    std::optional<QString> cgroup(const ProcHandle& handle) const override {
        const FakeProcess* p = find(handle.pid);
        return p ? p->cgroup : std::nullopt;
    }
    Timebase timebase() const override { return {1, 1}; }
    bool listeningSockets(std::vector<ListeningSocket>& out) const override {
        out = socketsReadable ? sockets : std::vector<ListeningSocket>{};
        return socketsReadable;
    }
    qsizetype descriptors(Pid pid, std::span<DescriptorRecord> buffer) const override {
        ++descriptorReads[pid];
        const FakeProcess* p = find(pid);
        if (!p)
            return -1;
        const size_t count = std::min(buffer.size(), p->descriptors.size());
        std::copy_n(p->descriptors.begin(), count, buffer.begin());
        return static_cast<qsizetype>(count);
    }
    std::optional<quint64> descriptorSocket(Pid pid, qint32 fd) const override {
        const FakeProcess* p = find(pid);
        if (!p)
            return std::nullopt;
        for (const DescriptorRecord& record : p->descriptors) {
            if (record.fd == fd)
                return record.socket;
        }
        return std::nullopt;
    }

private:
    const FakeProcess* find(Pid pid) const {
        const auto found = processes.find(pid);
        return found == processes.end() ? nullptr : &found->second;
    }
};
