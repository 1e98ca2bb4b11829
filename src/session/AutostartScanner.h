#pragma once

#include "session/SessionJob.h"

// XDG autostart entries: the *.desktop files of the user's and the system's
// autostart folders, which the session starts at login.
namespace AutostartScanner {

struct Folders {
    // $XDG_CONFIG_HOME/autostart (~/.config/autostart); empty without a home.
    QString user;
    // Each folder of $XDG_CONFIG_DIRS (/etc/xdg) with /autostart, in order.
    QStringList system;

    static Folders standard();
    bool operator==(const Folders&) const = default;
};

// The desktops of this session, from $XDG_CURRENT_DESKTOP ("ubuntu:GNOME").
QStringList currentDesktops();

// One job per entry file name; the file in effect is the user's, else the one
// of the first system folder. Left out: types other than Application, entries
// for other desktops or whose TryExec program is missing, unreadable files.
QList<SessionJob> scanEntries(const Folders& folders, const QStringList& desktops);

// The entry files' names and status: equal stamps, nothing changed.
struct Stamp {
    QByteArray files;
    bool operator==(const Stamp&) const = default;
};
Stamp stampOf(const Folders& folders);

} // namespace AutostartScanner
