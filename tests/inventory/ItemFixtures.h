#pragma once

// Small builders for hand-made items.

#include "inventory/BackgroundItem.h"
#include "support/Printers.h"

namespace ItemFixtures {

inline constexpr Uid me = 501;

inline ProcSnapshot process(const QString& name, const QString& path, QStringList arguments = {},
                            Uid uid = me) {
    return {4242, 1, uid, name, path, {}, 10'000'000, {}, std::move(arguments), {}};
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

} // namespace ItemFixtures
