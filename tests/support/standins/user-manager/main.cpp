// The user's service manager (org.freedesktop.systemd1 on the session bus) as far as Quillmarsh
// uses it, with the real signatures; tests/support/standins/README.md tells what it does.
#include <cctype>
#include <csignal>

#include <sys/prctl.h>
#include <unistd.h>

#include <QtCore>
#include <QtDBus>

namespace {

const QString root = "/org/freedesktop/systemd1", manager = "org.freedesktop.systemd1.Manager";
const QString userFolder = QDir::homePath() + "/.config/systemd/user";
constexpr int cldExited = 1, cldKilled = 2; // ExecMainCode: how the main process ended

// A unit's object path: the name with each byte but [A-Za-z0-9] escaped as _XX.
QString unitPath(const QString& name) {
    QString path = root + "/unit/";
    for (const char c : name.toUtf8())
        path += std::isalnum(uchar(c)) ? QString(QChar(c)) : QString::asprintf("_%02x", uchar(c));
    return path;
}

struct Change { // of a unit file change list, a(sss)
    QString type, file, destination;
    friend QDBusArgument& operator<<(QDBusArgument& a, const Change& c) {
        return a.beginStructure(), a << c.type << c.file << c.destination, a.endStructure(), a;
    }
    friend const QDBusArgument& operator>>(const QDBusArgument& a, Change&) { return a; }
};

struct Unit {
    QString name, active, sub, description;
    QStringList command;
    uint restarts = 0;
    int exitCode = 0, exitStatus = 0;
    QProcess* process = nullptr;
    bool restartAlways = false; // an end of its own starts it again
    // A row of ListUnits, a(ssssssouso).
    friend QDBusArgument& operator<<(QDBusArgument& a, const Unit& u) {
        a.beginStructure();
        a << u.name << u.description << QString("loaded") << u.active << u.sub << QString();
        a << QDBusObjectPath(unitPath(u.name)) << 0u << QString() << QDBusObjectPath("/");
        return a.endStructure(), a;
    }
    friend const QDBusArgument& operator>>(const QDBusArgument& a, Unit&) { return a; }
};

void send(const QString& path, const QString& interface, const QString& name, QVariantList args) {
    QDBusMessage signal = QDBusMessage::createSignal(path, interface, name);
    signal.setArguments(args);
    QDBusConnection::sessionBus().send(signal);
}

class Manager : public QDBusVirtualObject {
public:
    Manager(const QJsonObject& units, QString log) : log_(std::move(log)) {
        for (const QString& name : units.keys()) {
            const QJsonObject json = units[name].toObject();
            units_[name] = {name,
                            json["activeState"].toString("inactive"),
                            json["subState"].toString("dead"),
                            json["description"].toString(),
                            json["command"].toVariant().toStringList(),
                            uint(json["restarts"].toInt()),
                            json.contains("exitStatus") ? cldExited : 0,
                            json["exitStatus"].toInt(),
                            nullptr,
                            json["restart"].toString() == "always"};
            if (units_[name].active == "active" && !units_[name].command.isEmpty())
                start(name);
        }
    }
    ~Manager() override {
        for (const QString& name : units_.keys())
            stop(name);
    }
    QString introspect(const QString&) const override { return {}; }

    bool handleMessage(const QDBusMessage& call, const QDBusConnection& bus) override {
        const QStringList first = call.arguments().value(0).toStringList();
        const QString member = call.member(), name = first.value(0), link = userFolder + '/' + name;
        if (QFile log(log_); log.open(QIODevice::Append)) // closed before replying
            log.write((member + ' ' + first.join(',') + '\n').toUtf8());
        const auto fail = [&](const QString& error, const QString& text) {
            return bus.send(call.createErrorReply("org.freedesktop." + error, text));
        };
        QList<Change> changes;
        const auto changed = [&](QVariantList reply = {}) {
            if (!changes.isEmpty())
                send(root, manager, "UnitFilesChanged", {});
            return bus.send(call.createReply(reply << QVariant::fromValue(changes)));
        };
        if (call.interface() == "org.freedesktop.DBus.Properties")
            return properties(call, bus);
        if (call.path() != root || call.interface() != manager)
            return false;
        if (member == "ListUnits")
            return bus.send(call.createReply(QVariant::fromValue(units_.values())));
        if (member == "StartUnit" || member == "StopUnit") {
            if (!units_.count(name))
                return fail("systemd1.NoSuchUnit", "Unit " + name + " not found.");
            member == "StartUnit" ? start(name) : stop(name);
            const QDBusObjectPath job(root + "/job/" + QString::number(++jobs_));
            bus.send(call.createReply(QVariant::fromValue(job)));
            send(root, manager, "JobRemoved", {jobs_, QVariant::fromValue(job), name, "done"});
            return true;
        }
        if (member == "Reload") {
            send(root, manager, "Reloading", {true});
            send(root, manager, "Reloading", {false});
            return bus.send(call.createReply());
        }
        if (member == "EnableUnitFiles") {
            QFile file(findUnitFile(name));
            if (!file.open(QIODevice::ReadOnly))
                return fail("DBus.Error.FileNotFound", "Unit file " + name + " does not exist.");
            const QString wantedBy = QString(file.readAll()).section("\nWantedBy=", 1, 1);
            const QStringList targets = wantedBy.section('\n', 0, 0).split(' ', Qt::SkipEmptyParts);
            for (const QString& target : targets) {
                const QString wants = userFolder + '/' + target + ".wants";
                if (QDir().mkpath(wants) && QFile::link(file.fileName(), wants + '/' + name))
                    changes.append({"symlink", wants + '/' + name, file.fileName()});
            }
            return changed({!targets.isEmpty()}); // whether the file says where it belongs
        }
        if (member == "DisableUnitFiles") {
            for (const QString& folder : QDir(userFolder).entryList({"*.wants", "*.requires"}))
                if (QFile::remove(userFolder + '/' + folder + '/' + name))
                    changes.append({"unlink", userFolder + '/' + folder + '/' + name, {}});
            return changed();
        }
        if (member == "MaskUnitFiles") {
            const QFileInfo existing(link);
            // A file of that name stays, unless the mask is forced (the third argument).
            if ((existing.exists() || existing.isSymLink()) &&
                existing.symLinkTarget() != "/dev/null") {
                if (!call.arguments().value(2).toBool())
                    return fail("DBus.Error.Failed", "File " + link + " already exists.");
                QFile::remove(link);
            }
            if (QDir().mkpath(userFolder) && QFile::link("/dev/null", link))
                changes.append({"symlink", link, "/dev/null"});
            return changed();
        }
        if (member == "UnmaskUnitFiles") {
            if (QFileInfo(link).symLinkTarget() == "/dev/null" && QFile::remove(link))
                changes.append({"unlink", link, {}});
            return changed();
        }
        return bus.send(call.createReply()); // Subscribe, Unsubscribe
    }

private:
    static QString findUnitFile(const QString& name) {
        const QString d = qEnvironmentVariable("XDG_DATA_DIRS", "/usr/local/share:/usr/share");
        for (QString f : QString("%1/.config:%2:/usr/lib").arg(QDir::homePath(), d).split(':'))
            if (QFileInfo::exists(f += "/systemd/user/" + name))
                return f;
        return {};
    }

