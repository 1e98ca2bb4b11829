#include "actions/JobActions.h"

#include <filesystem>
#include <system_error>

#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "actions/Trash.h"

namespace JobActions {

namespace {

QString tr(const char* text) {
    return QCoreApplication::translate("JobActions", text);
}

ActionError launchctlFailure(const QString& verb, const CommandResult& result) {
    return ActionError{
        tr("launchctl %1 failed (%2): %3").arg(verb, QString::number(result.status), result.error)};
}

ActionResult runLaunchctl(const QString& verb, const SystemTools::Invocation& invocation) {
    const CommandResult result = SystemTools::run(invocation);
    if (result.status != 0)
        return launchctlFailure(verb, result);
    return std::nullopt;
}

ActionResult makeFolder(const QString& folder) {
    std::error_code error;
    std::filesystem::create_directories(folder.toStdString(), error);
    if (error)
        return ActionError{QString::fromLocal8Bit(error.message())};
    return std::nullopt;
}

ActionResult moveFile(const QString& from, const QString& to) {
    // QFile::rename never replaces an existing file.
    QFile file(from);
    if (!file.rename(to))
        return ActionError{file.errorString()};
    return std::nullopt;
}

} // namespace

Context Context::standard() {
    return Context{SystemTools::Locations::standard(), static_cast<Uid>(::getuid())};
}

QString parkingFolder(const QString& plistPath) {
    return QFileInfo(plistPath).absolutePath() + QStringLiteral("/Disabled");
}

ActionResult bootoutJob(const QString& label, const Context& context) {
    const CommandResult result =
        SystemTools::run(SystemTools::bootout(context.tools, context.uid, label));
    const bool notLoaded = result.status == 0 || result.status == 3 || result.status == 36 ||
                           result.error.contains(QStringLiteral("No such process"));
    if (notLoaded)
        return std::nullopt;
    return launchctlFailure(QStringLiteral("bootout"), result);
}

ActionResult disableJob(const LaunchJob& job, const Context& context) {
    if (job.domain != LaunchJob::Domain::userAgent || job.label.startsWith(u"com.apple."))
        return ActionError{tr("Only your own launch agents can be disabled.")};
    // Parking a parked definition again would hide it in a folder nobody reads.
    if (job.isParkedByQuillmarsh)
        return ActionError{tr("This job is already disabled by Quillmarsh.")};
    if (ActionResult failed = bootoutJob(job.label, context))
        return failed;

    const QString folder = parkingFolder(job.plistPath);
    if (ActionResult failed = makeFolder(folder))
        return failed;

    const QString destination = folder + u'/' + QFileInfo(job.plistPath).fileName();
    if (QFileInfo::exists(destination) || QFileInfo(destination).isSymLink()) {
        if (ActionResult failed = Trash::moveToTrash(destination))
            return failed;
    }
    return moveFile(job.plistPath, destination);
}

ActionResult reenableJob(const LaunchJob& job, const Context& context) {
    if (!job.isParkedByQuillmarsh)
        return ActionError{tr("This job is not disabled by Quillmarsh.")};

    const QFileInfo parked(job.plistPath);
    QDir agents = parked.absoluteDir();
    agents.cdUp();
    const QString destination = agents.absoluteFilePath(parked.fileName());
    if (QFileInfo::exists(destination) || QFileInfo(destination).isSymLink())
        return ActionError{tr("%1 already exists in LaunchAgents.").arg(parked.fileName())};

    if (ActionResult failed = moveFile(job.plistPath, destination))
        return failed;
    return runLaunchctl(QStringLiteral("bootstrap"),
                        SystemTools::bootstrap(context.tools, context.uid, destination));
}

ActionResult enableJob(const QString& label, const Context& context) {
    return runLaunchctl(QStringLiteral("enable"),
                        SystemTools::enable(context.tools, context.uid, label));
}

ActionResult startJob(const LaunchJob& job, bool listedByLaunchd, const Context& context) {
    if (listedByLaunchd) {
        return runLaunchctl(QStringLiteral("kickstart"),
                            SystemTools::kickstart(context.tools, context.uid, job.label));
    }
    return runLaunchctl(QStringLiteral("bootstrap"),
                        SystemTools::bootstrap(context.tools, context.uid, job.plistPath));
}

ActionResult shutdownSimulator(const std::optional<QString>& deviceID, const Context& context) {
    const CommandResult result = SystemTools::run(
        SystemTools::shutdownSimulator(context.tools, deviceID.value_or(QStringLiteral("all"))));
    if (result.status != 0)
        return ActionError{tr("simctl shutdown failed: %1").arg(result.error)};
    return std::nullopt;
}

} // namespace JobActions
