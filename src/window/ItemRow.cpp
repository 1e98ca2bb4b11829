#include "window/ItemRow.h"

#include <algorithm>
#include <cmath>

#include <QAbstractItemView>
#include <QCoreApplication>
#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QSet>
#include <QTextLayout>

#include "inventory/Explanations.h"
#include "window/ItemBadge.h"
#include "window/ItemIcon.h"
#include "window/ItemListModel.h"

namespace ItemRow {

namespace {

constexpr qreal badgeGap = 2;
constexpr qreal cornerRadius = 8;

// Lays `text` out in at most `maxLines` lines of `width`; the last line is
// elided when the text goes on.
QStringList wrapLines(const QString& text, const QFont& font, qreal width, int maxLines) {
    QStringList lines;
    if (text.isEmpty() || width <= 0)
        return lines;
    QTextLayout textLayout(text, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    textLayout.setTextOption(option);
    textLayout.beginLayout();
    while (true) {
        QTextLine line = textLayout.createLine();
        if (!line.isValid())
            break;
        line.setLineWidth(width);
        if (lines.size() == maxLines - 1) {
            const QString rest = text.mid(line.textStart()).simplified();
            lines.append(QFontMetricsF(font).elidedText(rest, Qt::ElideRight, width));
            break;
        }
        lines.append(text.mid(line.textStart(), line.textLength()).trimmed());
    }
    textLayout.endLayout();
    return lines;
}

qreal advance(const QFont& font, const QString& text) {
    return text.isEmpty() ? 0 : std::ceil(QFontMetricsF(font).horizontalAdvance(text));
}

qreal lineHeight(const QFont& font) {
    return std::ceil(QFontMetricsF(font).height());
}

} // namespace

Content layoutContentOf(const BackgroundItem& item) {
    Content content;
    content.id = item.id;
    content.name = item.name;
    content.explanation = item.explanation;
    content.bundlePath = item.appBundlePath;
    if (item.primary)
        content.pid = item.primary->pid;
    content.badges = ItemPresentation::badges(item, true);
    content.running = item.state == BackgroundItem::State::running;
    if (!content.running) {
        const StatusLine status = Items::statusLine(item);
        content.figure = status.status;
        content.detail = status.detail;
        content.failed = status.status == QCoreApplication::translate("Items", "Failed");
    }
    return content;
}

void complete(Content& content, const BackgroundItem& item, Timestamp now) {
    if (content.complete)
        return;
    content.symbol = ItemPresentation::symbolName(item);
    if (content.running) {
        content.figure = Explanations::memoryText(item.memory);
        content.detail = ItemPresentation::activityText(item, now);
    }
    content.complete = true;
}

Content contentOf(const BackgroundItem& item, Timestamp now) {
    Content content = layoutContentOf(item);
    complete(content, item, now);
    return content;
}

Fonts Fonts::from(const QFont& base) {
    Fonts fonts;
    const qreal size = base.pointSizeF() > 0 ? base.pointSizeF() : 10.0;
    fonts.name = base;
    fonts.name.setWeight(QFont::Medium);
    fonts.explanation = base;
    fonts.explanation.setPointSizeF(size * 0.85);
    fonts.badge = ItemBadge::font(base);
    fonts.figure = base;
    fonts.figure.setPointSizeF(size * 0.93);
    fonts.detail = fonts.explanation;
    fonts.section = ItemBadge::font(base);
    fonts.section.setLetterSpacing(QFont::AbsoluteSpacing, 1);
    return fonts;
}

qreal minimumTrailing(const Fonts& fonts) {
    return std::max(advance(fonts.figure, QStringLiteral("8888.8 MB")),
                    advance(fonts.detail, QStringLiteral("888 % CPU · 88 min")));
}

Geometry layout(const Content& content, const Fonts& fonts, qreal width, qreal trailing) {
    Geometry geometry;
    const qreal inner = std::max<qreal>(0, width - 2 * padding);
    const qreal middleLeft = padding + iconSize + columnSpacing;
    const qreal middleWidth = std::max<qreal>(
        40, inner - iconSize - columnSpacing - (trailing > 0 ? columnSpacing : 0) - trailing);

    geometry.nameLines = wrapLines(content.name, fonts.name, middleWidth, nameMaxLines);
    const qreal nameHeight =
        std::ceil(static_cast<qreal>(std::max<qsizetype>(1, geometry.nameLines.size())) *
                  QFontMetricsF(fonts.name).lineSpacing());
    geometry.explanationLines =
        wrapLines(content.explanation, fonts.explanation, middleWidth, explanationMaxLines);
    const qreal explanationLine = QFontMetricsF(fonts.explanation).lineSpacing();
    const qreal explanationHeight =
        std::ceil(static_cast<qreal>(geometry.explanationLines.size()) * explanationLine);
    geometry.badges = ItemBadge::layout(content.badges, fonts.badge, middleWidth);
    qreal badgesHeight = 0;
    for (const QRectF& rect : std::as_const(geometry.badges))
        badgesHeight = std::max(badgesHeight, rect.bottom());
    const qreal middleHeight =
        nameHeight + explanationHeight + (geometry.badges.isEmpty() ? 0 : badgeGap + badgesHeight);

    // Running rows always have room for both figure lines.
    const qreal figureHeight =
        content.figure.isEmpty() && !content.running ? 0 : lineHeight(fonts.figure);
    const qreal detailHeight =
        content.detail.isEmpty() && !content.running ? 0 : lineHeight(fonts.detail);
    const qreal trailingHeight = figureHeight + detailHeight;

    const qreal contentHeight = std::max({iconSize, middleHeight, trailingHeight});
    geometry.height = std::ceil(contentHeight + 2 * padding);

    geometry.icon = QRectF(padding, padding + (contentHeight - iconSize) / 2, iconSize, iconSize);
    qreal y = padding + (contentHeight - middleHeight) / 2;
    geometry.name = QRectF(middleLeft, y, middleWidth, nameHeight);
    y += nameHeight;
    geometry.explanation = QRectF(middleLeft, y, middleWidth, explanationHeight);
    y += explanationHeight + badgeGap;
    for (QRectF& rect : geometry.badges)
        rect.translate(middleLeft, y);

    const qreal trailingLeft = width - padding - trailing;
    qreal ty = padding + (contentHeight - trailingHeight) / 2;
    geometry.figure = QRectF(trailingLeft, ty, trailing, figureHeight);
    ty += figureHeight;
    geometry.detail = QRectF(trailingLeft, ty, trailing, detailHeight);
    return geometry;
}

void paint(QPainter& painter, const QRectF& rect, const Content& content, const Geometry& geometry,
           const Fonts& fonts, const QPalette& palette, bool highlighted) {
    painter.save();
    painter.translate(rect.topLeft());
    if (highlighted) {
        painter.setRenderHint(QPainter::Antialiasing);
        QPainterPath background;
        background.addRoundedRect(QRectF(0, 0, rect.width(), geometry.height), cornerRadius,
                                  cornerRadius);
        painter.fillPath(background, ItemBadge::quaternaryFill(palette));
    }

    ItemIcon::paint(painter, geometry.icon, content.symbol, content.bundlePath, content.pid,
                    palette);

    const QColor text = palette.color(QPalette::Text);
    const QColor secondary = ItemBadge::secondaryColor(palette);
    painter.setFont(fonts.name);
    painter.setPen(text);
    const qreal nameSpacing = QFontMetricsF(fonts.name).lineSpacing();
    qreal nameY = geometry.name.top();
    for (const QString& line : geometry.nameLines) {
        painter.drawText(QRectF(geometry.name.left(), nameY, geometry.name.width(), nameSpacing),
                         Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, line);
        nameY += nameSpacing;
    }

    painter.setFont(fonts.explanation);
    painter.setPen(secondary);
    const qreal lineSpacing = QFontMetricsF(fonts.explanation).lineSpacing();
    qreal y = geometry.explanation.top();
    for (const QString& line : geometry.explanationLines) {
        painter.drawText(
            QRectF(geometry.explanation.left(), y, geometry.explanation.width(), lineSpacing),
            Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, line);
        y += lineSpacing;
    }

    for (qsizetype i = 0; i < content.badges.size() && i < geometry.badges.size(); ++i)
        ItemBadge::paint(painter, geometry.badges[i], content.badges[i], fonts.badge, palette);

    painter.setFont(fonts.figure);
    painter.setPen(content.failed ? ItemBadge::failedColor(palette) : text);
    painter.drawText(geometry.figure, Qt::AlignRight | Qt::AlignVCenter | Qt::TextSingleLine,
                     QFontMetricsF(fonts.figure)
                         .elidedText(content.figure, Qt::ElideRight, geometry.figure.width() + 1));
    painter.setFont(fonts.detail);
    painter.setPen(secondary);
    painter.drawText(geometry.detail, Qt::AlignRight | Qt::AlignVCenter | Qt::TextSingleLine,
                     QFontMetricsF(fonts.detail)
                         .elidedText(content.detail, Qt::ElideRight, geometry.detail.width() + 1));
    painter.restore();
}

qreal sectionHeight(const Fonts& fonts) {
    return 8 + lineHeight(fonts.section) + 4;
}

void paintSection(QPainter& painter, const QRectF& rect, const QString& title, const Fonts& fonts,
                  const QPalette& palette) {
    painter.save();
    painter.setFont(fonts.section);
    painter.setPen(ItemBadge::secondaryColor(palette));
    const QRectF textRect(rect.left() + 8, rect.top() + 8, rect.width() - 16,
                          lineHeight(fonts.section));
    painter.drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                     title.toUpper());
    painter.restore();
}

} // namespace ItemRow

