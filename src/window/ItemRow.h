#pragma once

#include <optional>

#include <QFont>
#include <QHash>
#include <QList>
#include <QRectF>
#include <QString>
#include <QStringList>
#include <QStyledItemDelegate>

#include "inventory/BackgroundItem.h"
#include "inventory/ItemPresentation.h"

class QPainter;
class QPalette;

// One line of the list: icon, name, explanation and badges, and the figures
// on the right. The content is computed once per item and pass; the geometry
// once per content and width.
namespace ItemRow {

struct Content {
    QString id;
    QString name;
    QString explanation;
    QString symbol;
    std::optional<QString> bundlePath;
    std::optional<Pid> pid;
    QList<Badge> badges; // the compact list
    QString figure;      // memory, or the status of an item that is not running
    QString detail;      // the activity text, or the status detail
    bool failed = false; // the status is "Failed": drawn in red
    bool running = true;
    // A running row's figures and symbol are only needed to draw it; the
    // layout does without them (its figures column has a fixed width).
    bool complete = false;

    bool operator==(const Content&) const = default;
};

// The parts the layout needs; `completed` adds the rest.
Content layoutContentOf(const BackgroundItem& item);
void complete(Content& content, const BackgroundItem& item, Timestamp now);
Content contentOf(const BackgroundItem& item, Timestamp now);

struct Fonts {
    QFont name;
    QFont explanation;
    QFont badge;
    QFont figure;
    QFont detail;
    QFont section;

    static Fonts from(const QFont& base);
};

// Rectangles relative to the row's top left corner.
struct Geometry {
    qreal height = 0;
    QRectF icon;
    QStringList nameLines;
    QRectF name;
    QStringList explanationLines;
    QRectF explanation;
    QList<QRectF> badges;
    QRectF figure;
    QRectF detail;
};

constexpr qreal padding = 8;
constexpr qreal iconSize = 24;
constexpr qreal columnSpacing = 12;
constexpr int nameMaxLines = 2;
constexpr int explanationMaxLines = 2;

// The width of the figures column of running rows (and the least for the
// others): wide enough for usual figures, so figures never move the layout.
qreal minimumTrailing(const Fonts& fonts);

// `trailing` is the width of the figures column.
Geometry layout(const Content& content, const Fonts& fonts, qreal width, qreal trailing);

void paint(QPainter& painter, const QRectF& rect, const Content& content, const Geometry& geometry,
           const Fonts& fonts, const QPalette& palette, bool highlighted);

// A section title ("RUNNING") and its height.
qreal sectionHeight(const Fonts& fonts);
void paintSection(QPainter& painter, const QRectF& rect, const QString& title, const Fonts& fonts,
                  const QPalette& palette);

} // namespace ItemRow

// Draws every row of the item list: one delegate, no widget per row.
class ItemRowDelegate : public QStyledItemDelegate {
    Q_OBJECT

public:
    explicit ItemRowDelegate(QObject* parent = nullptr);

    // The row the pointer or the keyboard acts on, by item id.
    void setHighlighted(const std::optional<QString>& id) { m_highlighted = id; }
    const std::optional<QString>& highlighted() const { return m_highlighted; }

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

    // Drops geometry of rows that are gone; called after each new list.
    void pruneCache(const QStringList& liveIds);

private:
    const ItemRow::Geometry& geometryFor(const ItemRow::Content& content, const QFont& base,
                                         qreal width) const;
    const ItemRow::Fonts& fontsFor(const QFont& base) const;
    qreal advance(const QFont& font, bool figure, const QString& text) const;

    // What a row's layout depends on, and the layout.
    struct Cached {
        QString name;
        QString explanation;
        QList<Badge> badges;
        qreal width = 0;
        qreal trailing = 0;
        ItemRow::Geometry geometry;
    };

    std::optional<QString> m_highlighted;
    mutable QHash<QString, Cached> m_cache;
    mutable QFont m_fontsBase;
    mutable std::optional<ItemRow::Fonts> m_fonts;
    mutable qreal m_minimumTrailing = 0;
    // Text widths of figures, which repeat from row to row and pass to pass.
    mutable QHash<QString, qreal> m_advances;
};
