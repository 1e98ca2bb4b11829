// The status pair of an item that is not running. Kept apart from the other
// derived values because it draws on the schedule texts.
#include <QCoreApplication>

#include "inventory/BackgroundItem.h"
#include "inventory/Explanations.h"

namespace Items {

namespace {

QString schedule(const BackgroundItem& item) {
    if (item.job)
        return Explanations::scheduleText(*item.job);
    return QCoreApplication::translate("Items", "On demand");
}

QString tr(const char* text) {
    return QCoreApplication::translate("Items", text);
}

// Why a unit or entry is kept from starting at login.
QString switchedOffDetail(const SessionJob& job) {
    if (job.maskFile)
        return tr("masked");
    if (job.hidden)
        return tr("hidden");
    if (job.switchedOff)
        return tr("switched off");
    return tr("not enabled");
}

StatusLine sessionStatus(const BackgroundItem& item) {
    const SessionJob& job = *item.sessionJob;
    if (SessionJobs::isSwitchedOff(job))
        return {tr("Disabled"), switchedOffDetail(job)};
    if (item.isThisApp)
        return {tr("Running"), tr("this app")};
    if (item.unitStateUnknown)
        return {tr("Unknown"), tr("systemd could not be read")};
    if (item.unitState) {
        const UnitState& state = *item.unitState;
        if (state.subState == u"auto-restart" ||
            (state.activeState == u"activating" && state.restarts > 0))
            return {tr("Restarting"), QCoreApplication::translate("Items", "%n restarts", nullptr,
                                                                  int(state.restarts))};
        if (state.activeState == u"failed") {
            if (state.exitStatus && *state.exitStatus != 0)
                //: %1 is the process's last exit status
                return {tr("Failed"), tr("exit %1").arg(*state.exitStatus)};
            return {tr("Failed"), state.subState};
        }
        if (job.kind == SessionJob::Kind::timer && state.activeState == u"active")
            return {tr("Waiting"), SessionJobs::scheduleText(job)};
    }
    if (job.startsAtLogin)
        return {tr("Stopped"), tr("until login")};
    return {tr("Not running"), SessionJobs::scheduleText(job)};
}

} // namespace

StatusLine statusLine(const BackgroundItem& item) {
    if (item.sessionJob)
        return sessionStatus(item);
    if (item.state == BackgroundItem::State::disabled)
        return {QCoreApplication::translate("Items", "Disabled"),
                QCoreApplication::translate("Items", "plist parked")};
    if (item.launchdStateUnknown)
        return {QCoreApplication::translate("Items", "Unknown"),
                QCoreApplication::translate("Items", "launchd could not be read")};
    if (item.isDisabledInLaunchd)
        return {QCoreApplication::translate("Items", "Disabled"),
                QCoreApplication::translate("Items", "in launchd")};
    if (item.launchLabel) {
        if (item.lastExitStatus && *item.lastExitStatus != 0) {
            //: %1 is the process's last exit status
            return {QCoreApplication::translate("Items", "Failed"),
                    QCoreApplication::translate("Items", "exit %1").arg(*item.lastExitStatus)};
        }
        return {QCoreApplication::translate("Items", "Waiting"), schedule(item)};
    }
    if (autoStarts(item))
        return {QCoreApplication::translate("Items", "Stopped"),
                QCoreApplication::translate("Items", "until login")};
    return {QCoreApplication::translate("Items", "Not loaded"), schedule(item)};
}

} // namespace Items
