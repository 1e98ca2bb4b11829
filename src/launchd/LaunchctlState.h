#pragma once

#include <map>
#include <optional>

#include <QSet>
#include <QString>

#include "os/ProcSnapshot.h"

namespace CommandParsers {

// The launchd state of one job label, from `launchctl list`.
struct LaunchctlEntry {
    std::optional<Pid> pid;
    std::optional<qint64> lastExitStatus;

    bool operator==(const LaunchctlEntry&) const = default;
};

// The current user's enabled login items.
struct LoginItems {
    QSet<QString> appPaths;
    QSet<QString> bundleIDs;

    bool operator==(const LoginItems&) const = default;
};

using LaunchctlTable = std::map<QString, LaunchctlEntry>;

} // namespace CommandParsers
