#include "model/LaunchAtLogin.h"

#include "session/DesktopEntry.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace LaunchAtLogin {

namespace {

// The Exec key takes a quoted argument in which ", `, $ and \ are escaped
// with a backslash; the desktop file format then doubles every backslash.
QString quotedForExec(const QString& path) {
    QString quoted;
    for (const QChar c : path) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
            quoted.append(u'\\');
        quoted.append(c);
    }
    quoted.replace(u'\\', QStringLiteral("\\\\"));
    return u'"' + quoted + u'"';
}

} // namespace

Entry Entry::standard() {
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                           QStringLiteral("/autostart");
    return Entry{folder + QStringLiteral("/quillmarsh.desktop"),
                 QCoreApplication::applicationFilePath()};
}

bool isEnabled(const Entry& entry) {
    // An entry switched off (from the list's Disable auto-start, say) stays
    // on disk but starts nothing.
    const std::optional<DesktopEntry::Entry> read = DesktopEntry::read(entry.path);
    return read && DesktopEntry::boolValue(*read, QStringLiteral("Hidden")) != true &&
           DesktopEntry::boolValue(*read, QStringLiteral("X-GNOME-Autostart-enabled")) != false;
}

QString desktopFile(const QString& executable) {
    return QStringLiteral("[Desktop Entry]\n"
                          "Type=Application\n"
                          "Name=Quillmarsh\n"
                          "Comment=What runs in the background, and whether it can be stopped\n"
                          "Exec=%1\n"
                          "Terminal=false\n"
                          "X-GNOME-Autostart-enabled=true\n")
        .arg(quotedForExec(executable));
}

std::optional<QString> setEnabled(const Entry& entry, bool enabled) {
    if (!enabled) {
        QFile file(entry.path);
        if (file.exists() && !file.remove())
            return file.errorString();
        return std::nullopt;
    }
    if (!QDir().mkpath(QFileInfo(entry.path).absolutePath())) {
        return QCoreApplication::translate("LaunchAtLogin", "Could not create %1.")
            .arg(QFileInfo(entry.path).absolutePath());
    }
    QSaveFile file(entry.path);
    if (!file.open(QIODevice::WriteOnly))
        return file.errorString();
    file.write(desktopFile(entry.executable).toUtf8());
    if (!file.commit())
        return file.errorString();
    return std::nullopt;
}

} // namespace LaunchAtLogin
