#include "window/ListScreen.h"

#include <algorithm>
#include <cmath>

#include <QAbstractButton>
#include <QActionGroup>
#include <QButtonGroup>
#include <QCoreApplication>
#include <QDateTime>
#include <QEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QLocale>
#include <QMenu>
#include <QProgressBar>
#include <QScrollBar>
#include <QShortcut>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>
#include <QVariantAnimation>

#include "inventory/Explanations.h"
#include "model/AppModel.h"
#include "os/HostRules.h"
#include "window/ItemBadge.h"
#include "window/ItemIcon.h"
#include "window/ItemListModel.h"
#include "window/ItemRow.h"
#include "window/ListNavigation.h"
#include "window/ScreenStyle.h"

namespace {

constexpr AppModel::Filter filters[] = {AppModel::Filter::all, AppModel::Filter::autoStart,
                                        AppModel::Filter::devServers, AppModel::Filter::apps};
constexpr AppModel::Sort sorts[] = {AppModel::Sort::memory, AppModel::Sort::cpu,
                                    AppModel::Sort::uptime, AppModel::Sort::name};

QString filterKey(AppModel::Filter filter) {
    switch (filter) {
    case AppModel::Filter::all:
        return QStringLiteral("all");
    case AppModel::Filter::autoStart:
        return QStringLiteral("autoStart");
    case AppModel::Filter::devServers:
        return QStringLiteral("devServers");
    case AppModel::Filter::apps:
        return QStringLiteral("apps");
    }
    return {};
}

// Hour (with AM/PM where the locale uses it), minutes and seconds.
QString timeText(Timestamp sampledAt) {
    const QLocale locale;
    QString format = locale.timeFormat(QLocale::ShortFormat);
    if (!format.contains(QLatin1String("ss"))) {
        const qsizetype minutes = format.indexOf(QLatin1String("mm"));
        if (minutes >= 0)
            format.insert(minutes + 2, QLatin1String(":ss"));
    }
    const QDateTime time =
        QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(std::llround(sampledAt * 1000.0)));
    return locale.toString(time.time(), format);
}

QString totalMemoryText(quint64 bytes) {
    if (bytes == 0)
        return QCoreApplication::translate("ListHeader", "0 MB");
    return Explanations::memoryText(bytes);
}

QToolButton* iconButton(const QString& symbol, const QString& label, const QString& identifier,
                        QWidget* parent) {
    auto* button = new QToolButton(parent);
    button->setObjectName(identifier);
    button->setIcon(ItemIcon::symbolIcon(symbol));
    button->setIconSize(QSize(16, 16));
    button->setAutoRaise(true);
    button->setToolTip(label);
    button->setAccessibleName(label);
    if (button->icon().isNull())
        button->setText(label);
    return button;
}

QStringList idsOf(const QList<BackgroundItem>& items) {
    QStringList ids;
    ids.reserve(items.size());
    for (const BackgroundItem& item : items)
        ids.append(item.id);
    return ids;
}

} // namespace

