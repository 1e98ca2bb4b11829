#include "report/JsonReport.h"

#include <cerrno>
#include <cmath>
#include <csignal>
#include <exception>
#include <future>
#include <string>
#include <vector>

#include <QCoreApplication>
#include <QDateTime>
#include <QSettings>
#include <QVariant>

#include <unistd.h>

#include <nlohmann/json.hpp>

#include "inventory/Explanations.h"
#include "inventory/InventoryBuilder.h"
#include "inventory/Origin.h"
#include "launchd/CommandParsers.h"
#include "launchd/LaunchdReads.h"
#include "os/FileNames.h"
#include "os/ProcReader.h"
#include "os/SettingsStore.h"
#include "sampling/Sampler.h"

namespace JsonReport {

namespace {

using nlohmann::json;

// File names keep the bytes they had; any that are not UTF-8 become U+FFFD
// when the document is written.
std::string utf8(const QString& text) {
    return FileNames::encode(text).toStdString();
}

const char* kindName(BackgroundItem::Kind kind) {
    switch (kind) {
    case BackgroundItem::Kind::app:
        return "app";
    case BackgroundItem::Kind::process:
        return "process";
    case BackgroundItem::Kind::simulator:
        return "simulator";
    case BackgroundItem::Kind::job:
        return "job";
    }
    return "process";
}

const char* stateName(BackgroundItem::State state) {
    switch (state) {
    case BackgroundItem::State::running:
        return "running";
    case BackgroundItem::State::notRunning:
        return "notRunning";
    case BackgroundItem::State::disabled:
        return "disabled";
    }
    return "running";
}

json stringArray(const QStringList& texts) {
    json array = json::array();
    for (const QString& text : texts)
        array.push_back(utf8(text));
    return array;
}

// The unit's name and file, or the autostart entry's file.
void addSessionKeys(json& object, const SessionJob& job) {
    if (!SessionJobs::isUnit(job)) {
        object["autostartEntry"] = utf8(job.file);
        return;
    }
    object["systemdUnit"] = utf8(job.name);
    if (!job.file.isEmpty())
        object["unitFile"] = utf8(job.file);
    if (job.kind == SessionJob::Kind::timer)
        object["schedule"] = utf8(SessionJobs::scheduleText(job));
}

json itemObject(const BackgroundItem& item, Uid uid) {
    json object = json::object();
    object["id"] = utf8(item.id);
    object["name"] = utf8(item.name);
    object["kind"] = kindName(item.kind);
    object["state"] = stateName(item.state);
    object["explanation"] = utf8(item.explanation);

    json pids = json::array();
    for (const ProcSnapshot& member : item.members)
        pids.push_back(member.pid);
    object["pids"] = std::move(pids);

    object["memoryBytes"] = item.memory;
    object["executable"] = utf8(Items::executablePath(item).value_or(QString()));
    object["command"] = utf8(Items::commandLine(item));

    json ports = json::array();
    for (int port : item.ports)
        ports.push_back(port);
    object["ports"] = std::move(ports);

    object["origin"] = utf8(Origins::originText(item.origin));
    object["ancestry"] = stringArray(item.ancestry);
    object["autoStart"] = autoStart(item);
    object["loginItem"] = item.isLoginItem;
    object["disabledInLaunchd"] = item.isDisabledInLaunchd;
    object["isApple"] = item.isApple;
    object["partOfBuild"] = item.isPartOfBuild;
    object["canStop"] = Items::canStop(item, uid);

    if (item.state != BackgroundItem::State::running)
        object["status"] = utf8(statusText(Items::statusLine(item)));
    if (const std::optional<SafetyNote> note = Items::safetyNote(item, uid))
        object["safety"] = utf8(note->text);
    if (item.primary) {
        if (item.primary->startDate)
            object["startDate"] = utf8(dateText(*item.primary->startDate));
        if (item.primary->workingDirectory)
            object["workingDirectory"] = utf8(*item.primary->workingDirectory);
    }
    if (item.origin.kind == Origin::Case::agentSession && item.origin.folder)
        object["agentSessionFolder"] = utf8(*item.origin.folder);
    if (item.job) {
        object["launchdLabel"] = utf8(item.job->label);
        object["plist"] = utf8(item.job->plistPath);
        object["schedule"] = utf8(Explanations::scheduleText(*item.job));
        object["runAtLoad"] = item.job->runAtLoad;
        object["keepAlive"] = item.job->keepAlive;
    } else if (item.launchLabel) {
        object["launchdLabel"] = utf8(*item.launchLabel);
    }
    if (item.sessionJob)
        addSessionKeys(object, *item.sessionJob);
    return object;
}

// Appends `"key": [items]` at the document's first level, laid out as the
// whole document would dump with two-space indentation. Each item is built
// and dumped on its own, so a large inventory never exists as one tree.
void appendItemArray(std::string& out, const char* key, const QList<BackgroundItem>& items,
                     Uid uid) {
    out += "  \"";
    out += key;
    out += "\": ";
    if (items.isEmpty()) {
        out += "[]";
        return;
    }
    out += "[\n";
    for (qsizetype i = 0; i < items.size(); ++i) {
        const std::string item =
            itemObject(items[i], uid).dump(2, ' ', false, json::error_handler_t::replace);
        out += "    ";
        for (const char c : item) {
            out += c;
            // Line feeds inside strings are escaped, so every one here starts a line.
            if (c == '\n')
                out += "    ";
        }
        out += i + 1 < items.size() ? ",\n" : "\n";
    }
    out += "  ]";
}

void printError(const QString& message) {
    const QByteArray line = QStringLiteral("quillmarsh: %1\n").arg(message).toUtf8();
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
    std::fflush(stderr);
}

// The session's units with their states and its autostart entries.
SampleInput sessionFacts(const Sources& sources) {
    const SessionReads::Sources& session = sources.session;
    SessionReads::Units units = SessionReads::withStates(
        UnitScanner::scanUnits(session.unitFolders), session, sources.host.bootedWithSystemd);
    SampleInput facts;
    facts.sessionJobs = std::move(units.units);
    facts.sessionJobs += AutostartScanner::scanEntries(session.autostartFolders, session.desktops);
    facts.unitStates = std::move(units.states);
    if (units.warning)
        facts.warnings.append(*units.warning);
    return facts;
}

} // namespace

Sources Sources::standard() {
    Sources sources;
    sources.uid = static_cast<Uid>(::getuid());
    sources.ownPid = static_cast<Pid>(::getpid());
    return sources;
}

QString dateText(Timestamp time) {
    const qint64 seconds = static_cast<qint64>(std::floor(time));
    return QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC).toString(Qt::ISODate);
}

