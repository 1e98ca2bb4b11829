#pragma once

#include <memory>
#include <optional>

#include <QByteArray>
#include <QDateTime>
#include <QSettings>
#include <QString>

// The user's settings, each key declared once with its type and default, over
// one QSettings store. A stored value of the wrong type counts as absent. The
// INI store on Linux hands booleans and integers back as text after a
// restart, so their text forms are accepted too.
class AppSettings {
public:
    // The program's own store.
    AppSettings();
    // A store at an explicit location, for tests.
    explicit AppSettings(std::unique_ptr<QSettings> store);

    bool showApple() const;
    void setShowApple(bool value);

    bool showCount() const;
    void setShowCount(bool value);

    // At least 1: sampling back to back would keep a core busy.
    int refreshSeconds() const;
    void setRefreshSeconds(int value);

    bool keepCountFresh() const;
    void setKeepCountFresh(bool value);

    std::optional<QDateTime> loginItemsCheckedAt() const;
    void setLoginItemsCheckedAt(const QDateTime& value);

    // The JSON form of the last login items found, as the report reads it.
    std::optional<QByteArray> loginItems() const;
    void setLoginItems(const std::optional<QByteArray>& json);

    QSettings& store() { return *m_store; }

private:
    std::optional<bool> readBool(const QString& key) const;
    std::optional<qint64> readInteger(const QString& key) const;

    std::unique_ptr<QSettings> m_store;
};
