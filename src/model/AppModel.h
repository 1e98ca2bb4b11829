#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <qcoro/qcorotask.h>

#include "actions/ActionError.h"
#include "actions/JobActions.h"
#include "actions/ProcessTarget.h"
#include "actions/SessionActions.h"
#include "inventory/BackgroundItem.h"
#include "model/AppSettings.h"
#include "model/LaunchAtLogin.h"
#include "os/CommandRunner.h"
#include "sampling/Sampler.h"

// Everything outside the program the app model touches; real by default.
struct AppModelEnvironment {
    Sampler::Environment sampler;
    JobActions::Context actions = JobActions::Context::standard();
    std::function<std::unique_ptr<AppSettings>()> settings = [] {
        return std::make_unique<AppSettings>();
    };
    LaunchAtLogin::Entry loginEntry = LaunchAtLogin::Entry::standard();
    std::chrono::milliseconds backgroundInterval = std::chrono::seconds(600);
};

// The one state object of window mode, confined to the main thread. It owns
// the sampler and the current inventory, the user's settings, the panel's
// refresh loop and the background count, and performs the item operations.
// Every field is a property whose change signal fires only when it changes.
// Making one installs the English singular forms of the count texts.
class AppModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isLoading READ isLoading NOTIFY isLoadingChanged)
    Q_PROPERTY(QString search READ search WRITE setSearch NOTIFY searchChanged)
    Q_PROPERTY(bool showApple READ showApple WRITE setShowApple NOTIFY showAppleChanged)
    Q_PROPERTY(bool showCount READ showCount WRITE setShowCount NOTIFY showCountChanged)
    Q_PROPERTY(
        int refreshSeconds READ refreshSeconds WRITE setRefreshSeconds NOTIFY refreshSecondsChanged)
    Q_PROPERTY(bool keepCountFresh READ keepCountFresh WRITE setKeepCountFresh NOTIFY
                   keepCountFreshChanged)
    Q_PROPERTY(bool isPanelOpen READ isPanelOpen NOTIFY isPanelOpenChanged)
    Q_PROPERTY(bool launchAtLogin READ launchAtLogin NOTIFY launchAtLoginChanged)
    Q_PROPERTY(
        bool isCheckingLoginItems READ isCheckingLoginItems NOTIFY isCheckingLoginItemsChanged)
    Q_PROPERTY(int menuBarCount READ menuBarCount NOTIFY inventoryChanged)

public:
    enum class Filter { all, autoStart, devServers, apps };
    enum class Sort { memory, cpu, uptime, name };

    struct Screen {
        enum class Kind { detail, list, settings };
        Kind kind = Kind::list;
        QString id; // the item shown by a detail screen

        bool operator==(const Screen&) const = default;

        static Screen list() { return {Kind::list, {}}; }
        static Screen settings() { return {Kind::settings, {}}; }
        static Screen detail(const QString& id) { return {Kind::detail, id}; }
    };

    // The result of stop and force quit: the processes still alive, or why it failed.
    struct StopOutcome {
        QList<ProcessTarget> survivors;
        ActionResult error;
    };

    using Environment = AppModelEnvironment;

    explicit AppModel(QObject* parent = nullptr);
    explicit AppModel(Environment environment, QObject* parent = nullptr);
    ~AppModel() override;

    // Raw values double as the labels the list screen shows.
    static QString filterText(Filter filter);
    static std::optional<Filter> filterFromText(const QString& text);
    static QString sortText(Sort sort);
    static std::optional<Sort> sortFromText(const QString& text);

    const std::optional<Inventory>& inventory() const { return m_inventory; }
    bool isLoading() const { return m_isLoading; }
    const std::map<QString, QString>& stoppedNames() const { return m_stoppedNames; }
    QString search() const { return m_search; }
    Filter filter() const { return m_filter; }
    Sort sort() const { return m_sort; }
    Screen screen() const { return m_screen; }
    bool showApple() const { return m_showApple; }
    bool showCount() const { return m_showCount; }
    int refreshSeconds() const { return m_refreshSeconds; }
    bool keepCountFresh() const { return m_keepCountFresh; }
    bool hasBackgroundCount() const { return m_backgroundCount != nullptr; }
    bool isPanelOpen() const { return m_isPanelOpen; }
    bool launchAtLogin() const { return m_launchAtLogin; }
    std::optional<QString> launchAtLoginError() const { return m_launchAtLoginError; }
    std::optional<QDateTime> loginItemsCheckedAt() const { return m_loginItemsCheckedAt; }
    std::optional<QString> loginItemsMessage() const { return m_loginItemsMessage; }
    bool isCheckingLoginItems() const { return m_isCheckingLoginItems; }
    Sampler& sampler() { return *m_sampler; }
    // The user the item operations act for.
    Uid currentUid() const { return m_environment.actions.uid; }

    void setSearch(const QString& search);
    void setFilter(Filter filter);
    void setSort(Sort sort);
    void setScreen(const Screen& screen);
    void setShowApple(bool value);
    void setShowCount(bool value);
    void setRefreshSeconds(int value);
    void setKeepCountFresh(bool value);

    // A quiet note for the list when the last pass could not read a source,
    // naming each with its reason; none when everything was read.
    std::optional<QString> sourceNote() const;

    // Running items that are not Apple's; 0 without an inventory.
    int menuBarCount() const;
    QList<BackgroundItem> visibleRunning() const;
    QList<BackgroundItem> visibleNotRunning() const;
    bool matches(const BackgroundItem& item) const;
    std::optional<BackgroundItem> item(const QString& id) const;

    // One sampling pass; only the list's Refresh button shows loading.
    QCoro::Task<> refresh(bool showLoading);

    // The panel loop: a pass at once, then one every refreshSeconds until
    // stopPanelLoop(); then the caches are dropped and memory returned.
    QCoro::Task<> runWhileOpen();
    void stopPanelLoop();

    // The low-priority pass that keeps the count fresh while the panel is closed.
    void startBackgroundCount();
    // One run of the background count, as its timer does it.
    QCoro::Task<> runBackgroundCount();

    QCoro::Task<StopOutcome> stop(BackgroundItem item);
    QCoro::Task<StopOutcome> forceQuit(QList<ProcessTarget> targets, BackgroundItem item);
    QCoro::Task<ActionResult> disable(BackgroundItem item);
    QCoro::Task<ActionResult> enable(BackgroundItem item);
    QCoro::Task<ActionResult> load(BackgroundItem item);
    QCoro::Task<ActionResult> enableInLaunchd(BackgroundItem item);

    // Where the system has no launchd there are no login items to read: the
    // check does nothing and leaves every login-items field as it was.
    QCoro::Task<> checkLoginItems();
    void setLaunchAtLogin(bool enabled);

    // Replaces the inventory as a completed pass would; for the window's tests.
    void setInventoryForTesting(Inventory inventory) { setInventory(std::move(inventory)); }