bool autoStart(const BackgroundItem& item) {
    if (item.state == BackgroundItem::State::disabled || item.isDisabledInLaunchd)
        return false;
    return Items::autoStarts(item);
}

QString statusText(const StatusLine& line) {
    return line.status + QStringLiteral(" (") + line.detail + QLatin1Char(')');
}

std::optional<QByteArray> render(const Inventory& inventory, Uid uid) {
    try {
        // The keys in code-point order: "notRunning", "running", "sampledAt".
        std::string text = "{\n";
        appendItemArray(text, "notRunning", inventory.notRunning, uid);
        text += ",\n";
        appendItemArray(text, "running", inventory.running, uid);
        text += ",\n  \"sampledAt\": ";
        text += json(utf8(dateText(inventory.sampledAt))).dump();
        text += "\n}\n";
        return QByteArray(text.data(), static_cast<qsizetype>(text.size()));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

CommandParsers::LoginItems storedLoginItems(const QSettings& settings) {
    const QVariant value = settings.value(QLatin1String(loginItemsKey));
    if (!value.isValid())
        return {};
    return CommandParsers::decodeLoginItems(value.toByteArray())
        .value_or(CommandParsers::LoginItems{});
}

Inventory sample(bool includeAll, const Sources& sources,
                 const CommandParsers::LoginItems& loginItems) {
    SampleInput input;

    // The job facts, the socket holders and the processes share nothing until
    // the builder, and each mostly waits on the kernel, a command or the
    // service manager: the first two are read on threads of their own while
    // this one reads the processes.
    auto launchd = std::async(std::launch::async, [&sources] {
        SampleInput facts;
        if (!sources.host.hasLaunchd)
            return sessionFacts(sources);
        facts.jobs = JobScanner::scanJobs(sources.folders);
        // Whatever launchctl printed is parsed, also after a failure or a time-out;
        // after a time-out it is not asked a second time.
        LaunchdReads::JobTable list = LaunchdReads::readJobTable(sources.tools);
        const LaunchdReads::DisabledLabels disabled =
            LaunchdReads::timedOut(list.warning)
                ? LaunchdReads::skippedAfterTimeout()
                : LaunchdReads::readDisabledLabels(sources.tools, sources.uid);
        facts.launchctl = std::move(list.table);
        facts.disabled = disabled.labels;
        for (const auto& warning : {list.warning, disabled.warning}) {
            if (warning)
                facts.warnings.append(*warning);
        }
        return facts;
    });
    // The holder search cannot wait for the process table to tell this
    // user's processes: it looks at every process, and the ports of others
    // are dropped below (their descriptors cannot be read anyway, unless this
    // user is root, whose processes they all are).
    auto ports = std::async(std::launch::async, [] {
        ProcReader::SocketOwnerCache socketOwners;
        return ProcReader::listeningPorts(ProcReader::allPids(), socketOwners);
    });

    ProcReader::StaticInfoCache staticInfo;
    input.processes = ProcReader::readAll(staticInfo);

    input.ports = ports.get();
    std::erase_if(input.ports, [&](const auto& entry) {
        const auto process = input.processes.find(entry.first);
        return process == input.processes.end() || process->second.uid != sources.uid;
    });
    SampleInput facts = launchd.get();
    input.jobs = std::move(facts.jobs);
    input.launchctl = std::move(facts.launchctl);
    input.disabled = std::move(facts.disabled);
    input.warnings = std::move(facts.warnings);
    input.sessionJobs = std::move(facts.sessionJobs);
    input.unitStates = std::move(facts.unitStates);
    input.loginItems = loginItems;
    input.includeApple = includeAll;
    input.ownPid = sources.ownPid;
    input.uid = sources.uid;
    input.host = sources.host;
    input.resolvePath = &Sampler::standardResolvePath;
    return InventoryBuilder::build(input);
}

std::optional<QString> writeAll(std::FILE* stream, QByteArrayView bytes) {
    errno = 0;
    const size_t size = static_cast<size_t>(bytes.size());
    const size_t written = size == 0 ? 0 : std::fwrite(bytes.data(), 1, size, stream);
    const bool flushed = std::fflush(stream) == 0;
    if (written == size && flushed && !std::ferror(stream))
        return std::nullopt;
    const int error = errno;
    if (error != 0)
        return QCoreApplication::translate("JsonReport", "could not write the report: %1")
            .arg(qt_error_string(error));
    return QCoreApplication::translate("JsonReport", "could not write the report.");
}

int printJSONReport(bool includeAll) {
    // A reader that went away must not kill the process: the write then fails
    // with EPIPE and the exit status says so.
    std::signal(SIGPIPE, SIG_IGN);

    const Sources sources = Sources::standard();
    const Inventory inventory =
        sample(includeAll, sources, storedLoginItems(*SettingsStore::open()));

    // The document is still written: scripts keep working with what could be read.
    for (const SourceWarning& warning : inventory.warnings)
        printError(QCoreApplication::translate("JsonReport", "warning: %1")
                       .arg(LaunchdReads::warningText(warning)));

    const std::optional<QByteArray> document = render(inventory, sources.uid);
    if (!document) {
        printError(QCoreApplication::translate("JsonReport", "could not produce the report."));
        return 1;
    }
    if (const std::optional<QString> failure = writeAll(stdout, *document)) {
        printError(*failure);
        return 1;
    }
    return 0;
}

} // namespace JsonReport