ListHeader::ListHeader(AppModel* model, bool animate, QWidget* parent)
    : QWidget(parent), m_model(model), m_animate(animate) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(16, 12, 16, 8);
    layout->setSpacing(4);

    m_summary = new QWidget(this);
    m_summary->setObjectName(QStringLiteral("header"));
    auto* summary = new QVBoxLayout(m_summary);
    summary->setContentsMargins(0, 0, 0, 0);
    summary->setSpacing(0);
    m_memory = new QLabel(m_summary);
    m_memory->setObjectName(QStringLiteral("header.memory"));
    QFont large = font();
    large.setPointSizeF(large.pointSizeF() * 2.0);
    large.setWeight(QFont::Light);
    large.setStyleHint(QFont::SansSerif);
    m_memory->setFont(large);
    m_status = new QLabel(m_summary);
    m_status->setObjectName(QStringLiteral("header.status"));
    QFont small = font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    m_status->setFont(small);
    QPalette secondary = m_status->palette();
    secondary.setColor(QPalette::WindowText, ItemBadge::secondaryColor(palette()));
    m_status->setPalette(secondary);
    summary->addWidget(m_memory);
    summary->addWidget(m_status);
    layout->addWidget(m_summary, 1);

    m_refresh = iconButton(QStringLiteral("arrow.clockwise"), tr("Refresh"),
                           QStringLiteral("refresh"), this);
    m_refresh->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
    m_refresh->setToolTip(ScreenStyle::shortcutHint(tr("Refresh"), QKeySequence(Qt::Key_R)));
    m_refresh->setEnabled(!model->isLoading());
    connect(m_refresh, &QToolButton::clicked, this, [this] {
        if (m_model)
            m_model->refresh(true);
    });
    connect(model, &AppModel::isLoadingChanged, this, [this] {
        if (m_model)
            m_refresh->setEnabled(!m_model->isLoading());
    });
    layout->addWidget(m_refresh, 0, Qt::AlignTop);

    m_more =
        iconButton(QStringLiteral("ellipsis.circle"), tr("More"), QStringLiteral("more"), this);
    m_more->setPopupMode(QToolButton::InstantPopup);
    m_more->setStyleSheet(QStringLiteral("QToolButton::menu-indicator { image: none; }"));
    auto* menu = new QMenu(m_more);
    menu->setObjectName(QStringLiteral("more.menu"));
    QMenu* sortMenu = menu->addMenu(tr("Sort by"));
    sortMenu->setObjectName(QStringLiteral("more.sort"));
    auto* sortGroup = new QActionGroup(sortMenu);
    sortGroup->setExclusive(true);
    for (AppModel::Sort sort : sorts) {
        QAction* action = sortMenu->addAction(AppModel::sortText(sort));
        action->setObjectName(QStringLiteral("more.sort.") + AppModel::sortText(sort));
        action->setCheckable(true);
        action->setChecked(model->sort() == sort);
        sortGroup->addAction(action);
        connect(action, &QAction::triggered, this, [this, sort] {
            if (m_model)
                m_model->setSort(sort);
        });
        connect(model, &AppModel::sortChanged, action,
                [action, model, sort] { action->setChecked(model->sort() == sort); });
    }
    QAction* showApple = menu->addAction(Hosts::current().words.showSystemProcesses);
    showApple->setObjectName(QStringLiteral("more.showApple"));
    showApple->setCheckable(true);
    showApple->setChecked(model->showApple());
    connect(showApple, &QAction::toggled, this, [this](bool on) {
        if (m_model && m_model->showApple() != on)
            m_model->setShowApple(on);
    });
    connect(model, &AppModel::showAppleChanged, showApple,
            [showApple, model] { showApple->setChecked(model->showApple()); });
    menu->addSeparator();
    // The shortcuts are shown in the menu; the panel itself carries them.
    QAction* settings = menu->addAction(tr("Settings"));
    settings->setObjectName(QStringLiteral("more.settings"));
    settings->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
    settings->setShortcutContext(Qt::WidgetShortcut);
    connect(settings, &QAction::triggered, this, [this] {
        if (m_model)
            m_model->setScreen(AppModel::Screen::settings());
    });
    QAction* quit = menu->addAction(tr("Quit Quillmarsh"));
    quit->setObjectName(QStringLiteral("more.quit"));
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    quit->setShortcutContext(Qt::WidgetShortcut);
    connect(quit, &QAction::triggered, qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    m_more->setMenu(menu);
    layout->addWidget(m_more, 0, Qt::AlignTop);

    auto* quitShortcut = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q), this);
    connect(quitShortcut, &QShortcut::activated, qApp, &QCoreApplication::quit,
            Qt::QueuedConnection);

    m_counter = new QVariantAnimation(this);
    m_counter->setDuration(400);
    m_counter->setEasingCurve(QEasingCurve::OutCubic);
    connect(m_counter, &QVariantAnimation::valueChanged, this,
            [this](const QVariant& value) { showMemory(value.toDouble()); });
}

