#pragma once

#include <memory>

#include <QSettings>

// The one store of the user's settings, shared by the window and the report.
// Organisation and application name make it the app's own defaults domain on
// macOS and ~/.config/halvek.com/Quillmarsh.conf on Linux.
namespace SettingsStore {

inline constexpr const char* organization = "halvek.com";
inline constexpr const char* application = "Quillmarsh";

std::unique_ptr<QSettings> open();

} // namespace SettingsStore