    // The Unit interface, or the Service one.
    bool properties(const QDBusMessage& call, const QDBusConnection& bus) {
        for (const Unit& u : std::as_const(units_)) {
            if (unitPath(u.name) != call.path())
                continue;
            QVariantMap values{{"Id", u.name}, {"Description", u.description}};
            values.insert({{"ActiveState", u.active}, {"SubState", u.sub}});
            if (call.arguments().value(0) == "org.freedesktop.systemd1.Service") {
                values = {{"MainPID", uint(u.process ? u.process->processId() : 0)},
                          {"NRestarts", u.restarts}};
                values.insert({{"ExecMainCode", u.exitCode}, {"ExecMainStatus", u.exitStatus}});
            }
            const QString key = call.arguments().value(1).toString(); // of Get
            const QVariant one = QVariant::fromValue(QDBusVariant(values.value(key)));
            return bus.send(call.createReply(call.member() == "GetAll" ? QVariant(values) : one));
        }
        return false;
    }

    void setState(const QString& name, const QString& active, const QString& sub) {
        units_[name].active = active;
        units_[name].sub = sub;
        send(unitPath(name), "org.freedesktop.DBus.Properties", "PropertiesChanged",
             {"org.freedesktop.systemd1.Unit",
              QVariantMap{{"ActiveState", active}, {"SubState", sub}}, QStringList()});
    }

    static void ended(Unit& unit) {
        unit.exitCode = unit.process->exitStatus() == QProcess::NormalExit ? cldExited : cldKilled;
        unit.exitStatus = unit.process->exitCode();
        std::exchange(unit.process, nullptr)->deleteLater();
    }

    void start(const QString& name) {
        Unit& unit = units_[name];
        if (!unit.process && !unit.command.isEmpty()) {
            unit.process = new QProcess;
            unit.process->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
            QObject::connect(unit.process, &QProcess::finished, unit.process, [this, name] {
                Unit& ending = units_[name];
                ended(ending); // by itself: the unit failed, or comes back
                if (ending.restartAlways)
                    return ++ending.restarts, start(name);
                setState(name, "failed", "failed");
            });
            unit.process->setWorkingDirectory(QDir::homePath()); // a user manager's default
            unit.process->start(unit.command.first(), unit.command.mid(1));
            if (!unit.process->waitForStarted())
                return ended(unit), setState(name, "failed", "failed");
            unit.exitCode = unit.exitStatus = 0;
        }
        setState(name, "active", unit.process ? "running" : "exited");
    }

    void stop(const QString& name) {
        if (QProcess* process = units_[name].process) {
            process->disconnect();
            process->terminate();
            if (!process->waitForFinished(5000))
                process->kill(), process->waitForFinished();
            ended(units_[name]);
        }
        setState(name, "inactive", "dead");
    }

    QMap<QString, Unit> units_;
    QString log_;
    uint jobs_ = 0;
};

int termPipe[2];

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    qDBusRegisterMetaType<Change>(), qDBusRegisterMetaType<QList<Change>>();
    qDBusRegisterMetaType<Unit>(), qDBusRegisterMetaType<QList<Unit>>();
    QFile state(app.arguments().value(1));
    if (!state.open(QIODevice::ReadOnly) || ::pipe(termPipe) != 0)
        return 2;
    std::signal(SIGTERM, [](int) { (void)!::write(termPipe[1], "x", 1); });
    QSocketNotifier onTerm(termPipe[0], QSocketNotifier::Read);
    QObject::connect(&onTerm, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
    Manager units(QJsonDocument::fromJson(state.readAll())["units"].toObject(), argv[2]);
    if (!QDBusConnection::sessionBus().registerVirtualObject(root, &units,
                                                             QDBusConnection::SubPath) ||
        !QDBusConnection::sessionBus().registerService("org.freedesktop.systemd1"))
        return 1;
    (void)!::write(STDOUT_FILENO, "ready\n", 6);
    return app.exec();
}
