#pragma once

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include "support/PrivateBus.h"
#include "support/TempHome.h"

// A Linux session without systemd: a temporary home with the XDG system
// folders beside it, the user's and the vendor's units and autostart entries
// as real files, and the stand-in user manager on a private session bus. While
// it lives, this process's environment points at all of it (TempHome restores
// it).
//  - syncthing.service: the user's, enabled, running (`sleep 600`);
//  - vendor-agent.service: the vendor's, enabled by the user, not running;
//  - notes.desktop: the user's entry; print-applet.desktop: the system's;
//  - updater.desktop: the system's, hidden by the user's Hidden=true copy.
class SessionScene {
public:
    SessionScene() {
        qputenv("XDG_DATA_DIRS", QFile::encodeName(path("data")));
        qputenv("XDG_CONFIG_DIRS", QFile::encodeName(path("xdg")));
        qunsetenv("XDG_CURRENT_DESKTOP");
        const QString units = home_.path() + QStringLiteral("/.config/systemd/user/");
        write(units + "syncthing.service", "[Unit]\nDescription=File sync\n[Service]\n"
                                           "ExecStart=/bin/sleep 600\nRestart=always\n"
                                           "[Install]\nWantedBy=default.target\n");
        link(units + "syncthing.service", units + "default.target.wants/syncthing.service");
        const QString vendor = path("data") + QStringLiteral("/systemd/user/");
        write(vendor + "vendor-agent.service", "[Unit]\nDescription=Vendor agent\n[Service]\n"
                                               "ExecStart=/opt/vendor/agent\n"
                                               "[Install]\nWantedBy=default.target\n");
        link(vendor + "vendor-agent.service", units + "default.target.wants/vendor-agent.service");
        const QString autostart = home_.path() + QStringLiteral("/.config/autostart/");
        const QString system = path("xdg") + QStringLiteral("/autostart/");
        write(autostart + "notes.desktop", entry("Notes", "notes-app --sync"));
        write(system + "print-applet.desktop", entry("Print Applet", "print-applet"));
        write(system + "updater.desktop", entry("Updater", "updater --tray"));
        write(autostart + "updater.desktop", entry("Updater", "updater --tray") + "Hidden=true\n");
        write(path("manager.json"), R"({"units": {"syncthing.service": {"activeState": "active",
            "subState": "running", "description": "File sync", "restart": "always",
            "command": ["/bin/sleep", "600"]}}})");
        ok_ = bus_.isValid() && bus_.startManager(path("manager.json"), path("calls.log"));
    }
    SessionScene(const SessionScene&) = delete;
    SessionScene& operator=(const SessionScene&) = delete;

    bool isValid() const { return ok_; }
    QString home() const { return home_.path(); }
    QString path(const QString& relative) const { return root_.filePath(relative); }
    PrivateBus& bus() { return bus_; }
    static QByteArray entry(const QByteArray& name, const QByteArray& exec) {
        return "[Desktop Entry]\nType=Application\nName=" + name + "\nExec=" + exec + "\n";
    }
    static void write(const QString& file, const QByteArray& bytes) {
        QDir().mkpath(QFileInfo(file).path());
        QFile out(file);
        if (out.open(QIODevice::WriteOnly))
            out.write(bytes);
    }
    // Every file and link under `folder`, with its bytes or its target.
    static QStringList tree(const QString& folder) {
        QStringList lines;
        QDirIterator files(folder, QDir::Files | QDir::System, QDirIterator::Subdirectories);
        while (files.hasNext()) {
            const QFileInfo file(files.next());
            QFile in(file.filePath());
            lines << file.filePath() + QStringLiteral(" -> ") +
                         (file.isSymLink() ? file.symLinkTarget()
                                           : (in.open(QIODevice::ReadOnly) ? in.readAll() : "?"));
        }
        lines.sort();
        return lines;
    }
    static void link(const QString& target, const QString& file) {
        QDir().mkpath(QFileInfo(file).path());
        QFile::link(target, file);
    }

private:
    QTemporaryDir root_;
    TempHome home_;
    PrivateBus bus_;
    bool ok_ = false;
};