ItemRowDelegate::ItemRowDelegate(QObject* parent) : QStyledItemDelegate(parent) {}

const ItemRow::Fonts& ItemRowDelegate::fontsFor(const QFont& base) const {
    if (!m_fonts || m_fontsBase != base) {
        m_fontsBase = base;
        m_fonts = ItemRow::Fonts::from(base);
        m_minimumTrailing = ItemRow::minimumTrailing(*m_fonts);
        m_cache.clear();
        m_advances.clear();
    }
    return *m_fonts;
}

qreal ItemRowDelegate::advance(const QFont& font, bool figure, const QString& text) const {
    if (text.isEmpty())
        return 0;
    const QString key = (figure ? QLatin1Char('f') : QLatin1Char('d')) + text;
    if (const auto found = m_advances.constFind(key); found != m_advances.cend())
        return *found;
    if (m_advances.size() > 4096)
        m_advances.clear();
    const qreal width = std::ceil(QFontMetricsF(font).horizontalAdvance(text));
    m_advances.insert(key, width);
    return width;
}

const ItemRow::Geometry& ItemRowDelegate::geometryFor(const ItemRow::Content& content,
                                                      const QFont& base, qreal width) const {
    const ItemRow::Fonts& fonts = fontsFor(base);
    const qreal trailing =
        content.running ? m_minimumTrailing
                        : std::max({m_minimumTrailing, advance(fonts.figure, true, content.figure),
                                    advance(fonts.detail, false, content.detail)});
    auto found = m_cache.find(content.id);
    if (found != m_cache.end() && found->width == width && found->trailing == trailing &&
        found->name == content.name && found->explanation == content.explanation &&
        found->badges == content.badges)
        return found->geometry;
    Cached cached{content.name,   content.explanation,
                  content.badges, width,
                  trailing,       ItemRow::layout(content, fonts, width, trailing)};
    return m_cache.insert(content.id, std::move(cached))->geometry;
}

