#include "window/DetailScreen.h"

#include <algorithm>
#include <cmath>

#include <QClipboard>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QLocale>
#include <QMimeData>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTextLayout>
#include <QVBoxLayout>

#include "inventory/Explanations.h"
#include "inventory/ItemPresentation.h"
#include "inventory/Origin.h"
#include "model/AppModel.h"
#include "os/HostRules.h"
#include "window/ActionBar.h"
#include "window/FileManager.h"
#include "window/ItemBadge.h"
#include "window/ItemIcon.h"
#include "window/ScreenStyle.h"

namespace {

QString tr(const char* text, int n = -1) {
    return QCoreApplication::translate("DetailScreen", text, nullptr, n);
}

// "Jan 5, 2025, 9:41 AM": the locale's long date without the weekday and with
// the month abbreviated, then its short time.
QString startedText(Timestamp start) {
    const QLocale locale;
    QString format = locale.dateFormat(QLocale::LongFormat);
    format.remove(QLatin1String("dddd, ")).remove(QLatin1String("dddd "));
    format.replace(QLatin1String("MMMM"), QLatin1String("MMM"));
    const QDateTime when =
        QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(std::llround(start * 1000.0)));
    return tr("%1, %2").arg(locale.toString(when.date(), format),
                            locale.toString(when.time(), QLocale::ShortFormat));
}

QPushButton* borderlessButton(const QString& symbol, const QString& text, QWidget* parent) {
    auto* button = new QPushButton(ScreenStyle::symbol(symbol), text, parent);
    button->setFlat(true);
    button->setAutoDefault(false);
    button->setCursor(Qt::PointingHandCursor);
    return button;
}

// Text that wraps at word boundaries and, where a word is too long for the
// line (paths, command lines), anywhere.
class WrapLabel : public QWidget {
public:
    WrapLabel(const QString& text, const QFont& font, QWidget* parent)
        : QWidget(parent), m_text(text) {
        setFont(font);
        QSizePolicy policy(QSizePolicy::Expanding, QSizePolicy::Preferred);
        policy.setHeightForWidth(true);
        setSizePolicy(policy);
        setAccessibleName(text);
    }

    const QString& text() const { return m_text; }
    void setColor(const QColor& color) { m_color = color; }

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override {
        return static_cast<int>(std::ceil(layOut(std::max(width, 1), nullptr)));
    }
    QSize sizeHint() const override {
        const int width = std::min(fontMetrics().horizontalAdvance(m_text) + 1, 320);
        return {width, heightForWidth(width)};
    }
    QSize minimumSizeHint() const override { return {20, fontMetrics().height()}; }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setPen(m_color.isValid() ? m_color : palette().color(QPalette::WindowText));
        layOut(width(), &painter);
    }

private:
    // Lays the text out in `width`, drawing it when a painter is given; the height.
    qreal layOut(int width, QPainter* painter) const {
        QTextLayout layout(m_text, font());
        QTextOption option;
        option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        layout.setTextOption(option);
        layout.beginLayout();
        qreal height = 0;
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
            line.setLineWidth(width);
            line.setPosition(QPointF(0, height));
            height += line.height();
        }
        layout.endLayout();
        if (painter)
            layout.draw(painter, QPointF(0, 0));
        return height;
    }

    QString m_text;
    QColor m_color;
};

// One line of text shortened in the middle when it does not fit.
class MiddleElidedLabel : public QWidget {
public:
    MiddleElidedLabel(const QString& text, QWidget* parent) : QWidget(parent), m_text(text) {
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        setToolTip(text);
        setAccessibleName(text);
    }

    const QString& text() const { return m_text; }
    QString shownText() const { return fontMetrics().elidedText(m_text, Qt::ElideMiddle, width()); }
    QSize sizeHint() const override {
        return {fontMetrics().horizontalAdvance(m_text), fontMetrics().height()};
    }
    QSize minimumSizeHint() const override { return {40, fontMetrics().height()}; }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setPen(palette().color(QPalette::WindowText));
        painter.drawText(rect(), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                         shownText());
    }

private:
    QString m_text;
};