Q_SIGNALS:
    void inventoryChanged();
    void isLoadingChanged();
    void stoppedNamesChanged();
    void searchChanged();
    void filterChanged();
    void sortChanged();
    void screenChanged();
    void showAppleChanged();
    void showCountChanged();
    void refreshSecondsChanged();
    void keepCountFreshChanged();
    void backgroundCountChanged();
    void isPanelOpenChanged();
    void launchAtLoginChanged();
    void launchAtLoginErrorChanged();
    void loginItemsCheckedAtChanged();
    void loginItemsMessageChanged();
    void isCheckingLoginItemsChanged();
    // Ends the panel loop's sleep early.
    void panelLoopWake();

private:
    QCoro::Task<> reloadAfterAction();
    QCoro::Task<ActionResult> runAction(std::function<ActionResult()> action);
    // Disables or re-enables a unit or an autostart entry, then shows it.
    QCoro::Task<ActionResult> changeSessionJob(BackgroundItem item, bool disabling);
    SessionActions::Context sessionContext() const;
    void setInventory(Inventory inventory);
    void setIsLoading(bool value);
    void setIsPanelOpen(bool value);
    void setIsCheckingLoginItems(bool value);
    void setLoginItemsMessage(const std::optional<QString>& message);
    void recordStopped(const BackgroundItem& item);
    bool passesFilter(const BackgroundItem& item) const;

    Environment m_environment;
    std::unique_ptr<AppSettings> m_settings;

    std::optional<Inventory> m_inventory;
    bool m_isLoading = false;
    std::map<QString, QString> m_stoppedNames;
    QString m_search;
    Filter m_filter = Filter::all;
    Sort m_sort = Sort::memory;
    Screen m_screen;
    bool m_showApple = false;
    bool m_showCount = true;
    int m_refreshSeconds = 4;
    bool m_keepCountFresh = true;
    QTimer* m_backgroundCount = nullptr;
    bool m_isPanelOpen = false;
    bool m_launchAtLogin = false;
    std::optional<QString> m_launchAtLoginError;
    std::unique_ptr<Sampler> m_sampler;
    std::optional<QDateTime> m_loginItemsCheckedAt;
    std::optional<QString> m_loginItemsMessage;
    bool m_isCheckingLoginItems = false;

    // Ends the login-items tool when the model goes, so that quitting never
    // waits out a password prompt.
    std::shared_ptr<CommandRunner::Stop> m_toolStop = std::make_shared<CommandRunner::Stop>();

    // Each panel loop runs while it is the active one; 0 means stopped.
    quint64 m_panelLoopCounter = 0;
    quint64 m_activePanelLoop = 0;
    QPointer<QTimer> m_panelSleep;
};
