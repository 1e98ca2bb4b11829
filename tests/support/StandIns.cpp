#include "support/StandIns.h"

#include <csignal>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <unistd.h>

#include <QDir>
#include <QJsonDocument>
#include <QSaveFile>

#include "os/ProcessDescriptor.h"
#include "support/TestPaths.h"

namespace {

// The fields of /proc/<pid>/stat after the name: [0] the state, [19] the start time.
QList<QByteArray> procStat(Pid pid) {
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    const QByteArray text = pid > 0 && file.open(QIODevice::ReadOnly) ? file.readAll() : "";
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 19 ? fields : QList<QByteArray>();
}

bool write(const QString& path, const QByteArray& bytes) {
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit();
}

} // namespace

StandIns::StandIns() {
    qputenv("QUILLMARSH_TOOLS_DIR", QFile::encodeName(toolsDir()));
    qputenv("QUILLMARSH_STANDIN_STATE", QFile::encodeName(stateDir()));
}

StandIns::~StandIns() {
    // Jobs the stand-ins started lead their own process groups.
    for (const QJsonValue& job : update()["jobs"].toObject()) {
        const Pid pid = job["pid"].toInt();
        if (job["startedByStandIn"].toBool() &&
            procStat(pid).value(19) == QByteArray::number(job["startTicks"].toInteger())) {
            ::kill(-pid, SIGKILL);
            waitGone(pid, std::chrono::seconds(5));
        }
    }
    qunsetenv("QUILLMARSH_TOOLS_DIR");
    qunsetenv("QUILLMARSH_STANDIN_STATE");
}

QString StandIns::toolsDir() {
    return TestPaths::standIns();
}

SystemTools::Locations StandIns::locations() const {
    const QDir dir(toolsDir());
    return {dir.filePath("launchctl"), dir.filePath("sfltool"), dir.filePath("xcrun")};
}

QProcessEnvironment StandIns::environment() const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QUILLMARSH_TOOLS_DIR", toolsDir());
    env.insert("QUILLMARSH_STANDIN_STATE", stateDir());
    return env;
}

// Under the lock the stand-ins take.
QJsonObject StandIns::update(const QString& section, const QString& key,
                             const QJsonValue& value) const {
    const int lock = ::open(QFile::encodeName(stateDir() + "/state.lock").constData(),
                            O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ::flock(lock, LOCK_EX);
    QFile file(stateDir() + "/state.json");
    QJsonObject state = file.open(QIODevice::ReadOnly)
                            ? QJsonDocument::fromJson(file.readAll()).object()
                            : QJsonObject();
    if (!key.isEmpty()) {
        QJsonObject entries = state.value(section).toObject();
        entries.insert(key, value);
        state.insert(section.isEmpty() ? key : section,
                     section.isEmpty() ? value : QJsonValue(entries));
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
    QJsonObject answer{{"status", status}, {"message", message}, {"output", output}};
    answer["delaySeconds"] = delaySeconds;
    update("fail", verb, answer);
}

void StandIns::setLoginItemsDump(const QByteArray& text, int status) {
    write(stateDir() + "/dumpbtm.txt", text);
    update({}, "dumpbtmStatus", status);
}

bool StandIns::writePlist(const QString& path, const QString& label, const QStringList& program,
                          bool runAtLoad, const QString& extraXml) {
    QString xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
                  "<key>Label</key><string>" +
                  label.toHtmlEscaped() + "</string>\n";
    if (!program.isEmpty()) {
        xml += "<key>ProgramArguments</key><array>\n";
        for (const QString& argument : program)
            xml += "<string>" + argument.toHtmlEscaped() + "</string>\n";
        xml += "</array>\n";
    }
    xml += runAtLoad ? "<key>RunAtLoad</key><true/>\n" : "";
    return write(path, (xml + extraXml + "</dict>\n</plist>\n").toUtf8());
}

std::optional<Pid> StandIns::jobPid(const QString& label) const {
    const QJsonValue pid = update()["jobs"][label]["pid"];
    return pid.isDouble() ? std::optional(static_cast<Pid>(pid.toInt())) : std::nullopt;
}

int StandIns::callCount(const QStringList& prefix) const {
    QFile file(stateDir() + "/calls.log");
    int count = 0;
    for (const QByteArray& line :
         file.open(QIODevice::ReadOnly) ? file.readAll().split('\n') : QList<QByteArray>())
        count += !line.isEmpty() && QJsonDocument::fromJson(line).toVariant().toStringList().mid(
                                        0, prefix.size()) == prefix;
    return count;
}

bool StandIns::isAlive(Pid pid) {
    const QList<QByteArray> fields = procStat(pid);
    return !fields.isEmpty() && !QByteArray("ZXx").contains(fields[0].left(1));
}

// A process descriptor turns readable when its process ends.
bool StandIns::waitGone(Pid pid, std::chrono::milliseconds timeout) {
    const int pidfd = ProcessDescriptor::open(pid);
    if (pidfd >= 0) {
        pollfd entry{pidfd, POLLIN, 0};
        ::poll(&entry, 1, static_cast<int>(timeout.count()));
        ::close(pidfd);
    }
    return !isAlive(pid);
}
