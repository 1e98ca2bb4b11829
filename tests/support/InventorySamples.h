#pragma once

#include <optional>

#include <QList>
#include <QString>
#include <QStringList>

#include "inventory/BackgroundItem.h"
#include "inventory/SampleInput.h"

// Small builders for hand-made samples of the inventory builder.
namespace InventorySamples {

inline constexpr Uid userUid = 501;
inline constexpr Uid rootUid = 0;

// A process of the current user named after its path; arguments default to the path.
inline ProcSnapshot process(Pid pid, Pid ppid, const QString& path, QStringList arguments = {},
                            std::optional<QString> workingDirectory = std::nullopt) {
    ProcSnapshot p;
    p.pid = pid;
    p.ppid = ppid;
    p.uid = userUid;
    p.path = path;
    p.name = path.section(u'/', -1);
    p.arguments = arguments.isEmpty() ? QStringList{path} : std::move(arguments);
    p.workingDirectory = std::move(workingDirectory);
    return p;
}

inline ProcSnapshot withMemory(ProcSnapshot p, quint64 memory) {
    p.memory = memory;
    return p;
}

inline ProcSnapshot withUid(ProcSnapshot p, Uid uid) {
    p.uid = uid;
    return p;
}

inline void add(SampleInput& input, const ProcSnapshot& p) {
    input.processes[p.pid] = p;
}

// A sample holding the kernel (pid 0) and launchd (pid 1), as every real one does.
inline SampleInput baseSample() {
    SampleInput input;
    input.uid = userUid;
    input.ownPid = 9999;
    add(input, withUid(process(0, 0, QString(), {QStringLiteral("kernel_task")}), rootUid));
    input.processes[0].name = QStringLiteral("kernel_task");
    add(input, withUid(process(1, 0, QStringLiteral("/sbin/launchd")), rootUid));
    return input;
}

inline LaunchJob job(const QString& label, std::optional<QString> program,
                     QStringList arguments = {},
                     LaunchJob::Domain domain = LaunchJob::Domain::userAgent) {
    LaunchJob j;
    j.label = label;
    j.plistPath = QStringLiteral("/Users/tester/Library/LaunchAgents/%1.plist").arg(label);
    j.domain = domain;
    j.program = std::move(program);
    j.arguments = std::move(arguments);
    return j;
}

inline void listed(SampleInput& input, const QString& label, std::optional<Pid> pid,
                   std::optional<qint64> lastExitStatus = std::nullopt) {
    input.launchctl[label] = CommandParsers::LaunchctlEntry{pid, lastExitStatus};
}

inline const BackgroundItem* findItem(const QList<BackgroundItem>& items, const QString& id) {
    const auto found = std::find_if(items.begin(), items.end(),
                                    [&](const BackgroundItem& item) { return item.id == id; });
    return found == items.end() ? nullptr : &*found;
}

} // namespace InventorySamples
