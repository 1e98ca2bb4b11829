#pragma once

#include <optional>

#include <QAbstractListModel>
#include <QHash>
#include <QList>
#include <QStringList>

#include "inventory/BackgroundItem.h"
#include "window/ItemRow.h"

// The rows of the list screen: a "Running" section, a "Scheduled / not
// running" section, each with its items. A new list with the same rows in the
// same order signals only the rows that would be drawn differently; any other
// change resets the model.
class ItemListModel : public QAbstractListModel {
    Q_OBJECT

public:
    enum class RowKind { section, item };
    enum Role {
        IdRole = Qt::UserRole + 1, // the item id; empty on a section
        IdentifierRole,            // "row." + id, the accessibility identifier
        KindRole,                  // RowKind as int
    };

    // What a new list changed, from least to most.
    enum class Change {
        none,    // every row is drawn as before
        figures, // some rows are drawn differently, in the same sizes
        layout,  // some rows' names, explanations or badges changed
        reset,   // rows came, went or moved
    };

    explicit ItemListModel(QObject* parent = nullptr);

    Change setItems(QList<BackgroundItem> running, QList<BackgroundItem> notRunning, Timestamp now);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    RowKind kindAt(int row) const;
    QString sectionTitleAt(int row) const;
    const BackgroundItem* itemAt(int row) const;
    // The row's content; `complete` adds what only drawing needs.
    const ItemRow::Content& contentAt(int row, bool complete = true) const;
    QString idAt(int row) const;
    // The row of an item id, -1 when absent.
    int rowOf(const QString& id) const;
    // The item ids in row order.
    QStringList ids() const;

private:
    struct Row {
        RowKind kind = RowKind::item;
        QString title;
        BackgroundItem item;
        mutable std::optional<ItemRow::Content> content;
        mutable std::optional<QString> spoken;
    };

    QString key(const Row& row) const;
    // How `row`, which takes the place of `old`, differs from it in drawing.
    Change compare(const Row& old, Row& row) const;

    QList<Row> m_rows;
    QHash<QString, int> m_rowOf;
    Timestamp m_now = 0;
};
