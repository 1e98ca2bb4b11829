#include "support/TestPaths.h"

#include <QDir>
#include <QFileInfo>

namespace TestPaths {

std::optional<QString> launchdSamples() {
    const QString folder =
        QDir::cleanPath(QStringLiteral(QUILLMARSH_SHARED_DIR) + QStringLiteral("/samples/launchd"));
    if (!QFileInfo(folder).isDir())
        return std::nullopt;
    return folder;
}

QString standIns() {
    return QStringLiteral(QUILLMARSH_STANDINS_DIR);
}

QString binary() {
    return QStringLiteral(QUILLMARSH_BINARY);
}

} // namespace TestPaths
