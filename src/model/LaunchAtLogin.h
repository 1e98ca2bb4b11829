#pragma once

#include <optional>

#include <QString>

// Starting the program at login through an XDG autostart entry
// (~/.config/autostart/quillmarsh.desktop).
namespace LaunchAtLogin {

struct Entry {
    QString path;       // the .desktop file
    QString executable; // what it starts

    // The user's autostart folder and this program.
    static Entry standard();
};

// The entry exists on disk and is not switched off.
bool isEnabled(const Entry& entry);

// Writes or removes the entry; fails with the file system's message.
std::optional<QString> setEnabled(const Entry& entry, bool enabled);

// The text of the entry, with the executable quoted for the Exec key.
QString desktopFile(const QString& executable);

} // namespace LaunchAtLogin