// The item's picture at 40 points.
class IconView : public QWidget {
public:
    IconView(const BackgroundItem& item, QWidget* parent) : QWidget(parent), m_item(item) {
        setFixedSize(40, 40);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        ItemIcon::paint(painter, QRectF(rect()), m_item, palette());
    }

private:
    BackgroundItem m_item;
};

// The badges, 4 points apart, wrapping onto further lines.
class BadgeRow : public QWidget {
public:
    BadgeRow(const QList<Badge>& badges, QWidget* parent)
        : QWidget(parent), m_badges(badges), m_font(ItemBadge::font(font())) {
        setObjectName(QStringLiteral("detail.badges"));
        QSizePolicy policy(QSizePolicy::Expanding, QSizePolicy::Preferred);
        policy.setHeightForWidth(true);
        setSizePolicy(policy);
        QStringList texts;
        for (const Badge& badge : badges)
            texts << badge.text;
        setAccessibleName(texts.join(QStringLiteral(", ")));
    }

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override {
        qreal bottom = 0;
        for (const QRectF& rect : ItemBadge::layout(m_badges, m_font, width))
            bottom = std::max(bottom, rect.bottom());
        return static_cast<int>(std::ceil(bottom));
    }
    QSize sizeHint() const override { return {240, heightForWidth(240)}; }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QList<QRectF> rects = ItemBadge::layout(m_badges, m_font, width());
        for (qsizetype i = 0; i < rects.size() && i < m_badges.size(); ++i)
            ItemBadge::paint(painter, rects[i], m_badges[i], m_font, palette());
    }

private:
    QList<Badge> m_badges;
    QFont m_font;
};

QWidget* statView(const DetailRows::Stat& stat, QWidget* parent) {
    auto* view = new QWidget(parent);
    auto* layout = new QVBoxLayout(view);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    auto* value = new QLabel(stat.value, view);
    value->setObjectName(QStringLiteral("detail.stat.") + stat.title);
    value->setFont(ScreenStyle::callout(parent->font()));
    layout->addWidget(value);
    layout->addWidget(
        ScreenStyle::secondaryLabel(stat.title, ScreenStyle::caption(parent->font()), view));
    return view;
}

QWidget* rowView(const DetailRows::Row& row, QWidget* parent) {
    auto* view = new QWidget(parent);
    view->setObjectName(QStringLiteral("detail.row.") + row.title);
    auto* grid = new QGridLayout(view);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setHorizontalSpacing(8);
    grid->setVerticalSpacing(2);
    grid->setColumnMinimumWidth(0, 76);
    grid->setColumnStretch(1, 1);
    QLabel* title = ScreenStyle::secondaryLabel(row.title, parent->font(), view);
    title->setWordWrap(false);
    grid->addWidget(title, 0, 0, Qt::AlignTop | Qt::AlignLeft);
    auto* value = new WrapLabel(row.value, parent->font(), view);
    value->setObjectName(QStringLiteral("value"));
    grid->addWidget(value, 0, 1);
    if (!row.isPath)
        return view;
    int line = 1;
    if (row.note) {
        auto* note = new WrapLabel(*row.note, ScreenStyle::caption(parent->font()), view);
        note->setObjectName(QStringLiteral("note"));
        note->setColor(ScreenStyle::secondary(parent->palette()));
        grid->addWidget(note, line++, 1);
    }
    auto* links = new QHBoxLayout;
    links->setSpacing(12);
    links->setContentsMargins(0, 0, 0, 0);
    const auto link = [view](const QString& text, const QString& name) {
        auto* button = new QPushButton(text, view);
        button->setObjectName(name);
        button->setFlat(true);
        button->setAutoDefault(false);
        button->setCursor(Qt::PointingHandCursor);
        button->setFont(ScreenStyle::caption(view->font()));
        QPalette palette = button->palette();
        palette.setColor(QPalette::ButtonText, palette.color(QPalette::Link));
        button->setPalette(palette);
        button->setStyleSheet(QStringLiteral("QPushButton { border: none; padding: 0; }"));
        return button;
    };
    const QString path = row.value;
    // Each row has its own pair of buttons: their accessible names say which
    // row they act on.
    //: %1 is a button's label, %2 the title of the row it acts on ("Executable")
    const auto actingOn = [&row](const QString& label) {
        return tr("%1: %2").arg(label, row.title);
    };
    const QString revealText = Hosts::current().words.revealInFileManager;
    QPushButton* reveal = link(revealText, QStringLiteral("reveal"));
    reveal->setAccessibleName(actingOn(revealText));
    QObject::connect(reveal, &QPushButton::clicked, view, [path] { FileManager::reveal(path); });
    links->addWidget(reveal);
    if (row.canOpen) {
        QPushButton* open = link(tr("Open"), QStringLiteral("open"));
        open->setAccessibleName(actingOn(tr("Open")));
        QObject::connect(open, &QPushButton::clicked, view, [path] { FileManager::open(path); });
        links->addWidget(open);
    }
    links->addStretch(1);
    grid->addLayout(links, line, 1);
    return view;
}

