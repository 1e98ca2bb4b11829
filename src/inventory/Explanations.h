#pragma once

#include <optional>

#include <QList>
#include <QString>
#include <QStringList>

#include "inventory/BackgroundItem.h"
#include "launchd/LaunchJob.h"
#include "os/HostRules.h"

// One row of the table of well-known background programs: lowercase match
// keys and the sentence that explains the program.
struct KnownProcess {
    QStringList matchKeys;
    QString explanation;

    bool operator==(const KnownProcess&) const = default;
};

// Plain-language explanations and the describing texts the screens and the
// report share. Every text is localized.
namespace Explanations {

// The known programs in matching order (the first match wins). Built once, on
// first use, so translators must be installed before.
const QList<KnownProcess>& knownProcesses();

// The known-process explanation for a label, name and path; cached.
std::optional<QString> explain(const std::optional<QString>& label, const QString& name,
                               const QString& path);

// The lookup cache behind `explain`: its current number of entries, and a way
// to start it over (tests, memory relief).
qsizetype explanationCacheSize();
void clearExplanationCache();

// The explanation of a running item whose `name` is already set.
QString runningExplanation(const BackgroundItem& item, const HostRules& rules);

// Where a path lives, judged against `home` (the current user's home folder
// by default); the system's own folders read as the system's name.
QString locationText(const QString& path, const HostRules& rules);
QString locationText(const QString& path, const QString& home, const HostRules& rules);

QString scheduleText(const LaunchJob& job);
// What a systemd user unit or an autostart entry is and where its program
// lives: "systemd user service · in your home folder".
QString sessionJobText(const SessionJob& job, const HostRules& rules);
QString processCountText(qsizetype count);
std::optional<QString> uptimeText(std::optional<Timestamp> start, Timestamp now);
QString memoryText(quint64 bytes);

} // namespace Explanations
