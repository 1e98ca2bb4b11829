#include "session/Cgroups.h"

#include <QRegularExpression>

#include "os/FileNames.h"

namespace Cgroups {

std::optional<QString> userUnitOf(const QString& cgroupPath) {
    // Slices may lie between the manager and the service, and sub-cgroups
    // below it; a name that could pass for a kernel file carries a '_'.
    static const QRegularExpression pattern(QStringLiteral(
        R"(^/(?:[^/]+/)*?user@\d+\.service/(?:[^/]+\.slice/)*_?([^/]+\.service)(?:/.*)?$)"));
    const QRegularExpressionMatch match = pattern.match(cgroupPath);
    return match.hasMatch() ? std::optional(match.captured(1)) : std::nullopt;
}

std::optional<QString> autostartEntryOf(const QString& unitName) {
    // The entry's name without ".desktop", each byte but [A-Za-z0-9:_.] as \xNN.
    static const QRegularExpression pattern(
        QStringLiteral(R"(^app-((?:[A-Za-z0-9:_.]|\\x[0-9A-Fa-f]{2})+)@autostart\.service$)"));
    const QRegularExpressionMatch match = pattern.match(unitName);
    const QByteArray name =
        QByteArray::fromPercentEncoding(match.captured(1).toLatin1().replace("\\x", "%"));
    if (!match.hasMatch() || name.contains('/') || name.contains('\0'))
        return std::nullopt;
    return FileNames::decode(name) + QStringLiteral(".desktop");
}

} // namespace Cgroups
