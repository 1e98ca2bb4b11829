#include "session/SessionJob.h"

#include <QCoreApplication>

namespace SessionJobs {

bool isUnit(const SessionJob& job) {
    return job.kind != SessionJob::Kind::autostartEntry;
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
