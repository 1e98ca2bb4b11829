#include "window/ActionBar.h"

#include <QApplication>
#include <QClipboard>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>
#include <QProgressBar>
#include <QShortcut>
#include <QStyleOptionButton>
#include <QVBoxLayout>

#include "model/AppModel.h"
#include "window/ScreenStyle.h"

namespace {

constexpr int horizontalPadding = 14;
constexpr int verticalPadding = 6;

QPushButton* borderedButton(const QString& text, const QString& identifier, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(identifier);
    button->setAutoDefault(false);
    return button;
}

QFont mediumWeight(const QFont& base) {
    QFont font = base;
    font.setWeight(QFont::Medium);
    return font;
}

} // namespace

SolidRedButton::SolidRedButton(const QString& text, QWidget* parent) : QPushButton(text, parent) {
    setFont(mediumWeight(font()));
    setAutoDefault(false);
    setCursor(Qt::PointingHandCursor);
}

QColor SolidRedButton::red() {
    return QColor(255, 59, 48);
}

QSize SolidRedButton::sizeHint() const {
    const QFontMetrics metrics(font());
    return {metrics.horizontalAdvance(text()) + 2 * horizontalPadding,
            metrics.height() + 2 * verticalPadding};
}

void SolidRedButton::paintEvent(QPaintEvent* event) {
    (void)event;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF area = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    QPainterPath capsule;
    capsule.addRoundedRect(area, area.height() / 2, area.height() / 2);
    painter.setOpacity(isDown() ? 0.7 : (isEnabled() ? 1.0 : 0.5));
    painter.fillPath(capsule, red());
    if (hasFocus()) {
        painter.setPen(QPen(palette().color(QPalette::Highlight), 2));
        painter.drawPath(capsule);
    }
    painter.setPen(Qt::white);
    painter.setFont(font());
    painter.drawText(rect(), Qt::AlignCenter | Qt::TextSingleLine, text());
}

ActionBar::ActionBar(AppModel* model, QWidget* parent) : QWidget(parent), m_model(model) {
    setObjectName(QStringLiteral("action.bar"));
    m_layout = new QVBoxLayout(this);
    m_layout->setContentsMargins(0, 0, 0, 0);
    m_layout->setSpacing(8);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Maximum);
}

void ActionBar::setItem(const BackgroundItem& item) {
    m_item = item;
    m_machine.showItem(item.id);
    render();
}

ActionBar::View ActionBar::viewOf() const {
    View view;
    view.phase = m_machine.phase();
    const Uid uid = m_model ? m_model->currentUid() : 0;
    switch (view.phase.kind) {
    case ActionBarPhase::Case::idle:
        view.offer = ActionBarRules::offer(m_item, uid);
        break;
    case ActionBarPhase::Case::confirm:
        view.description = ActionBarRules::description(m_item, view.phase.pending);
        view.warnings = ActionBarRules::warnings(m_item);
        view.confirmLabel = ActionBarRules::confirmLabel(m_item, view.phase.pending);
        break;
    case ActionBarPhase::Case::stillRunning:
        view.stillRunning = ActionBarRules::stillRunningText(m_item, view.phase.survivors);
        break;
    case ActionBarPhase::Case::working:
    case ActionBarPhase::Case::message:
        break;
    }
    return view;
}

void ActionBar::render() {
    const View view = viewOf();
    if (m_shown && *m_shown == view)
        return;
    const bool phaseChanged = !m_shown || m_shown->phase != view.phase;
    m_shown = view;

    const bool hadFocus = m_content && m_content->isAncestorOf(QApplication::focusWidget());
    if (m_content) {
        m_content->hide();
        m_content->deleteLater();
    }
    switch (view.phase.kind) {
    case ActionBarPhase::Case::idle:
        m_content = idleRow(view.offer);
        break;
    case ActionBarPhase::Case::confirm:
        m_content = confirmPanel(view);
        break;
    case ActionBarPhase::Case::working:
        m_content = workingRow(view.phase.text);
        break;
    case ActionBarPhase::Case::stillRunning:
        m_content = stillRunningPanel(view);
        break;
    case ActionBarPhase::Case::message:
        m_content = messageRow(view.phase);
        break;
    }
    m_layout->addWidget(m_content);
    m_content->show();
    // Keep keyboard focus inside the bar when its content is replaced.
    if (hadFocus || view.phase.kind == ActionBarPhase::Case::confirm)
        m_content->setFocus(Qt::OtherFocusReason);
    if (phaseChanged)
        Q_EMIT this->phaseChanged();
}

