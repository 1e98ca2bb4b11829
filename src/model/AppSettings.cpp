#include "model/AppSettings.h"

#include "os/SettingsStore.h"

namespace {

const QString showAppleKey = QStringLiteral("showApple");
const QString showCountKey = QStringLiteral("showCount");
const QString refreshSecondsKey = QStringLiteral("refreshSeconds");
const QString keepCountFreshKey = QStringLiteral("keepCountFresh");
const QString loginItemsCheckedAtKey = QStringLiteral("loginItemsCheckedAt");
const QString loginItemsKey = QStringLiteral("loginItems");

constexpr int defaultRefreshSeconds = 4;

} // namespace

AppSettings::AppSettings() : AppSettings(SettingsStore::open()) {}

AppSettings::AppSettings(std::unique_ptr<QSettings> store) : m_store(std::move(store)) {}

std::optional<bool> AppSettings::readBool(const QString& key) const {
    const QVariant value = m_store->value(key);
    if (value.typeId() == QMetaType::Bool)
        return value.toBool();
    if (value.typeId() == QMetaType::QString) {
        const QString text = value.toString();
        if (text == QStringLiteral("true"))
            return true;
        if (text == QStringLiteral("false"))
            return false;
    }
    return std::nullopt;
}

std::optional<qint64> AppSettings::readInteger(const QString& key) const {
    const QVariant value = m_store->value(key);
    switch (value.typeId()) {
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
    case QMetaType::ULongLong:
        return value.toLongLong();
    case QMetaType::QString: {
        bool ok = false;
        const qint64 number = value.toString().toLongLong(&ok);
        if (ok)
            return number;
        return std::nullopt;
    }
    default:
        return std::nullopt;
    }
}

bool AppSettings::showApple() const {
    return readBool(showAppleKey).value_or(false);
}

void AppSettings::setShowApple(bool value) {
    m_store->setValue(showAppleKey, value);
    m_store->sync();
}

bool AppSettings::showCount() const {
    return readBool(showCountKey).value_or(true);
}

void AppSettings::setShowCount(bool value) {
    m_store->setValue(showCountKey, value);
    m_store->sync();
}

int AppSettings::refreshSeconds() const {
    const std::optional<qint64> stored = readInteger(refreshSecondsKey);
    if (!stored)
        return defaultRefreshSeconds;
    return static_cast<int>(qBound(qint64{1}, *stored, qint64{24 * 60 * 60}));
}

void AppSettings::setRefreshSeconds(int value) {
    m_store->setValue(refreshSecondsKey, value);
    m_store->sync();
}

bool AppSettings::keepCountFresh() const {
    return readBool(keepCountFreshKey).value_or(true);
}

void AppSettings::setKeepCountFresh(bool value) {
    m_store->setValue(keepCountFreshKey, value);
    m_store->sync();
}

std::optional<QDateTime> AppSettings::loginItemsCheckedAt() const {
    const QVariant value = m_store->value(loginItemsCheckedAtKey);
    if (value.typeId() == QMetaType::QDateTime && value.toDateTime().isValid())
        return value.toDateTime();
    return std::nullopt;
}

void AppSettings::setLoginItemsCheckedAt(const QDateTime& value) {
    m_store->setValue(loginItemsCheckedAtKey, value);
    m_store->sync();
}

std::optional<QByteArray> AppSettings::loginItems() const {
    const QVariant value = m_store->value(loginItemsKey);
    if (value.typeId() == QMetaType::QByteArray)
        return value.toByteArray();
    return std::nullopt;
}

void AppSettings::setLoginItems(const std::optional<QByteArray>& json) {
    if (json)
        m_store->setValue(loginItemsKey, *json);
    else
        m_store->remove(loginItemsKey);
    m_store->sync();
}
