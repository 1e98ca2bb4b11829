#include "session/UserManager.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QFile>
#include <QFileInfo>
#include <QVariantMap>

#include "session/ManagerNames.h"

namespace UserManager {

namespace {

using namespace ManagerNames;
// ExecMainCode when the main process exited by itself (a signal gives 2 or 3).
constexpr int cldExited = 1;

QString tr(const char* text) {
    return QCoreApplication::translate("UserManager", text);
}

QDBusMessage blockingCall(const QDBusConnection& bus, const QDBusMessage& message) {
    // A blocking call on a bus whose daemon has gone aborts inside libdbus.
    if (!bus.isConnected())
        return message.createErrorReply(QDBusError::Disconnected, tr("no session bus"));
    return bus.call(message, QDBus::Block, callTimeoutMs);
}

// Why `reply` is not an answer of the D-Bus signature `signature`, for people.
std::optional<QString> failure(const QDBusMessage& reply, const QString& signature) {
    if (reply.type() == QDBusMessage::ErrorMessage &&
        reply.errorName() == u"org.freedesktop.DBus.Error.NoReply")
        return tr("no answer within %1 seconds").arg(callTimeoutMs / 1000);
    if (reply.type() == QDBusMessage::ErrorMessage)
        return reply.errorMessage().isEmpty() ? reply.errorName() : reply.errorMessage();
    if (reply.type() != QDBusMessage::ReplyMessage || reply.signature() != signature)
        return tr("an answer of an unexpected form");
    return std::nullopt;
}

// Sets `out` from `values[key]`; false when the value is there but not a T.
template <typename T> bool take(const QVariantMap& values, const char* key, T& out) {
    const auto it = values.find(QString::fromLatin1(key));
    if (it == values.end())
        return true;
    if (it->metaType() != QMetaType::fromType<T>())
        return false;
    out = it->template value<T>();
    return true;
}

// Reads MainPID, NRestarts and the exit status into `state`.
std::optional<QString> readService(const QDBusConnection& bus, const QString& path,
                                   UnitState& state) {
    const QDBusMessage reply =
        blockingCall(bus, ManagerNames::call(path, propertiesInterface, QStringLiteral("GetAll"),
                                             {QStringLiteral("org.freedesktop.systemd1.Service")}));
    if (auto problem = failure(reply, QStringLiteral("a{sv}")))
        return problem;
    const auto values = qdbus_cast<QVariantMap>(reply.arguments().constFirst());
    uint pid = 0, restarts = 0;
    int code = 0, status = 0;
    if (!take(values, "MainPID", pid) || !take(values, "NRestarts", restarts) ||
        !take(values, "ExecMainCode", code) || !take(values, "ExecMainStatus", status))
        return tr("an answer of an unexpected form");
    state.mainPid = Pid(pid);
    state.restarts = restarts;
    // The status is an exit status only when the process exited; after a
    // signal it is the signal's number.
    if (code == cldExited)
        state.exitStatus = status;
    return std::nullopt;
}

// Calls a Manager method, then Reload when asked; `what` names what failed,
// with the unit's name as %1 and the manager's words as %2.
std::optional<QString> act(const QDBusConnection& bus, const QString& name, const QString& method,
                           const QVariantList& arguments, const QString& signature,
                           const QString& what, bool reload = true) {
    const QDBusMessage reply =
        blockingCall(bus, ManagerNames::call(managerPath, managerInterface, method, arguments));
    if (auto problem = failure(reply, signature))
        return what.arg(name, *problem);
    // EnableUnitFiles first says whether the file has an [Install] section.
    if (signature.startsWith(u'b') && !reply.arguments().constFirst().toBool())
        return what.arg(name, tr("its file has no [Install] section"));
    if (!reload)
        return std::nullopt;
    const QDBusMessage reloaded = blockingCall(
        bus, ManagerNames::call(managerPath, managerInterface, QStringLiteral("Reload")));
    if (auto problem = failure(reloaded, QString()))
        return tr("The files of %1 were changed, but the user's service manager did not reload "
                  "them: %2")
            .arg(name, *problem);
    return std::nullopt;
}

} // namespace

QDBusConnection sessionBus() {
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS") &&
        (runtime.isEmpty() ||
         !QFileInfo::exists(QFile::decodeName(runtime) + QStringLiteral("/bus"))))
        return QDBusConnection(QString());
    return QDBusConnection::sessionBus();
}

