#include "window/ItemListModel.h"

#include <algorithm>

ItemListModel::ItemListModel(QObject* parent) : QAbstractListModel(parent) {}

QString ItemListModel::key(const Row& row) const {
    return row.kind == RowKind::section ? QStringLiteral("section:") + row.title : row.item.id;
}

ItemListModel::Change ItemListModel::compare(const Row& old, Row& row) const {
    if (row.kind == RowKind::section)
        return Change::none;
    // A row never laid out nor drawn has nothing to compare with; it is
    // computed when it is first needed.
    if (!old.content)
        return Change::none;
    // What the row would show now, as far as the old row was computed.
    ItemRow::Content content = ItemRow::layoutContentOf(row.item);
    if (old.content->complete)
        ItemRow::complete(content, row.item, m_now);
    if (content == *old.content) {
        row.content = std::move(content);
        return Change::none;
    }
    // A running row's figures column has a fixed width; the status of the
    // others sets theirs.
    const bool sameLayout =
        content.name == old.content->name && content.explanation == old.content->explanation &&
        content.badges == old.content->badges && content.running == old.content->running &&
        (content.running ||
         (content.figure == old.content->figure && content.detail == old.content->detail));
    row.content = std::move(content);
    return sameLayout ? Change::figures : Change::layout;
}

ItemListModel::Change ItemListModel::setItems(QList<BackgroundItem> running,
                                              QList<BackgroundItem> notRunning, Timestamp now) {
    QList<Row> rows;
    rows.reserve(running.size() + notRunning.size() + 2);
    const auto addSection = [&rows](const QString& title, QList<BackgroundItem>& items) {
        if (items.isEmpty())
            return;
        rows.append(Row{RowKind::section, title, {}, {}, {}});
        for (BackgroundItem& item : items)
            rows.append(Row{RowKind::item, {}, std::move(item), {}, {}});
    };
    addSection(tr("Running"), running);
    addSection(tr("Scheduled / not running"), notRunning);

    bool sameRows = rows.size() == m_rows.size();
    for (qsizetype i = 0; sameRows && i < rows.size(); ++i)
        sameRows = key(rows[i]) == key(m_rows[i]);

    m_now = now;
    if (sameRows) {
        // Only rows drawn differently are announced, one by one, so the view
        // repaints just them; the others keep their computed content.
        Change change = Change::none;
        QList<int> changed;
        for (qsizetype i = 0; i < rows.size(); ++i) {
            const Change row = compare(m_rows[i], rows[i]);
            if (row != Change::none)
                changed.append(static_cast<int>(i));
            change = std::max(change, row);
        }
        m_rows = std::move(rows);
        for (const int row : changed)
            Q_EMIT dataChanged(index(row), index(row));
        return change;
    }

    beginResetModel();
    m_rows = std::move(rows);
    m_rowOf.clear();
    for (qsizetype i = 0; i < m_rows.size(); ++i) {
        if (m_rows[i].kind == RowKind::item)
            m_rowOf.insert(m_rows[i].item.id, static_cast<int>(i));
    }
    endResetModel();
    return Change::reset;
}

int ItemListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

QVariant ItemListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= m_rows.size())
        return {};
    const Row& row = m_rows[index.row()];
    if (row.kind == RowKind::section) {
        switch (role) {
        case Qt::DisplayRole:
        case Qt::AccessibleTextRole:
            return row.title;
        case KindRole:
            return static_cast<int>(row.kind);
        default:
            return {};
        }
    }
    switch (role) {
    case Qt::DisplayRole:
        return row.item.name;
    case Qt::AccessibleTextRole:
        if (!row.spoken)
            row.spoken = ItemPresentation::accessibilityLabel(row.item, m_now);
        return *row.spoken;
    case Qt::AccessibleDescriptionRole:
        return ItemPresentation::accessibilityHint();
    case IdRole:
        return row.item.id;
    case IdentifierRole:
        return ItemPresentation::accessibilityIdentifier(row.item);
    case KindRole:
        return static_cast<int>(row.kind);
    default:
        return {};
    }
}

Qt::ItemFlags ItemListModel::flags(const QModelIndex& index) const {
    if (!index.isValid())
        return Qt::NoItemFlags;
    return kindAt(index.row()) == RowKind::section ? Qt::ItemIsEnabled
                                                   : Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}

ItemListModel::RowKind ItemListModel::kindAt(int row) const {
    return m_rows.at(row).kind;
}

QString ItemListModel::sectionTitleAt(int row) const {
    return m_rows.at(row).title;
}

const BackgroundItem* ItemListModel::itemAt(int row) const {
    if (row < 0 || row >= m_rows.size() || m_rows[row].kind != RowKind::item)
        return nullptr;
    return &m_rows[row].item;
}

const ItemRow::Content& ItemListModel::contentAt(int row, bool complete) const {
    const Row& entry = m_rows.at(row);
    if (!entry.content)
        entry.content = ItemRow::layoutContentOf(entry.item);
    if (complete)
        ItemRow::complete(*entry.content, entry.item, m_now);
    return *entry.content;
}

QString ItemListModel::idAt(int row) const {
    const BackgroundItem* item = itemAt(row);
    return item ? item->id : QString();
}

int ItemListModel::rowOf(const QString& id) const {
    return m_rowOf.value(id, -1);
}

QStringList ItemListModel::ids() const {
    QStringList result;
    result.reserve(m_rows.size());
    for (const Row& row : m_rows) {
        if (row.kind == RowKind::item)
            result.append(row.item.id);
    }
    return result;
}
