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
#include "support/StandIns.h"

namespace WindowFixtures {

inline const Uid me = static_cast<Uid>(::getuid());
// Someone else: neither root nor the tester.
inline const Uid someoneElse = me == 4321 ? 4322 : 4321;

// With `tools`, the model samples and acts through the stand-ins and reads
// jobs from `home` only.
// `adjust` changes the environment last.
inline std::unique_ptr<AppModel>
makeModel(const QTemporaryDir& dir, const StandIns* tools = nullptr, const QString& home = {},
          const std::function<void(AppModel::Environment&)>& adjust = {}) {
    AppModel::Environment environment;
    environment.settings = [path = dir.filePath("settings.ini")] {
        return std::make_unique<AppSettings>(
            std::make_unique<QSettings>(path, QSettings::IniFormat));
    };
    environment.loginEntry = {dir.filePath("autostart/quillmarsh.desktop"), "/usr/bin/q"};
    environment.actions.uid = environment.sampler.uid = me;
    if (tools) {
        environment.sampler.tools = environment.actions.tools = tools->locations();
        environment.sampler.folders = {home, dir.filePath("ga"), dir.filePath("gd")};
    }
    if (adjust)
        adjust(environment);
    return std::make_unique<AppModel>(std::move(environment));
}

inline Timestamp now() {
    return static_cast<Timestamp>(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
}

inline BackgroundItem running(const QString& id, const QString& name, quint64 memory,
                              QList<int> ports = {}, Uid uid = someoneElse) {
    const QString path = "/usr/bin/" + name;
    BackgroundItem item;
    item.id = id;
    item.name = name;
    item.primary =
        ProcSnapshot(1000 + static_cast<Pid>(qHash(id) % 20000), 1, uid, name, path, now() - 3600,
                     memory, std::nullopt, QStringList(path), std::nullopt, std::nullopt);
    item.members = {*item.primary};
    item.memory = memory;
    item.ports = std::move(ports);
    item.origin = {Origin::Case::terminal, "Terminal", std::nullopt};
    return item;
}

inline BackgroundItem job(const QString& label,
                          LaunchJob::Domain domain = LaunchJob::Domain::userAgent) {
    BackgroundItem item;
    item.id = "job:" + label;
    item.name = label;
    item.kind = BackgroundItem::Kind::job;
    item.state = BackgroundItem::State::notRunning;
    item.job = LaunchJob();
    item.job->label = label;
    item.job->plistPath = "/Users/me/Library/LaunchAgents/" + label + ".plist";
    item.job->domain = domain;
    item.job->program = "/usr/local/bin/" + label;
    item.job->runAtLoad = true;
    item.origin = {Origin::Case::launchdJob, label, std::nullopt};
    return item;
}

inline Inventory inventory(QList<BackgroundItem> running, QList<BackgroundItem> notRunning = {}) {
    return Inventory{std::move(running), std::move(notRunning), now(), {}};
}

} // namespace WindowFixtures
