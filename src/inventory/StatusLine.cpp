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

} // namespace

StatusLine statusLine(const BackgroundItem& item) {
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
