#include "window/SettingsScreen.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QMimeData>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

#include "model/AppModel.h"
#include "os/HostRules.h"
#include "window/ScreenStyle.h"

namespace {

QString tr(const char* text, int n = -1) {
    return QCoreApplication::translate("SettingsScreen", text, nullptr, n);
}

constexpr int refreshChoices[] = {3, 4, 5, 10};

// One grouped section: an optional title above a rounded box of rows, and an
// optional footer below.
struct Section {
    QWidget* widget = nullptr;
    QVBoxLayout* rows = nullptr;
};

Section section(const QString& title, QWidget* parent) {
    Section result;
    result.widget = new QWidget(parent);
    auto* outer = new QVBoxLayout(result.widget);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(4);
    if (!title.isEmpty()) {
        QFont font = ScreenStyle::caption(parent->font());
        font.setWeight(QFont::Medium);
        QLabel* label = ScreenStyle::secondaryLabel(title, font, result.widget);
        label->setContentsMargins(8, 0, 8, 0);
        outer->addWidget(label);
    }
    auto* box = new QFrame(result.widget);
    box->setObjectName(QStringLiteral("settings.group"));
    QColor fill = parent->palette().color(QPalette::Text);
    fill.setAlphaF(0.05f);
    box->setStyleSheet(QStringLiteral("QFrame#settings\\.group { background: rgba(%1, %2, %3, %4); "
                                      "border-radius: 8px; }")
                           .arg(fill.red())
                           .arg(fill.green())
                           .arg(fill.blue())
                           .arg(fill.alphaF()));
    result.rows = new QVBoxLayout(box);
    result.rows->setContentsMargins(12, 10, 12, 10);
    result.rows->setSpacing(8);
    outer->addWidget(box);
    return result;
}

void footer(const QString& text, Section& into) {
    QLabel* label =
        ScreenStyle::secondaryLabel(text, ScreenStyle::caption(into.widget->font()), into.widget);
    label->setContentsMargins(8, 0, 8, 0);
    into.widget->layout()->addWidget(label);
}

QCheckBox* toggle(const QString& text, const QString& identifier, QWidget* parent) {
    auto* box = new QCheckBox(text, parent);
    box->setObjectName(identifier);
    return box;
}

QPushButton* button(const QString& text, const QString& identifier, QWidget* parent) {
    auto* result = new QPushButton(text, parent);
    result->setObjectName(identifier);
    result->setAutoDefault(false);
    return result;
}

} // namespace

