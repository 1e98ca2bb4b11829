#pragma once

#include <optional>

#include <QDBusConnection>
#include <QList>
#include <QStringList>

#include "launchd/SourceWarning.h"
#include "session/AutostartScanner.h"
#include "session/SessionJob.h"
#include "session/UnitScanner.h"
#include "session/UserManager.h"

// What a Linux session starts by itself, as one pass reads it: the user's
// units and their states in the service manager, and the autostart entries.
namespace SessionReads {

// Where the pass looks. The defaults are the real ones.
struct Sources {
    QList<UnitScanner::Folder> unitFolders = UnitScanner::standardFolders();
    AutostartScanner::Folders autostartFolders = AutostartScanner::Folders::standard();
    QStringList desktops = AutostartScanner::currentDesktops();
    // The bus of the user's service manager.
    std::function<QDBusConnection()> bus = &UserManager::sessionBus;
};

// The units with the manager's states. On a system booted without systemd
// and with no manager on the bus the units never run, so none are kept; a
// manager that should answer and does not leaves the units with a warning.
struct Units {
    QList<SessionJob> units;
    UnitStates states;
    std::optional<SourceWarning> warning;
};

// Asks the manager for the states of `units` (blocking, a few seconds at
// most) and applies the rule above. Without `mainPids` the running services'
// main processes are not asked for (cgroups tell them).
Units withStates(QList<SessionJob> units, const Sources& sources, bool bootedWithSystemd,
                 bool mainPids = true);

// Whether the processes' cgroups tell which of the user's units each runs in,
// as on a system booted with systemd.
bool cgroupsTellUnits(const ProcessTable& processes);

} // namespace SessionReads
