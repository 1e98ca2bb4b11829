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
// same order only changes data; any other change resets the model.
class ItemListModel : public QAbstractListModel {
    Q_OBJECT

public:
    enum class RowKind { section, item };
    enum Role {
        IdRole = Qt::UserRole + 1, // the item id; empty on a section
        IdentifierRole,            // "row." + id, the accessibility identifier
        KindRole,                  // RowKind as int
    };

    explicit ItemListModel(QObject* parent = nullptr);

    void setItems(QList<BackgroundItem> running, QList<BackgroundItem> notRunning, Timestamp now);

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

    QList<Row> m_rows;
    QHash<QString, int> m_rowOf;
    Timestamp m_now = 0;
};
