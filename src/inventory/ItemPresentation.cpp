#include "inventory/ItemPresentation.h"

#include <cmath>

#include <QCoreApplication>
#include <QLocale>

#include "inventory/Explanations.h"
#include "inventory/Origin.h"
#include "os/HostRules.h"

namespace ItemPresentation {

namespace {

// Port badges a compact list shows before it sums up the rest.
constexpr qsizetype compactPortBadges = 2;

QString text(const char* source) {
    return QCoreApplication::translate("ItemPresentation", source);
}

bool isBrewLabel(const QString& label) {
    return label.startsWith(u"homebrew.mxcl.") || label.startsWith(u"sh.brew.");
}

bool hasBrewJob(const BackgroundItem& item) {
    return item.job && isBrewLabel(item.job->label);
}

bool hasSchedule(const LaunchJob& job) {
    return job.startInterval || job.hasCalendarInterval;
}

bool primaryIsAgentSession(const BackgroundItem& item) {
    return item.primary && Origins::agentTool(*item.primary).has_value();
}

// CPU share worth showing: at least one percent of a core.
std::optional<double> notableCpu(const BackgroundItem& item) {
    if (item.cpuPercent && *item.cpuPercent >= 1.0 && std::isfinite(*item.cpuPercent))
        return item.cpuPercent;
    return std::nullopt;
}

} // namespace

QList<Badge> badges(const BackgroundItem& item, bool compact) {
    QList<Badge> result;
    const bool disabled = item.state == BackgroundItem::State::disabled || item.isDisabledInLaunchd;
    if (disabled)
        result.append({text("Disabled"), BadgeTint::secondary});
    if (item.isLoginItem)
        result.append({text("Login item"), BadgeTint::orange});
    if (!disabled && !item.isLoginItem && item.job &&
        (item.job->runAtLoad || item.job->keepAlive || hasSchedule(*item.job)))
        result.append({text("Auto-start"), BadgeTint::orange});
    if (hasBrewJob(item))
        result.append({QStringLiteral("Homebrew"), BadgeTint::brown});
    if (item.origin.kind == Origin::Case::agentSession && !primaryIsAgentSession(item)) {
        //: %1 is a coding-agent tool, such as Claude
        result.append(
            {QCoreApplication::translate("ItemPresentation", "%1 session").arg(item.origin.payload),
             BadgeTint::purple});
    }
    if (item.isPartOfBuild)
        result.append({text("Build"), BadgeTint::teal});

    const bool sumUp = compact && item.ports.size() > compactPortBadges;
    const qsizetype shown = sumUp ? compactPortBadges : item.ports.size();
    for (qsizetype i = 0; i < shown; ++i)
        result.append({u':' + QString::number(item.ports[i]), BadgeTint::blue});
    if (sumUp)
        result.append(
            {u'+' + QString::number(item.ports.size() - compactPortBadges), BadgeTint::blue});

    if (item.isApple)
        result.append({Hosts::current().words.systemBadge, BadgeTint::secondary});
    return result;
}

QString symbolName(const BackgroundItem& item) {
    if (item.kind == BackgroundItem::Kind::simulator)
        return QStringLiteral("iphone");
    switch (item.state) {
    case BackgroundItem::State::running:
        if (primaryIsAgentSession(item))
            return QStringLiteral("sparkles");
        if (hasBrewJob(item))
            return QStringLiteral("mug");
        if (!item.ports.isEmpty())
            return QStringLiteral("network");
        if (item.job)
            return QStringLiteral("gearshape.2");
        return QStringLiteral("terminal");
    case BackgroundItem::State::notRunning:
        if (item.job && hasSchedule(*item.job))
            return QStringLiteral("calendar.badge.clock");
        return QStringLiteral("moon.zzz");
    case BackgroundItem::State::disabled:
        break;
    }
    return QStringLiteral("pause.circle");
}

QString activityText(const BackgroundItem& item, Timestamp now) {
    const std::optional<QString> uptime =
        Explanations::uptimeText(item.primary ? item.primary->startDate : std::nullopt, now);
    const std::optional<double> cpu = notableCpu(item);
    if (!cpu)
        return uptime.value_or(QString());
    const QString share = QLocale().toString(qint64(std::llround(std::min(*cpu, 1e15))));
    if (!uptime) {
        //: %1 is a CPU share in percent of one core
        return QCoreApplication::translate("ItemPresentation", "%1 % CPU").arg(share);
    }
    //: %1 is a CPU share in percent of one core, %2 how long the process runs
    return QCoreApplication::translate("ItemPresentation", "%1 % CPU · %2").arg(share, *uptime);
}

QString accessibilityIdentifier(const BackgroundItem& item) {
    return QStringLiteral("row.") + item.id;
}

QString accessibilityHint() {
    return text("Shows details and actions");
}

} // namespace ItemPresentation
