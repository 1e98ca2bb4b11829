#include "actions/JobActions.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <system_error>

#include <sys/stat.h>

#include <QCoreApplication>

#include "actions/Trash.h"
#include "os/FileNames.h"

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

// Paths are handled as the bytes the scanner found (FileNames), so a file
// whose name is not UTF-8 is moved under its own name.

ActionResult makeFolder(const QString& folder) {
    std::error_code error;
    std::filesystem::create_directories(FileNames::encode(folder).toStdString(), error);
    if (error)
        return ActionError{QString::fromLocal8Bit(error.message())};
    return std::nullopt;
}

// Whether anything, a dangling link included, has this name.
bool nameTaken(const QString& path) {
    struct stat info {};
    return ::lstat(FileNames::encode(path).constData(), &info) == 0;
}

ActionResult moveFile(const QString& from, const QString& to) {
    if (FileNames::renameWithoutReplacing(from, to))
        return std::nullopt;
    return ActionError{qt_error_string(errno)};
}

QString folderOf(const QString& path) {
    return path.left(std::max<qsizetype>(path.lastIndexOf(u'/'), 0));
}

QString fileNameOf(const QString& path) {
    return path.sliced(path.lastIndexOf(u'/') + 1);
}

} // namespace

Context Context::standard() {
    return Context{SystemTools::Locations::standard(), static_cast<Uid>(::getuid())};
}

QString parkingFolder(const QString& plistPath) {
    return folderOf(plistPath) + QStringLiteral("/Disabled");
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

    const QString destination = folder + u'/' + fileNameOf(job.plistPath);
    if (nameTaken(destination)) {
        if (ActionResult failed = Trash::moveToTrash(destination))
            return failed;
    }
    return moveFile(job.plistPath, destination);
}

ActionResult reenableJob(const LaunchJob& job, const Context& context) {
    if (!job.isParkedByQuillmarsh)
        return ActionError{tr("This job is not disabled by Quillmarsh.")};

    const QString name = fileNameOf(job.plistPath);
    const QString destination = folderOf(folderOf(job.plistPath)) + u'/' + name;
    if (nameTaken(destination))
        return ActionError{
            tr("%1 already exists in LaunchAgents.").arg(FileNames::displayText(name))};

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
