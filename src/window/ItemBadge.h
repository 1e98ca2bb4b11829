#pragma once

#include <QColor>
#include <QFont>
#include <QList>
#include <QRectF>
#include <QSizeF>

#include "inventory/ItemPresentation.h"

class QPainter;
class QPalette;

// A coloured tag ("Login item", ":3000") drawn as a capsule, and the named
// colours the screens share.
namespace ItemBadge {

// The smallest caption style, medium weight.
QFont font(const QFont& base);

QColor secondaryColor(const QPalette& palette);
// The faint fill behind symbols and under a highlighted row.
QColor quaternaryFill(const QPalette& palette);
QColor failedColor(const QPalette& palette);
// The tint itself (the capsule is this at 15 % opacity) and the text colour
// that reads on that capsule.
QColor tintColor(BadgeTint tint, const QPalette& palette);
QColor textColor(BadgeTint tint, const QPalette& palette);

QSizeF sizeOf(const Badge& badge, const QFont& badgeFont);

// Places badges left to right, 4 points apart, wrapping onto further lines
// within `width`; the rectangles are relative to the origin.
QList<QRectF> layout(const QList<Badge>& badges, const QFont& badgeFont, qreal width);

void paint(QPainter& painter, const QRectF& rect, const Badge& badge, const QFont& badgeFont,
           const QPalette& palette);

} // namespace ItemBadge
