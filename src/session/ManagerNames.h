#pragma once

#include <QDBusMessage>
#include <QString>
#include <QVariantList>

// Where the user's service manager answers on the session bus, and how a
// call to it is made.
namespace ManagerNames {

inline const QString service = QStringLiteral("org.freedesktop.systemd1");
inline const QString managerPath = QStringLiteral("/org/freedesktop/systemd1");
inline const QString managerInterface = QStringLiteral("org.freedesktop.systemd1.Manager");
inline const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");

// A call to the manager's object `path`; a missing manager is not to be
// started by the bus.
inline QDBusMessage call(const QString& path, const QString& interface, const QString& method,
                         const QVariantList& arguments = {}) {
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(arguments);
    message.setAutoStartService(false);
    return message;
}

} // namespace ManagerNames