void ListHeader::showMemory(double bytes) {
    m_memory->setText(totalMemoryText(static_cast<quint64>(std::max(0.0, std::round(bytes)))));
    m_summary->setAccessibleName(m_memory->text() + QStringLiteral(", ") + m_status->text());
}

void ListHeader::setRunning(const QList<BackgroundItem>& running) {
    quint64 total = 0;
    for (const BackgroundItem& item : running)
        total += item.memory;

    if (!m_model || !m_model->inventory()) {
        m_status->setText(tr("Loading…"));
    } else {
        const int count = static_cast<int>(running.size());
        //: %n is the number of running rows, %1 the time of the last sample
        m_status->setText(tr("%n running · updated %1", nullptr, count)
                              .arg(timeText(m_model->inventory()->sampledAt)));
    }

    if (m_total == total) {
        showMemory(static_cast<double>(total));
        return;
    }
    const std::optional<quint64> previous = m_total;
    m_total = total;
    m_counter->stop();
    if (!m_animate || !previous) {
        showMemory(static_cast<double>(total));
        return;
    }
    m_counter->setStartValue(static_cast<double>(*previous));
    m_counter->setEndValue(static_cast<double>(total));
    m_counter->start();
}

QString ListHeader::memoryText() const {
    return m_memory->text();
}

QString ListHeader::statusText() const {
    return m_status->text();
}

