#include "window/ScreenStyle.h"

#include <QCoreApplication>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QPainter>
#include <QPalette>

#include "os/HostRules.h"
#include "window/ItemBadge.h"
#include "window/ItemIcon.h"

namespace ScreenStyle {

namespace {

struct SymbolName {
    const char* symbol;
    const char* themeName;
};

// Symbols the item icons do not use, with the freedesktop names that draw them.
constexpr SymbolName extraSymbols[] = {
    {"exclamationmark.triangle.fill", "dialog-warning-symbolic"},
    {"exclamationmark.triangle", "dialog-warning-symbolic"},
    {"checkmark.shield.fill", "security-high-symbolic"},
    {"checkmark.circle.fill", "emblem-ok-symbolic"},
    {"doc.on.doc", "edit-copy-symbolic"},
};

QFont scaled(const QFont& base, qreal factor) {
    QFont font = base;
    font.setPointSizeF(base.pointSizeF() * factor);
    return font;
}

} // namespace

QFont callout(const QFont& base) {
    return scaled(base, 0.92);
}

QFont caption(const QFont& base) {
    return scaled(base, 0.85);
}

QFont smallCaption(const QFont& base) {
    return scaled(base, 0.78);
}

QFont title3(const QFont& base) {
    QFont font = scaled(base, 1.3);
    font.setWeight(QFont::DemiBold);
    return font;
}

QFont headline(const QFont& base) {
    QFont font = base;
    font.setWeight(QFont::DemiBold);
    return font;
}

QFont monospacedCaption(const QFont& base) {
    QFont font = caption(base);
    font.setFamily(QStringLiteral("monospace"));
    font.setStyleHint(QFont::Monospace);
    font.setFixedPitch(true);
    return font;
}

QColor secondary(const QPalette& palette) {
    return ItemBadge::secondaryColor(palette);
}

QColor orange(const QPalette& palette) {
    return ItemBadge::tintColor(BadgeTint::orange, palette);
}

QColor red(const QPalette& palette) {
    return ItemBadge::failedColor(palette);
}

QIcon symbol(const QString& name) {
    const QIcon icon = ItemIcon::symbolIcon(name);
    if (!icon.isNull())
        return icon;
    for (const SymbolName& entry : extraSymbols) {
        if (name == QLatin1String(entry.symbol))
            return QIcon::fromTheme(QLatin1String(entry.themeName));
    }
    return {};
}

QLabel* symbolLabel(const QString& name, const QColor& color, int points, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setFixedSize(points, points);
    const QIcon icon = symbol(name);
    if (icon.isNull())
        return label;
    const qreal ratio = parent ? parent->devicePixelRatioF() : 1.0;
    QPixmap pixmap = icon.pixmap(QSize(points, points), ratio);
    if (!pixmap.isNull()) {
        // Symbolic icons come in one grey; paint them in the wanted colour.
        QPainter tint(&pixmap);
        tint.setCompositionMode(QPainter::CompositionMode_SourceIn);
        tint.fillRect(pixmap.rect(), color);
        tint.end();
        label->setPixmap(pixmap);
    }
    return label;
}

QLabel* secondaryLabel(const QString& text, const QFont& font, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setFont(font);
    label->setWordWrap(true);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, secondary(palette));
    label->setPalette(palette);
    return label;
}

QWidget* symbolLine(const QString& symbolName, const QColor& symbolColor, const QString& text,
                    const QFont& font, QWidget* parent, const QString& textObjectName) {
    auto* line = new QWidget(parent);
    auto* layout = new QHBoxLayout(line);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    const int points = QFontMetrics(font).height();
    layout->addWidget(symbolLabel(symbolName, symbolColor, points, line), 0, Qt::AlignTop);
    auto* label = new QLabel(text, line);
    label->setFont(font);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    if (!textObjectName.isEmpty())
        label->setObjectName(textObjectName);
    layout->addWidget(label, 1);
    return line;
}

QFrame* divider(QWidget* parent) {
    auto* line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Plain);
    QPalette palette = line->palette();
    QColor color = palette.color(QPalette::Text);
    color.setAlphaF(0.15f);
    palette.setColor(QPalette::WindowText, color);
    line->setPalette(palette);
    return line;
}

QString shortcutHint(const QString& label, const QKeySequence& keys) {
    //: %1 is a button's label, %2 its keyboard shortcut
    return QCoreApplication::translate("ScreenStyle", "%1 (%2)")
        .arg(label,
             Hosts::current().words.shortcutModifier + keys.toString(QKeySequence::NativeText));
}

} // namespace ScreenStyle
