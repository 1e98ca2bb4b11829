#include "session/SessionJob.h"

#include <QCoreApplication>

#include "os/UserHome.h"

namespace SessionJobs {

bool isUnit(const SessionJob& job) {
    return job.kind != SessionJob::Kind::autostartEntry;
}

bool isMaskedByUser(const SessionJob& job) {
    const QString home = UserHome::path();
    return job.maskFile && !home.isEmpty() && job.maskFile->startsWith(home + u'/');
}

bool chosenByUser(const SessionJob& job) {
    return job.owner == SessionJob::Owner::user || job.enabledByUser || isMaskedByUser(job);
}

bool isSwitchedOff(const SessionJob& job) {
    if (!isUnit(job))
        return job.hidden || job.switchedOff;
    return job.maskFile ||
           (job.owner == SessionJob::Owner::user && !job.startsAtLogin && !job.wantedBy.isEmpty());
}

Reenabling reenabling(const SessionJob& job) {
    if (!isUnit(job))
        return job.hidden && job.owner == SessionJob::Owner::user ? Reenabling::unhideEntry
                                                                  : Reenabling::none;
    if (job.maskFile)
        return isMaskedByUser(job) ? Reenabling::unmask : Reenabling::none;
    if (isSwitchedOff(job))
        return Reenabling::enableUnit;
    return Reenabling::none;
}

Disabling disabling(const SessionJob& job) {
    if (!job.startsAtLogin)
        return Disabling::none;
    if (!isUnit(job))
        return Disabling::hideEntry;
    if (job.owner == SessionJob::Owner::system)
        return Disabling::maskUnit;
    // A link in a system folder keeps the user's unit starting; only root
    // can remove that.
    return job.enabledByUser ? Disabling::disableUnit : Disabling::none;
}

QString scheduleText(const SessionJob& job) {
    static const QStringList shorthands = {
        QStringLiteral("minutely"), QStringLiteral("hourly"),    QStringLiteral("daily"),
        QStringLiteral("weekly"),   QStringLiteral("monthly"),   QStringLiteral("yearly"),
        QStringLiteral("annually"), QStringLiteral("quarterly"), QStringLiteral("semiannually"),
    };
    if (!job.onCalendar.isEmpty()) {
        const QString calendar = job.onCalendar.first().trimmed().toLower();
        if (shorthands.contains(calendar))
            return calendar; // systemd's own words
        //: %1 is a calendar event such as Mon *-*-* 09:00
        return QCoreApplication::translate("SessionJobs", "at %1").arg(job.onCalendar.first());
    }
    if (job.onUnitActiveSec)
        //: %1 is a time span such as 1h or 15min
        return QCoreApplication::translate("SessionJobs", "every %1").arg(*job.onUnitActiveSec);
    if (job.onBootSec)
        //: %1 is a time span such as 5min
        return QCoreApplication::translate("SessionJobs", "%1 after login").arg(*job.onBootSec);
    return QCoreApplication::translate("SessionJobs", "on demand");
}

QString kindText(SessionJob::Kind kind) {
    switch (kind) {
    case SessionJob::Kind::service:
        return QCoreApplication::translate("SessionJobs", "systemd user service");
    case SessionJob::Kind::timer:
        return QCoreApplication::translate("SessionJobs", "systemd user timer");
    case SessionJob::Kind::autostartEntry:
        return QCoreApplication::translate("SessionJobs", "autostart entry");
    }
    return {};
}

} // namespace SessionJobs