QWidget* ActionBar::idleRow(const ActionOffer& offer) {
    auto* row = new QWidget(this);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    const QFont callout = ScreenStyle::callout(font());
    const auto note = [&](const QString& text, const QString& identifier) {
        QLabel* label = ScreenStyle::secondaryLabel(text, callout, row);
        label->setObjectName(identifier);
        layout->addWidget(label, 1);
    };

    if (offer.appleNote) {
        note(*offer.appleNote, QStringLiteral("action.appleNote"));
        return row;
    }
    if (offer.stopLabel) {
        QPushButton* stop = borderedButton(*offer.stopLabel, QStringLiteral("action.stop"), row);
        stop->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Backspace));
        connect(stop, &QPushButton::clicked, this, [this] {
            m_machine.requestStop();
            render();
        });
        layout->addWidget(stop);
    } else if (offer.daemonNote) {
        note(*offer.daemonNote, QStringLiteral("action.daemonNote"));
    }
    if (offer.disable) {
        QPushButton* disable =
            borderedButton(tr("Disable auto-start"), QStringLiteral("action.disable"), row);
        connect(disable, &QPushButton::clicked, this, [this] {
            m_machine.requestDisable();
            render();
        });
        layout->addWidget(disable);
    }
    if (offer.reenable) {
        QPushButton* reenable =
            borderedButton(tr("Re-enable"), QStringLiteral("action.reenable"), row);
        connect(reenable, &QPushButton::clicked, this, [this] { run(ItemAction::reenable); });
        layout->addWidget(reenable);
    }
    if (offer.launchLabel) {
        const ItemAction action = offer.launchAction;
        QPushButton* launch =
            borderedButton(*offer.launchLabel,
                           action == ItemAction::enable ? QStringLiteral("action.enable")
                                                        : QStringLiteral("action.load"),
                           row);
        connect(launch, &QPushButton::clicked, this, [this, action] { run(action); });
        layout->addWidget(launch);
    }
    if (offer.copy) {
        QPushButton* copy = borderedButton(tr("Copy command"), QStringLiteral("action.copy"), row);
        connect(copy, &QPushButton::clicked, this, &ActionBar::copyCommand);
        layout->addWidget(copy);
    }
    if (!offer.daemonNote)
        layout->addStretch(1);
    return row;
}

QWidget* ActionBar::confirmPanel(const View& view) {
    auto* panel = new QWidget(this);
    panel->setFocusPolicy(Qt::StrongFocus);
    auto* layout = new QVBoxLayout(panel);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    const QFont callout = ScreenStyle::callout(font());

    auto* description = new QLabel(view.description, panel);
    description->setObjectName(QStringLiteral("action.description"));
    description->setFont(callout);
    description->setWordWrap(true);
    layout->addWidget(description);
    for (qsizetype i = 0; i < view.warnings.size(); ++i) {
        layout->addWidget(ScreenStyle::symbolLine(
            QStringLiteral("exclamationmark.triangle.fill"), ScreenStyle::orange(palette()),
            view.warnings[i], callout, panel, QStringLiteral("action.warning.%1").arg(i)));
    }

    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(8);
    QPushButton* cancel = borderedButton(tr("Cancel"), QStringLiteral("action.cancel"), panel);
    auto* confirm = new SolidRedButton(view.confirmLabel, panel);
    confirm->setObjectName(QStringLiteral("action.confirm"));
    buttons->addWidget(cancel);
    buttons->addWidget(confirm);
    buttons->addStretch(1);
    layout->addLayout(buttons);

    const ActionBarPhase::Pending pending = view.phase.pending;
    const auto onConfirm = [this, pending] {
        run(pending == ActionBarPhase::Pending::stop ? ItemAction::stop : ItemAction::disable);
    };
    const auto onCancel = [this] {
        m_machine.dismiss();
        render();
    };
    connect(confirm, &QPushButton::clicked, this, onConfirm);
    connect(cancel, &QPushButton::clicked, this, onCancel);
    for (const QKeySequence& key : {QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Enter)}) {
        auto* shortcut = new QShortcut(key, panel);
        shortcut->setContext(Qt::WindowShortcut);
        connect(shortcut, &QShortcut::activated, this, onConfirm);
    }
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), panel);
    escape->setContext(Qt::WindowShortcut);
    connect(escape, &QShortcut::activated, this, onCancel);
    return panel;
}

QWidget* ActionBar::workingRow(const QString& text) {
    auto* row = new QWidget(this);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    auto* spinner = new QProgressBar(row);
    spinner->setObjectName(QStringLiteral("action.progress"));
    spinner->setRange(0, 0);
    spinner->setTextVisible(false);
    spinner->setFixedSize(48, 8);
    layout->addWidget(spinner, 0, Qt::AlignVCenter);
    auto* label = new QLabel(text, row);
    label->setObjectName(QStringLiteral("action.working"));
    label->setFont(ScreenStyle::callout(font()));
    layout->addWidget(label, 1, Qt::AlignVCenter);
    return row;
}

