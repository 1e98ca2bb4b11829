#include "session/AutostartScanner.h"

#include <algorithm>
#include <map>
#include <memory>
#include <tuple>

#include <sys/stat.h>

#include <QStandardPaths>

#include "os/FileNames.h"
#include "os/UserHome.h"
#include "session/DesktopEntry.h"

using namespace Qt::Literals::StringLiterals;

namespace AutostartScanner {

namespace {

// The *.desktop paths in `folder`, keeping their bytes.
QStringList entryFiles(const QString& folder) {
    QStringList paths;
    for (const QString& name : FileNames::listFolder(folder)) {
        if (name.endsWith(u".desktop") && name.size() > 8)
            paths.append(folder + u'/' + name);
    }
    return paths;
}

} // namespace

Folders Folders::standard() {
    const QByteArray config = qgetenv("XDG_CONFIG_HOME");
    const QString home = UserHome::path();
    Folders folders;
    // Relative paths are invalid in these variables and ignored.
    if (config.startsWith('/') || !home.isEmpty())
        folders.user = (config.startsWith('/') ? FileNames::decode(config) : home + u"/.config"_s) +
                       u"/autostart"_s;
    const QByteArray system = qgetenv("XDG_CONFIG_DIRS");
    for (const QByteArray& folder : (system.isEmpty() ? "/etc/xdg" : system).split(':')) {
        if (folder.startsWith('/'))
            folders.system.append(FileNames::decode(folder) + u"/autostart"_s);
    }
    return folders;
}

QStringList currentDesktops() {
    return qEnvironmentVariable("XDG_CURRENT_DESKTOP").split(u':', Qt::SkipEmptyParts);
}

QList<SessionJob> scanEntries(const Folders& folders, const QStringList& desktops) {
    // Per name: the file in effect, whether it is the user's, the system file beneath.
    std::map<QString, std::tuple<QString, bool, std::optional<QString>>> files;
    for (const QString& folder : QStringList{folders.user} + folders.system) {
        for (const QString& path : entryFiles(folder)) {
            auto& [file, user, beneath] = files[path.sliced(folder.size() + 1)];
            if (file.isEmpty())
                std::tie(file, user) = std::pair(path, folder == folders.user);
            else if (user && !beneath)
                beneath = path;
        }
    }
    QList<SessionJob> jobs;
    for (const auto& [name, found] : files) {
        const auto& [file, user, beneath] = found;
        std::optional<DesktopEntry::Entry> entry = DesktopEntry::read(file);
        const bool hidden = entry && DesktopEntry::boolValue(*entry, u"Hidden"_s) == true;
        // A hidden user file may be a bare switch: the system entry fills in the rest.
        if (auto system = hidden && beneath ? DesktopEntry::read(*beneath) : std::nullopt) {
            system->values.insert(entry->values);
            entry = system;
        }
        const auto value = [&](const char* key) { return entry->values.value(QLatin1String(key)); };
        const auto namesDesktop = [&](const char* key) {
            return std::ranges::any_of(value(key).split(u';'), [&](const QString& desktop) {
                return desktops.contains(desktop);
            });
        };
        if (!entry || !QStringList{{}, u"Application"_s}.contains(value("Type")) ||
            (!value("OnlyShowIn").isEmpty() && !namesDesktop("OnlyShowIn")) ||
            namesDesktop("NotShowIn") ||
            (!value("TryExec").isEmpty() &&
             QStandardPaths::findExecutable(value("TryExec")).isEmpty()))
            continue;
        SessionJob job;
        job.kind = SessionJob::Kind::autostartEntry;
        job.name = name;
        job.title = value("Name");
        job.file = file;
        job.owner = user ? SessionJob::Owner::user : SessionJob::Owner::system;
        job.command = DesktopEntry::execArguments(value("Exec"));
        // A bare program name runs from PATH, as the session would find it.
        if (!job.command.isEmpty() && !job.command.first().contains(u'/')) {
            const QString program = QStandardPaths::findExecutable(job.command.first());
            if (!program.isEmpty())
                job.command.first() = program;
        }
        if (!value("Path").isEmpty())
            job.workingDirectory = value("Path");
        job.hidden = hidden;
        job.switchedOff = DesktopEntry::boolValue(*entry, u"X-GNOME-Autostart-enabled"_s) == false;
        job.startsAtLogin = !job.hidden && !job.switchedOff;
        job.enabledByUser = job.startsAtLogin && user;
        job.systemFile = beneath;
        jobs.append(job);
    }
    return jobs;
}

Stamp stampOf(const Folders& folders) {
    Stamp stamp;
    for (const QString& folder : QStringList{folders.user} + folders.system) {
        for (const QString& path : entryFiles(folder)) {
            struct stat info {};
            ::stat(FileNames::encode(path).constData(), &info);
            info.st_atim = {}; // reading is no change
            stamp.files += FileNames::encode(path) + '\0' +
                           QByteArray(reinterpret_cast<const char*>(&info), sizeof info);
        }
    }
    return stamp;
}

} // namespace AutostartScanner
