#include "session/UnitChangeWatcher.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>

#include "session/ManagerNames.h"
#include "session/UserManager.h"

namespace UserManager {

namespace {

using namespace ManagerNames;

QDBusMessage managerCall(const QString& method) {
    return call(managerPath, managerInterface, method);
}

} // namespace

ChangeWatcher::ChangeWatcher(const QDBusConnection& bus, QObject* parent)
    : QObject(parent), bus_(bus) {
    // A bus that is gone (its daemon ended) takes no match rules: libdbus
    // aborts the process on them. Without one the watcher never subscribes,
    // so every reader asks the manager itself.
    if (!bus_.isConnected())
        return;
    owner_.setConnection(bus_);
    owner_.setWatchMode(QDBusServiceWatcher::WatchForOwnerChange);
    owner_.addWatchedService(service);
    connect(&owner_, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString&, const QString& owner) {
                changed_ = true;
                if (owner.isEmpty())
                    subscribed_ = false;
                else
                    subscribe();
            });
    for (const char* signal :
         {"UnitNew", "UnitRemoved", "JobRemoved", "UnitFilesChanged", "Reloading"})
        bus_.connect(service, managerPath, managerInterface, QString::fromLatin1(signal), this,
                     SLOT(noteChange()));
    // Any path: the slot keeps those of units.
    bus_.connect(service, QString(), propertiesInterface, QStringLiteral("PropertiesChanged"), this,
                 SLOT(notePropertiesChanged(QDBusMessage)));
    subscribe();
}

ChangeWatcher::~ChangeWatcher() {
    if (subscribed_ && bus_.isConnected())
        bus_.send(managerCall(QStringLiteral("Unsubscribe")));
}

bool ChangeWatcher::takeChanged() {
    const bool changed = changed_.exchange(false);
    return changed || !subscribed_;
}

void ChangeWatcher::noteChange() {
    changed_ = true;
}

void ChangeWatcher::notePropertiesChanged(const QDBusMessage& message) {
    if (message.path().startsWith(managerPath + QStringLiteral("/unit/")))
        changed_ = true;
}

void ChangeWatcher::subscribe() {
    subscribed_ = false;
    const int attempt = ++attempt_;
    auto* pending = new QDBusPendingCallWatcher(
        bus_.asyncCall(managerCall(QStringLiteral("Subscribe")), callTimeoutMs), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this,
            [this, attempt](QDBusPendingCallWatcher* done) {
                done->deleteLater();
                if (attempt != attempt_)
                    return;
                // A manager that already counts this connection as subscribed says so.
                subscribed_ = !done->isError() ||
                              done->error().name() == u"org.freedesktop.systemd1.AlreadySubscribed";
                changed_ = true;
            });
}

} // namespace UserManager
