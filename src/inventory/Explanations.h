#pragma once

#include <optional>

#include <QString>

#include "inventory/BackgroundItem.h"
#include "launchd/LaunchJob.h"

// Plain-language explanations and the describing texts the screens and the
// report share. Every text is localized.
namespace Explanations {

// The known-process explanation for a label, name and path; cached.
std::optional<QString> explain(const std::optional<QString>& label, const QString& name,
                               const QString& path);

// The explanation of a running item whose `name` is already set.
QString runningExplanation(const BackgroundItem& item);

QString locationText(const QString& path);
QString scheduleText(const LaunchJob& job);
QString processCountText(qsizetype count);
std::optional<QString> uptimeText(std::optional<Timestamp> start, Timestamp now);
QString memoryText(quint64 bytes);

} // namespace Explanations
