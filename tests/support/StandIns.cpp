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

} // namespace

StandIns::StandIns()
    : previousTools_(current(toolsVariable)), previousState_(current(stateVariable)) {
    qputenv(toolsVariable, QFile::encodeName(toolsDir()));
    qputenv(stateVariable, QFile::encodeName(stateDir()));
}

StandIns::~StandIns() {
    // Jobs the stand-ins started lead their own process groups.
    const QJsonObject jobs = update()["jobs"].toObject();
    for (const QJsonValue& value : jobs) {
        const QJsonObject job = value.toObject();
        const Pid pid = job["pid"].toInt();
        const auto now = procStat(pid);
        if (job["startedByStandIn"].toBool() && now &&
            now->second == job["startTicks"].toInteger()) {
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

// Reads the state under the stand-ins' lock and, given a key, sets
// state[section][key] (state[key] without a section) to `value`.
QJsonObject StandIns::update(const QString& section, const QString& key,
                             const QJsonValue& value) const {
    const QString folder = stateDir();
    const int lock = ::open(QFile::encodeName(folder + "/state.lock").constData(),
                            O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ::flock(lock, LOCK_EX);
    QFile file(folder + "/state.json");
    QJsonObject state;
    if (file.open(QIODevice::ReadOnly))
        state = QJsonDocument::fromJson(file.readAll()).object();
    if (!key.isEmpty()) {
        if (section.isEmpty()) {
            state.insert(key, value);
        } else {
            QJsonObject entries = state.value(section).toObject();
            entries.insert(key, value);
            state.insert(section, entries);
        }
        write(file.fileName(), QJsonDocument(state).toJson());
    }
    ::close(lock);
    return state;
}

void StandIns::addJob(const QString& label, std::optional<Pid> pid, std::optional<qint64> status) {
    update("jobs", label,
           QJsonObject{{"pid", pid ? QJsonValue(*pid) : QJsonValue()},
                       {"status", status ? QJsonValue(*status) : QJsonValue()}});
}

void StandIns::setDisabled(const QString& label, bool disabled) {
    update("disabled", label, disabled);
}

void StandIns::failVerb(const QString& verb, int status, const QString& message,
                        const QString& output, double delaySeconds) {
    update("fail", verb,
           QJsonObject{{"status", status},
                       {"message", message},
                       {"output", output},
                       {"delaySeconds", delaySeconds}});
}

void StandIns::setLoginItemsDump(const QByteArray& text, int status) {
    write(stateDir() + "/dumpbtm.txt", text);
    update({}, "dumpbtmStatus", status);
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
    const QJsonValue pid = update()["jobs"][label]["pid"];
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
