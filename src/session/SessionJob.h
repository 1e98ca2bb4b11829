#pragma once

#include <map>
#include <optional>

#include <QString>
#include <QStringList>

#include "os/ProcSnapshot.h"

// Something a Linux session starts by itself, as its files define it: a
// systemd user unit (a service or a timer) or an XDG autostart entry.
struct SessionJob {
    enum class Kind { service, timer, autostartEntry };
    // Whose folder holds the definition in effect: the user's own
    // (~/.config, ~/.local/share) or the system's (/etc, /usr, $XDG_*_DIRS).
    enum class Owner { user, system };

    Kind kind = Kind::service;
    // The unit name ("syncthing.service", "backup.timer") or the entry's file
    // name ("nextcloud.desktop"); unique among all jobs of a pass.
    QString name;
    // Description= of a unit, Name= of an entry; empty when the file has none.
    QString title;
    // The definition: the unit file (for a masked unit the one under the
    // mask; empty when the mask covers none) or the entry file in effect.
    QString file;
    // A unit's drop-in files (NAME.d/*.conf), in the order they apply.
    QStringList dropIns;
    Owner owner = Owner::user;
    // The argument vector it starts: a service's first ExecStart=, an entry's
    // Exec= without its field codes. Empty for a timer.
    QStringList command;
    std::optional<QString> workingDirectory;
    // Restart= of a service; "no" when unset.
    QString restart = QStringLiteral("no");
    // [Install] WantedBy= and RequiredBy= of a unit.
    QStringList wantedBy;
    // A timer's OnCalendar= values, OnBootSec= and OnUnitActiveSec=, and the
    // unit it starts (Unit=, else the service of the same name).
    QStringList onCalendar;
    std::optional<QString> onBootSec;
    std::optional<QString> onUnitActiveSec;
    QString triggers;

    // Starts with the session: a unit linked into a .wants/ or .requires/
    // folder of the search path (and not masked), an entry in effect.
    bool startsAtLogin = false;
    // That link lies in the user's own folder, or the entry in effect is the
    // user's file: the user chose to have it start.
    bool enabledByUser = false;
    // The mask in effect over a unit: a file of its name that links to
    // /dev/null or is empty, earlier in the search path than `file`.
    std::optional<QString> maskFile;
    // An entry with Hidden=true in effect.
    bool hidden = false;
    // An entry with X-GNOME-Autostart-enabled=false in effect.
    bool switchedOff = false;
    // The system entry that a user entry of the same name overrides.
    std::optional<QString> systemFile;

    bool operator==(const SessionJob&) const = default;
};

// What the user's service manager says of one loaded unit.
struct UnitState {
    // "active", "inactive", "failed", "activating", "deactivating", "reloading".
    QString activeState;
    // "running", "dead", "exited", "auto-restart", "waiting", "failed", ...
    QString subState;
    // The service's main process; 0 when it has none.
    Pid mainPid = 0;
    // How often the manager restarted the service since it was started.
    quint32 restarts = 0;
    // The exit status of the main process's last run.
    std::optional<qint64> exitStatus;
    // "enabled", "disabled", "masked", "static", ...; empty when not asked.
    QString unitFileState;

    bool operator==(const UnitState&) const = default;
};

// Unit name to its state, for every unit the manager has loaded.
using UnitStates = std::map<QString, UnitState>;

namespace SessionJobs {

bool isUnit(const SessionJob& job);

// A mask in the user's own folder: the user's choice, which the user can undo.
bool isMaskedByUser(const SessionJob& job);

// The user made it (its file lies in the user's folders), enabled it, or
// masked it: it is the user's business, not the system's.
bool chosenByUser(const SessionJob& job);

// Kept from starting at login on purpose: masked, hidden, switched off in the
// desktop's settings, or a unit of the user's that could be enabled and is not.
bool isSwitchedOff(const SessionJob& job);

// How the job is started again after it was switched off, when the user can
// do that without root: unmask, enable, or unhide the entry.
enum class Reenabling { none, unmask, enableUnit, unhideEntry };
Reenabling reenabling(const SessionJob& job);

// How it is kept from starting at login, when the user can do that: disable
// the user's unit, mask the system's for this user, or hide the entry.
enum class Disabling { none, disableUnit, maskUnit, hideEntry };
Disabling disabling(const SessionJob& job);

// A short name of a timer's schedule: "daily", "every 1h", "after boot".
QString scheduleText(const SessionJob& job);

// What the job is, for people: "systemd user service", "systemd user timer",
// "autostart entry".
QString kindText(SessionJob::Kind kind);

} // namespace SessionJobs
