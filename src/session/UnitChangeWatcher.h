#pragma once

#include <atomic>

#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QObject>

class QDBusMessage;

namespace UserManager {

// Tells a reader whether the user's units may have changed since it last
// asked, from the manager's signals: units loaded or unloaded, jobs finished,
// unit files changed, reloads, and property changes of any unit. Lives on a
// thread with an event loop; takeChanged() may be called from any thread.
// Subscribes again when the manager's name gets a new owner.
class ChangeWatcher : public QObject {
    Q_OBJECT
public:
    explicit ChangeWatcher(const QDBusConnection& bus, QObject* parent = nullptr);
    ~ChangeWatcher() override;

    // Whether anything changed since the last call, and clears that; true on
    // the first call, and on every call while the watcher is not subscribed
    // (no manager, or no answer yet), so no reader keeps stale states.
    bool takeChanged();

private Q_SLOTS:
    void noteChange();
    void notePropertiesChanged(const QDBusMessage& message);

private:
    void subscribe();

    QDBusConnection bus_;
    QDBusServiceWatcher owner_;
    std::atomic<bool> changed_{true};
    std::atomic<bool> subscribed_{false};
    // Only the answer to the latest Subscribe counts.
    int attempt_ = 0;
};

} // namespace UserManager
