#include "window/ItemBadge.h"

#include <algorithm>

#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>

namespace ItemBadge {

namespace {

constexpr qreal horizontalPadding = 4;
constexpr qreal verticalPadding = 1;
constexpr qreal spacing = 4;

bool isDark(const QPalette& palette) {
    return palette.color(QPalette::Base).lightnessF() < 0.5;
}

} // namespace

QFont font(const QFont& base) {
    QFont result = base;
    result.setPointSizeF(std::max(7.0, base.pointSizeF() * 0.78));
    result.setWeight(QFont::Medium);
    return result;
}

QColor secondaryColor(const QPalette& palette) {
    QColor color = palette.color(QPalette::Text);
    color.setAlphaF(0.62f);
    return color;
}

QColor quaternaryFill(const QPalette& palette) {
    QColor color = palette.color(QPalette::Text);
    color.setAlphaF(0.08f);
    return color;
}

QColor failedColor(const QPalette& palette) {
    return isDark(palette) ? QColor(255, 105, 97) : QColor(215, 0, 21);
}

QColor tintColor(BadgeTint tint, const QPalette& palette) {
    const bool dark = isDark(palette);
    switch (tint) {
    case BadgeTint::secondary:
        return palette.color(QPalette::Text);
    case BadgeTint::orange:
        return dark ? QColor(255, 159, 10) : QColor(255, 149, 0);
    case BadgeTint::brown:
        return dark ? QColor(172, 142, 104) : QColor(162, 132, 94);
    case BadgeTint::purple:
        return dark ? QColor(191, 90, 242) : QColor(175, 82, 222);
    case BadgeTint::teal:
        return dark ? QColor(64, 200, 224) : QColor(48, 176, 199);
    case BadgeTint::blue:
        return dark ? QColor(10, 132, 255) : QColor(0, 122, 255);
    }
    return palette.color(QPalette::Text);
}

QColor textColor(BadgeTint tint, const QPalette& palette) {
    if (tint == BadgeTint::secondary)
        return secondaryColor(palette);
    const QColor color = tintColor(tint, palette);
    // Bright tints need more contrast against the faint capsule.
    return isDark(palette) ? color.lighter(125) : color.darker(150);
}

QSizeF sizeOf(const Badge& badge, const QFont& badgeFont) {
    const QFontMetricsF metrics(badgeFont);
    return {std::ceil(metrics.horizontalAdvance(badge.text)) + 2 * horizontalPadding,
            std::ceil(metrics.height()) + 2 * verticalPadding};
}

QList<QRectF> layout(const QList<Badge>& badges, const QFont& badgeFont, qreal width) {
    QList<QRectF> rects;
    rects.reserve(badges.size());
    qreal x = 0;
    qreal y = 0;
    for (const Badge& badge : badges) {
        QSizeF size = sizeOf(badge, badgeFont);
        size.setWidth(std::min(size.width(), width));
        if (x > 0 && x + size.width() > width) {
            x = 0;
            y += size.height() + spacing;
        }
        rects.append(QRectF(QPointF(x, y), size));
        x += size.width() + spacing;
    }
    return rects;
}

void paint(QPainter& painter, const QRectF& rect, const Badge& badge, const QFont& badgeFont,
           const QPalette& palette) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    QColor fill = tintColor(badge.tint, palette);
    fill.setAlphaF(0.15f);
    QPainterPath capsule;
    capsule.addRoundedRect(rect, rect.height() / 2, rect.height() / 2);
    painter.fillPath(capsule, fill);
    painter.setFont(badgeFont);
    painter.setPen(textColor(badge.tint, palette));
    const QRectF textRect = rect.adjusted(horizontalPadding, 0, -horizontalPadding, 0);
    const QString text =
        QFontMetricsF(badgeFont).elidedText(badge.text, Qt::ElideRight, textRect.width() + 0.5);
    painter.drawText(textRect, Qt::AlignCenter | Qt::TextSingleLine, text);
    painter.restore();
}

} // namespace ItemBadge
