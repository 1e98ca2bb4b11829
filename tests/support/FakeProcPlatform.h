#pragma once

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
    std::vector<DescriptorRecord> descriptors;
};

// A platform whose processes and sockets a test writes down, and which counts
// what the reader asks of it.
class FakeProcPlatform final : public ProcPlatform {
public:
    Uid uid = 501;
    // Listed pids in order; a pid without a process in `processes` vanished
    // between listing and reading.
    std::vector<Pid> pidList;
    std::map<Pid, FakeProcess> processes;
    qsizetype argumentMax = -1;
    Timebase base{1, 1};
    std::vector<ListeningSocket> sockets;
    bool socketsReadable = true;
    // Runs whenever a process is opened, so a test can change the machine mid-pass.
    std::function<void(Pid)> onOpen;

    // What was asked.
    mutable std::map<Pid, int> statusReads;
    mutable std::map<Pid, int> pathReads;
    mutable std::map<Pid, int> argumentReads;
    mutable std::map<Pid, int> directoryReads;
    mutable std::vector<qsizetype> argumentBufferSizes;
    mutable std::map<Pid, std::vector<size_t>> descriptorBufferSizes;
    mutable int holderChecks = 0;
    mutable int openHandles = 0;

    // Lists `pid` and scripts its process.
    FakeProcess& add(Pid pid, FakeProcess process);
    void remove(Pid pid);
    void resetCounts() const;

    Uid currentUid() const override;
    std::vector<Pid> listPids() const override;
    std::optional<ProcHandle> open(Pid pid) const override;
    void close(ProcHandle& handle) const override;
    std::optional<ProcStatus> status(const ProcHandle& handle) const override;
    std::optional<QString> executablePath(const ProcHandle& handle) const override;
    qsizetype argumentAreaMax() const override;
    QStringList arguments(const ProcHandle& handle, QByteArray& buffer) const override;
    std::optional<QString> workingDirectory(const ProcHandle& handle) const override;
    Timebase timebase() const override;
    bool listeningSockets(std::vector<ListeningSocket>& out) const override;
    qsizetype descriptors(Pid pid, std::span<DescriptorRecord> buffer) const override;
    std::optional<quint64> descriptorSocket(Pid pid, qint32 fd) const override;

private:
    const FakeProcess* find(Pid pid) const;
};