ListScreen::ListScreen(AppModel* model, bool animate, QWidget* parent)
    : QWidget(parent), m_model(model) {
    setObjectName(QStringLiteral("listScreen"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    m_header = new ListHeader(model, animate, this);
    layout->addWidget(m_header);

    auto* controls = new QWidget(this);
    auto* controlsLayout = new QVBoxLayout(controls);
    controlsLayout->setContentsMargins(16, 0, 16, 8);
    controlsLayout->setSpacing(8);
    m_search = new QLineEdit(controls);
    m_search->setObjectName(QStringLiteral("search"));
    m_search->setPlaceholderText(tr("Search name, folder, port"));
    m_search->setAccessibleName(tr("Search name, folder, port"));
    m_search->setClearButtonEnabled(true);
    // The clear button Qt adds has no name of its own: its action gives it
    // the text (and the tooltip), the button the accessible name.
    for (QAction* clear : m_search->actions())
        clear->setText(tr("Clear search"));
    for (QToolButton* clear : m_search->findChildren<QToolButton*>())
        clear->setAccessibleName(tr("Clear search"));
    m_search->setText(model->search());
    connect(m_search, &QLineEdit::textChanged, this, [this](const QString& text) {
        if (m_model)
            m_model->setSearch(text);
    });
    controlsLayout->addWidget(m_search);

    m_filter = new QWidget(controls);
    m_filter->setObjectName(QStringLiteral("filter"));
    m_filter->setAccessibleName(tr("Filter"));
    auto* filterLayout = new QHBoxLayout(m_filter);
    filterLayout->setContentsMargins(0, 0, 0, 0);
    filterLayout->setSpacing(0);
    m_filterGroup = new QButtonGroup(m_filter);
    m_filterGroup->setExclusive(true);
    const QColor border = palette().color(QPalette::Mid);
    const QColor checked = palette().color(QPalette::Highlight);
    const QColor checkedText = palette().color(QPalette::HighlightedText);
    int position = 0;
    for (AppModel::Filter filter : filters) {
        auto* segment = new QToolButton(m_filter);
        segment->setObjectName(QStringLiteral("filter.") + filterKey(filter));
        segment->setText(AppModel::filterText(filter));
        segment->setCheckable(true);
        segment->setChecked(model->filter() == filter);
        // Ctrl+1 to Ctrl+4 pick the filters from the keyboard.
        const QKeySequence key(Qt::Key(Qt::Key_1 + position));
        segment->setShortcut(QKeySequence(Qt::CTRL | key[0].key()));
        segment->setToolTip(ScreenStyle::shortcutHint(segment->text(), key));
        segment->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        const bool first = position == 0;
        const bool last = position == 3;
        segment->setStyleSheet(
            QStringLiteral("QToolButton { border: 1px solid %1; %2 %3 padding: 3px 6px; }"
                           "QToolButton:checked { background: %4; color: %5; }")
                .arg(border.name(),
                     first ? QStringLiteral("border-top-left-radius: 5px; "
                                            "border-bottom-left-radius: 5px;")
                           : QStringLiteral("border-left: none;"),
                     last ? QStringLiteral("border-top-right-radius: 5px; "
                                           "border-bottom-right-radius: 5px;")
                          : QString(),
                     checked.name(), checkedText.name()));
        m_filterGroup->addButton(segment, position);
        filterLayout->addWidget(segment);
        connect(segment, &QToolButton::toggled, this, [this, filter](bool on) {
            if (on && m_model)
                m_model->setFilter(filter);
        });
        ++position;
    }
    controlsLayout->addWidget(m_filter);
    // Shown only when a source could not be read in the last pass.
    m_sourceNote = ScreenStyle::secondaryLabel({}, ScreenStyle::caption(font()), controls);
    m_sourceNote->setObjectName(QStringLiteral("sourceNote"));
    m_sourceNote->setWordWrap(true);
    m_sourceNote->hide();
    controlsLayout->addWidget(m_sourceNote);
    layout->addWidget(controls);

    auto* divider = new QFrame(this);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Plain);
    divider->setStyleSheet(QStringLiteral("color: %1;").arg(border.name()));
    layout->addWidget(divider);

    m_content = new QStackedWidget(this);
    layout->addWidget(m_content, 1);

    m_loadingPage = new QWidget(m_content);
    m_loadingPage->setObjectName(QStringLiteral("loading"));
    auto* loading = new QVBoxLayout(m_loadingPage);
    loading->addStretch();
    auto* progress = new QProgressBar(m_loadingPage);
    progress->setRange(0, 0);
    progress->setTextVisible(false);
    progress->setMaximumWidth(160);
    loading->addWidget(progress, 0, Qt::AlignHCenter);
    auto* loadingText = new QLabel(tr("Reading processes…"), m_loadingPage);
    loadingText->setObjectName(QStringLiteral("loading.text"));
    loading->addWidget(loadingText, 0, Qt::AlignHCenter);
    loading->addStretch();
    m_content->addWidget(m_loadingPage);

    m_emptyPage = new QWidget(m_content);
    m_emptyPage->setObjectName(QStringLiteral("empty"));
    auto* empty = new QVBoxLayout(m_emptyPage);
    empty->setContentsMargins(24, 0, 24, 0);
    empty->addStretch();
    auto* emptyIcon = new QLabel(m_emptyPage);
    emptyIcon->setPixmap(ItemIcon::symbolIcon(QStringLiteral("checkmark.circle")).pixmap(32, 32));
    empty->addWidget(emptyIcon, 0, Qt::AlignHCenter);
    m_emptyTitle = new QLabel(m_emptyPage);
    m_emptyTitle->setObjectName(QStringLiteral("empty.title"));
    QFont titleFont = font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.2);
    titleFont.setWeight(QFont::DemiBold);
    m_emptyTitle->setFont(titleFont);
    empty->addWidget(m_emptyTitle, 0, Qt::AlignHCenter);
    m_emptyText = new QLabel(m_emptyPage);
    m_emptyText->setObjectName(QStringLiteral("empty.text"));
    m_emptyText->setWordWrap(true);
    m_emptyText->setAlignment(Qt::AlignHCenter);
    empty->addWidget(m_emptyText);
    empty->addStretch();
    m_content->addWidget(m_emptyPage);

    m_list = new QListView(m_content);
    m_list->setObjectName(QStringLiteral("list"));
    m_list->setAccessibleName(tr("Background items"));
    m_list->setFrameShape(QFrame::NoFrame);
    m_list->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    m_list->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_list->setResizeMode(QListView::Adjust);
    m_list->setSelectionMode(QAbstractItemView::NoSelection);
    m_list->setFocusPolicy(Qt::NoFocus);
    m_list->setMouseTracking(true);
    m_list->viewport()->setMouseTracking(true);
    QPalette listPalette = m_list->palette();
    listPalette.setColor(QPalette::Base, palette().color(QPalette::Window));
    m_list->setPalette(listPalette);
    m_listModel = new ItemListModel(m_list);
    m_delegate = new ItemRowDelegate(m_list);
    m_list->setModel(m_listModel);
    m_list->setItemDelegate(m_delegate);
    m_list->viewport()->installEventFilter(this);
    m_list->installEventFilter(this);
    m_search->installEventFilter(this);
    connect(m_list, &QListView::clicked, this, [this](const QModelIndex& index) {
        const QString id = m_listModel->idAt(index.row());
        if (!id.isEmpty())
            open(id);
    });
    m_content->addWidget(m_list);

    connect(model, &AppModel::inventoryChanged, this, &ListScreen::rebuild);
    connect(model, &AppModel::searchChanged, this, [this] {
        if (m_model && m_search->text() != m_model->search())
            m_search->setText(m_model->search());
        rebuild();
    });
    connect(model, &AppModel::filterChanged, this, [this] {
        if (!m_model)
            return;
        for (int i = 0; i < static_cast<int>(std::size(filters)); ++i) {
            if (filters[i] == m_model->filter())
                m_filterGroup->button(i)->setChecked(true);
        }
        rebuild();
    });
    // A new sort is asked for: it applies even while the order is frozen,
    // which then holds from the new order.
    connect(model, &AppModel::sortChanged, this, [this] {
        m_frozenOrder.reset();
        rebuild();
        updateFreeze();
    });
    rebuild();
}