void ItemRowDelegate::pruneCache(const QStringList& liveIds) {
    if (m_cache.size() <= liveIds.size())
        return;
    QSet<QString> live(liveIds.cbegin(), liveIds.cend());
    for (auto it = m_cache.begin(); it != m_cache.end();) {
        if (live.contains(it.key()))
            ++it;
        else
            it = m_cache.erase(it);
    }
}

void ItemRowDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                            const QModelIndex& index) const {
    const auto* model = qobject_cast<const ItemListModel*>(index.model());
    if (!model)
        return;
    const ItemRow::Fonts& fonts = fontsFor(option.font);
    const QRectF rect = QRectF(option.rect).adjusted(8, 0, -8, 0);
    if (model->kindAt(index.row()) == ItemListModel::RowKind::section) {
        ItemRow::paintSection(*painter, rect, model->sectionTitleAt(index.row()), fonts,
                              option.palette);
        return;
    }
    const ItemRow::Content& content = model->contentAt(index.row(), true);
    const ItemRow::Geometry& geometry = geometryFor(content, option.font, rect.width());
    ItemRow::paint(*painter, rect, content, geometry, fonts, option.palette,
                   m_highlighted && *m_highlighted == content.id);
}

QSize ItemRowDelegate::sizeHint(const QStyleOptionViewItem& option,
                                const QModelIndex& index) const {
    const auto* model = qobject_cast<const ItemListModel*>(index.model());
    if (!model)
        return {};
    const ItemRow::Fonts& fonts = fontsFor(option.font);
    // The list lays rows out to the width of its viewport.
    const auto* view = qobject_cast<const QAbstractItemView*>(option.widget);
    const int available = view ? view->viewport()->width() : option.rect.width();
    const qreal width = std::max(100, available) - 16.0;
    if (model->kindAt(index.row()) == ItemListModel::RowKind::section)
        return QSize(qRound(width), qCeil(ItemRow::sectionHeight(fonts)));
    const ItemRow::Geometry& geometry =
        geometryFor(model->contentAt(index.row(), false), option.font, width);
    return QSize(qRound(width), qCeil(geometry.height));
}
