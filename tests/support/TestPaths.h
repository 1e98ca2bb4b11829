#pragma once

#include <optional>

#include <QFileInfo>
#include <QString>

// Locations the tests need, fixed at build time.
namespace TestPaths {

// ../shared/samples/launchd next to the checkout, or none (tests that read it skip).
inline std::optional<QString> launchdSamples() {
    const QString folder = QStringLiteral(QUILLMARSH_SHARED_DIR "/samples/launchd");
    return QFileInfo(folder).isDir() ? std::optional(folder) : std::nullopt;
}

// The folder of stand-in system tools (launchctl, sfltool, xcrun).
inline QString standIns() {
    return QStringLiteral(QUILLMARSH_STANDINS_DIR);
}

inline QString binary() {
    return QStringLiteral(QUILLMARSH_BINARY);
}

} // namespace TestPaths
