#pragma once

#include <optional>

#include <QDBusConnection>
#include <QSet>
#include <QString>

#include "session/SessionJob.h"

// The user's service manager (systemd --user) on the session bus. Every call
// blocks until the manager answers or `callTimeoutMs` passes, so callers use
// these from a worker thread, never from the main thread. A bus that is not
// connected (no session bus at all) gives an error, not a hang.
namespace UserManager {

inline constexpr int callTimeoutMs = 5000;

// The user's session bus when one is known (DBUS_SESSION_BUS_ADDRESS, or the
// socket in $XDG_RUNTIME_DIR/bus), else a connection that is not connected:
// without either, libdbus would start a bus of its own for an X display.
QDBusConnection sessionBus();

// Something owns the manager's name on `bus`.
bool isAvailable(const QDBusConnection& bus);

struct Reading {
    // Every loaded unit with its active and sub state; the services in
    // `wanted` that are not inactive also with their main process, restart
    // count and last exit status (only when the process exited, not when a
    // signal ended it). The unit file state stays empty.
    UnitStates states;
    // One line for people when the manager could not be asked or answered
    // something unexpected; `states` then holds what was read before.
    std::optional<QString> error;

    bool operator==(const Reading&) const = default;
};

// With `mainPids` false, the wanted services that are active are not asked:
// their processes are known by cgroup, and only a failing or restarting
// service has a status worth a call.
Reading readStates(const QDBusConnection& bus, const QSet<QString>& wanted, bool mainPids = true);

// Each returns a message for people naming the unit and the manager's own
// words when the manager refuses or does not answer; nothing on success.
std::optional<QString> startUnit(const QDBusConnection& bus, const QString& name);
std::optional<QString> stopUnit(const QDBusConnection& bus, const QString& name);
// The unit file changes are followed by a reload of the manager, so that it
// sees them at once. Masking never forces: a file of the unit's name in the
// user's folder is never replaced by the mask.
std::optional<QString> enableUnitFiles(const QDBusConnection& bus, const QString& name);
std::optional<QString> disableUnitFiles(const QDBusConnection& bus, const QString& name);
std::optional<QString> maskUnitFiles(const QDBusConnection& bus, const QString& name);
std::optional<QString> unmaskUnitFiles(const QDBusConnection& bus, const QString& name);

} // namespace UserManager
