#pragma once

// Hand-made items and a model over a temporary settings store, for the
// window's tests. The model never samples unless a test asks it to.

#include <memory>

#include <QDateTime>
#include <QSettings>
#include <QTemporaryDir>

#include "inventory/BackgroundItem.h"
#include "model/AppModel.h"
#include "model/AppSettings.h"
#include "model/LaunchAtLogin.h"

namespace WindowFixtures {

inline std::unique_ptr<AppModel> makeModel(const QTemporaryDir& dir) {
    AppModel::Environment environment;
    const QString settingsPath = dir.filePath(QStringLiteral("settings.ini"));
    environment.settings = [settingsPath] {
        return std::make_unique<AppSettings>(
            std::make_unique<QSettings>(settingsPath, QSettings::IniFormat));
    };
    environment.loginEntry = LaunchAtLogin::Entry{
        dir.filePath(QStringLiteral("quillmarsh.desktop")), QStringLiteral("/usr/bin/quillmarsh")};
    return std::make_unique<AppModel>(std::move(environment));
}

inline Timestamp now() {
    return static_cast<Timestamp>(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
}

inline BackgroundItem running(const QString& id, const QString& name, quint64 memory,
                              QList<int> ports = {}) {
    BackgroundItem item;
    item.id = id;
    item.name = name;
    item.explanation = QStringLiteral("A command started from a terminal.");
    item.kind = BackgroundItem::Kind::process;
    item.state = BackgroundItem::State::running;
    ProcSnapshot primary;
    primary.pid = 1000 + static_cast<Pid>(qHash(id) % 20000);
    primary.ppid = 1;
    primary.uid = 1000;
    primary.name = name;
    primary.path = QStringLiteral("/usr/bin/") + name;
    primary.startDate = now() - 3600;
    primary.memory = memory;
    item.primary = primary;
    item.members = {primary};
    item.memory = memory;
    item.ports = std::move(ports);
    item.origin.kind = Origin::Case::terminal;
    item.origin.payload = QStringLiteral("Terminal");
    return item;
}

inline BackgroundItem app(const QString& id, const QString& name, quint64 memory) {
    BackgroundItem item = running(id, name, memory);
    item.kind = BackgroundItem::Kind::app;
    item.appBundlePath = QStringLiteral("/Applications/") + name + QStringLiteral(".app");
    return item;
}

inline BackgroundItem job(const QString& label) {
    BackgroundItem item;
    item.id = QStringLiteral("job:") + label;
    item.name = label;
    item.explanation = QStringLiteral("A background job that is not running.");
    item.kind = BackgroundItem::Kind::job;
    item.state = BackgroundItem::State::notRunning;
    LaunchJob definition;
    definition.label = label;
    definition.plistPath = QStringLiteral("/Users/me/Library/LaunchAgents/") + label + ".plist";
    definition.program = QStringLiteral("/usr/local/bin/") + label;
    definition.runAtLoad = true;
    item.job = definition;
    item.origin.kind = Origin::Case::launchdJob;
    item.origin.payload = label;
    return item;
}

inline Inventory inventory(QList<BackgroundItem> runningItems,
                           QList<BackgroundItem> notRunning = {}) {
    Inventory result;
    result.running = std::move(runningItems);
    result.notRunning = std::move(notRunning);
    result.sampledAt = now();
    return result;
}

} // namespace WindowFixtures
