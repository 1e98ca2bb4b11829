#pragma once

#include <optional>

#include <QList>
#include <QPointer>
#include <QString>
#include <QWidget>

#include "inventory/BackgroundItem.h"

class ActionBar;
class AppModel;
class QLabel;
class QPushButton;
class QScrollArea;
class QStackedWidget;

// What the detail screen shows for one item, as data.
namespace DetailRows {

// One figure of the figures row.
struct Stat {
    QString title;
    QString value;

    bool operator==(const Stat&) const = default;
};

// One labelled line; a path row also has Reveal (and Open) buttons.
struct Row {
    QString title;
    QString value;
    bool isPath = false;
    std::optional<QString> note;
    bool canOpen = false;

    bool operator==(const Row&) const = default;
};

// One line of the processes list.
struct ProcessLine {
    QString name;
    QString memory;

    bool operator==(const ProcessLine&) const = default;
};

inline constexpr int shownProcesses = 8;

// Memory, CPU, uptime and process count; empty unless the item runs.
QList<Stat> stats(const BackgroundItem& item, Timestamp now);

// The information rows in display order, each only under its condition.
// `home` decides the executable's location note.
QList<Row> rows(const BackgroundItem& item, const QString& home);

// Whether the item comes back after a restart (the "Auto-start" row).
QString comeBackAnswer(const BackgroundItem& item);

// The first members by memory, largest first (empty with fewer than two
// members), and the "+ N more" line when more are left out.
QList<ProcessLine> processLines(const BackgroundItem& item);
std::optional<QString> moreProcessesText(const BackgroundItem& item);

// The CPU share with one fraction digit in the current locale, or "—".
QString cpuText(std::optional<double> percent);

} // namespace DetailRows

// One item in full: header, what it is, whether stopping it is safe, its
// figures, command, rows and processes, and the action bar. It looks the
// item up again after every refresh and tells when it has gone.
class DetailScreen : public QWidget {
    Q_OBJECT

public:
    DetailScreen(AppModel* model, const QString& id, QWidget* parent = nullptr);

    const QString& id() const { return m_id; }
    ActionBar* actionBar() const { return m_bar; }

private:
    void rebuild();
    QWidget* content(const BackgroundItem& item, Timestamp now);
    QWidget* placeholder(const QString& title, const QString& symbol, const QString& description,
                         const QString& identifier);
    void showBody(QWidget* body);

    QPointer<AppModel> m_model;
    QString m_id;
    QPushButton* m_copy = nullptr;
    QWidget* m_bodyHolder = nullptr;
    QPointer<QWidget> m_body;
    QScrollArea* m_scroll = nullptr;
    QWidget* m_itemPage = nullptr;
    ActionBar* m_bar = nullptr;
    std::optional<BackgroundItem> m_item;
    Timestamp m_shownAt = 0;
};
