// The spoken description of an item row. Kept apart from the badge and symbol
// rules because it builds on the item's derived status line.

#include <cmath>
#include <limits>

#include <QCoreApplication>

#include "inventory/Explanations.h"
#include "inventory/ItemPresentation.h"

namespace ItemPresentation {

QString accessibilityLabel(const BackgroundItem& item, Timestamp now) {
    QStringList parts{item.name, item.explanation};

    if (item.state != BackgroundItem::State::running) {
        const StatusLine status = Items::statusLine(item);
        parts << status.status << status.detail;
    } else {
        //: %1 is an amount of memory such as 1.5 GB
        parts << QCoreApplication::translate("ItemPresentation", "%1 memory")
                     .arg(Explanations::memoryText(item.memory));
        if (item.primary && item.primary->startDate) {
            const std::optional<QString> uptime =
                Explanations::uptimeText(item.primary->startDate, now);
            //: %1 is how long the item runs, such as 3 h
            parts << QCoreApplication::translate("ItemPresentation", "running for %1")
                         .arg(uptime.value_or(QString()));
        }
        if (item.cpuPercent && std::isfinite(*item.cpuPercent) && *item.cpuPercent >= 1.0) {
            const int whole =
                int(std::min<double>(*item.cpuPercent, std::numeric_limits<int>::max()));
            parts << QCoreApplication::translate("ItemPresentation", "%n percent CPU", nullptr,
                                                 whole);
        }
    }

    for (const Badge& badge : badges(item, false))
        parts << badge.text;

    // An item without an explanation (or a status without detail) leaves no
    // empty gap between the commas.
    parts.removeAll(QString());
    return parts.join(QStringLiteral(", "));
}

} // namespace ItemPresentation