QWidget* ActionBar::stillRunningPanel(const View& view) {
    auto* panel = new QWidget(this);
    auto* layout = new QVBoxLayout(panel);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    auto* text = new QLabel(view.stillRunning, panel);
    text->setObjectName(QStringLiteral("action.stillRunning"));
    text->setFont(ScreenStyle::callout(font()));
    text->setWordWrap(true);
    layout->addWidget(text);
    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(8);
    QPushButton* cancel = borderedButton(tr("Cancel"), QStringLiteral("action.cancel"), panel);
    auto* forceQuit = new SolidRedButton(tr("Force Quit"), panel);
    forceQuit->setObjectName(QStringLiteral("action.forceQuit"));
    buttons->addWidget(cancel);
    buttons->addWidget(forceQuit);
    buttons->addStretch(1);
    layout->addLayout(buttons);
    connect(cancel, &QPushButton::clicked, this, [this] {
        m_machine.dismiss();
        render();
    });
    connect(forceQuit, &QPushButton::clicked, this, [this] { run(ItemAction::forceQuit); });
    return panel;
}

QWidget* ActionBar::messageRow(const ActionBarPhase& phase) {
    auto* row = new QWidget(this);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    const QFont callout = ScreenStyle::callout(font());
    QWidget* line = phase.isError
                        ? ScreenStyle::symbolLine(QStringLiteral("exclamationmark.triangle"),
                                                  ScreenStyle::red(palette()), phase.text, callout,
                                                  row, QStringLiteral("action.message"))
                        : ScreenStyle::symbolLine(QStringLiteral("checkmark.circle"),
                                                  ScreenStyle::secondary(palette()), phase.text,
                                                  callout, row, QStringLiteral("action.message"));
    if (phase.isError) {
        auto* label = line->findChild<QLabel*>(QStringLiteral("action.message"));
        QPalette red = label->palette();
        red.setColor(QPalette::WindowText, ScreenStyle::red(palette()));
        label->setPalette(red);
    }
    line->findChild<QLabel*>(QStringLiteral("action.message"))
        ->setProperty("isError", phase.isError);
    layout->addWidget(line, 1, Qt::AlignVCenter);
    QPushButton* ok = borderedButton(tr("OK"), QStringLiteral("action.ok"), row);
    connect(ok, &QPushButton::clicked, this, [this] {
        m_machine.dismiss();
        render();
    });
    layout->addWidget(ok, 0, Qt::AlignVCenter);
    return row;
}

void ActionBar::copyCommand() {
    const QString command = Items::commandLine(m_item);
    if (command.isEmpty())
        return;
    auto* mime = new QMimeData;
    mime->setText(command);
    QGuiApplication::clipboard()->setMimeData(mime);
}

QCoro::Task<> ActionBar::run(ItemAction action) {
    if (!m_model)
        co_return;
    const BackgroundItem item = m_item;
    // A force quit acts on exactly the survivors the panel lists.
    const QList<ProcessTarget> survivors = m_machine.phase().survivors;
    const std::optional<quint64> ticket = m_machine.begin(item, action);
    if (!ticket)
        co_return;
    QPointer<ActionBar> self(this);
    QPointer<AppModel> model(m_model);
    render();

    switch (action) {
    case ItemAction::stop: {
        const AppModel::StopOutcome outcome = co_await model->stop(item);
        if (!self)
            co_return;
        m_machine.finishStop(*ticket, outcome.survivors, outcome.error);
        break;
    }
    case ItemAction::forceQuit: {
        const AppModel::StopOutcome outcome = co_await model->forceQuit(survivors, item);
        if (!self)
            co_return;
        m_machine.finishForceQuit(*ticket, outcome.survivors);
        break;
    }
    case ItemAction::disable: {
        const ActionResult result = co_await model->disable(item);
        if (!self)
            co_return;
        m_machine.finish(*ticket, action, result);
        break;
    }
    case ItemAction::reenable: {
        const ActionResult result = co_await model->enable(item);
        if (!self)
            co_return;
        m_machine.finish(*ticket, action, result);
        break;
    }
    case ItemAction::enable: {
        const ActionResult result = co_await model->enableInLaunchd(item);
        if (!self)
            co_return;
        m_machine.finish(*ticket, action, result);
        break;
    }
    case ItemAction::load: {
        const ActionResult result = co_await model->load(item);
        if (!self)
            co_return;
        m_machine.finish(*ticket, action, result);
        break;
    }
    }
    render();
}