QString sessionAnswer(const SessionJob& job) {
    const QString kind = SessionJobs::kindText(job.kind);
    if (!SessionJobs::isUnit(job)) {
        if (job.hidden)
            return tr("No. Its autostart entry is hidden (Hidden=true).");
        if (job.switchedOff)
            return tr("No. Its autostart entry is switched off in the desktop's settings.");
        return tr("Yes, at login (autostart entry)");
    }
    if (job.maskFile)
        //: %1 is the kind of unit, such as systemd user service
        return tr("No. It is masked (%1).").arg(kind);
    if (job.startsAtLogin)
        //: %1 is the kind of unit, such as systemd user service
        return tr("Yes, at login (%1, enabled)").arg(kind);
    if (job.wantedBy.isEmpty())
        //: %1 is the kind of unit, such as systemd user service
        return tr("No. It starts only when another unit or a program asks for it (%1, static).")
            .arg(kind);
    //: %1 is the kind of unit, such as systemd user service
    return tr("No. It starts only when asked (%1, disabled).").arg(kind);
}

QString launchdAnswer(const BackgroundItem& item) {
    const LaunchJob& job = *item.job;
    if (item.state == BackgroundItem::State::disabled)
        return tr("No. Its plist is parked in the Disabled folder.");
    if (item.launchdStateUnknown)
        return tr("Unknown: launchd could not be read.");
    if (item.isDisabledInLaunchd)
        return tr("No. launchd has it disabled.");
    if (job.runAtLoad)
        return tr("Yes, at login (launchd job, RunAtLoad)");
    if (job.keepAlive)
        return tr("Yes, launchd keeps it running (KeepAlive)");
    if (Items::autoStarts(item))
        //: %1 is a schedule, such as Every 1h
        return tr("Yes, on its schedule (%1)").arg(Explanations::scheduleText(job));
    return tr("No. launchd starts it only when asked.");
}

// The unit or entry: its name, the files that define it, when a timer runs.
void addSessionRows(const SessionJob& job, QList<DetailRows::Row>& result) {
    const auto info = [&result](const QString& title, const QString& value) {
        result.append({title, value, false, std::nullopt, false});
    };
    if (!SessionJobs::isUnit(job)) {
        result.append({tr("Autostart entry"), job.file, true, std::nullopt, true});
        if (job.systemFile)
            result.append({tr("Overrides"), *job.systemFile, true, std::nullopt, true});
        return;
    }
    info(tr("Unit"), job.name);
    if (!job.file.isEmpty())
        result.append({tr("Unit file"), job.file, true, std::nullopt, true});
    for (const QString& dropIn : job.dropIns)
        result.append({tr("Drop-in"), dropIn, true, std::nullopt, true});
    if (job.maskFile)
        result.append({tr("Mask"), *job.maskFile, true, std::nullopt, false});
    if (job.kind == SessionJob::Kind::timer)
        info(tr("Runs"), SessionJobs::scheduleText(job));
    else if (job.restart != u"no")
        info(tr("Restart"), job.restart);
}

} // namespace