namespace SettingsText {

QString reportCommand(const QString& executablePath) {
    QString quoted = executablePath;
    quoted.replace(QLatin1Char('\''), QLatin1String("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1String("' --json");
}

QString lastChecked(const std::optional<QDateTime>& checkedAt, const QDateTime& now) {
    if (!checkedAt)
        return tr("Never");
    const qint64 seconds = checkedAt->secsTo(now);
    if (seconds < 60)
        return tr("now");
    if (seconds < 3600)
        return tr("%n minutes ago", static_cast<int>(seconds / 60));
    const qint64 days = checkedAt->toLocalTime().date().daysTo(now.toLocalTime().date());
    if (seconds < 86400 && days == 0)
        return tr("%n hours ago", static_cast<int>(seconds / 3600));
    if (days <= 1)
        return tr("yesterday");
    if (days < 7)
        return tr("%n days ago", static_cast<int>(days));
    if (days < 14)
        return tr("last week");
    if (days < 31)
        return tr("%n weeks ago", static_cast<int>(days / 7));
    if (days < 62)
        return tr("last month");
    if (days < 365)
        return tr("%n months ago", static_cast<int>(days / 30));
    if (days < 730)
        return tr("last year");
    return tr("%n years ago", static_cast<int>(days / 365));
}

} // namespace SettingsText

SettingsScreen::Environment SettingsScreen::Environment::standard() {
    QString path = QCoreApplication::applicationFilePath();
    if (path.isEmpty())
        path = QStringLiteral("/Applications/Quillmarsh.app/Contents/MacOS/Quillmarsh");
    return {path, QUrl(QString::fromLatin1(Updates::manifestAddress)), Updates::currentVersion()};
}

SettingsScreen::SettingsScreen(AppModel* model, QWidget* parent)
    : SettingsScreen(model, Environment::standard(), parent) {}

SettingsScreen::SettingsScreen(AppModel* model, Environment environment, QWidget* parent)
    : QWidget(parent), m_model(model), m_environment(std::move(environment)) {
    setObjectName(QStringLiteral("settings.screen"));
    setAutoFillBackground(true);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    // Title bar: Back, the centred title, and an invisible twin of Back.
    auto* titleBar = new QWidget(this);
    auto* titleLayout = new QHBoxLayout(titleBar);
    titleLayout->setContentsMargins(16, 8, 16, 8);
    auto* back =
        new QPushButton(ScreenStyle::symbol(QStringLiteral("chevron.left")), tr("Back"), titleBar);
    back->setObjectName(QStringLiteral("settings.back"));
    back->setFlat(true);
    back->setAutoDefault(false);
    connect(back, &QPushButton::clicked, this, [this] {
        if (m_model && m_model->screen() != AppModel::Screen::list())
            m_model->setScreen(AppModel::Screen::list());
    });
    titleLayout->addWidget(back);
    titleLayout->addStretch(1);
    auto* title = new QLabel(tr("Settings"), titleBar);
    title->setObjectName(QStringLiteral("settings.title"));
    title->setFont(ScreenStyle::headline(font()));
    titleLayout->addWidget(title);
    titleLayout->addStretch(1);
    auto* twin = new QWidget(titleBar);
    twin->setFixedSize(back->sizeHint());
    titleLayout->addWidget(twin);
    layout->addWidget(titleBar);
    layout->addWidget(ScreenStyle::divider(this));

    auto* scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto* form = new QWidget;
    form->setObjectName(QStringLiteral("settings.form"));
    auto* formLayout = new QVBoxLayout(form);
    formLayout->setContentsMargins(16, 12, 16, 16);
    formLayout->setSpacing(16);
    const QFont small = ScreenStyle::caption(font());

    // Section 1: the settings.
    Section general = section({}, form);
    m_launchAtLogin = toggle(tr("Launch at login"), QStringLiteral("settings.launchAtLogin"), form);
    general.rows->addWidget(m_launchAtLogin);
    m_launchAtLoginError = new QLabel(form);
    m_launchAtLoginError->setObjectName(QStringLiteral("settings.launchAtLoginError"));
    m_launchAtLoginError->setFont(small);
    m_launchAtLoginError->setWordWrap(true);
    QPalette red = m_launchAtLoginError->palette();
    red.setColor(QPalette::WindowText, ScreenStyle::red(palette()));
    m_launchAtLoginError->setPalette(red);
    general.rows->addWidget(m_launchAtLoginError);
    const HostRules& host = Hosts::current();
    m_showCount = toggle(host.words.showCount, QStringLiteral("settings.showCount"), form);
    general.rows->addWidget(m_showCount);
    m_keepCountFresh =
        toggle(tr("Update count every 10 min"), QStringLiteral("settings.keepCountFresh"), form);
    general.rows->addWidget(m_keepCountFresh);
    m_showApple =
        toggle(host.words.showSystemProcesses, QStringLiteral("settings.showApple"), form);
    general.rows->addWidget(m_showApple);
    auto* refreshRow = new QHBoxLayout;
    auto* refreshLabel = new QLabel(tr("Refresh while open"), form);
    refreshRow->addWidget(refreshLabel, 1);
    m_refresh = new QComboBox(form);
    m_refresh->setObjectName(QStringLiteral("settings.refreshSeconds"));
    refreshLabel->setBuddy(m_refresh);
    m_refresh->setAccessibleName(refreshLabel->text());
    for (int seconds : refreshChoices)
        m_refresh->addItem(tr("%1 s").arg(seconds), seconds);
    refreshRow->addWidget(m_refresh);
    general.rows->addLayout(refreshRow);
    footer(tr("While this panel is open, Quillmarsh refreshes every few seconds. Closed, it only "
              "updates the count about every 10 min (about 0.1 s of CPU), or never if that is "
              "off."),
           general);
    formLayout->addWidget(general.widget);

    // Section 2: login items, which only launchd keeps.
    Section login = section(tr("Login items"), form);
    login.widget->setObjectName(QStringLiteral("settings.loginItems"));
    login.widget->setVisible(host.hasLaunchd);
    auto* checkedRow = new QHBoxLayout;
    checkedRow->addWidget(new QLabel(tr("Last checked"), form), 1);
    m_lastChecked = new QLabel(form);
    m_lastChecked->setObjectName(QStringLiteral("settings.lastChecked"));
    checkedRow->addWidget(m_lastChecked);
    login.rows->addLayout(checkedRow);
    m_checkLoginItems =
        button(tr("Check login items…"), QStringLiteral("settings.checkLoginItems"), form);
    login.rows->addWidget(m_checkLoginItems, 0, Qt::AlignLeft);
    m_loginItemsMessage = ScreenStyle::secondaryLabel({}, small, form);
    m_loginItemsMessage->setObjectName(QStringLiteral("settings.loginItemsMessage"));
    login.rows->addWidget(m_loginItemsMessage);
    footer(tr("macOS asks for an administrator password to read login items, so Quillmarsh reads "
              "them only when you press this. The result is saved for badges and --json."),
           login);
    formLayout->addWidget(login.widget);

    // Section 3: the report command.
    Section scripts = section(tr("For scripts and agents"), form);
    const QString command = SettingsText::reportCommand(m_environment.executablePath);
    auto* commandLabel = new QLabel(command, form);
    commandLabel->setObjectName(QStringLiteral("settings.reportCommand"));
    commandLabel->setFont(ScreenStyle::monospacedCaption(font()));
    commandLabel->setWordWrap(true);
    commandLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    scripts.rows->addWidget(commandLabel);
    scripts.rows->addWidget(ScreenStyle::secondaryLabel(host.words.reportCommandNote, small, form));
    QPushButton* copy = button(tr("Copy command"), QStringLiteral("settings.copyCommand"), form);
    copy->setAccessibleName(tr("Copy report command"));
    connect(copy, &QPushButton::clicked, this, [command] {
        QClipboard* clipboard = QGuiApplication::clipboard();
        clipboard->clear();
        auto* mime = new QMimeData;
        mime->setText(command);
        clipboard->setMimeData(mime);
    });
    scripts.rows->addWidget(copy, 0, Qt::AlignLeft);
    formLayout->addWidget(scripts.widget);

    // Section 4: updates and Quit.
    Section app = section({}, form);
    m_checkUpdates = button(tr("Check for updates"), QStringLiteral("settings.checkUpdates"), form);
    app.rows->addWidget(m_checkUpdates, 0, Qt::AlignLeft);
    m_updateRow = new QWidget(form);
    auto* updateLayout = new QHBoxLayout(m_updateRow);
    updateLayout->setContentsMargins(0, 0, 0, 0);
    m_updateMessage = ScreenStyle::secondaryLabel({}, small, m_updateRow);
    m_updateMessage->setObjectName(QStringLiteral("settings.updateMessage"));
    updateLayout->addWidget(m_updateMessage, 1);
    m_download = new QPushButton(tr("Download"), m_updateRow);
    m_download->setObjectName(QStringLiteral("settings.download"));
    m_download->setFlat(true);
    m_download->setAutoDefault(false);
    m_download->setFont(small);
    m_download->setCursor(Qt::PointingHandCursor);
    m_download->setStyleSheet(QStringLiteral("QPushButton { border: none; padding: 0; }"));
    QPalette link = m_download->palette();
    link.setColor(QPalette::ButtonText, link.color(QPalette::Link));
    m_download->setPalette(link);
    updateLayout->addWidget(m_download);
    app.rows->addWidget(m_updateRow);
    m_updateRow->hide();
    QPushButton* quit = button(tr("Quit Quillmarsh"), QStringLiteral("settings.quit"), form);
    app.rows->addWidget(quit, 0, Qt::AlignLeft);
    formLayout->addWidget(app.widget);
    formLayout->addStretch(1);
    scroll->setWidget(form);
    layout->addWidget(scroll, 1);

    // Changes the user makes go to the model; the model's state comes back
    // through sync(), so a refused change shows the real state.
    connect(m_launchAtLogin, &QCheckBox::clicked, this, [this](bool checked) {
        if (m_model)
            m_model->setLaunchAtLogin(checked);
        sync();
    });
    connect(m_showCount, &QCheckBox::clicked, this, [this](bool checked) {
        if (m_model)
            m_model->setShowCount(checked);
        sync();
    });
    connect(m_keepCountFresh, &QCheckBox::clicked, this, [this](bool checked) {
        if (m_model)
            m_model->setKeepCountFresh(checked);
        sync();
    });
    connect(m_showApple, &QCheckBox::clicked, this, [this](bool checked) {
        if (m_model)
            m_model->setShowApple(checked);
        sync();
    });
    connect(m_refresh, &QComboBox::activated, this, [this](int index) {
        if (m_model && index >= 0)
            m_model->setRefreshSeconds(m_refresh->itemData(index).toInt());
        sync();
    });
    connect(m_checkLoginItems, &QPushButton::clicked, this, [this] {
        if (m_model && !m_model->isCheckingLoginItems())
            m_model->checkLoginItems();
    });
    connect(m_checkUpdates, &QPushButton::clicked, this, [this] { checkForUpdates(); });
    connect(m_download, &QPushButton::clicked, this, [this] {
        if (m_update && m_update->download)
            QDesktopServices::openUrl(*m_update->download);
    });
    connect(quit, &QPushButton::clicked, this, [] { QCoreApplication::quit(); });

    for (auto signal : {&AppModel::launchAtLoginChanged, &AppModel::launchAtLoginErrorChanged,
                        &AppModel::showCountChanged, &AppModel::keepCountFreshChanged,
                        &AppModel::showAppleChanged, &AppModel::refreshSecondsChanged,
                        &AppModel::loginItemsCheckedAtChanged, &AppModel::loginItemsMessageChanged,
                        &AppModel::isCheckingLoginItemsChanged})
        connect(model, signal, this, &SettingsScreen::sync);
    sync();
}

void SettingsScreen::sync() {
    if (!m_model)
        return;
    const QSignalBlocker blockLogin(m_launchAtLogin);
    const QSignalBlocker blockCount(m_showCount);
    const QSignalBlocker blockFresh(m_keepCountFresh);
    const QSignalBlocker blockApple(m_showApple);
    const QSignalBlocker blockRefresh(m_refresh);
    m_launchAtLogin->setChecked(m_model->launchAtLogin());
    const std::optional<QString> error = m_model->launchAtLoginError();
    m_launchAtLoginError->setText(error.value_or(QString()));
    m_launchAtLoginError->setVisible(error.has_value());
    m_showCount->setChecked(m_model->showCount());
    m_keepCountFresh->setChecked(m_model->keepCountFresh());
    m_keepCountFresh->setEnabled(m_model->showCount());
    m_showApple->setChecked(m_model->showApple());
    m_refresh->setCurrentIndex(m_refresh->findData(m_model->refreshSeconds()));

    m_lastChecked->setText(
        SettingsText::lastChecked(m_model->loginItemsCheckedAt(), QDateTime::currentDateTimeUtc()));
    const bool checking = m_model->isCheckingLoginItems();
    m_checkLoginItems->setText(checking ? tr("Checking…") : tr("Check login items…"));
    m_checkLoginItems->setEnabled(!checking);
    const std::optional<QString> message = m_model->loginItemsMessage();
    m_loginItemsMessage->setText(message.value_or(QString()));
    m_loginItemsMessage->setVisible(message.has_value());
}

void SettingsScreen::showUpdate() {
    m_checkUpdates->setText(m_isCheckingUpdate ? tr("Checking…") : tr("Check for updates"));
    m_checkUpdates->setEnabled(!m_isCheckingUpdate);
    m_updateRow->setVisible(m_update.has_value());
    m_updateMessage->setText(m_update ? m_update->message : QString());
    m_download->setVisible(m_update && m_update->download);
}

QCoro::Task<> SettingsScreen::checkForUpdates() {
    if (m_isCheckingUpdate)
        co_return;
    QPointer<SettingsScreen> self(this);
    m_isCheckingUpdate = true;
    showUpdate();
    const QString version =
        m_environment.version.isEmpty() ? QStringLiteral("0") : m_environment.version;
    Updates::Answer answer = co_await Updates::check(version, m_environment.manifest);
    // Left meanwhile: the answer is simply not shown.
    if (!self)
        co_return;
    m_update = std::move(answer);
    m_isCheckingUpdate = false;
    showUpdate();
    Q_EMIT updateChecked();
}
