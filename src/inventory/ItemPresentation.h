#pragma once

#include <QList>
#include <QString>

#include "inventory/BackgroundItem.h"

// The colours a badge is tinted with: the platform's named system colours.
enum class BadgeTint { secondary, orange, brown, purple, teal, blue };

// One coloured tag on a row or the detail screen.
struct Badge {
    QString text;
    BadgeTint tint = BadgeTint::secondary;

    bool operator==(const Badge&) const = default;
};

// How an item is shown, as data: the window draws it, the tests read it.
// Every text is localized.
namespace ItemPresentation {

// The item's badges in display order. A compact list (the row) shows at most
// two port badges followed by "+N".
QList<Badge> badges(const BackgroundItem& item, bool compact);

// The identifier of the symbol drawn for an item without an app icon.
QString symbolName(const BackgroundItem& item);

// The figures under a running item's memory: "38 % CPU · 2 h". Empty when
// there is neither an uptime nor a CPU share of at least 1 %.
QString activityText(const BackgroundItem& item, Timestamp now);

// The spoken description of a row, with its fixed identifier and hint.
QString accessibilityLabel(const BackgroundItem& item, Timestamp now);
QString accessibilityIdentifier(const BackgroundItem& item);
QString accessibilityHint();

} // namespace ItemPresentation