namespace DetailRows {

QString cpuText(std::optional<double> percent) {
    if (!percent)
        return QStringLiteral("—");
    return QLocale().toString(*percent, 'f', 1) + QStringLiteral(" %");
}

QList<Stat> stats(const BackgroundItem& item, Timestamp now) {
    if (item.state != BackgroundItem::State::running)
        return {};
    const std::optional<Timestamp> start =
        item.primary ? item.primary->startDate : std::optional<Timestamp>();
    return {
        {tr("Memory"), Explanations::memoryText(item.memory)},
        {tr("CPU"), cpuText(item.cpuPercent)},
        {tr("Uptime"), Explanations::uptimeText(start, now).value_or(QStringLiteral("—"))},
        {tr("Processes"), QLocale().toString(static_cast<qlonglong>(item.members.size()))},
    };
}

QString comeBackAnswer(const BackgroundItem& item) {
    if (item.sessionJob)
        return sessionAnswer(*item.sessionJob);
    if (item.isLoginItem)
        return tr("Yes: login item. Turn off in System Settings › General › Login Items.");
    if (item.launchLabel) {
        if (item.launchLabel->startsWith(QLatin1String("application.")))
            return tr("App launched via launchd. Check System Settings › General › Login Items.");
        return tr("launchd job without a plist in the usual folders.");
    }
    if (item.job)
        return launchdAnswer(item);
    return tr("No. It will not come back after a restart unless something starts it.");
}

QList<Row> rows(const BackgroundItem& item, const QString& home) {
    QList<Row> result;
    const auto info = [&result](const QString& title, const QString& value) {
        result.append({title, value, false, std::nullopt, false});
    };
    const bool running = item.state == BackgroundItem::State::running;

    const QString executable = Items::executablePath(item).value_or(QString());
    if (!executable.isEmpty())
        result.append({tr("Executable"), executable, true,
                       Explanations::locationText(executable, home, Hosts::current()), false});
    if (item.primary && item.primary->workingDirectory &&
        !item.primary->workingDirectory->isEmpty() &&
        *item.primary->workingDirectory != QLatin1String("/"))
        result.append({tr("Folder"), *item.primary->workingDirectory, true, std::nullopt, false});
    if (item.primary && item.primary->startDate)
        info(tr("Started"), startedText(*item.primary->startDate));
    if (running) {
        QString origin = Origins::originText(item.origin);
        if (item.origin.kind == Origin::Case::agentSession && item.origin.folder &&
            !item.origin.folder->isEmpty())
            origin = tr("%1 in %2").arg(origin, *item.origin.folder);
        info(tr("Origin"), origin);
    }
    if (item.ancestry.size() >= 2)
        info(tr("Parents"), item.ancestry.join(QStringLiteral(" › ")));
    if (item.job || item.launchLabel)
        info(tr("Label"), item.job ? item.job->label : *item.launchLabel);
    if (item.job) {
        const LaunchJob& job = *item.job;
        result.append({tr("Plist"), job.plistPath, true, std::nullopt, true});
        info(tr("Runs"), Explanations::scheduleText(job));
        info(tr("Keys"),
             tr("RunAtLoad %1 · KeepAlive %2")
                 .arg(job.runAtLoad ? tr("yes") : tr("no"), job.keepAlive ? tr("yes") : tr("no")));
        info(tr("Domain"), domainText(job.domain));
    }
    if (item.sessionJob)
        addSessionRows(*item.sessionJob, result);
    info(tr("Auto-start"), comeBackAnswer(item));
    if (item.lastExitStatus && *item.lastExitStatus != 0)
        info(tr("Last exit"), QString::number(*item.lastExitStatus));
    if (!item.ports.isEmpty()) {
        QStringList ports;
        for (int port : item.ports)
            ports << QString::number(port);
        info(tr("Ports"), ports.join(QStringLiteral(", ")));
    }
    if (item.primary) {
        const QString pid = QString::number(item.primary->pid);
        if (item.members.size() > 1)
            info(tr("PID"), tr("%1 + %2").arg(
                                pid, tr("%n helpers", static_cast<int>(item.members.size() - 1))));
        else
            info(tr("PID"), pid);
    }
    return result;
}

QList<ProcessLine> processLines(const BackgroundItem& item) {
    if (item.members.size() < 2)
        return {};
    QList<ProcSnapshot> members = item.members;
    std::stable_sort(members.begin(), members.end(),
                     [](const ProcSnapshot& a, const ProcSnapshot& b) {
                         return a.memory.value_or(0) > b.memory.value_or(0);
                     });
    QList<ProcessLine> lines;
    for (qsizetype i = 0; i < members.size() && i < shownProcesses; ++i) {
        const ProcSnapshot& member = members[i];
        lines.append({member.name, member.memory ? Explanations::memoryText(*member.memory)
                                                 : QStringLiteral("—")});
    }
    return lines;
}

std::optional<QString> moreProcessesText(const BackgroundItem& item) {
    if (item.members.size() <= shownProcesses)
        return std::nullopt;
    return QStringLiteral("+ ") +
           tr("%n more", static_cast<int>(item.members.size() - shownProcesses));
}

} // namespace DetailRows

