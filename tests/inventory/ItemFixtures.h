#pragma once

// Small builders for hand-made items.

#include "inventory/BackgroundItem.h"
#include "inventory/SampleInput.h"
#include "support/Printers.h"

namespace ItemFixtures {

inline constexpr Uid me = 501;

inline ProcSnapshot process(const QString& name, const QString& path, QStringList arguments = {},
                            Uid uid = me) {
    return {4242, 1, uid, name, path, {}, 10'000'000, {}, std::move(arguments), {}, {}};
}

inline LaunchJob job(const QString& label,
                     LaunchJob::Domain domain = LaunchJob::Domain::userAgent) {
    LaunchJob j;
    j.label = label;
    j.plistPath = QStringLiteral("/Users/me/Library/LaunchAgents/%1.plist").arg(label);
    j.domain = domain;
    j.program = QStringLiteral("/usr/local/bin/") + label;
    return j;
}

// A running plain process of the current user.
inline BackgroundItem running(const ProcSnapshot& primary) {
    BackgroundItem item;
    item.id = QStringLiteral("exe:%1||").arg(primary.path);
    item.name = primary.name;
    item.primary = primary;
    item.members = {primary};
    item.memory = primary.memory.value_or(0);
    item.origin = {Origin::Case::detached, {}, std::nullopt};
    return item;
}

// A launchd job that has no process.
inline BackgroundItem notRunning(const LaunchJob& j) {
    BackgroundItem item;
    item.id = QStringLiteral("job:") + j.label;
    item.name = j.label;
    item.kind = BackgroundItem::Kind::job;
    item.state = BackgroundItem::State::notRunning;
    item.job = j;
    return item;
}

// A sample of `uid` (our pid 90) under `host` from facts split by ';', "-" for
// none: "p PID PPID PATH [ARG...] [@FOLDER] [m=MEMORY] [u=UID] [s=START]
// [n=NAME]" a process, named after its path unless n= names it; "j|a|d LABEL
// PROGRAM [ARG...]" a user agent, global agent, global daemon; "l LABEL PID
// [STATUS]" a launchctl row; "off LABEL"; "login PATH-OR-BUNDLE-ID"; "ln FROM
// TO". Where launchd exists, the kernel and launchd lead the table.
inline SampleInput sample(const QString& facts, const HostRules& host = Hosts::macosRules(),
                          Uid uid = me) {
    using namespace Qt::StringLiterals;
    SampleInput input;
    input.host = host;
    input.uid = uid;
    input.ownPid = 90;
    input.includeApple = true;
    std::map<QString, QString> links;
    const auto text = [](const QString& word) { return word == u"-"_s ? QString() : word; };
    const QString root = host.hasLaunchd ? u"p 0 0 - u=0; p 1 0 /sbin/launchd u=0;"_s : QString();
    for (const QString& fact : (root + facts).split(u';', Qt::SkipEmptyParts)) {
        const QStringList w = fact.split(u' ', Qt::SkipEmptyParts);
        if (w[0] == u"p"_s) {
            ProcSnapshot p{w[1].toInt(), w[2].toInt(), uid, text(w[3]).section(u'/', -1),
                           text(w[3]),   {},           {},  {},
                           {},           {},           {}};
            for (const QString& word : w.mid(4)) {
                if (word.startsWith(u'@'))
                    p.workingDirectory = word.mid(1);
                else if (word.startsWith(u"m="_s))
                    p.memory = word.mid(2).toULongLong();
                else if (word.startsWith(u"u="_s))
                    p.uid = word.mid(2).toUInt();
                else if (word.startsWith(u"s="_s))
                    p.startDate = word.mid(2).toDouble();
                else if (word.startsWith(u"n="_s))
                    p.name = word.mid(2);
                else
                    p.arguments.append(word);
            }
            if (p.arguments.isEmpty() && !p.path.isEmpty())
                p.arguments = {p.path};
            input.processes[p.pid] = p;
        } else if (w[0] == u"j"_s || w[0] == u"a"_s || w[0] == u"d"_s) {
            using enum LaunchJob::Domain;
            LaunchJob job;
            job.label = w[1];
            job.domain = w[0] == u"d"_s ? globalDaemon : w[0] == u"a"_s ? globalAgent : userAgent;
            job.program = w[2] == u"-"_s ? std::nullopt : std::optional(w[2]);
            job.arguments = w.mid(3);
            input.jobs.append(job);
        } else if (w[0] == u"l"_s) {
            input.launchctl[text(w[1])] = {
                w[2] == u"-"_s ? std::nullopt : std::optional(w[2].toInt()),
                w.size() > 3 ? std::optional(w[3].toLongLong()) : std::nullopt};
        } else if (w[0] == u"off"_s) {
            input.disabled.insert(w[1]);
        } else if (w[0] == u"login"_s) {
            (w[1].startsWith(u'/') ? input.loginItems.appPaths : input.loginItems.bundleIDs)
                .insert(w[1]);
        } else if (w[0] == u"ln"_s) {
            links[w[1]] = w[2];
        }
    }
    input.resolvePath = [links](const QString& path) {
        return links.contains(path) ? links.at(path) : path;
    };
    return input;
}

} // namespace ItemFixtures
