#pragma once

#include <optional>

#include <QList>
#include <QString>
#include <QStringList>

#include "inventory/BackgroundItem.h"

// The list screen's keyboard and ordering rules, kept apart from the widgets.
namespace ListNavigation {

// The id the highlight moves to by `step` over the navigation list `ids`;
// none when `ids` is empty. The highlight stops at the ends.
std::optional<QString> move(const QStringList& ids, const std::optional<QString>& highlighted,
                            int step);

// The id Return opens: the highlighted one, else the first; none on an
// empty list (the key is then not handled).
std::optional<QString> openTarget(const QStringList& ids,
                                  const std::optional<QString>& highlighted);

// Running rows in the order frozen while the pointer is over the list: rows
// that were shown keep their places, new ones follow in the model's order.
QList<BackgroundItem> applyFrozenOrder(QList<BackgroundItem> rows,
                                       const std::optional<QStringList>& frozenOrder);

} // namespace ListNavigation
