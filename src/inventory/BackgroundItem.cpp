#include "inventory/BackgroundItem.h"

#include <algorithm>

#include <QCoreApplication>

#include "os/HostRules.h"
#include "os/UserHome.h"

namespace Items {

namespace {

bool isGlobalDaemon(const BackgroundItem& item) {
    return item.job && item.job->domain == LaunchJob::Domain::globalDaemon;
}

// What stopping a plain process or job does, by the lowest port it serves
// and whether it comes back on its own.
QString stopNote(const BackgroundItem& item) {
    const bool comesBack = !item.isDisabledInLaunchd && autoStarts(item);
    if (item.ports.isEmpty()) {
        return comesBack ? QCoreApplication::translate("Items",
                                                       "Safe to stop. It comes back at next login.")
                         : QCoreApplication::translate(
                               "Items", "Safe to stop. It does not come back by itself.");
    }
    const QString port = QString::number(*std::min_element(item.ports.begin(), item.ports.end()));
    if (comesBack) {
        //: %1 is a TCP port number
        return QCoreApplication::translate("Items",
                                           "Serves port %1; clients connected to it lose the "
                                           "connection. It comes back at next login.")
            .arg(port);
    }
    //: %1 is a TCP port number
    return QCoreApplication::translate("Items", "Serves port %1; clients connected to it lose the "
                                                "connection. It does not come back by itself.")
        .arg(port);
}

} // namespace

std::optional<QString> executablePath(const BackgroundItem& item) {
    if (item.primary)
        return item.primary->path;
    if (item.job) {
        if (item.job->program)
            return item.job->program;
        if (!item.job->arguments.isEmpty())
            return item.job->arguments.first();
    }
    if (item.sessionJob && !item.sessionJob->command.isEmpty())
        return item.sessionJob->command.first();
    return std::nullopt;
}

QString commandLine(const BackgroundItem& item) {
    QStringList parts;
    if (item.primary && !item.primary->arguments.isEmpty())
        parts = item.primary->arguments;
    else if (item.job)
        parts = item.job->program ? QStringList{*item.job->program} : item.job->arguments;
    else if (item.sessionJob)
        parts = item.sessionJob->command;

    for (QString& part : parts) {
        // A quote inside a quoted part would end the quoting early when the
        // line is pasted into a shell; it is written as '\'' instead.
        if (part.contains(u' '))
            part = u'\'' + QString(part).replace(u'\'', QStringLiteral("'\\''")) + u'\'';
    }
    return parts.join(u' ');
}

std::optional<QString> simulatorDeviceID(const BackgroundItem& item) {
    static const QString prefix = QStringLiteral("com.apple.CoreSimulator.SimDevice.");
    if (item.kind != BackgroundItem::Kind::simulator || !item.launchLabel ||
        !item.launchLabel->startsWith(prefix))
        return std::nullopt;
    const QString device = item.launchLabel->mid(prefix.size());
    // A bare prefix names no device; a shutdown must never address "".
    if (device.isEmpty())
        return std::nullopt;
    return device;
}

bool hasLaunchdJob(const BackgroundItem& item) {
    return item.job || (item.launchLabel && !item.launchLabel->startsWith(u"application."));
}

std::optional<QString> controllableLabel(const BackgroundItem& item) {
    if (!hasLaunchdJob(item) || item.kind == BackgroundItem::Kind::simulator)
        return std::nullopt;
    if (item.job) {
        if (item.job->domain == LaunchJob::Domain::globalDaemon)
            return std::nullopt;
        return item.job->label;
    }
    return item.launchLabel;
}

bool autoStarts(const BackgroundItem& item) {
    if (item.launchdStateUnknown)
        return false;
    if (item.isLoginItem)
        return true;
    if (item.sessionJob)
        return item.sessionJob->startsAtLogin;
    if (!item.job)
        return false;
    const LaunchJob& job = *item.job;
    return job.runAtLoad || job.keepAlive || job.startInterval.has_value() ||
           job.hasCalendarInterval;
}

bool canStop(const BackgroundItem& item, Uid uid) {
    return !item.isApple && item.state == BackgroundItem::State::running && !isGlobalDaemon(item) &&
           item.primary && item.primary->uid == uid;
}

bool canDisable(const BackgroundItem& item) {
    if (item.sessionJob)
        return !item.isApple &&
               SessionJobs::disabling(*item.sessionJob) != SessionJobs::Disabling::none;
    return !item.isApple && item.job && item.job->domain == LaunchJob::Domain::userAgent &&
           item.state != BackgroundItem::State::disabled && !item.isDisabledInLaunchd &&
           (item.job->runAtLoad || item.job->keepAlive);
}

bool canReenable(const BackgroundItem& item) {
    if (item.sessionJob)
        return SessionJobs::reenabling(*item.sessionJob) != SessionJobs::Reenabling::none;
    return item.state == BackgroundItem::State::disabled;
}

bool isDevServer(const BackgroundItem& item) {
    if (!item.ports.isEmpty() || Origins::isInteractive(item.origin) ||
        item.kind == BackgroundItem::Kind::simulator)
        return true;
    return item.job && (item.job->label.startsWith(u"homebrew.mxcl.") ||
                        item.job->label.startsWith(u"sh.brew."));
}

QString searchText(const BackgroundItem& item) {
    QString label;
    if (item.job)
        label = item.job->label;
    else if (item.sessionJob)
        label = item.sessionJob->name;
    else if (item.launchLabel)
        label = *item.launchLabel;

    QStringList ports;
    for (int port : item.ports)
        ports.append(QString::number(port));

    const QStringList pieces = {
        item.name,
        item.explanation,
        executablePath(item).value_or(QString()),
        label,
        item.primary ? item.primary->workingDirectory.value_or(QString()) : QString(),
        ports.join(u' '),
    };
    return pieces.join(u' ');
}

std::optional<SafetyNote> safetyNote(const BackgroundItem& item, Uid uid) {
    if (item.state != BackgroundItem::State::running)
        return std::nullopt;

    const HostRules& host = Hosts::current();
    if (item.isApple)
        return SafetyNote{host.words.systemPartNote, true};
    if (item.primary && item.primary->uid != uid) {
        // The macOS rules keep their fixed wording.
        const QString user = host.system == HostRules::System::linux
                                 ? UserHome::accountName(item.primary->uid)
                                 : QStringLiteral("root");
        //: %1 is the name of the account the process runs as, such as postgres
        return SafetyNote{QCoreApplication::translate("Items",
                                                      "Runs as another user (%1); stop it from its "
                                                      "own app or with admin rights.")
                              .arg(user),
                          true};
    }
    if (item.primary) {
        if (const std::optional<QString> tool = Origins::agentTool(*item.primary)) {
            //: %1 is a coding-agent tool, such as Claude
            return SafetyNote{QCoreApplication::translate(
                                  "Items", "Live %1 session: stopping it ends the conversation.")
                                  .arg(*tool),
                              true};
        }
    }
    if (item.origin.kind == Origin::Case::agentSession) {
        //: %1 is a coding-agent tool, such as Claude
        return SafetyNote{QCoreApplication::translate(
                              "Items", "Used by an active %1 session; stopping may break its work.")
                              .arg(item.origin.payload),
                          true};
    }
    if (item.isPartOfBuild)
        return SafetyNote{
            QCoreApplication::translate("Items", "Part of a running build; the build will fail."),
            true};
    if (item.kind == BackgroundItem::Kind::app)
        return SafetyNote{host.words.appQuitNote, false};
    return SafetyNote{stopNote(item), false};
}

} // namespace Items