DetailScreen::DetailScreen(AppModel* model, const QString& id, QWidget* parent)
    : QWidget(parent), m_model(model), m_id(id) {
    setObjectName(QStringLiteral("detail.screen"));
    setAutoFillBackground(true);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    auto* header = new QWidget(this);
    auto* headerLayout = new QHBoxLayout(header);
    headerLayout->setContentsMargins(16, 8, 16, 8);
    QPushButton* back = borderlessButton(QStringLiteral("chevron.left"), tr("Back"), header);
    back->setObjectName(QStringLiteral("detail.back"));
    back->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_BracketLeft));
    back->setToolTip(ScreenStyle::shortcutHint(back->text(), QKeySequence(Qt::Key_BracketLeft)));
    connect(back, &QPushButton::clicked, this, [this] {
        if (m_model)
            m_model->setScreen(AppModel::Screen::list());
    });
    headerLayout->addWidget(back);
    headerLayout->addStretch(1);
    m_copy = borderlessButton(QStringLiteral("doc.on.doc"), tr("Copy command"), header);
    m_copy->setObjectName(QStringLiteral("detail.copy"));
    m_copy->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_C));
    m_copy->setToolTip(
        ScreenStyle::shortcutHint(m_copy->text(), QKeySequence(Qt::SHIFT | Qt::Key_C)));
    // The action bar has a Copy command button too; this one is told apart.
    m_copy->setAccessibleName(tr("Copy command line"));
    connect(m_copy, &QPushButton::clicked, this, [this] {
        if (!m_item)
            return;
        const QString command = Items::commandLine(*m_item);
        if (command.isEmpty())
            return;
        auto* mime = new QMimeData;
        mime->setText(command);
        QGuiApplication::clipboard()->setMimeData(mime);
    });
    headerLayout->addWidget(m_copy);
    layout->addWidget(header);
    layout->addWidget(ScreenStyle::divider(this));

    m_bodyHolder = new QWidget(this);
    auto* bodyLayout = new QVBoxLayout(m_bodyHolder);
    bodyLayout->setContentsMargins(0, 0, 0, 0);
    bodyLayout->setSpacing(0);
    layout->addWidget(m_bodyHolder, 1);

    m_itemPage = new QWidget(m_bodyHolder);
    auto* pageLayout = new QVBoxLayout(m_itemPage);
    pageLayout->setContentsMargins(0, 0, 0, 0);
    pageLayout->setSpacing(0);
    m_scroll = new QScrollArea(m_itemPage);
    m_scroll->setObjectName(QStringLiteral("detail.scroll"));
    m_scroll->setWidgetResizable(true);
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_scroll->viewport()->setAutoFillBackground(false);
    pageLayout->addWidget(m_scroll, 1);
    pageLayout->addWidget(ScreenStyle::divider(m_itemPage));
    auto* barHolder = new QWidget(m_itemPage);
    auto* barLayout = new QVBoxLayout(barHolder);
    barLayout->setContentsMargins(12, 12, 12, 12);
    m_bar = new ActionBar(model, barHolder);
    barLayout->addWidget(m_bar);
    pageLayout->addWidget(barHolder);
    bodyLayout->addWidget(m_itemPage);
    m_itemPage->hide();

    connect(model, &AppModel::inventoryChanged, this, &DetailScreen::rebuild);
    connect(model, &AppModel::stoppedNamesChanged, this, &DetailScreen::rebuild);
    rebuild();
}

