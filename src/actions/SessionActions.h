#pragma once

#include <functional>

#include <QDBusConnection>
#include <QList>

#include "actions/ActionError.h"
#include "session/AutostartScanner.h"
#include "session/SessionJob.h"
#include "session/UnitScanner.h"
#include "session/UserManager.h"

// Starting, stopping, disabling and re-enabling the session's units and
// autostart entries, as the user alone may: units through the user's service
// manager, entries through the user's own autostart folder. Each call blocks
// (on the manager, or on the disk): call from a worker.
namespace SessionActions {

struct Context {
    std::function<QDBusConnection()> bus = &UserManager::sessionBus;
    AutostartScanner::Folders autostartFolders = AutostartScanner::Folders::standard();
    QList<UnitScanner::Folder> unitFolders = UnitScanner::standardFolders();
};

// A unit through the manager; an entry's command, detached, in its folder.
ActionResult start(const SessionJob& job, const Context& context);

// A unit through the manager, so that Restart= does not bring it back. An
// entry's processes are the caller's to end.
ActionResult stopUnit(const SessionJob& job, const Context& context);

// Keeps it from starting at login and, when `active`, stops a unit now:
// disables the user's unit, masks the system's for this user, or hides the
// entry. Fails, and says why, when afterwards it would still start at login.
ActionResult disable(const SessionJob& job, bool active, const Context& context);

// Undoes what disable() did: unmasks, enables, or unhides.
ActionResult reenable(const SessionJob& job, const Context& context);

} // namespace SessionActions
