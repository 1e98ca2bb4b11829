#pragma once

#include <csignal>
#include <optional>

#include <sys/prctl.h>

#include <QDBusConnection>
#include <QProcess>
#include <QTemporaryDir>

// A private session bus (a real dbus-daemon) named by DBUS_SESSION_BUS_ADDRESS until
// destruction, which ends the daemon and the stand-in user manager, restores the variable and
// removes the socket. The children die with this process even if it crashes.
class PrivateBus {
public:
    PrivateBus() {
        if (start(daemon_, "dbus-daemon",
                  {"--session", "--nofork", "--print-address=1",
                   "--address=unix:dir=" + dir_.path()}))
            address_ = QString::fromUtf8(daemon_.readLine().trimmed());
        qputenv("DBUS_SESSION_BUS_ADDRESS", address_.toUtf8());
    }
    ~PrivateBus() {
        QDBusConnection::disconnectFromBus(address_);
        stopManager();
        stop(daemon_);
        saved_ ? qputenv("DBUS_SESSION_BUS_ADDRESS", *saved_)
               : qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    }
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    bool isValid() const { return !address_.isEmpty(); }
    // A connection of its own: QDBusConnection::sessionBus() is made once per process.
    QDBusConnection connection() const { return QDBusConnection::connectToBus(address_, address_); }
    // The stand-in user manager; true once it owns its name.
    bool startManager(const QString& stateFile, const QString& callLog) {
        return start(manager_, QUILLMARSH_USER_MANAGER_STANDIN, {stateFile, callLog}) &&
               manager_.readLine().trimmed() == "ready";
    }
    void stopManager() { stop(manager_); }
    qint64 managerPid() const { return manager_.processId(); }

private:
    // Starts `process` and waits for its first line (a write of one short line comes whole).
    static bool start(QProcess& process, const QString& program, const QStringList& arguments) {
        process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        process.start(program, arguments);
        return process.waitForReadyRead(10000) && process.canReadLine();
    }
    static void stop(QProcess& process) {
        process.terminate();
        if (!process.waitForFinished(5000))
            process.kill();
        process.waitForFinished();
    }

    std::optional<QByteArray> saved_ = qEnvironmentVariableIsSet("DBUS_SESSION_BUS_ADDRESS")
                                           ? std::optional(qgetenv("DBUS_SESSION_BUS_ADDRESS"))
                                           : std::nullopt;
    QTemporaryDir dir_;
    QProcess daemon_, manager_;
    QString address_;
};