void DetailScreen::showBody(QWidget* body) {
    if (m_body == body)
        return;
    if (m_body && m_body != m_itemPage)
        m_body->deleteLater();
    if (m_body)
        m_body->hide();
    m_body = body;
    if (body != m_itemPage)
        m_bodyHolder->layout()->addWidget(body);
    body->show();
}

void DetailScreen::rebuild() {
    if (!m_model)
        return;
    const std::optional<BackgroundItem> item = m_model->item(m_id);
    const Timestamp now = m_model->inventory() ? m_model->inventory()->sampledAt : 0;
    m_copy->setVisible(item && !Items::commandLine(*item).isEmpty());

    if (item) {
        const bool changed = !m_item || *m_item != *item || m_shownAt != now;
        m_item = item;
        m_shownAt = now;
        m_bar->setItem(*item);
        if (changed || m_body != m_itemPage) {
            const int scrolled = m_scroll->verticalScrollBar()->value();
            QWidget* old = m_scroll->takeWidget();
            m_scroll->setWidget(content(*item, now));
            if (old)
                old->deleteLater();
            m_scroll->verticalScrollBar()->setValue(scrolled);
        }
        showBody(m_itemPage);
        return;
    }

    m_item.reset();
    const auto& stopped = m_model->stoppedNames();
    const QString identifier =
        stopped.count(m_id) ? QStringLiteral("detail.stopped") : QStringLiteral("detail.gone");
    if (m_body && m_body->objectName() == identifier)
        return;
    if (const auto name = stopped.find(m_id); name != stopped.end())
        showBody(placeholder(tr("%1 stopped").arg(name->second),
                             QStringLiteral("checkmark.circle.fill"),
                             tr("It is no longer running."), identifier));
    else
        showBody(placeholder(tr("No longer running"), QStringLiteral("checkmark.circle"),
                             tr("This item stopped or went away."), identifier));
}

QWidget* DetailScreen::placeholder(const QString& title, const QString& symbol,
                                   const QString& description, const QString& identifier) {
    auto* page = new QWidget(m_bodyHolder);
    page->setObjectName(identifier);
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(24, 24, 24, 24);
    layout->setSpacing(8);
    layout->addStretch(1);
    QLabel* icon = ScreenStyle::symbolLabel(symbol, ScreenStyle::secondary(palette()), 40, page);
    layout->addWidget(icon, 0, Qt::AlignHCenter);
    auto* titleLabel = new QLabel(title, page);
    titleLabel->setObjectName(QStringLiteral("title"));
    titleLabel->setFont(ScreenStyle::title3(font()));
    titleLabel->setAlignment(Qt::AlignHCenter);
    titleLabel->setWordWrap(true);
    layout->addWidget(titleLabel);
    QLabel* text = ScreenStyle::secondaryLabel(description, ScreenStyle::callout(font()), page);
    text->setObjectName(QStringLiteral("description"));
    text->setAlignment(Qt::AlignHCenter);
    layout->addWidget(text);
    layout->addStretch(1);
    return page;
}

