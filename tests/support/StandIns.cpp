#include "support/StandIns.h"

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

std::optional<QByteArray> current(const char* name) {
    return qEnvironmentVariableIsSet(name) ? std::optional(qgetenv(name)) : std::nullopt;
}

void restore(const char* name, const std::optional<QByteArray>& value) {
    if (value)
        qputenv(name, *value);
    else
        qunsetenv(name);
}

// The state letter and the start time in clock ticks from /proc/<pid>/stat.
std::optional<std::pair<char, qint64>> procStat(Pid pid) {
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (pid <= 0 || !file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray text = file.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() <= 19 || fields[0].isEmpty())
        return std::nullopt;
    return std::pair(fields[0][0], fields[19].toLongLong());
}

bool write(const QString& path, const QByteArray& bytes) {
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit();
}

// Sets state[section][key] = value.
std::function<void(QJsonObject&)> setting(const QString& section, const QString& key,
                                          const QJsonValue& value) {
    return [=](QJsonObject& state) {
        QJsonObject entries = state.value(section).toObject();
        entries.insert(key, value);
        state.insert(section, entries);
    };
}

} // namespace

StandIns::StandIns()
    : previousTools_(current(toolsVariable)), previousState_(current(stateVariable)) {
    qputenv(toolsVariable, QFile::encodeName(toolsDir()));
    qputenv(stateVariable, QFile::encodeName(stateDir()));
}

StandIns::~StandIns() {
    // Jobs the stand-ins started lead their own process groups.
    const QJsonObject jobs = update().value(QStringLiteral("jobs")).toObject();
    for (const QJsonValue& value : jobs) {
        const QJsonObject job = value.toObject();
        const Pid pid = job.value(QStringLiteral("pid")).toInt();
        const auto now = procStat(pid);
        if (job.value(QStringLiteral("startedByStandIn")).toBool() && now &&
            now->second == job.value(QStringLiteral("startTicks")).toInteger()) {
            ::kill(-pid, SIGKILL);
            waitGone(pid, std::chrono::seconds(5));
        }
    }
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

// Reads (and, with a change, rewrites) the state under the stand-ins' lock.
QJsonObject StandIns::update(const std::function<void(QJsonObject&)>& change) const {
    const QString folder = stateDir();
    const int lock = ::open(QFile::encodeName(folder + QStringLiteral("/state.lock")).constData(),
                            O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock >= 0)
        ::flock(lock, LOCK_EX);
    QFile file(folder + QStringLiteral("/state.json"));
    QJsonObject state;
    if (file.open(QIODevice::ReadOnly))
        state = QJsonDocument::fromJson(file.readAll()).object();
    if (change) {
        change(state);
        write(file.fileName(), QJsonDocument(state).toJson());
    }
    if (lock >= 0)
        ::close(lock);
    return state;
}

void StandIns::addJob(const QString& label, std::optional<Pid> pid, std::optional<qint64> status) {
    const QJsonObject job{{QStringLiteral("pid"), pid ? QJsonValue(*pid) : QJsonValue()},
                          {QStringLiteral("status"), status ? QJsonValue(*status) : QJsonValue()}};
    update(setting(QStringLiteral("jobs"), label, job));
}

void StandIns::setDisabled(const QString& label, bool disabled) {
    update(setting(QStringLiteral("disabled"), label, disabled));
}

void StandIns::failVerb(const QString& verb, int status, const QString& message,
                        const QString& output, double delaySeconds) {
    const QJsonObject failure{{QStringLiteral("status"), status},
                              {QStringLiteral("message"), message},
                              {QStringLiteral("output"), output},
                              {QStringLiteral("delaySeconds"), delaySeconds}};
    update(setting(QStringLiteral("fail"), verb, failure));
}

void StandIns::setLoginItemsDump(const QByteArray& text, int status) {
    write(stateDir() + QStringLiteral("/dumpbtm.txt"), text);
    update([status](QJsonObject& state) { state.insert(QStringLiteral("dumpbtmStatus"), status); });
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
    xml += extraXml + QStringLiteral("</dict>\n</plist>\n");
    return write(path, xml.toUtf8());
}

std::optional<Pid> StandIns::jobPid(const QString& label) const {
    const QJsonValue pid = update()[QStringLiteral("jobs")][label][QStringLiteral("pid")];
    return pid.isDouble() ? std::optional(static_cast<Pid>(pid.toInt())) : std::nullopt;
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
    const QList<QStringList> all = calls();
    return static_cast<int>(std::count_if(all.cbegin(), all.cend(), [&](const QStringList& call) {
        return call.mid(0, prefix.size()) == prefix;
    }));
}

bool StandIns::isAlive(Pid pid) {
    const auto now = procStat(pid);
    return now && now->first != 'Z' && now->first != 'X' && now->first != 'x';
}

bool StandIns::waitGone(Pid pid, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const int pidfd = ProcessDescriptor::open(pid);
    while (isAlive(pid)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd entry{pidfd, POLLIN, 0};
        if (pidfd < 0 ||
            ::poll(&entry, 1, static_cast<int>(std::min<qint64>(left.count(), 100))) < 0)
            ::usleep(10000);
    }
    if (pidfd >= 0)
        ::close(pidfd);
    return !isAlive(pid);
}
