#include "actions/SessionActions.h"

#include <QCoreApplication>
#include <QProcess>

#include "session/AutostartOverride.h"
#include "session/UserManager.h"

namespace SessionActions {

namespace {

QString tr(const char* text) {
    return QCoreApplication::translate("SessionActions", text);
}

ActionResult failure(const std::optional<QString>& message) {
    if (!message)
        return std::nullopt;
    return ActionError{*message};
}

// The job as its files say now, after a change.
std::optional<SessionJob> rescanned(const SessionJob& job, const Context& context) {
    const QList<SessionJob> jobs =
        SessionJobs::isUnit(job)
            ? UnitScanner::scanUnits(context.unitFolders)
            : AutostartScanner::scanEntries(context.autostartFolders,
                                            AutostartScanner::currentDesktops());
    for (const SessionJob& candidate : jobs) {
        if (candidate.name == job.name)
            return candidate;
    }
    return std::nullopt;
}

} // namespace

ActionResult start(const SessionJob& job, const Context& context) {
    if (SessionJobs::isUnit(job))
        return failure(UserManager::startUnit(context.bus(), job.name));
    if (job.command.isEmpty())
        return ActionError{tr("Its autostart entry names no command.")};
    if (!QProcess::startDetached(job.command.first(), job.command.mid(1),
                                 job.workingDirectory.value_or(QString())))
        //: %1 is a program
        return ActionError{tr("Could not start %1.").arg(job.command.first())};
    return std::nullopt;
}

ActionResult stopUnit(const SessionJob& job, const Context& context) {
    if (!SessionJobs::isUnit(job))
        return std::nullopt;
    return failure(UserManager::stopUnit(context.bus(), job.name));
}

ActionResult disable(const SessionJob& job, bool active, const Context& context) {
    std::optional<QString> failed;
    switch (SessionJobs::disabling(job)) {
    case SessionJobs::Disabling::none:
        return ActionError{tr("Only root can keep this from starting at login.")};
    case SessionJobs::Disabling::disableUnit:
        failed = UserManager::disableUnitFiles(context.bus(), job.name);
        break;
    case SessionJobs::Disabling::maskUnit:
        failed = UserManager::maskUnitFiles(context.bus(), job.name);
        break;
    case SessionJobs::Disabling::hideEntry:
        failed = AutostartOverride::hide(job, context.autostartFolders);
        break;
    }
    if (failed)
        return ActionError{*failed};
    // A change that leaves it starting at login is no success.
    const std::optional<SessionJob> after = rescanned(job, context);
    if (after && after->startsAtLogin)
        return ActionError{tr("It still starts at login: the system's folders enable it.")};
    return active ? stopUnit(job, context) : std::nullopt;
}

ActionResult reenable(const SessionJob& job, const Context& context) {
    switch (SessionJobs::reenabling(job)) {
    case SessionJobs::Reenabling::none:
        return ActionError{tr("This was not switched off in a way you can undo from here.")};
    case SessionJobs::Reenabling::unmask:
        return failure(UserManager::unmaskUnitFiles(context.bus(), job.name));
    case SessionJobs::Reenabling::enableUnit:
        return failure(UserManager::enableUnitFiles(context.bus(), job.name));
    case SessionJobs::Reenabling::unhideEntry:
        return failure(AutostartOverride::unhide(job, context.autostartFolders));
    }
    return std::nullopt;
}

} // namespace SessionActions
