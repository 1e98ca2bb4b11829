#include "session/UnitScanner.h"

#include <cstdlib>
#include <set>

#include <QDir>
#include <QHash>
#include <QMap>
#include <QRegularExpression>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "os/AtomicFile.h"
#include "os/FileNames.h"
#include "os/UserHome.h"
#include "session/UnitFile.h"

namespace UnitScanner {

namespace {

using Owner = SessionJob::Owner;

constexpr qint64 maxFileSize = 1 << 20;

// A service or timer name the manager accepts, not hidden, in parts:
// "foo@bar.timer" -> "foo", "@bar", ".timer"; a template's instance is "@".
QRegularExpressionMatch unitName(const QString& name) {
    static const QRegularExpression pattern(
        QStringLiteral(R"(^(?!\.)([\w:.\\-]+)(@[\w:.\\-]*)?(\.service|\.timer)$)"));
    return pattern.match(name.size() <= 255 ? name : QString());
}

// "foo@.service" for the instance "foo@bar.service"; empty for other names.
QString templateOf(const QString& name) {
    const QRegularExpressionMatch parts = unitName(name);
    return parts.captured(2).size() > 1 ? parts.captured(1) + u'@' + parts.captured(3) : QString();
}

// The file's bytes; empty for a mask (an empty file or /dev/null); none when
// it is no regular file, is too large or cannot be read.
std::optional<QByteArray> readFile(const QString& path) {
    struct stat info {};
    if (::stat(FileNames::encode(path).constData(), &info) == 0 && S_ISCHR(info.st_mode) &&
        info.st_rdev == makedev(1, 3))
        return QByteArray();
    return AtomicFile::read(path, maxFileSize);
}

// Where the entry leads: itself, or the end of its chain of links; empty for
// a dangling link or a loop.
QString resolve(const QString& path) {
    const QByteArray native = FileNames::encode(path);
    struct stat info {};
    if (::lstat(native.constData(), &info) != 0 || !S_ISLNK(info.st_mode))
        return path;
    char* real = ::realpath(native.constData(), nullptr);
    const QString file = real != nullptr ? FileNames::decode(real) : QString();
    std::free(real);
    return file;
}

struct Index {
    QMap<QString, QList<int>> files;    // unit name -> folders holding an entry
    QHash<QString, QList<int>> dropIns; // unit name -> folders holding NAME.d
    QMap<QString, bool> linked;         // name in a target's .wants/.requires -> in a user folder
};

// Sets the file in effect for the job's name (for an instance without one: its
// template's), its owner and the mask before it; returns the file's text. None
// when an entry cannot be read or links to another name (is an alias).
std::optional<QByteArray> define(SessionJob& job, const Index& index,
                                 const QList<Folder>& folders) {
    for (const QString& unit : {job.name, templateOf(job.name)}) {
        for (const int i : index.files.value(unit)) {
            const QString path = folders[i].path + u'/' + unit;
            const QString file = resolve(path);
            if (file.isEmpty())
                continue;
            const std::optional<QByteArray> bytes = readFile(file);
            const QString base = file.sliced(file.lastIndexOf(u'/') + 1);
            if (!bytes || (!bytes->isEmpty() && base != unit && base != templateOf(unit)))
                return std::nullopt;
            if (bytes->isEmpty() && job.maskFile)
                continue;
            job.owner = folders[i].owner;
            if (!bytes->isEmpty()) {
                job.file = file;
                return bytes;
            }
            job.maskFile = path;
        }
    }
    return QByteArray();
}

std::optional<SessionJob> jobOf(const QString& name, const Index& index,
                                const QList<Folder>& folders, const QString& home) {
    const bool isTimer = name.endsWith(u".timer");
    SessionJob job;
    job.kind = isTimer ? SessionJob::Kind::timer : SessionJob::Kind::service;
    job.name = name;
    const std::optional<QByteArray> bytes = define(job, index, folders);
    if (!bytes || (job.file.isEmpty() && !job.maskFile))
        return std::nullopt;
    QList<UnitFile::Assignment> assignments = UnitFile::parse(*bytes);
    // By file name; an earlier folder's, or the instance's, hides a later one.
    QMap<QString, QString> dropIns;
    for (const QString& unit : {name, templateOf(name)}) {
        for (const int i : index.dropIns.value(unit)) {
            const QString folder = folders[i].path + u'/' + unit + QStringLiteral(".d");
            for (const QString& file : FileNames::listFolder(folder)) {
                if (file.endsWith(u".conf") && !file.startsWith(u'.') && !dropIns.contains(file))
                    dropIns.insert(file, folder + u'/' + file);
            }
        }
    }
    for (const QString& path : std::as_const(dropIns)) {
        const std::optional<QByteArray> dropIn = readFile(path);
        if (!dropIn)
            return std::nullopt;
        if (!dropIn->isEmpty())
            job.dropIns.append(path);
        assignments += UnitFile::parse(*dropIn);
    }

    // "Section.Key" -> its values since the last empty assignment, which resets it.
    QHash<QString, QStringList> values;
    for (const UnitFile::Assignment& a : std::as_const(assignments)) {
        QStringList& list = values[a.section + u'.' + a.key];
        list = a.value.isEmpty() ? QStringList() : list << a.value;
    }
    const auto last = [&values](const char* key) {
        const QStringList list = values.value(QLatin1String(key));
        return list.isEmpty() ? std::nullopt : std::optional(list.last());
    };
    job.title = last("Unit.Description").value_or(QString());
    const QStringList install = values.value(QStringLiteral("Install.WantedBy")) +
                                values.value(QStringLiteral("Install.RequiredBy"));
    job.wantedBy = install.join(u' ').simplified().split(u' ', Qt::SkipEmptyParts);
    if (isTimer) {
        job.onCalendar = values.value(QStringLiteral("Timer.OnCalendar"));
        job.onBootSec = last("Timer.OnBootSec");
        job.onUnitActiveSec = last("Timer.OnUnitActiveSec");
        job.triggers = last("Timer.Unit").value_or(name.chopped(6) + QStringLiteral(".service"));
    } else {
        job.command = UnitFile::splitCommand(
            values.value(QStringLiteral("Service.ExecStart")).value(0), home);
        job.restart = last("Service.Restart").value_or(QStringLiteral("no"));
        // '-': no error when the folder is missing.
        if (const std::optional<QString> folder = last("Service.WorkingDirectory")) {
            const QString path = folder->sliced(folder->startsWith(u'-') ? 1 : 0);
            job.workingDirectory = path == u"~" ? home : UnitFile::expandSpecifiers(path, home);
        }
    }
    const auto link = index.linked.find(name);
    job.enabledByUser = link != index.linked.end() && link.value();
    job.startsAtLogin = link != index.linked.end() && !job.maskFile;
    return job;
}

} // namespace

QList<Folder> standardFolders() {
    const QString home = UserHome::path();
    const std::tuple<const char*, const char*, Owner> bases[] = {
        {"XDG_CONFIG_HOME", "~/.config", Owner::user},
        {"XDG_CONFIG_DIRS", "/etc/xdg", Owner::system},
        {"", "/etc", Owner::system},
        {"XDG_DATA_HOME", "~/.local/share", Owner::user},
        {"XDG_DATA_DIRS", "/usr/local/share:/usr/share", Owner::system},
        {"", "/usr/local/lib:/usr/lib", Owner::system}};
    QList<Folder> folders;
    for (const auto& [variable, fallback, owner] : bases) {
        QString value = FileNames::decode(qgetenv(variable));
        if (value.isEmpty())
            value = QString::fromLatin1(fallback).replace(u'~', home.isEmpty() ? QStringLiteral("~")
                                                                               : home);
        for (const QString& base : value.split(u':', Qt::SkipEmptyParts)) {
            // Relative paths are ignored.
            const Folder folder{QDir::cleanPath(base + QStringLiteral("/systemd/user")), owner};
            if (base.startsWith(u'/') && !folders.contains(folder))
                folders.append(folder);
        }
    }
    return folders;
}

QList<SessionJob> scanUnits(const QList<Folder>& folders) {
    Index index;
    for (int i = 0; i < folders.size(); ++i) {
        for (const QString& entry : FileNames::listFolder(folders[i].path)) {
            if (unitName(entry).hasMatch()) {
                index.files[entry].append(i);
            } else if (entry.endsWith(u".d") && unitName(entry.chopped(2)).hasMatch()) {
                index.dropIns[entry.chopped(2)].append(i);
            } else if (entry.endsWith(u".target.wants") || entry.endsWith(u".target.requires")) {
                for (const QString& name : FileNames::listFolder(folders[i].path + u'/' + entry))
                    index.linked[name] =
                        index.linked.value(name) || folders[i].owner == Owner::user;
            }
        }
    }
    std::set<QString> names(index.files.keyBegin(), index.files.keyEnd());
    names.insert(index.linked.keyBegin(), index.linked.keyEnd());
    const QString home = UserHome::path();
    QList<SessionJob> jobs;
    for (const QString& name : names) {
        if (unitName(name).captured(2) == u"@")
            continue; // a template
        if (std::optional<SessionJob> job = jobOf(name, index, folders, home))
            jobs.append(std::move(*job));
    }
    return jobs;
}

Stamp stampOf(const QList<Folder>& folders) {
    Stamp stamp;
    const auto add = [&stamp](const QString& path) {
        struct stat info {};
        const bool known = ::stat(FileNames::encode(path).constData(), &info) == 0;
        stamp.entries.append(
            {path, known ? info.st_mtim.tv_sec * 1'000'000'000LL + info.st_mtim.tv_nsec : -1,
             known ? static_cast<qint64>(info.st_size) : -1});
    };
    for (const Folder& folder : folders) {
        add(folder.path);
        for (const QString& entry : FileNames::listFolder(folder.path)) {
            const QString path = folder.path + u'/' + entry;
            if (unitName(entry).hasMatch()) {
                add(path);
            } else if (entry.endsWith(u".wants") || entry.endsWith(u".requires") ||
                       entry.endsWith(u".d")) {
                add(path);
                for (const QString& inner : FileNames::listFolder(path))
                    add(path + u'/' + inner);
            }
        }
    }
    return stamp;
}

} // namespace UnitScanner
