#pragma once

#include <map>

#include <QList>
#include <QString>

#include "inventory/BackgroundItem.h"
#include "inventory/SampleInput.h"

// Turns one sample into the background items a person reads. Pure: reads no
// files and runs no commands.
namespace InventoryBuilder {

using PidLabels = std::map<Pid, QString>;

Inventory build(const SampleInput& input);

QString groupKey(const ProcSnapshot& process, const PidLabels& pidLabels, const SampleInput& input);

// The parent chain, nearest parent first; never holds pid 0 or 1, at most 32 long.
QList<ProcSnapshot> ancestors(const ProcSnapshot& process, const ProcessTable& processes);

QString labelName(const QString& label);
QString jobName(const LaunchJob& job, const HostRules& rules);
// A relative script path is read against the process's working directory.
QString commandName(const ProcSnapshot& process, const HostRules& rules);
QString shortenName(const QString& text);

} // namespace InventoryBuilder
