#include "window/ListNavigation.h"

#include <algorithm>
#include <limits>

#include <QHash>

namespace ListNavigation {

std::optional<QString> move(const QStringList& ids, const std::optional<QString>& highlighted,
                            int step) {
    if (ids.isEmpty())
        return std::nullopt;
    const qsizetype count = ids.size();
    const qsizetype current = highlighted ? ids.indexOf(*highlighted) : -1;
    qsizetype position = 0;
    if (current >= 0)
        position = current + step;
    else
        position = step >= 1 ? step - 1 : count + step;
    position = std::clamp<qsizetype>(position, 0, count - 1);
    return ids.at(position);
}

std::optional<QString> openTarget(const QStringList& ids,
                                  const std::optional<QString>& highlighted) {
    if (highlighted && ids.contains(*highlighted))
        return highlighted;
    if (!ids.isEmpty())
        return ids.first();
    return std::nullopt;
}

QList<BackgroundItem> applyFrozenOrder(QList<BackgroundItem> rows,
                                       const std::optional<QStringList>& frozenOrder) {
    if (!frozenOrder)
        return rows;
    QHash<QString, qsizetype> rank;
    rank.reserve(frozenOrder->size());
    for (qsizetype i = 0; i < frozenOrder->size(); ++i) {
        // The first position of an id counts.
        if (!rank.contains(frozenOrder->at(i)))
            rank.insert(frozenOrder->at(i), i);
    }
    const auto rankOf = [&rank](const BackgroundItem& item) {
        return rank.value(item.id, std::numeric_limits<qsizetype>::max());
    };
    std::stable_sort(
        rows.begin(), rows.end(),
        [&](const BackgroundItem& a, const BackgroundItem& b) { return rankOf(a) < rankOf(b); });
    return rows;
}

} // namespace ListNavigation
