#include "support/StandIns.h"

#include <algorithm>
#include <csignal>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>

#include "os/ProcessDescriptor.h"
#include "support/TestPaths.h"

namespace {

constexpr char toolsVariable[] = "QUILLMARSH_TOOLS_DIR";
constexpr char stateVariable[] = "QUILLMARSH_STANDIN_STATE";

// The stand-ins' lock on their state, held for the object's lifetime.
class StateLock {
public:
    explicit StateLock(const QString& folder) {
        const QByteArray path = QFile::encodeName(folder + QStringLiteral("/state.lock"));
        fd_ = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ >= 0)
            ::flock(fd_, LOCK_EX);
    }
    ~StateLock() {
        if (fd_ >= 0) {
            ::flock(fd_, LOCK_UN);
            ::close(fd_);
        }
    }
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;

private:
    int fd_ = -1;
};

QString statePath(const QString& folder) {
    return folder + QStringLiteral("/state.json");
}

QJsonObject readState(const QString& folder) {
    QFile file(statePath(folder));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

void writeState(const QString& folder, const QJsonObject& state) {
    QSaveFile file(statePath(folder));
    if (file.open(QIODevice::WriteOnly)) {
        file.write(QJsonDocument(state).toJson());
        file.commit();
    }
}

// The fields of /proc/<pid>/stat after the command name: state, ppid, pgrp,
// session, ... (index 19 is the start time in clock ticks).
QList<QByteArray> statFields(Pid pid) {
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray text = file.readAll();
    const qsizetype close = text.lastIndexOf(')');
    if (close < 0)
        return {};
    return text.mid(close + 2).simplified().split(' ');
}

std::optional<qint64> startTicks(Pid pid) {
    const QList<QByteArray> fields = statFields(pid);
    if (fields.size() <= 19)
        return std::nullopt;
    bool ok = false;
    const qint64 ticks = fields[19].toLongLong(&ok);
    return ok ? std::optional<qint64>(ticks) : std::nullopt;
}

std::optional<Pid> statField(Pid pid, int index) {
    const QList<QByteArray> fields = statFields(pid);
    if (fields.size() <= index)
        return std::nullopt;
    bool ok = false;
    const Pid value = fields[index].toInt(&ok);
    return ok ? std::optional<Pid>(value) : std::nullopt;
}

// A process that is still the one the stand-ins recorded.
bool isSameProcess(Pid pid, const QJsonValue& ticks) {
    if (pid <= 0 || !StandIns::isAlive(pid))
        return false;
    return ticks.isDouble() && startTicks(pid) == static_cast<qint64>(ticks.toDouble());
}

void restore(const char* name, const std::optional<QByteArray>& value) {
    if (value)
        qputenv(name, *value);
    else
        qunsetenv(name);
}

std::optional<QByteArray> current(const char* name) {
    if (!qEnvironmentVariableIsSet(name))
        return std::nullopt;
    return qgetenv(name);
}

} // namespace

StandIns::StandIns()
    : previousTools_(current(toolsVariable)), previousState_(current(stateVariable)) {
    qputenv(toolsVariable, QFile::encodeName(toolsDir()));
    qputenv(stateVariable, QFile::encodeName(stateDir()));
}

StandIns::~StandIns() {
    if (folder_.isValid())
        stopStartedProcesses();
    restore(toolsVariable, previousTools_);
    restore(stateVariable, previousState_);
}

QString StandIns::toolsDir() {
    return TestPaths::standIns();
}

SystemTools::Locations StandIns::locations() const {
    const QDir dir(toolsDir());
    SystemTools::Locations tools;
    tools.launchctl = dir.filePath(QStringLiteral("launchctl"));
    tools.sfltool = dir.filePath(QStringLiteral("sfltool"));
    tools.xcrun = dir.filePath(QStringLiteral("xcrun"));
    return tools;
}

QProcessEnvironment StandIns::environment() const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QString::fromLatin1(toolsVariable), toolsDir());
    env.insert(QString::fromLatin1(stateVariable), stateDir());
    return env;
}

void StandIns::update(const std::function<void(QJsonObject&)>& change) {
    StateLock lock(stateDir());
    QJsonObject state = readState(stateDir());
    change(state);
    writeState(stateDir(), state);
}

void StandIns::addJob(const QString& label, std::optional<Pid> pid, std::optional<qint64> status) {
    update([&](QJsonObject& state) {
        QJsonObject jobs = state.value(QStringLiteral("jobs")).toObject();
        QJsonObject job;
        job.insert(QStringLiteral("pid"), pid ? QJsonValue(*pid) : QJsonValue());
        job.insert(QStringLiteral("status"),
                   status ? QJsonValue(static_cast<double>(*status)) : QJsonValue());
        jobs.insert(label, job);
        state.insert(QStringLiteral("jobs"), jobs);
    });
}

void StandIns::setDisabled(const QString& label, bool disabled) {
    update([&](QJsonObject& state) {
        QJsonObject marks = state.value(QStringLiteral("disabled")).toObject();
        marks.insert(label, disabled);
        state.insert(QStringLiteral("disabled"), marks);
    });
}

