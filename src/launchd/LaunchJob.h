#pragma once

#include <optional>

#include <QString>
#include <QStringList>

// One launchd job definition as found on disk.
struct LaunchJob {
    enum class Domain { userAgent, globalAgent, globalDaemon };

    QString label;
    QString plistPath;
    Domain domain = Domain::userAgent;
    std::optional<QString> program;
    QStringList arguments;
    bool runAtLoad = false;
    bool keepAlive = false;
    std::optional<qint64> startInterval;
    bool hasCalendarInterval = false;
    bool disabledInPlist = false;
    bool isParkedByQuillmarsh = false;

    bool operator==(const LaunchJob&) const = default;
};

// "User agent", "Global agent", "System daemon".
QString domainText(LaunchJob::Domain domain);
std::optional<LaunchJob::Domain> domainFromText(const QString& text);