QWidget* DetailScreen::content(const BackgroundItem& item, Timestamp now) {
    auto* body = new QWidget;
    body->setObjectName(QStringLiteral("detail.content"));
    auto* layout = new QVBoxLayout(body);
    layout->setContentsMargins(16, 12, 16, 12);
    layout->setSpacing(12);
    const QFont base = font();

    // Name block.
    auto* nameBlock = new QHBoxLayout;
    nameBlock->setSpacing(10);
    nameBlock->addWidget(new IconView(item, body), 0, Qt::AlignTop);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(4);
    auto* name = new QLabel(item.name, body);
    name->setObjectName(QStringLiteral("detail.name"));
    name->setFont(ScreenStyle::title3(base));
    name->setWordWrap(true);
    name->setTextInteractionFlags(Qt::TextSelectableByMouse);
    texts->addWidget(name);
    if (!item.explanation.isEmpty()) {
        QLabel* explanation =
            ScreenStyle::secondaryLabel(item.explanation, ScreenStyle::callout(base), body);
        explanation->setObjectName(QStringLiteral("detail.explanation"));
        texts->addWidget(explanation);
    }
    const QList<Badge> badges = ItemPresentation::badges(item, false);
    if (!badges.isEmpty())
        texts->addWidget(new BadgeRow(badges, body));
    nameBlock->addLayout(texts, 1);
    layout->addLayout(nameBlock);

    // Safety line.
    const Uid uid = m_model ? m_model->currentUid() : 0;
    if (const std::optional<SafetyNote> note = Items::safetyNote(item, uid)) {
        layout->addWidget(ScreenStyle::symbolLine(
            note->isWarning ? QStringLiteral("exclamationmark.triangle.fill")
                            : QStringLiteral("checkmark.shield.fill"),
            note->isWarning ? ScreenStyle::orange(palette()) : ScreenStyle::secondary(palette()),
            note->text, ScreenStyle::callout(base), body, QStringLiteral("detail.safety")));
    }

    // Figures.
    const QList<DetailRows::Stat> stats = DetailRows::stats(item, now);
    if (!stats.isEmpty()) {
        auto* figures = new QHBoxLayout;
        figures->setSpacing(16);
        for (const DetailRows::Stat& stat : stats)
            figures->addWidget(statView(stat, body));
        figures->addStretch(1);
        layout->addLayout(figures);
    }

    // Command box.
    const QString command = Items::commandLine(item);
    if (!command.isEmpty()) {
        auto* box = new QFrame(body);
        box->setObjectName(QStringLiteral("detail.command"));
        box->setAutoFillBackground(true);
        QPalette palette = box->palette();
        QColor fill = palette.color(QPalette::Text);
        fill.setAlphaF(0.06f);
        palette.setColor(
            QPalette::Window,
            QColor::fromRgbF(palette.color(QPalette::Window).redF() * (1 - fill.alphaF()) +
                                 fill.redF() * fill.alphaF(),
                             palette.color(QPalette::Window).greenF() * (1 - fill.alphaF()) +
                                 fill.greenF() * fill.alphaF(),
                             palette.color(QPalette::Window).blueF() * (1 - fill.alphaF()) +
                                 fill.blueF() * fill.alphaF()));
        box->setPalette(palette);
        box->setAccessibleName(tr("Command: %1").arg(command));
        auto* boxLayout = new QVBoxLayout(box);
        boxLayout->setContentsMargins(8, 8, 8, 8);
        auto* text = new WrapLabel(command, ScreenStyle::monospacedCaption(base), box);
        text->setObjectName(QStringLiteral("detail.command.text"));
        boxLayout->addWidget(text);
        layout->addWidget(box);
    }

    // Information rows.
    auto* rows = new QVBoxLayout;
    rows->setSpacing(8);
    for (const DetailRows::Row& row : DetailRows::rows(item, QDir::homePath()))
        rows->addWidget(rowView(row, body));
    layout->addLayout(rows);

    // Processes.
    const QList<DetailRows::ProcessLine> lines = DetailRows::processLines(item);
    if (!lines.isEmpty()) {
        auto* list = new QWidget(body);
        list->setObjectName(QStringLiteral("detail.processes"));
        auto* listLayout = new QVBoxLayout(list);
        listLayout->setContentsMargins(0, 4, 0, 0);
        listLayout->setSpacing(2);
        QFont heading = ScreenStyle::smallCaption(base);
        heading.setWeight(QFont::Medium);
        heading.setLetterSpacing(QFont::AbsoluteSpacing, 1);
        listLayout->addWidget(ScreenStyle::secondaryLabel(tr("Processes"), heading, list));
        for (const DetailRows::ProcessLine& line : lines) {
            auto* row = new QHBoxLayout;
            auto* processName = new MiddleElidedLabel(line.name, list);
            processName->setObjectName(QStringLiteral("process"));
            row->addWidget(processName, 1);
            QLabel* memory = ScreenStyle::secondaryLabel(line.memory, base, list);
            memory->setWordWrap(false);
            row->addWidget(memory);
            listLayout->addLayout(row);
        }
        if (const std::optional<QString> more = DetailRows::moreProcessesText(item)) {
            QLabel* moreLabel =
                ScreenStyle::secondaryLabel(*more, ScreenStyle::caption(base), list);
            moreLabel->setObjectName(QStringLiteral("detail.more"));
            listLayout->addWidget(moreLabel);
        }
        layout->addWidget(list);
    }
    layout->addStretch(1);
    return body;
}
