#pragma once

#include <map>
#include <optional>

#include <QList>
#include <QString>
#include <QStringList>

using Pid = qint32;
using Uid = quint32;

// Seconds since 1970 with sub-second resolution.
using Timestamp = double;

// One process as read from the kernel.
struct ProcSnapshot {
    Pid pid = 0;
    Pid ppid = 0;
    Uid uid = 0;
    QString name;
    QString path;
    std::optional<Timestamp> startDate;
    std::optional<quint64> memory;
    std::optional<quint64> cpuNanos;
    QStringList arguments;
    std::optional<QString> workingDirectory;
    // The cgroup path ("/user.slice/user-1000.slice/user@1000.service/app.slice/
    // foo.service"), read for this program's user's processes only.
    std::optional<QString> cgroup;

    bool operator==(const ProcSnapshot&) const = default;
};

using ProcessTable = std::map<Pid, ProcSnapshot>;

// Listening TCP ports per pid, each list ascending without duplicates.
using PortMap = std::map<Pid, QList<int>>;
