#pragma once

#include <functional>
#include <map>
#include <optional>

#include <QList>
#include <QSet>
#include <QString>

#include "launchd/LaunchJob.h"
#include "launchd/LaunchctlState.h"
#include "launchd/SourceWarning.h"
#include "os/HostRules.h"
#include "os/ProcSnapshot.h"
#include "session/SessionJob.h"

// Everything one sampling pass hands to the inventory builder.
struct SampleInput {
    ProcessTable processes;
    QList<LaunchJob> jobs;
    CommandParsers::LaunchctlTable launchctl;
    QSet<QString> disabled;
    // The launchd sources that could not be read; the facts they would have
    // given are unknown, not absent.
    QList<SourceWarning> warnings;
    // What the Linux session starts by itself: systemd user units and
    // autostart entries, and the user manager's state of the loaded units.
    QList<SessionJob> sessionJobs;
    UnitStates unitStates;
    PortMap ports;
    std::optional<std::map<Pid, double>> cpu;
    CommandParsers::LoginItems loginItems;
    bool includeApple = false;
    Pid ownPid = 0;
    Uid uid = 0;
    // The operating system's rules: what is part of it, which names are shells.
    HostRules host = Hosts::current();
    // Resolves symbolic links; paths under "/Volumes/" come back unchanged.
    std::function<QString(const QString&)> resolvePath = [](const QString& path) { return path; };
};