void ListScreen::rebuild() {
    if (!m_model)
        return;
    const std::optional<QString> note = m_model->sourceNote();
    m_sourceNote->setText(note.value_or(QString()));
    m_sourceNote->setVisible(note.has_value());
    if (!m_model->inventory()) {
        m_runningIds.clear();
        m_navigationIds.clear();
        m_header->setRunning({});
        m_content->setCurrentWidget(m_loadingPage);
        return;
    }

    QList<BackgroundItem> running = m_model->visibleRunning();
    QList<BackgroundItem> notRunning = m_model->visibleNotRunning();
    // A selected row that is no longer listed ends the keyboard selection.
    if (m_keyboardSelection) {
        const auto isSelected = [this](const BackgroundItem& item) {
            return item.id == m_highlighted;
        };
        if (std::none_of(running.cbegin(), running.cend(), isSelected) &&
            std::none_of(notRunning.cbegin(), notRunning.cend(), isSelected)) {
            m_keyboardSelection = false;
            if (!m_pointerInside)
                m_frozenOrder.reset();
        }
    }
    running = ListNavigation::applyFrozenOrder(std::move(running), m_frozenOrder);
    m_header->setRunning(running);
    m_runningIds = idsOf(running);
    m_navigationIds = m_runningIds + idsOf(notRunning);

    if (running.isEmpty() && notRunning.isEmpty()) {
        if (m_model->search().isEmpty()) {
            m_emptyTitle->setText(tr("Nothing here"));
            m_emptyText->setText(tr("No background items match this filter."));
        } else {
            m_emptyTitle->setText(tr("No matches"));
            m_emptyText->setText(tr("Try another name, folder or port."));
        }
        m_listModel->setItems({}, {}, 0);
        m_content->setCurrentWidget(m_emptyPage);
        // No list, no pointer over it.
        m_frozenOrder.reset();
        return;
    }

    const int scrolled = m_list->verticalScrollBar()->value();
    const Timestamp now = static_cast<Timestamp>(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
    const ItemListModel::Change change =
        m_listModel->setItems(std::move(running), std::move(notRunning), now);
    m_content->setCurrentWidget(m_list);
    // Rows that keep their sizes keep the layout; the changed ones repaint.
    if (change < ItemListModel::Change::layout)
        return;
    if (change == ItemListModel::Change::reset)
        m_delegate->pruneCache(m_navigationIds);
    m_list->doItemsLayout();
    m_list->verticalScrollBar()->setValue(scrolled);
}

void ListScreen::setHighlighted(const std::optional<QString>& id) {
    if (m_highlighted == id)
        return;
    m_highlighted = id;
    m_delegate->setHighlighted(id);
    m_list->viewport()->update();
}

bool ListScreen::moveHighlight(int step) {
    const std::optional<QString> target =
        ListNavigation::move(m_navigationIds, m_highlighted, step);
    if (!target)
        return true;
    setHighlighted(target);
    m_keyboardSelection = true;
    updateFreeze();
    // Scroll just enough to show the row.
    const int row = m_listModel->rowOf(*target);
    if (row >= 0)
        m_list->scrollTo(m_listModel->index(row), QAbstractItemView::EnsureVisible);
    return true;
}

bool ListScreen::openHighlighted() {
    const std::optional<QString> target =
        ListNavigation::openTarget(m_navigationIds, m_highlighted);
    if (!target)
        return false;
    open(*target);
    return true;
}

void ListScreen::open(const QString& id) {
    if (m_model)
        m_model->setScreen(AppModel::Screen::detail(id));
}

void ListScreen::updateFreeze() {
    const bool hold = m_pointerInside || m_keyboardSelection;
    if (hold && !m_frozenOrder) {
        m_frozenOrder = m_runningIds;
    } else if (!hold && m_frozenOrder) {
        m_frozenOrder.reset();
        rebuild();
    }
}

bool ListScreen::handleKey(QKeyEvent* event) {
    if (event->modifiers() & ~(Qt::KeypadModifier))
        return false;
    switch (event->key()) {
    case Qt::Key_Down:
        return moveHighlight(1);
    case Qt::Key_Up:
        return moveHighlight(-1);
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return openHighlighted();
    case Qt::Key_Escape:
        // The first Escape ends a keyboard selection; the next one goes on
        // to the panel.
        if (!m_keyboardSelection)
            return false;
        m_keyboardSelection = false;
        setHighlighted(std::nullopt);
        updateFreeze();
        return true;
    default:
        return false;
    }
}

bool ListScreen::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_list->viewport()) {
        switch (event->type()) {
        case QEvent::Enter:
            m_pointerInside = true;
            updateFreeze();
            break;
        case QEvent::Leave:
            m_pointerInside = false;
            updateFreeze();
            break;
        case QEvent::MouseMove: {
            const auto* move = static_cast<QMouseEvent*>(event);
            const QModelIndex index = m_list->indexAt(move->position().toPoint());
            const QString id = index.isValid() ? m_listModel->idAt(index.row()) : QString();
            // The pointer takes the highlight over from the keyboard.
            if (!id.isEmpty() && id != m_highlighted) {
                setHighlighted(id);
                m_keyboardSelection = false;
            }
            break;
        }
        default:
            break;
        }
        return false;
    }
    if ((watched == m_search || watched == m_list) && event->type() == QEvent::KeyPress) {
        if (handleKey(static_cast<QKeyEvent*>(event)))
            return true;
    }
    return QWidget::eventFilter(watched, event);
}

void ListScreen::keyPressEvent(QKeyEvent* event) {
    if (handleKey(event)) {
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

void ListScreen::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    m_search->setFocus(Qt::OtherFocusReason);
}

void ListScreen::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    // The panel closed: it reopens on a fresh list, no highlight, order
    // following the model, scrolled to the top.
    m_highlighted.reset();
    m_delegate->setHighlighted(std::nullopt);
    m_frozenOrder.reset();
    m_pointerInside = false;
    m_keyboardSelection = false;
    m_list->verticalScrollBar()->setValue(0);
    rebuild();
}
