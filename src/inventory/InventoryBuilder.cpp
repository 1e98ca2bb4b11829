#include "inventory/InventoryBuilder.h"

#include <algorithm>
#include <array>
#include <climits>
#include <utility>
#include <vector>

#include <QCollator>
#include <QCollatorSortKey>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QHash>
#include <QSet>
#include <QTextBoundaryFinder>

#include "inventory/Explanations.h"
#include "inventory/Origin.h"
#include "inventory/TextCompare.h"
#include "os/NameSets.h"
#include "session/Cgroups.h"

namespace InventoryBuilder {

namespace {

constexpr qsizetype maxChainLength = 32;
constexpr qsizetype maxNameLength = 40;
constexpr qsizetype shortenedLength = 39;

const QString applicationPrefix = QStringLiteral("application.");
const QString applePrefix = QStringLiteral("com.apple.");

// The part after the last "/" (the whole text when there is none).
QStringView fileName(QStringView path) {
    const qsizetype slash = path.lastIndexOf(u'/');
    return slash < 0 ? path : path.mid(slash + 1);
}

// The last component as a file manager names it: trailing slashes are
// ignored and the root folder is "/".
QString lastComponent(QStringView path) {
    while (path.size() > 1 && path.endsWith(u'/'))
        path.chop(1);
    if (path == u"/")
        return QStringLiteral("/");
    return fileName(path).toString();
}

// The path without its last component; "/" for a file in the root folder.
QString parentFolder(QStringView path) {
    while (path.size() > 1 && path.endsWith(u'/'))
        path.chop(1);
    const qsizetype slash = path.lastIndexOf(u'/');
    if (slash <= 0)
        return QStringLiteral("/");
    return path.left(slash).toString();
}

// A file name without its last extension; a leading dot is not an extension.
QString withoutExtension(const QString& name) {
    const qsizetype dot = name.lastIndexOf(u'.');
    return dot > 0 ? name.left(dot) : name;
}

// The executable a job starts: its program, else its first argument.
std::optional<QString> jobExecutable(const LaunchJob& job) {
    if (job.program && !job.program->isEmpty())
        return job.program;
    if (!job.arguments.isEmpty() && !job.arguments.first().isEmpty())
        return job.arguments.first();
    return std::nullopt;
}

bool startedAfter(const ProcSnapshot& parent, const ProcSnapshot& child) {
    return parent.startDate && child.startDate && *parent.startDate > *child.startDate;
}

// Visits the parent chain of `process`, nearest parent first, while `visit`
// returns true. Stops at launchd and the kernel, at a parent that is not in
// the table, after 32 parents, at a pid seen before (a loop in bad data), and
// at a "parent" that started after its child: its pid was reused after the
// child's real parent ended.
template <typename Visit>
void walkParents(const ProcSnapshot& process, const ProcessTable& processes, Visit&& visit) {
    std::array<Pid, maxChainLength + 1> seen{};
    qsizetype seenCount = 0;
    seen[seenCount++] = process.pid;
    const ProcSnapshot* child = &process;
    Pid pid = process.ppid;
    while (pid > 1 && seenCount <= maxChainLength) {
        if (std::find(seen.begin(), seen.begin() + seenCount, pid) != seen.begin() + seenCount)
            return;
        const auto found = processes.find(pid);
        if (found == processes.end())
            return;
        const ProcSnapshot& parent = found->second;
        if (startedAfter(parent, *child))
            return;
        if (!visit(parent))
            return;
        seen[seenCount++] = pid;
        child = &parent;
        pid = parent.ppid;
    }
}

const QString* labelOf(const PidLabels& pidLabels, Pid pid) {
    const auto found = pidLabels.find(pid);
    return found == pidLabels.end() ? nullptr : &found->second;
}

bool isLineBreak(QChar c) {
    switch (c.unicode()) {
    case 0x000A:
    case 0x000B:
    case 0x000C:
    case 0x000D:
    case 0x0085:
    case 0x2028:
    case 0x2029:
        return true;
    default:
        return false;
    }
}

// The lookup tables one pass builds before it groups anything.
struct Tables {
    QString home = QDir::cleanPath(QDir::homePath());
    PidLabels pidLabels;
    QHash<QString, const LaunchJob*> jobByLabel;
    QHash<QString, QString> resolvedProgram;
    // Linux: the session's units and entries by name; the pids the manager
    // or the cgroups tie to one of them (the others were matched by command).
    QHash<QString, const SessionJob*> sessionByName;
    QSet<Pid> startedBySession;
};

void addPidLabels(const SampleInput& input, Tables& tables) {
    for (const auto& [label, entry] : input.launchctl) {
        if (entry.pid)
            tables.pidLabels.emplace(*entry.pid, label); // the first label met keeps the pid
    }
}

void addJobs(const SampleInput& input, Tables& tables) {
    for (const LaunchJob& job : input.jobs) {
        if (job.isParkedByQuillmarsh || tables.jobByLabel.contains(job.label))
            continue;
        tables.jobByLabel.insert(job.label, &job);
        if (const auto exe = jobExecutable(job))
            tables.resolvedProgram.insert(job.label, input.resolvePath(*exe));
    }
}

// System daemons are not in the user's `launchctl list`; find their processes
// among launchd's children by executable or by script argument. Each table maps
// a path or an argument to the first daemon (in job order) that claims it, so
// one pass over the processes finds the first matching daemon for each.
void matchDaemons(const SampleInput& input, Tables& tables) {
    std::vector<const LaunchJob*> daemons;
    for (const LaunchJob& job : input.jobs) {
        if (job.domain == LaunchJob::Domain::globalDaemon &&
            tables.jobByLabel.value(job.label) == &job && !input.launchctl.contains(job.label))
            daemons.push_back(&job);
    }
    if (daemons.empty())
        return;

    QHash<QString, int> byPath;
    QHash<QString, int> byArgument;
    const auto claim = [](QHash<QString, int>& table, const QString& key, int index) {
        if (!key.isEmpty() && !table.contains(key))
            table.insert(key, index);
    };
    for (int index = 0; index < int(daemons.size()); ++index) {
        const LaunchJob& job = *daemons[size_t(index)];
        const auto exe = jobExecutable(job);
        if (!exe)
            continue;
        const QStringView exeName = fileName(*exe);
        if (Hosts::isInterpreter(input.host, exeName)) {
            QStringList kept;
            for (qsizetype i = 1; i < job.arguments.size(); ++i) {
                const QString& argument = job.arguments[i];
                if (!argument.isEmpty() && !argument.startsWith(u'-'))
                    kept.append(argument);
            }
            if (exeName == u"env" && !kept.isEmpty())
                kept.removeFirst(); // names the interpreter
            if (!kept.isEmpty()) {
                // The script (the first argument left) tells the daemon apart.
                claim(byArgument, kept.first(), index);
                continue;
            }
        }
        claim(byPath, *exe, index);
        claim(byPath, tables.resolvedProgram.value(job.label), index);
    }

    for (const auto& [pid, process] : input.processes) {
        if (process.ppid != 1 || tables.pidLabels.contains(pid))
            continue;
        int best = byPath.value(process.path, INT_MAX);
        for (const QString& argument : process.arguments)
            best = std::min(best, byArgument.value(argument, INT_MAX));
        if (best != INT_MAX)
            tables.pidLabels.emplace(pid, daemons[size_t(best)]->label);
    }
}

void addSessionJobs(const SampleInput& input, Tables& tables) {
    for (const SessionJob& job : input.sessionJobs) {
        if (!tables.sessionByName.contains(job.name))
            tables.sessionByName.insert(job.name, &job);
    }
}

// The processes of the session's units and entries: a service's main process
// as the manager reports it, then every process whose cgroup lies in a unit
// (a service's helpers, an entry the session started as a unit of its own).
void addSessionPids(const SampleInput& input, Tables& tables) {
    if (tables.sessionByName.isEmpty())
        return;
    for (const auto& [name, state] : input.unitStates) {
        if (state.mainPid > 0 && tables.sessionByName.contains(name) &&
            input.processes.count(state.mainPid) &&
            tables.pidLabels.emplace(state.mainPid, name).second)
            tables.startedBySession.insert(state.mainPid);
    }
    for (const auto& [pid, process] : input.processes) {
        if (!process.cgroup || tables.pidLabels.count(pid))
            continue;
        const std::optional<QString> unit = Cgroups::userUnitOf(*process.cgroup);
        if (!unit)
            continue;
        QString name = *unit;
        if (!tables.sessionByName.contains(name))
            name = Cgroups::autostartEntryOf(*unit).value_or(QString());
        if (!name.isEmpty() && tables.sessionByName.contains(name)) {
            tables.pidLabels.emplace(pid, name);
            tables.startedBySession.insert(pid);
        }
    }
}

// Where the session leaves no trace (no cgroups), an entry's program tells its
// process: the current user's process that runs the entry's program, or, for
// a program run by an interpreter, its script.
void matchAutostartEntries(const SampleInput& input, Tables& tables) {
    QHash<QString, QString> byProgram;
    QHash<QString, QString> byArgument;
    for (const SessionJob& job : input.sessionJobs) {
        if (job.kind != SessionJob::Kind::autostartEntry || job.command.isEmpty() ||
            tables.sessionByName.value(job.name) != &job)
            continue;
        const QString program = fileName(job.command.first()).toString();
        if (Hosts::isInterpreter(input.host, program)) {
            for (qsizetype i = 1; i < job.command.size(); ++i) {
                if (!job.command[i].startsWith(u'-')) {
                    byArgument.insert(job.command[i], job.name);
                    break;
                }
            }
        } else if (!program.isEmpty()) {
            byProgram.insert(job.command.first().startsWith(u'/') ? job.command.first() : program,
                             job.name);
        }
    }
    if (byProgram.isEmpty() && byArgument.isEmpty())
        return;
    for (const auto& [pid, process] : input.processes) {
        if (process.uid != input.uid || tables.pidLabels.count(pid))
            continue;
        QString name = byProgram.value(process.path);
        if (name.isEmpty())
            name = byProgram.value(fileName(process.path).toString());
        for (qsizetype i = 1; name.isEmpty() && i < process.arguments.size(); ++i)
            name = byArgument.value(process.arguments[i]);
        if (!name.isEmpty())
            tables.pidLabels.emplace(pid, name);
    }
}

struct Group {
    QString id;
    std::vector<const ProcSnapshot*> members;
    bool merged = false;
};

// Groups in the order they were first met, so the result does not depend on
// hashing.
std::vector<Group> groupProcesses(const SampleInput& input, const PidLabels& pidLabels) {
    std::vector<Group> groups;
    QHash<QString, size_t> indexById;
    indexById.reserve(qsizetype(input.processes.size()));
    for (const auto& [pid, process] : input.processes) {
        if (pid == 0 || pid == 1 || pid == input.ownPid)
            continue;
        QString id = groupKey(process, pidLabels, input);
        const auto found = indexById.constFind(id);
        if (found != indexById.constEnd()) {
            groups[*found].members.push_back(&process);
            continue;
        }
        indexById.insert(id, groups.size());
        groups.push_back(Group{std::move(id), {&process}, false});
    }
    return groups;
}

// A process that the launch services started for an app (an "application."
// label) but that sits outside the bundle joins the app whose processes are
// its children.
void mergeLaunchServicesProcesses(std::vector<Group>& groups, const PidLabels& pidLabels,
                                  const HostRules& rules) {
    for (Group& group : groups) {
        if (group.merged || group.members.size() != 1 || group.id.startsWith(u"app:"))
            continue;
        const ProcSnapshot& process = *group.members.front();
        const QString* label = labelOf(pidLabels, process.pid);
        if (!label || !label->startsWith(applicationPrefix))
            continue;
        Group* best = nullptr;
        qsizetype bestCount = 0;
        for (Group& candidate : groups) {
            if (candidate.merged || !candidate.id.startsWith(u"app:") ||
                Hosts::isSystemPath(rules, QStringView(candidate.id).mid(4)))
                continue;
            const qsizetype count = std::count_if(
                candidate.members.begin(), candidate.members.end(),
                [&](const ProcSnapshot* member) { return member->ppid == process.pid; });
            if (count > bestCount) {
                bestCount = count;
                best = &candidate;
            }
        }
        if (best) {
            best->members.push_back(&process);
            group.merged = true;
        }
    }
}

bool startsWithAny(QStringView path, const QStringList& prefixes) {
    return std::any_of(prefixes.cbegin(), prefixes.cend(),
                       [&](const QString& prefix) { return path.startsWith(prefix); });
}

// A program of the system itself, not a command the user runs: under the
// system path prefixes and outside the user command folders.
bool isSystemProgram(const ProcSnapshot& process, const HostRules& rules) {
    return Hosts::isSystemPath(rules, process.path) &&
           !startsWithAny(process.path, rules.userCommandFolders);
}

// The macOS rules, for a process whose members all run programs of the system.
bool isMacSystemProcess(const BackgroundItem& item, const ProcSnapshot& primary,
                        const SampleInput& input) {
    if (primary.uid == input.uid && primary.ppid == 1 &&
        startsWithAny(primary.path, input.host.userCommandFolders))
        return false; // a command the user started and detached (nohup, say)
    if (Origins::isInteractive(item.origin))
        return input.host.shellNames.contains(primary.name);
    return true;
}

// The Linux rules. A running process is part of the operating system when
//  (a) it is the current user's session plumbing: the session's service
//      manager ("systemd", its --user instance or the "(sd-pam)" helper) or a
//      session daemon by name;
//  (b) it was started from an agent, IDE, terminal or shell, only when it is
//      an interactive shell itself; a process of a system account counts as
//      started so only when a regular user's process is among its parents
//      (sudo from the user's shell), not when a service runs a shell script;
//  (c) it runs as a system account (a uid outside the regular ones: below
//      UID_MIN, or above 60000 as nobody) other than the current user;
//  (d) the current user is itself a system account (root), the process does
//      not descend from a user service manager (that is a desktop session),
//      and it and every parent up to the start of its chain run programs of
//      the system (under the system path prefixes, outside the user command
//      folders): cron and its children, udev, but not /usr/bin/sleep or
//      /bin/sh, nor what a program of the user's started.
// Nothing else is: the user's desktop apps wherever they live, the user's
// detached commands, sudo'd commands, other regular users' processes.
bool isLinuxSystemProcess(const BackgroundItem& item, const ProcSnapshot& primary,
                          const QList<ProcSnapshot>& chain,
                          const QList<ProcSnapshot>& startingChain, const SampleInput& input) {
    const HostRules& rules = input.host;
    const auto isSystemAccount = [&](Uid uid) {
        return uid < rules.firstRegularUid || uid > rules.lastRegularUid;
    };
    if (primary.uid == input.uid && (primary.name == u"systemd" || primary.name == u"(sd-pam)" ||
                                     Hosts::isSessionDaemon(rules, primary.name)))
        return true;
    const bool byPerson =
        primary.uid == input.uid || !isSystemAccount(primary.uid) ||
        std::any_of(startingChain.begin(), startingChain.end(), [&](const ProcSnapshot& parent) {
            return parent.uid == input.uid || !isSystemAccount(parent.uid);
        });
    if (Origins::isInteractive(item.origin) && byPerson)
        return Origins::isInteractiveShell(primary, rules);
    if (primary.uid != input.uid)
        return isSystemAccount(primary.uid);
    const bool inSession = startingChain.size() < chain.size();
    return isSystemAccount(input.uid) && !inSession && isSystemProgram(primary, rules) &&
           std::all_of(startingChain.begin(), startingChain.end(),
                       [&](const ProcSnapshot& parent) { return isSystemProgram(parent, rules); });
}

// `members` are the item's processes; the item's own list is not filled yet.
// `chain` is the primary's parent chain, `startingChain` its start
// (Origins::startingChain).
bool isAppleItem(const BackgroundItem& item, const std::vector<const ProcSnapshot*>& members,
                 const QList<ProcSnapshot>& chain, const QList<ProcSnapshot>& startingChain,
                 const SampleInput& input) {
    const HostRules& rules = input.host;
    switch (item.kind) {
    case BackgroundItem::Kind::simulator:
    case BackgroundItem::Kind::job:
        return false;
    case BackgroundItem::Kind::app:
        return Hosts::isSystemPath(rules, item.appBundlePath.value_or(QString()));
    case BackgroundItem::Kind::process:
        break;
    }
    if (item.job)
        return item.job->label.startsWith(applePrefix);
    if (item.sessionJob && !SessionJobs::chosenByUser(*item.sessionJob))
        return true;
    // A member of the current user whose executable could not be read (a
    // zombie, say) is no program of the system for want of a path.
    const bool foreign =
        std::any_of(members.begin(), members.end(), [&](const ProcSnapshot* member) {
            return member->path.isEmpty() ? member->uid == input.uid
                                          : !Hosts::isSystemPath(rules, member->path);
        });
    if (item.launchLabel && !item.launchLabel->startsWith(applicationPrefix))
        return item.launchLabel->startsWith(applePrefix) || !foreign;
    if (!item.primary)
        return false;
    if (rules.system == HostRules::System::linux)
        return isLinuxSystemProcess(item, *item.primary, chain, startingChain, input);
    return !foreign && isMacSystemProcess(item, *item.primary, input);
}

bool isLoginItem(const BackgroundItem& item, const CommandParsers::LoginItems& loginItems) {
    if (item.appBundlePath && loginItems.appPaths.contains(*item.appBundlePath))
        return true;
    if (!item.launchLabel)
        return false;
    const QString& label = *item.launchLabel;
    if (loginItems.bundleIDs.contains(label))
        return true;
    if (!label.startsWith(applicationPrefix))
        return false;
    const QStringView rest = QStringView(label).mid(applicationPrefix.size());
    for (const QString& bundleID : loginItems.bundleIDs) {
        if (!bundleID.isEmpty() && rest.startsWith(bundleID) && rest.size() > bundleID.size() &&
            rest[bundleID.size()] == u'.')
            return true;
    }
    return false;
}

QString runningName(const BackgroundItem& item, const QString& home, const HostRules& rules) {
    const ProcSnapshot& primary = *item.primary;
    switch (item.kind) {
    case BackgroundItem::Kind::app:
        if (item.appBundlePath)
            return withoutExtension(lastComponent(*item.appBundlePath));
        return primary.name;
    case BackgroundItem::Kind::simulator:
        return QCoreApplication::translate("InventoryBuilder", "iOS Simulator");
    default:
        break;
    }
    if (const auto tool = Origins::agentTool(primary)) {
        const QString folder =
            primary.workingDirectory ? lastComponent(*primary.workingDirectory) : QString();
        if (folder.isEmpty() || folder == u"/") // the root folder has no name of its own
            //: %1 is a coding-agent tool, such as Claude
            return QCoreApplication::translate("InventoryBuilder", "%1 Code").arg(*tool);
        //: %1 is a coding-agent tool, such as Claude; %2 the folder its session works in
        return QCoreApplication::translate("InventoryBuilder", "%1 Code \u00B7 %2")
            .arg(*tool, folder);
    }
    if (item.job && Hosts::isInterpreter(rules, fileName(primary.path)))
        return jobName(*item.job, rules);
    const QString base = commandName(primary, rules);
    const std::optional<QString>& folder = primary.workingDirectory;
    // A script named after its folder already says where it runs.
    if (Origins::isInteractive(item.origin) && folder && !folder->isEmpty() && *folder != u"/" &&
        QDir::cleanPath(*folder) != home && base != lastComponent(*folder))
        //: %1 is a command, %2 the folder it runs in
        return QCoreApplication::translate("InventoryBuilder", "%1 in %2")
            .arg(base, lastComponent(*folder));
    return base;
}

struct RankedMember {
    int rank = 1;
    const ProcSnapshot* process = nullptr;
};

// Orders the members so the one that stands for the group comes first: the
// app's own executable (or what the launch services started for it), then
// processes whose parent is not in the group, then the rest; within a rank
// the largest first.
std::vector<const ProcSnapshot*> orderMembers(const Group& group, const PidLabels& pidLabels) {
    if (group.members.size() == 1) // most groups
        return group.members;
    const bool isApp = group.id.startsWith(u"app:");
    const QString bundlePrefix =
        isApp ? group.id.mid(4) + QStringLiteral("/Contents/MacOS/") : QString();
    std::vector<Pid> pids;
    pids.reserve(group.members.size());
    for (const ProcSnapshot* member : group.members)
        pids.push_back(member->pid);
    std::sort(pids.begin(), pids.end());

    std::vector<RankedMember> ranked;
    ranked.reserve(group.members.size());
    for (const ProcSnapshot* member : group.members) {
        int rank = 1;
        const QString* label = nullptr;
        if (isApp &&
            (member->path.startsWith(bundlePrefix) ||
             ((label = labelOf(pidLabels, member->pid)) && label->startsWith(applicationPrefix))))
            rank = 0;
        else if (member->ppid != member->pid &&
                 std::binary_search(pids.begin(), pids.end(), member->ppid))
            rank = 2;
        ranked.push_back({rank, member});
    }
    std::sort(ranked.begin(), ranked.end(), [](const RankedMember& a, const RankedMember& b) {
        if (a.rank != b.rank)
            return a.rank < b.rank;
        const auto& memoryA = a.process->memory;
        const auto& memoryB = b.process->memory;
        if (memoryA.has_value() != memoryB.has_value())
            return memoryA.has_value();
        if (memoryA && *memoryA != *memoryB)
            return *memoryA > *memoryB;
        return a.process->pid < b.process->pid;
    });
    std::vector<const ProcSnapshot*> ordered;
    ordered.reserve(ranked.size());
    for (const RankedMember& member : ranked)
        ordered.push_back(member.process);
    return ordered;
}

// Whether `source` could not be read in this pass.
bool unread(const SampleInput& input, SourceWarning::Source source) {
    return std::any_of(input.warnings.cbegin(), input.warnings.cend(),
                       [source](const SourceWarning& warning) { return warning.source == source; });
}

// Without the job table or the disabled labels, launchd's view of a job is
// unknown; a parked job is disabled whatever launchd says.
bool launchdUnknownForJob(const SampleInput& input) {
    return unread(input, SourceWarning::Source::jobTable) ||
           unread(input, SourceWarning::Source::disabledLabels);
}

// The first name of every ancestry: the rules' fixed name, else the sampled
// name of pid 1.
QString rootName(const SampleInput& input) {
    if (!input.host.rootProcessName.isEmpty())
        return input.host.rootProcessName;
    const auto init = input.processes.find(1);
    if (init != input.processes.end() && !init->second.name.isEmpty())
        return init->second.name;
    return QStringLiteral("init");
}

// Who started a process of a unit or entry: the manager, or the session at
// login; a program of an entry that the user started by hand keeps the
// terminal, IDE or shell it came from.
Origin sessionOrigin(const SessionJob& job, const Origin& classified, bool startedBySession) {
    if (SessionJobs::isUnit(job))
        return {Origin::Case::userService, job.name, std::nullopt};
    if (!startedBySession && Origins::isInteractive(classified))
        return classified;
    return {Origin::Case::autostart, job.name, std::nullopt};
}

// A unit by its description, an entry by its Name=; else the file name
// without its suffix.
QString sessionName(const SessionJob& job) {
    if (!job.title.trimmed().isEmpty())
        return shortenName(job.title.trimmed());
    return withoutExtension(job.name);
}

// The explanation of a unit or entry that is not running.
QString sessionExplanation(const SessionJob& job, const SampleInput& input) {
    const QString path = job.command.isEmpty() ? QString() : job.command.first();
    if (std::optional<QString> known = Explanations::explain(std::nullopt, job.name, path))
        return *known;
    return Explanations::sessionJobText(job, input.host);
}

// The item of one group, or none when it is part of the system and those are
// hidden. Its job counts as covered either way.
std::optional<BackgroundItem> runningItem(const Group& group, const Tables& tables,
                                          const SampleInput& input, QSet<QString>& covered) {
    const std::vector<const ProcSnapshot*> members = orderMembers(group, tables.pidLabels);
    const ProcSnapshot& primary = *members.front();

    BackgroundItem item;
    item.id = group.id;
    item.state = BackgroundItem::State::running;
    item.primary = primary;

    const QList<ProcSnapshot> chain = ancestors(primary, input.processes);
    const QString* label = labelOf(tables.pidLabels, primary.pid);
    const SessionJob* session = label ? tables.sessionByName.value(*label) : nullptr;
    if (session) {
        item.sessionJob = *session;
        covered.insert(session->name);
        const auto state = input.unitStates.find(session->name);
        if (state != input.unitStates.end())
            item.unitState = state->second;
        item.unitStateUnknown =
            SessionJobs::isUnit(*session) && unread(input, SourceWarning::Source::userManager);
    } else if (label) {
        item.launchLabel = *label;
        if (const LaunchJob* job = tables.jobByLabel.value(*label)) {
            item.job = *job;
            covered.insert(job->label);
        }
        const auto entry = input.launchctl.find(*label);
        if (entry != input.launchctl.end())
            item.lastExitStatus = entry->second.lastExitStatus;
    }
    const QList<ProcSnapshot> starters = Origins::startingChain(chain, primary);
    item.origin = Origins::classify(starters, primary, item.launchLabel, input.host);
    if (session)
        item.origin =
            sessionOrigin(*session, item.origin, tables.startedBySession.contains(primary.pid));

    if (group.id.startsWith(u"sim:")) {
        item.kind = BackgroundItem::Kind::simulator;
    } else if (group.id.startsWith(u"app:")) {
        item.kind = BackgroundItem::Kind::app;
        item.appBundlePath = group.id.mid(4);
    } else {
        item.kind = BackgroundItem::Kind::process;
    }

    // Decided before the costly texts so that hidden items skip them.
    item.isApple = isAppleItem(item, members, chain, starters, input);
    if (item.isApple && !input.includeApple)
        return std::nullopt;

    item.members.reserve(qsizetype(members.size()));
    for (const ProcSnapshot* member : members)
        item.members.append(*member);

    double cpu = 0;
    for (const ProcSnapshot* member : members) {
        item.memory += member->memory.value_or(0);
        if (input.cpu) {
            const auto share = input.cpu->find(member->pid);
            if (share != input.cpu->end())
                cpu += share->second;
        }
        const auto ports = input.ports.find(member->pid);
        if (ports != input.ports.end())
            item.ports.append(ports->second);
    }
    if (input.cpu)
        item.cpuPercent = cpu;
    std::sort(item.ports.begin(), item.ports.end());
    item.ports.erase(std::unique(item.ports.begin(), item.ports.end()), item.ports.end());

    if (primary.ppid >= 1)
        item.ancestry.append(rootName(input));
    for (auto parent = chain.crbegin(); parent != chain.crend(); ++parent)
        item.ancestry.append(Origins::appName(parent->path).value_or(parent->name));
    item.ancestry.append(Origins::appName(primary.path).value_or(primary.name));

    item.name = session ? sessionName(*session) : runningName(item, tables.home, input.host);
    item.explanation = Explanations::runningExplanation(item, input.host);

    item.isPartOfBuild = Origins::isPartOfBuild(primary, chain, input.host);
    item.isLoginItem = isLoginItem(item, input.loginItems);
    item.isDisabledInLaunchd = item.launchLabel && input.disabled.contains(*item.launchLabel);
    item.launchdStateUnknown =
        (item.launchLabel || item.job) && unread(input, SourceWarning::Source::disabledLabels);
    return item;
}

// Whether the session's unit or entry that runs no process is listed: what
// the user made, enabled or switched off always; what the system ships only
// when it starts at login, and then as part of the system. A service a timer
// starts is shown through its timer.
bool listsSessionJob(const SessionJob& job, const QSet<QString>& triggered) {
    if (job.kind == SessionJob::Kind::service && triggered.contains(job.name) && !job.startsAtLogin)
        return false;
    return SessionJobs::chosenByUser(job) || job.startsAtLogin;
}

// Whether an entry starts this program: its program is the one running here.
bool startsThisApp(const SessionJob& job, const SampleInput& input) {
    const auto own = input.processes.find(input.ownPid);
    if (job.kind != SessionJob::Kind::autostartEntry || job.command.isEmpty() ||
        own == input.processes.end() || own->second.path.isEmpty())
        return false;
    const QString& program = job.command.first();
    return program.startsWith(u'/') ? input.resolvePath(program) == own->second.path
                                    : program == fileName(own->second.path);
}

BackgroundItem sessionItem(const SessionJob& job, const SampleInput& input) {
    BackgroundItem item;
    item.id = QStringLiteral("job:") + job.name;
    item.name = sessionName(job);
    item.explanation = sessionExplanation(job, input);
    item.kind = BackgroundItem::Kind::job;
    item.state = SessionJobs::isSwitchedOff(job) ? BackgroundItem::State::disabled
                                                 : BackgroundItem::State::notRunning;
    item.sessionJob = job;
    const auto state = input.unitStates.find(job.name);
    if (state != input.unitStates.end())
        item.unitState = state->second;
    item.unitStateUnknown =
        SessionJobs::isUnit(job) && unread(input, SourceWarning::Source::userManager);
    item.isApple = !SessionJobs::chosenByUser(job);
    item.isThisApp = startsThisApp(job, input);
    return item;
}

// The session's units and entries that no running item took.
void addSessionItems(const SampleInput& input, const Tables& tables, const QSet<QString>& covered,
                     Inventory& inventory) {
    QSet<QString> triggered;
    for (const SessionJob& job : input.sessionJobs) {
        if (job.kind == SessionJob::Kind::timer)
            triggered.insert(job.triggers);
    }
    for (const SessionJob& job : input.sessionJobs) {
        if (tables.sessionByName.value(job.name) != &job || covered.contains(job.name) ||
            !listsSessionJob(job, triggered))
            continue;
        // A main process the manager names but that could not be read (it
        // just ended, or it is not ours) still makes the unit a running one.
        const auto state = input.unitStates.find(job.name);
        if (state != input.unitStates.end() && state->second.mainPid > 0 &&
            !SessionJobs::isSwitchedOff(job))
            continue;
        BackgroundItem item = sessionItem(job, input);
        if (!item.isApple || input.includeApple)
            inventory.notRunning.append(std::move(item));
    }
}

BackgroundItem jobItem(const LaunchJob& job, const SampleInput& input) {
    BackgroundItem item;
    item.id = QStringLiteral("job:") + job.label;
    if (job.isParkedByQuillmarsh)
        item.id += QStringLiteral(":disabled");
    item.name = jobName(job, input.host);
    const QString path = jobExecutable(job).value_or(QString());
    std::optional<QString> known = Explanations::explain(job.label, QString(), path);
    item.explanation = known ? std::move(*known) : Explanations::locationText(path, input.host);
    item.kind = BackgroundItem::Kind::job;
    item.state = job.isParkedByQuillmarsh ? BackgroundItem::State::disabled
                                          : BackgroundItem::State::notRunning;
    item.job = job;
    const auto entry = input.launchctl.find(job.label);
    if (entry != input.launchctl.end()) {
        item.launchLabel = job.label;
        item.lastExitStatus = entry->second.lastExitStatus;
    }
    item.isDisabledInLaunchd = input.disabled.contains(job.label);
    item.launchdStateUnknown = !job.isParkedByQuillmarsh && launchdUnknownForJob(input);
    return item;
}

BackgroundItem registeredOnlyItem(const QString& label, const CommandParsers::LaunchctlEntry& entry,
                                  const SampleInput& input) {
    BackgroundItem item;
    item.id = QStringLiteral("job:") + label;
    item.name = labelName(label);
    std::optional<QString> known = Explanations::explain(label, QString(), QString());
    item.explanation = known ? std::move(*known)
                             : QCoreApplication::translate("InventoryBuilder",
                                                           "Registered with launchd by an app; no "
                                                           "plist in the LaunchAgents folders.");
    item.kind = BackgroundItem::Kind::job;
    item.state = BackgroundItem::State::notRunning;
    item.launchLabel = label;
    item.lastExitStatus = entry.lastExitStatus;
    item.isDisabledInLaunchd = input.disabled.contains(label);
    item.launchdStateUnknown = launchdUnknownForJob(input);
    return item;
}

// Largest first; equal memory keeps the grouping order. Sorts indices and
// moves each item once.
void sortByMemory(QList<BackgroundItem>& items) {
    std::vector<qsizetype> order(size_t(items.size()));
    for (qsizetype i = 0; i < items.size(); ++i)
        order[size_t(i)] = i;
    std::stable_sort(order.begin(), order.end(), [&](qsizetype a, qsizetype b) {
        return std::as_const(items)[a].memory > std::as_const(items)[b].memory;
    });
    QList<BackgroundItem> sorted;
    sorted.reserve(items.size());
    for (qsizetype index : order)
        sorted.append(std::move(items[index]));
    items = std::move(sorted);
}

// The order a file manager shows: case-insensitive, numbers by value. One collator and one
// sort key per item, not per comparison.
void sortByName(QList<BackgroundItem>& items) {
    const QCollator collator = TextCompare::standardCollator();
    std::vector<QCollatorSortKey> keys;
    keys.reserve(size_t(items.size()));
    for (const BackgroundItem& item : items)
        keys.push_back(collator.sortKey(item.name));
    std::vector<qsizetype> order(size_t(items.size()));
    for (qsizetype i = 0; i < items.size(); ++i)
        order[size_t(i)] = i;
    std::sort(order.begin(), order.end(), [&](qsizetype a, qsizetype b) {
        const int byKey = keys[size_t(a)].compare(keys[size_t(b)]);
        if (byKey != 0)
            return byKey < 0;
        const int byText = QString::compare(items[a].name, items[b].name);
        if (byText != 0)
            return byText < 0;
        return items[a].id < items[b].id;
    });
    QList<BackgroundItem> sorted;
    sorted.reserve(items.size());
    for (qsizetype index : order)
        sorted.append(std::move(items[index]));
    items = std::move(sorted);
}

} // namespace

Inventory build(const SampleInput& input) {
    Tables tables;
    addPidLabels(input, tables);
    addJobs(input, tables);
    matchDaemons(input, tables);
    addSessionJobs(input, tables);
    addSessionPids(input, tables);
    matchAutostartEntries(input, tables);

    std::vector<Group> groups = groupProcesses(input, tables.pidLabels);
    mergeLaunchServicesProcesses(groups, tables.pidLabels, input.host);

    Inventory inventory;
    QSet<QString> covered;
    for (const Group& group : groups) {
        if (group.merged)
            continue;
        if (std::optional<BackgroundItem> item = runningItem(group, tables, input, covered))
            inventory.running.append(std::move(*item));
    }

    QSet<QString> jobLabels;
    QSet<QString> listedIds;
    for (const LaunchJob& job : input.jobs) {
        jobLabels.insert(job.label);
        if (job.label.startsWith(applePrefix) || covered.contains(job.label))
            continue;
        const auto entry = input.launchctl.find(job.label);
        if (entry != input.launchctl.end() && entry->second.pid && !job.isParkedByQuillmarsh)
            continue;
        // One item per id: when two folders define the same label, the first
        // (the user's own) stands for it.
        BackgroundItem item = jobItem(job, input);
        if (!listedIds.contains(item.id)) {
            listedIds.insert(item.id);
            inventory.notRunning.append(std::move(item));
        }
    }
    addSessionItems(input, tables, covered, inventory);
    for (const auto& [label, entry] : input.launchctl) {
        if (entry.pid || label.startsWith(applePrefix) || label.startsWith(applicationPrefix) ||
            jobLabels.contains(label))
            continue;
        inventory.notRunning.append(registeredOnlyItem(label, entry, input));
    }

    sortByMemory(inventory.running);
    sortByName(inventory.notRunning);
    inventory.sampledAt = Timestamp(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
    inventory.warnings = input.warnings;
    return inventory;
}

QString groupKey(const ProcSnapshot& process, const PidLabels& pidLabels,
                 const SampleInput& input) {
    if (process.name == u"launchd_sim")
        return QStringLiteral("sim:") + QString::number(process.pid);

    const ProcSnapshot* simulator = nullptr;
    const QString* parentLabel = nullptr;
    walkParents(process, input.processes, [&](const ProcSnapshot& parent) {
        if (parent.name == u"launchd_sim") {
            simulator = &parent;
            return false; // the simulator takes everything under it
        }
        if (!parentLabel) {
            const QString* label = labelOf(pidLabels, parent.pid);
            if (label && !label->startsWith(applicationPrefix))
                parentLabel = label;
        }
        return true;
    });
    if (simulator)
        return QStringLiteral("sim:") + QString::number(simulator->pid);

    if (Origins::agentTool(process))
        return QStringLiteral("pid:") + QString::number(process.pid);

    const QString* label = labelOf(pidLabels, process.pid);
    if (label && !label->startsWith(applicationPrefix))
        return QStringLiteral("job:") + *label;

    if (const auto bundle = Origins::appBundle(process.path))
        return QStringLiteral("app:") + *bundle;

    if (parentLabel)
        return QStringLiteral("job:") + *parentLabel;

    const QStringView argument =
        process.arguments.size() > 1 ? QStringView(process.arguments[1]) : QStringView();
    const QStringView folder =
        process.workingDirectory ? QStringView(*process.workingDirectory) : QStringView();
    // A program that could not be read (another user's, a zombie) goes by its
    // name, so that all such processes do not share one item. Names hold no
    // "/", paths start with one: the two never meet.
    const QStringView program = process.path.isEmpty() ? process.name : process.path;
    QString key;
    key.reserve(6 + program.size() + argument.size() + folder.size());
    key.append(u"exe:").append(program).append(u'|').append(argument).append(u'|').append(folder);
    return key;
}

QList<ProcSnapshot> ancestors(const ProcSnapshot& process, const ProcessTable& processes) {
    QList<ProcSnapshot> chain;
    walkParents(process, processes, [&](const ProcSnapshot& parent) {
        chain.append(parent);
        return true;
    });
    return chain;
}

QString labelName(const QString& label) {
    QStringList pieces = label.split(u'.', Qt::SkipEmptyParts);
    if (pieces.size() == 2) {
        if (pieces.first() == u"application")
            pieces.removeFirst();
    } else if (pieces.size() >= 3) {
        if (pieces.first() == u"application")
            pieces.removeFirst();
        else if (NameSets::labelNoiseComponents().contains(pieces.first()))
            pieces.remove(0, 2);
    }
    return pieces.join(u'.');
}

QString jobName(const LaunchJob& job, const HostRules& rules) {
    const auto exe = jobExecutable(job);
    if (!exe || Hosts::isInterpreter(rules, fileName(*exe)))
        return labelName(job.label);
    return lastComponent(*exe);
}

QString commandName(const ProcSnapshot& process, const HostRules& rules) {
    if (!Hosts::isInterpreter(rules, fileName(process.path)))
        return process.name;

    QStringList arguments;
    for (qsizetype i = 1; i < process.arguments.size(); ++i) {
        if (!process.arguments[i].isEmpty())
            arguments.append(process.arguments[i]);
    }
    if (arguments.isEmpty())
        return process.name;

    // Inline code: python3 -c "…", node --eval "…".
    for (const QString& argument : arguments) {
        if (argument == u"-c" || argument == u"-e" || argument == u"--eval")
            return process.name + u' ' + argument;
        if (!argument.startsWith(u'-'))
            break;
    }

    // A module: python3 -m uvicorn.
    for (qsizetype i = 0; i + 1 < arguments.size(); ++i) {
        if (arguments[i] == u"-m")
            return shortenName(arguments[i + 1]);
    }

    for (const QString& argument : arguments) {
        if (argument.startsWith(u'-'))
            continue;
        if (!argument.contains(u'/') && !argument.contains(u'.'))
            return shortenName(argument);
        // A script file; a relative path lies in the working directory, when
        // known. A generic script name ("server.js") gives way to the name of
        // its folder, unless that is the root or unknown.
        const std::optional<QString>& folder = process.workingDirectory;
        const QString base =
            folder && folder->startsWith(u'/') ? *folder + u'/' : QStringLiteral("/");
        const QString path =
            QDir::cleanPath(argument.startsWith(u'/') ? argument : base + argument);
        // A script read from a descriptor (bash <(…) runs /dev/fd/63) has no
        // name of its own.
        if (path.startsWith(u"/dev/") || path.startsWith(u"/proc/"))
            return process.name;
        const QString name = withoutExtension(lastComponent(path));
        const QString holder = lastComponent(parentFolder(path));
        if (NameSets::genericScriptNames().contains(name) && holder != u"/")
            return holder;
        return name;
    }
    return process.name;
}

QString shortenName(const QString& text) {
    QStringView line = text;
    qsizetype start = 0;
    while (start <= text.size()) {
        qsizetype end = start;
        while (end < text.size() && !isLineBreak(text[end]))
            ++end;
        if (end > start) {
            line = QStringView(text).mid(start, end - start);
            break;
        }
        start = end + 1;
    }
    // Every character takes at least one UTF-16 unit.
    if (line.size() <= maxNameLength)
        return line.toString();

    const QString candidate = line.toString();
    QTextBoundaryFinder characters(QTextBoundaryFinder::Grapheme, candidate);
    qsizetype count = 0;
    qsizetype cut = 0;
    while (characters.toNextBoundary() != -1) {
        ++count;
        if (count == shortenedLength)
            cut = characters.position();
        if (count > maxNameLength)
            return candidate.left(cut) + QChar(0x2026);
    }
    return candidate;
}

} // namespace InventoryBuilder
