#pragma once

// Hand-made items, and a model over a temporary settings store that never
// samples unless a test asks it to, for the action, model and window tests.

#include <memory>

#include <unistd.h>

#include <QDateTime>
#include <QSettings>
#include <QTemporaryDir>

#include "inventory/BackgroundItem.h"
#include "model/AppModel.h"

namespace WindowFixtures {

inline const Uid me = static_cast<Uid>(::getuid());
// Someone else: neither root nor the tester.
inline const Uid someoneElse = me == 4321 ? 4322 : 4321;

inline AppModel::Environment environmentIn(const QTemporaryDir& dir) {
    AppModel::Environment environment;
    const QString settingsPath = dir.filePath(QStringLiteral("settings.ini"));
    environment.settings = [settingsPath] {
        return std::make_unique<AppSettings>(
            std::make_unique<QSettings>(settingsPath, QSettings::IniFormat));
    };
    environment.loginEntry = LaunchAtLogin::Entry{
        dir.filePath(QStringLiteral("autostart/quillmarsh.desktop")), QStringLiteral("/usr/bin/q")};
    environment.actions.uid = environment.sampler.uid = me;
    return environment;
}

inline std::unique_ptr<AppModel> makeModel(const QTemporaryDir& dir) {
    return std::make_unique<AppModel>(environmentIn(dir));
}

inline Timestamp now() {
    return static_cast<Timestamp>(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
}

inline BackgroundItem running(const QString& id, const QString& name, quint64 memory,
                              QList<int> ports = {}, Uid uid = someoneElse) {
    BackgroundItem item;
    item.id = id;
    item.name = name;
    item.kind = BackgroundItem::Kind::process;
    ProcSnapshot primary;
    primary.pid = 1000 + static_cast<Pid>(qHash(id) % 20000);
    primary.ppid = 1;
    primary.uid = uid;
    primary.name = name;
    primary.path = QStringLiteral("/usr/bin/") + name;
    primary.arguments = {primary.path};
    primary.startDate = now() - 3600;
    primary.memory = memory;
    item.primary = primary;
    item.members = {primary};
    item.memory = memory;
    item.ports = std::move(ports);
    item.origin = {Origin::Case::terminal, QStringLiteral("Terminal"), std::nullopt};
    return item;
}

inline BackgroundItem job(const QString& label,
                          LaunchJob::Domain domain = LaunchJob::Domain::userAgent) {
    BackgroundItem item;
    item.id = QStringLiteral("job:") + label;
    item.name = label;
    item.kind = BackgroundItem::Kind::job;
    item.state = BackgroundItem::State::notRunning;
    LaunchJob definition;
    definition.label = label;
    definition.plistPath = QStringLiteral("/Users/me/Library/LaunchAgents/") + label + ".plist";
    definition.domain = domain;
    definition.program = QStringLiteral("/usr/local/bin/") + label;
    definition.runAtLoad = true;
    item.job = definition;
    item.origin = {Origin::Case::launchdJob, label, std::nullopt};
    return item;
}

inline Inventory inventory(QList<BackgroundItem> running, QList<BackgroundItem> notRunning = {}) {
    return Inventory{std::move(running), std::move(notRunning), now()};
}

} // namespace WindowFixtures
