#pragma once

#include <QList>
#include <QString>

#include "session/SessionJob.h"

// The systemd user units (services and timers) that the unit folders define.
namespace UnitScanner {

struct Folder {
    QString path;
    SessionJob::Owner owner = SessionJob::Owner::user;

    bool operator==(const Folder&) const = default;
};

// Where the user's service manager finds unit files, first one first, after
// $HOME and the XDG variables; runtime, transient and generated units aside.
QList<Folder> standardFolders();

// Every service and timer by name: the first file of a name is in effect,
// drop-ins apply by file name, template instances linked into a .wants/
// folder are jobs. Refused names, aliases and unreadable units are left out.
QList<SessionJob> scanUnits(const QList<Folder>& folders);

// What a scan reads (folders, their .wants/, .requires/ and .d/ folders and
// the files in them) as stat sees it; equal stamps: nothing changed.
struct Stamp {
    struct Entry {
        QString path;
        qint64 modified = -1; // nanoseconds since 1970; -1 when it cannot be read
        qint64 size = -1;

        bool operator==(const Entry&) const = default;
    };
    QList<Entry> entries;

    bool operator==(const Stamp&) const = default;
};

Stamp stampOf(const QList<Folder>& folders);

} // namespace UnitScanner
