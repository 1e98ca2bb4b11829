#pragma once

#include <optional>

#include <QPointer>
#include <QStringList>
#include <QWidget>

#include "inventory/BackgroundItem.h"

class AppModel;
class ItemListModel;
class ItemRowDelegate;
class QButtonGroup;
class QLabel;
class QLineEdit;
class QListView;
class QStackedWidget;
class QToolButton;
class QVariantAnimation;

// The total memory of the rows shown and the time of the last sample, the
// Refresh button and the More menu.
class ListHeader : public QWidget {
    Q_OBJECT

public:
    ListHeader(AppModel* model, bool animate, QWidget* parent = nullptr);

    // The running rows exactly as the list shows them.
    void setRunning(const QList<BackgroundItem>& running);

    QString memoryText() const;
    QString statusText() const;

private:
    void showMemory(double bytes);

    QPointer<AppModel> m_model;
    bool m_animate = true;
    QLabel* m_memory = nullptr;
    QLabel* m_status = nullptr;
    QWidget* m_summary = nullptr;
    QToolButton* m_refresh = nullptr;
    QToolButton* m_more = nullptr;
    QVariantAnimation* m_counter = nullptr;
    std::optional<quint64> m_total;
};

// The panel's home: header, search, filter, and the running and not-running
// sections, with keyboard navigation and an order that holds still while the
// pointer is over the list or a row is selected with the keyboard.
class ListScreen : public QWidget {
    Q_OBJECT

public:
    ListScreen(AppModel* model, bool animate, QWidget* parent = nullptr);

    const std::optional<QString>& highlighted() const { return m_highlighted; }
    const std::optional<QStringList>& frozenOrder() const { return m_frozenOrder; }
    // The ids the arrow keys and Return work on: running rows, then the others.
    const QStringList& navigationIds() const { return m_navigationIds; }

    // Moves the highlight by `step` rows; true (the key is consumed) always.
    // The row is then selected with the keyboard until Escape, the pointer
    // or a refresh without it ends that.
    bool moveHighlight(int step);
    // Opens the highlighted or the first row; false on an empty list.
    bool openHighlighted();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void rebuild();
    bool handleKey(QKeyEvent* event);
    void setHighlighted(const std::optional<QString>& id);
    void open(const QString& id);
    // Freezes the running rows' order as shown while the pointer is over the
    // list or a row is selected with the keyboard, and lets the model's order
    // back in when neither holds.
    void updateFreeze();

    QPointer<AppModel> m_model;
    ListHeader* m_header = nullptr;
    QLineEdit* m_search = nullptr;
    QWidget* m_filter = nullptr;
    QButtonGroup* m_filterGroup = nullptr;
    QStackedWidget* m_content = nullptr;
    QWidget* m_loadingPage = nullptr;
    QWidget* m_emptyPage = nullptr;
    QLabel* m_emptyTitle = nullptr;
    QLabel* m_emptyText = nullptr;
    QLabel* m_sourceNote = nullptr;
    QListView* m_list = nullptr;
    ItemListModel* m_listModel = nullptr;
    ItemRowDelegate* m_delegate = nullptr;

    std::optional<QString> m_highlighted;
    std::optional<QStringList> m_frozenOrder;
    bool m_pointerInside = false;
    bool m_keyboardSelection = false;
    QStringList m_runningIds;
    QStringList m_navigationIds;
};
