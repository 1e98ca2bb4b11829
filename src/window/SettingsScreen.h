#pragma once

#include <optional>

#include <QDateTime>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <QWidget>

#include <qcoro/qcorotask.h>

#include "window/Updates.h"

class AppModel;
class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;

namespace SettingsText {

// The command that prints the inventory as JSON: the executable in single
// quotes, then --json. A quote inside the path is written '\'' so a shell
// still reads the path whole.
QString reportCommand(const QString& executablePath);

// When the login items were last read, in words relative to `now`
// ("yesterday", "3 hours ago"), or "Never".
QString lastChecked(const std::optional<QDateTime>& checkedAt, const QDateTime& now);

} // namespace SettingsText

// The settings, the login-items check, the report command for scripts, the
// update check and Quit. Every change takes effect at once.
class SettingsScreen : public QWidget {
    Q_OBJECT

public:
    // Everything outside the program the screen shows or asks; real by default.
    struct Environment {
        QString executablePath;
        QUrl manifest;
        QString version;

        static Environment standard();
    };

    explicit SettingsScreen(AppModel* model, QWidget* parent = nullptr);
    SettingsScreen(AppModel* model, Environment environment, QWidget* parent = nullptr);

    const std::optional<Updates::Answer>& update() const { return m_update; }
    bool isCheckingUpdate() const { return m_isCheckingUpdate; }

Q_SIGNALS:
    void updateChecked();

private:
    void sync();
    QCoro::Task<> checkForUpdates();
    void showUpdate();

    QPointer<AppModel> m_model;
    Environment m_environment;
    std::optional<Updates::Answer> m_update;
    bool m_isCheckingUpdate = false;

    QCheckBox* m_launchAtLogin = nullptr;
    QLabel* m_launchAtLoginError = nullptr;
    QCheckBox* m_showCount = nullptr;
    QCheckBox* m_keepCountFresh = nullptr;
    QCheckBox* m_showApple = nullptr;
    QComboBox* m_refresh = nullptr;
    QLabel* m_lastChecked = nullptr;
    QPushButton* m_checkLoginItems = nullptr;
    QLabel* m_loginItemsMessage = nullptr;
    QPushButton* m_checkUpdates = nullptr;
    QWidget* m_updateRow = nullptr;
    QLabel* m_updateMessage = nullptr;
    QPushButton* m_download = nullptr;
};
