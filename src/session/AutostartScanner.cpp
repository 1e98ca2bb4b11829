#include "session/AutostartScanner.h"

#include <algorithm>
#include <array>
#include <map>
#include <tuple>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "os/FileNames.h"
#include "os/UserHome.h"
#include "session/DesktopEntry.h"

using namespace Qt::Literals::StringLiterals;

namespace AutostartScanner {

namespace {

// The *.desktop paths in `folder`, keeping their bytes.
QStringList entryFiles(const QString& folder) {
    QStringList paths;
    DIR* dir = ::opendir(FileNames::encode(folder).constData());
    while (const dirent* entry = dir != nullptr ? ::readdir(dir) : nullptr) {
        const QByteArrayView name(entry->d_name);
        if (name.endsWith(".desktop") && name.size() > 8)
            paths.append(folder + u'/' + FileNames::decode(name));
    }
    if (dir != nullptr)
        ::closedir(dir);
    return paths;
}

// A path names an executable file; a bare name is looked for along $PATH.
bool isRunnable(const QString& program) {
    const QByteArray name = FileNames::encode(program);
    QByteArrayList paths{name};
    if (!name.contains('/')) {
        paths = qgetenv("PATH").split(':');
        for (QByteArray& folder : paths)
            folder += '/' + name;
    }
    return std::any_of(paths.begin(), paths.end(), [](const QByteArray& path) {
        struct stat info {};
        return ::stat(path.constData(), &info) == 0 && S_ISREG(info.st_mode) &&
               ::access(path.constData(), X_OK) == 0;
    });
}

bool namesAny(const QString& list, const QStringList& desktops) {
    const QStringList names = list.split(u';', Qt::SkipEmptyParts);
    return std::any_of(names.begin(), names.end(),
                       [&](const QString& name) { return desktops.contains(name); });
}

} // namespace

Folders Folders::standard() {
    Folders folders;
    const QByteArray configHome = qgetenv("XDG_CONFIG_HOME");
    const QString home = UserHome::path();
    if (configHome.startsWith('/'))
        folders.user = FileNames::decode(configHome) + u"/autostart"_s;
    else if (!home.isEmpty())
        folders.user = home + u"/.config/autostart"_s;
    // Relative paths are invalid there and ignored.
    for (const QByteArray& folder : qgetenv("XDG_CONFIG_DIRS").split(':')) {
        if (folder.startsWith('/'))
            folders.system.append(FileNames::decode(folder) + u"/autostart"_s);
    }
    if (folders.system.isEmpty())
        folders.system.append(u"/etc/xdg/autostart"_s);
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
        if (!entry || !QStringList{{}, u"Application"_s}.contains(value("Type")) ||
            (!value("OnlyShowIn").isEmpty() && !namesAny(value("OnlyShowIn"), desktops)) ||
            namesAny(value("NotShowIn"), desktops) ||
            (!value("TryExec").isEmpty() && !isRunnable(value("TryExec"))))
            continue;
        SessionJob job;
        job.kind = SessionJob::Kind::autostartEntry;
        job.name = name;
        job.title = value("Name");
        job.file = file;
        job.owner = user ? SessionJob::Owner::user : SessionJob::Owner::system;
        job.command = DesktopEntry::execArguments(value("Exec"));
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
            const std::array<qint64, 6> status{
                info.st_size,        info.st_mtim.tv_sec,  info.st_mtim.tv_nsec,
                info.st_ctim.tv_sec, info.st_ctim.tv_nsec, static_cast<qint64>(info.st_ino)};
            stamp.files += FileNames::encode(path) + '\0' +
                           QByteArray(reinterpret_cast<const char*>(status.data()), sizeof status);
        }
    }
    return stamp;
}

} // namespace AutostartScanner
