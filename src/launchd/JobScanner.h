#pragma once

#include <optional>

#include <QByteArrayView>
#include <QList>
#include <QString>

#include "launchd/LaunchJob.h"
#include "os/ProcSnapshot.h"

namespace JobScanner {

// The folders that hold job definitions. Defaults are the real ones; tests
// point them at temporary folders.
struct JobFolders {
    QString home;
    QString globalAgents = QStringLiteral("/Library/LaunchAgents");
    QString globalDaemons = QStringLiteral("/Library/LaunchDaemons");

    // The current user's home and the system folders.
    static JobFolders standard();

    QString userAgents() const;
    QString parking() const;
};

// Every job of the four locations, in location order.
QList<LaunchJob> scanJobs(const JobFolders& folders);

// One modification time per location (absent when the folder is missing).
QList<std::optional<Timestamp>> folderStamps(const JobFolders& folders);

std::optional<LaunchJob> parseJob(QByteArrayView bytes, const QString& path,
                                  LaunchJob::Domain domain);

// The script a job runs through an interpreter, if any.
std::optional<QString> scriptPath(const LaunchJob& job);

} // namespace JobScanner
