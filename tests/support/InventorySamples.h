#pragma once

#include <optional>

#include <QList>
#include <QString>
#include <QStringList>

#include "inventory/BackgroundItem.h"
#include "inventory/SampleInput.h"
#include "launchd/LaunchJob.h"
#include "os/ProcSnapshot.h"

// Small builders for hand-made samples of the inventory builder.
namespace InventorySamples {

inline constexpr Uid userUid = 501;
inline constexpr Uid rootUid = 0;

// A process of the current user; its name is the file name of its path and
// its arguments default to the path alone.
inline ProcSnapshot process(Pid pid, Pid ppid, const QString& path, QStringList arguments = {},
                            std::optional<QString> workingDirectory = std::nullopt) {
    ProcSnapshot snapshot;
    snapshot.pid = pid;
    snapshot.ppid = ppid;
    snapshot.uid = userUid;
    snapshot.path = path;
    snapshot.name = path.section(u'/', -1);
    snapshot.arguments = arguments.isEmpty() ? QStringList{path} : std::move(arguments);
    snapshot.workingDirectory = std::move(workingDirectory);
    return snapshot;
}

inline ProcSnapshot withMemory(ProcSnapshot snapshot, quint64 memory) {
    snapshot.memory = memory;
    return snapshot;
}

inline ProcSnapshot withUid(ProcSnapshot snapshot, Uid uid) {
    snapshot.uid = uid;
    return snapshot;
}

inline ProcSnapshot withName(ProcSnapshot snapshot, const QString& name) {
    snapshot.name = name;
    return snapshot;
}

// A sample holding the kernel and launchd, as every real one does.
inline SampleInput baseSample() {
    SampleInput input;
    input.uid = userUid;
    input.ownPid = 9999;
    ProcSnapshot kernel = process(0, 0, QString(), {QStringLiteral("kernel_task")});
    kernel.name = QStringLiteral("kernel_task");
    kernel.uid = rootUid;
    input.processes[0] = kernel;
    input.processes[1] = withUid(process(1, 0, QStringLiteral("/sbin/launchd")), rootUid);
    return input;
}

inline void add(SampleInput& input, const ProcSnapshot& snapshot) {
    input.processes[snapshot.pid] = snapshot;
}

inline LaunchJob job(const QString& label, std::optional<QString> program,
                     QStringList arguments = {},
                     LaunchJob::Domain domain = LaunchJob::Domain::userAgent) {
    LaunchJob launchJob;
    launchJob.label = label;
    launchJob.plistPath =
        QStringLiteral("/Users/tester/Library/LaunchAgents/") + label + QStringLiteral(".plist");
    launchJob.domain = domain;
    launchJob.program = std::move(program);
    launchJob.arguments = std::move(arguments);
    return launchJob;
}

inline void listed(SampleInput& input, const QString& label, std::optional<Pid> pid,
                   std::optional<qint64> lastExitStatus = std::nullopt) {
    input.launchctl[label] = CommandParsers::LaunchctlEntry{pid, lastExitStatus};
}

inline const BackgroundItem* findItem(const QList<BackgroundItem>& items, const QString& id) {
    for (const BackgroundItem& item : items) {
        if (item.id == id)
            return &item;
    }
    return nullptr;
}

inline QStringList ids(const QList<BackgroundItem>& items) {
    QStringList result;
    for (const BackgroundItem& item : items)
        result.append(item.id);
    return result;
}

inline QList<Pid> memberPids(const BackgroundItem& item) {
    QList<Pid> pids;
    for (const ProcSnapshot& member : item.members)
        pids.append(member.pid);
    return pids;
}

} // namespace InventorySamples