bool isAvailable(const QDBusConnection& bus) {
    QDBusMessage ask = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
    ask << service;
    const QDBusMessage reply = blockingCall(bus, ask);
    return !failure(reply, QStringLiteral("b")) && reply.arguments().constFirst().toBool();
}

Reading readStates(const QDBusConnection& bus, const QSet<QString>& wanted, bool mainPids) {
    Reading reading;
    const QDBusMessage reply = blockingCall(
        bus, ManagerNames::call(managerPath, managerInterface, QStringLiteral("ListUnits")));
    if (auto problem = failure(reply, QStringLiteral("a(ssssssouso)"))) {
        reading.error = tr("Could not list the user's units: %1").arg(*problem);
        return reading;
    }
    std::map<QString, QString> services; // name to object path
    const auto rows = reply.arguments().constFirst().value<QDBusArgument>();
    rows.beginArray();
    while (!rows.atEnd()) {
        QString name, description, load, active, sub, following, jobType;
        QDBusObjectPath path, jobPath;
        uint job = 0;
        rows.beginStructure();
        rows >> name >> description >> load >> active >> sub >> following >> path >> job >>
            jobType >> jobPath;
        rows.endStructure();
        UnitState& state = reading.states[name];
        state.activeState = active;
        state.subState = sub;
        if (load == u"loaded" && active != u"inactive" && (mainPids || active != u"active") &&
            name.endsWith(u".service") && wanted.contains(name))
            services[name] = path.path();
    }
    rows.endArray();
    for (const auto& [name, path] : services) {
        if (auto problem = readService(bus, path, reading.states[name])) {
            // A manager that failed once is not asked again in this pass.
            reading.error = tr("Could not read the state of %1: %2").arg(name, *problem);
            break;
        }
    }
    return reading;
}

std::optional<QString> startUnit(const QDBusConnection& bus, const QString& name) {
    return act(bus, name, QStringLiteral("StartUnit"), {name, QStringLiteral("replace")},
               QStringLiteral("o"), tr("Could not start %1: %2"), false);
}

std::optional<QString> stopUnit(const QDBusConnection& bus, const QString& name) {
    return act(bus, name, QStringLiteral("StopUnit"), {name, QStringLiteral("replace")},
               QStringLiteral("o"), tr("Could not stop %1: %2"), false);
}

std::optional<QString> enableUnitFiles(const QDBusConnection& bus, const QString& name) {
    return act(bus, name, QStringLiteral("EnableUnitFiles"), {QStringList{name}, false, false},
               QStringLiteral("ba(sss)"), tr("Could not enable %1: %2"));
}

std::optional<QString> disableUnitFiles(const QDBusConnection& bus, const QString& name) {
    return act(bus, name, QStringLiteral("DisableUnitFiles"), {QStringList{name}, false},
               QStringLiteral("a(sss)"), tr("Could not disable %1: %2"));
}

std::optional<QString> maskUnitFiles(const QDBusConnection& bus, const QString& name) {
    return act(bus, name, QStringLiteral("MaskUnitFiles"), {QStringList{name}, false, false},
               QStringLiteral("a(sss)"), tr("Could not mask %1: %2"));
}

std::optional<QString> unmaskUnitFiles(const QDBusConnection& bus, const QString& name) {
    return act(bus, name, QStringLiteral("UnmaskUnitFiles"), {QStringList{name}, false},
               QStringLiteral("a(sss)"), tr("Could not unmask %1: %2"));
}

} // namespace UserManager