void StandIns::failVerb(const QString& verb, int status, const QString& message,
                        const QString& output, double delaySeconds) {
    update([&](QJsonObject& state) {
        QJsonObject failures = state.value(QStringLiteral("fail")).toObject();
        failures.insert(verb, QJsonObject{{QStringLiteral("status"), status},
                                          {QStringLiteral("message"), message},
                                          {QStringLiteral("output"), output},
                                          {QStringLiteral("delaySeconds"), delaySeconds}});
        state.insert(QStringLiteral("fail"), failures);
    });
}

void StandIns::setLoginItemsDump(const QByteArray& text, int status) {
    QSaveFile file(stateDir() + QStringLiteral("/dumpbtm.txt"));
    if (file.open(QIODevice::WriteOnly)) {
        file.write(text);
        file.commit();
    }
    update([&](QJsonObject& state) { state.insert(QStringLiteral("dumpbtmStatus"), status); });
}

void StandIns::setSimctlStatus(int status) {
    update([&](QJsonObject& state) { state.insert(QStringLiteral("simctlStatus"), status); });
}

void StandIns::setLegacyDisabledStyle(bool legacy) {
    update([&](QJsonObject& state) {
        state.insert(QStringLiteral("printDisabledStyle"),
                     legacy ? QStringLiteral("legacy") : QStringLiteral("modern"));
    });
}

bool StandIns::writePlist(const QString& path, const QString& label, const QStringList& program,
                          bool runAtLoad, const QString& extraXml) {
    QString xml = QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                 "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                                 "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                                 "<plist version=\"1.0\">\n<dict>\n");
    xml += QStringLiteral("\t<key>Label</key>\n\t<string>%1</string>\n").arg(label.toHtmlEscaped());
    if (!program.isEmpty()) {
        xml += QStringLiteral("\t<key>ProgramArguments</key>\n\t<array>\n");
        for (const QString& argument : program)
            xml += QStringLiteral("\t\t<string>%1</string>\n").arg(argument.toHtmlEscaped());
        xml += QStringLiteral("\t</array>\n");
    }
    if (runAtLoad)
        xml += QStringLiteral("\t<key>RunAtLoad</key>\n\t<true/>\n");
    xml += extraXml;
    xml += QStringLiteral("</dict>\n</plist>\n");
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(xml.toUtf8()) >= 0 && file.commit();
}

QJsonObject StandIns::state() const {
    StateLock lock(stateDir());
    return readState(stateDir());
}

std::optional<Pid> StandIns::jobPid(const QString& label) const {
    const QJsonValue pid = state()
                               .value(QStringLiteral("jobs"))
                               .toObject()
                               .value(label)
                               .toObject()
                               .value(QStringLiteral("pid"));
    if (!pid.isDouble())
        return std::nullopt;
    return static_cast<Pid>(pid.toInt());
}

QList<QStringList> StandIns::calls() const {
    QList<QStringList> result;
    QFile file(stateDir() + QStringLiteral("/calls.log"));
    if (!file.open(QIODevice::ReadOnly))
        return result;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (line.isEmpty())
            continue;
        QStringList call;
        for (const QJsonValue& item : QJsonDocument::fromJson(line).array())
            call.append(item.toString());
        result.append(call);
    }
    return result;
}

int StandIns::callCount(const QStringList& prefix) const {
    int count = 0;
    for (const QStringList& call : calls()) {
        if (call.mid(0, prefix.size()) == prefix)
            ++count;
    }
    return count;
}

bool StandIns::isAlive(Pid pid) {
    const QList<QByteArray> fields = statFields(pid);
    return !fields.isEmpty() && fields[0] != "Z" && fields[0] != "X" && fields[0] != "x";
}

bool StandIns::waitGone(Pid pid, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const int pidfd = ProcessDescriptor::open(pid);
    bool gone = false;
    for (;;) {
        if (!isAlive(pid)) {
            gone = true;
            break;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        if (pidfd >= 0) {
            pollfd entry{pidfd, POLLIN, 0};
            ::poll(&entry, 1, static_cast<int>(std::min<qint64>(left.count(), 200)));
        } else {
            ::usleep(10000);
        }
    }
    if (pidfd >= 0)
        ::close(pidfd);
    return gone;
}

std::optional<Pid> StandIns::parentOf(Pid pid) {
    return statField(pid, 1);
}

std::optional<Pid> StandIns::sessionOf(Pid pid) {
    return statField(pid, 3);
}

void StandIns::stopStartedProcesses() {
    QList<Pid> watchers;
    {
        const QJsonObject jobs = state().value(QStringLiteral("jobs")).toObject();
        for (const QJsonValue& value : jobs) {
            const QJsonObject job = value.toObject();
            if (!job.value(QStringLiteral("startedByStandIn")).toBool())
                continue;
            const Pid pid = job.value(QStringLiteral("pid")).toInt();
            if (isSameProcess(pid, job.value(QStringLiteral("startTicks")))) {
                ::kill(-pid, SIGKILL);
                ::kill(pid, SIGKILL);
            }
            const Pid watcher = job.value(QStringLiteral("watcher")).toInt();
            if (isSameProcess(watcher, job.value(QStringLiteral("watcherTicks"))))
                watchers.append(watcher);
        }
    }
    // A watcher ends once it has recorded its job's end; wait for that so that
    // nothing writes into the folder after it is gone.
    for (const Pid watcher : watchers) {
        if (!waitGone(watcher, std::chrono::seconds(5))) {
            ::kill(watcher, SIGKILL);
            waitGone(watcher, std::chrono::seconds(2));
        }
    }
}
