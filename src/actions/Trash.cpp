#include "actions/Trash.h"

#include <cerrno>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include "os/FileNames.h"

namespace Trash {

namespace {

// A trashed file lies in <trash>/files/, where <trash> is the home Trash
// ("Trash" under the data folder) or a volume's ".Trash-UID" or ".Trash/UID".
bool isInTrash(const QString& trashedPath) {
    const QFileInfo info(trashedPath);
    if (!info.exists())
        return false;
    const QDir filesDir = info.absoluteDir();
    if (filesDir.dirName() != QStringLiteral("files"))
        return false;
    QDir trashDir = filesDir;
    if (!trashDir.cdUp())
        return false;
    const QString name = trashDir.dirName();
    if (name == QStringLiteral("Trash") || name.startsWith(QStringLiteral(".Trash-")))
        return true;
    QDir parent = trashDir;
    return parent.cdUp() && parent.dirName() == QStringLiteral(".Trash");
}

} // namespace

ActionResult moveToTrash(const QString& requestedPath) {
    // Qt reaches files through UTF-8 names. A name that is not UTF-8 first
    // takes its readable form (bad bytes shown as U+FFFD) in its own folder.
    const QString path = FileNames::displayText(requestedPath);
    if (path != requestedPath && !FileNames::renameWithoutReplacing(requestedPath, path))
        return ActionError{qt_error_string(errno)};

    // Qt puts the file into "files" under the current folder, and reports
    // success, when the data folder that holds the home Trash is missing;
    // creating it first keeps the file in the real Trash.
    const QString dataHome = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (!dataHome.isEmpty())
        QDir().mkpath(dataHome + QStringLiteral("/Trash"));

    QFile file(path);
    if (!file.moveToTrash())
        return ActionError{file.errorString()};
    if (!isInTrash(file.fileName())) {
        // Put it back where it was rather than leave it somewhere unexpected.
        QFile::rename(file.fileName(), path);
        return ActionError{
            QCoreApplication::translate("Trash", "%1 could not be moved to the Trash.")
                .arg(QFileInfo(path).fileName())};
    }
    return std::nullopt;
}

} // namespace Trash
