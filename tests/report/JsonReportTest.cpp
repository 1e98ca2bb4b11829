#include "report/JsonReport.h"

#include <csignal>
#include <cstdio>
#include <functional>

#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "inventory/Explanations.h"
#include "inventory/Origin.h"
#include "launchd/CommandParsers.h"
#include "support/JsonSchema.h"

using nlohmann::json;
using Kind = BackgroundItem::Kind;
using State = BackgroundItem::State;

namespace {

constexpr Uid me = 501;
// 2026-01-31T08:05:09Z, with a fraction that must not show.
constexpr Timestamp sampleTime = 1769846709.75;

ProcSnapshot process(Pid pid, quint64 memory) {
    ProcSnapshot p;
    p.pid = pid;
    p.ppid = 1;
    p.uid = me;
    p.name = QStringLiteral("node");
    p.path = QStringLiteral("/usr/local/bin/node");
    p.memory = memory;
    p.arguments = {QStringLiteral("/usr/local/bin/node"), QStringLiteral("server.js")};
    return p;
}

BackgroundItem runningItem() {
    BackgroundItem item;
    item.id = QStringLiteral("exe:/usr/local/bin/node|server.js|");
    item.name = QStringLiteral("server");
    item.explanation = QStringLiteral("A Node.js program.");
    item.kind = Kind::process;
    item.state = State::running;
    item.primary = process(4242, 1000);
    item.members = {*item.primary, process(4243, 24)};
    item.memory = 1024;
    item.ports = {5432, 8080};
    item.origin = Origin{Origin::Case::detached, QString(), std::nullopt};
    item.ancestry = {QStringLiteral("launchd"), QStringLiteral("server")};
    return item;
}

LaunchJob job(const QString& label) {
    LaunchJob j;
    j.label = label;
    j.plistPath =
        QStringLiteral("/Users/u/Library/LaunchAgents/") + label + QStringLiteral(".plist");
    j.program = QStringLiteral("/opt/tool/bin/sync");
    return j;
}

BackgroundItem jobItem(const LaunchJob& definition) {
    BackgroundItem item;
    item.id = QStringLiteral("job:") + definition.label;
    item.name = definition.label;
    item.kind = Kind::job;
    item.state = State::notRunning;
    item.job = definition;
    item.origin = Origin{Origin::Case::launchdJob, definition.label, std::nullopt};
    item.ancestry = {QStringLiteral("launchd")};
    return item;
}

json parse(const QByteArray& bytes) {
    return json::parse(bytes.begin(), bytes.end());
}

json renderOne(const BackgroundItem& item) {
    Inventory inventory;
    inventory.sampledAt = sampleTime;
    (item.state == State::running ? inventory.running : inventory.notRunning).append(item);
    const std::optional<QByteArray> bytes = JsonReport::render(inventory, me);
    EXPECT_TRUE(bytes.has_value());
    const json document = parse(bytes.value_or(QByteArray("{}")));
    const char* list = item.state == State::running ? "running" : "notRunning";
    return document.at(list).at(0);
}

// Every object's keys in document order, checked to be ascending by code point
// (UTF-8 byte order is code-point order).
void expectSortedKeys(const nlohmann::ordered_json& value) {
    if (value.is_object()) {
        std::string previous;
        bool first = true;
        for (const auto& [key, member] : value.items()) {
            if (!first) {
                EXPECT_LT(previous, key);
            }
            previous = key;
            first = false;
            expectSortedKeys(member);
        }
    } else if (value.is_array()) {
        for (const auto& member : value)
            expectSortedKeys(member);
    }
}

void expectNoNull(const json& value) {
    EXPECT_FALSE(value.is_null());
    if (value.is_object() || value.is_array()) {
        for (const auto& member : value)
            expectNoNull(member);
    }
}

const char* const alwaysPresent[] = {"id",
                                     "name",
                                     "kind",
                                     "state",
                                     "explanation",
                                     "pids",
                                     "memoryBytes",
                                     "executable",
                                     "command",
                                     "ports",
                                     "origin",
                                     "ancestry",
                                     "autoStart",
                                     "loginItem",
                                     "isApple",
                                     "canStop",
                                     "disabledInLaunchd",
                                     "partOfBuild"};

} // namespace

TEST(JsonReportTest, DatesAreUtcWithWholeSeconds) {
    EXPECT_EQ(JsonReport::dateText(sampleTime), QStringLiteral("2026-01-31T08:05:09Z"));
    EXPECT_EQ(JsonReport::dateText(1769846709.0), QStringLiteral("2026-01-31T08:05:09Z"));
    EXPECT_EQ(JsonReport::dateText(0), QStringLiteral("1970-01-01T00:00:00Z"));
    // Fractions are dropped, never rounded up into the next second.
    EXPECT_EQ(JsonReport::dateText(59.999), QStringLiteral("1970-01-01T00:00:59Z"));
}

TEST(JsonReportTest, LayoutIsSortedIndentedAndEndsWithOneLineFeed) {
    Inventory inventory;
    inventory.sampledAt = sampleTime;
    inventory.running = {runningItem()};
    inventory.notRunning = {jobItem(job(QStringLiteral("com.example.sync")))};
    const QByteArray bytes = JsonReport::render(inventory, me).value();

    EXPECT_TRUE(bytes.startsWith("{\n  \"notRunning\": [\n    {\n      \""));
    EXPECT_TRUE(bytes.endsWith("\"2026-01-31T08:05:09Z\"\n}\n"));
    EXPECT_FALSE(bytes.endsWith("\n\n"));
    // Slashes stay as they are.
    EXPECT_TRUE(bytes.contains("\"/usr/local/bin/node\""));
    EXPECT_FALSE(bytes.contains("\\/"));

    const auto ordered = nlohmann::ordered_json::parse(bytes.begin(), bytes.end());
    expectSortedKeys(ordered);
    ASSERT_EQ(ordered.size(), 3u);
    EXPECT_EQ(ordered.at("sampledAt"), "2026-01-31T08:05:09Z");
}

TEST(JsonReportTest, EmptyInventoryHasTheThreeKeys) {
    Inventory inventory;
    inventory.sampledAt = sampleTime;
    const QByteArray bytes = JsonReport::render(inventory, me).value();
    EXPECT_EQ(bytes, QByteArray("{\n  \"notRunning\": [],\n  \"running\": [],\n"
                                "  \"sampledAt\": \"2026-01-31T08:05:09Z\"\n}\n"));
}

TEST(JsonReportTest, RunningItemCarriesItsValuesAndNoAbsentKeys) {
    BackgroundItem item = runningItem();
    item.primary->startDate = sampleTime - 3600;
    item.members[0] = *item.primary;
    item.primary->workingDirectory = QStringLiteral("/Users/u/site");
    item.members[0] = *item.primary;
    item.memory = (quint64(1) << 63) + 5; // beyond a signed 64-bit number
    const json object = renderOne(item);

    for (const char* key : alwaysPresent)
        EXPECT_TRUE(object.contains(key)) << key;
    expectNoNull(object);
    EXPECT_EQ(object.at("id"), item.id.toStdString());
    EXPECT_EQ(object.at("kind"), "process");
    EXPECT_EQ(object.at("state"), "running");
    EXPECT_EQ(object.at("pids"), json::array({4242, 4243}));
    EXPECT_EQ(object.at("memoryBytes").get<quint64>(), item.memory);
    EXPECT_EQ(object.at("ports"), json::array({5432, 8080}));
    EXPECT_EQ(object.at("executable"), "/usr/local/bin/node");
    EXPECT_EQ(object.at("command"), Items::commandLine(item).toStdString());
    EXPECT_EQ(object.at("origin"), Origins::originText(item.origin).toStdString());
    EXPECT_EQ(object.at("ancestry"), json::array({"launchd", "server"}));
    EXPECT_EQ(object.at("startDate"), "2026-01-31T07:05:09Z");
    EXPECT_EQ(object.at("workingDirectory"), "/Users/u/site");
    EXPECT_EQ(object.at("canStop"), true);
    EXPECT_TRUE(object.contains("safety"));

    for (const char* key : {"status", "launchdLabel", "plist", "schedule", "runAtLoad", "keepAlive",
                            "agentSessionFolder", "cpuPercent", "lastExitStatus", "appBundlePath"})
        EXPECT_FALSE(object.contains(key)) << key;
}

TEST(JsonReportTest, PrimaryWithoutStartDateOrFolderLeavesThoseKeysOut) {
    const json object = renderOne(runningItem());
    EXPECT_FALSE(object.contains("startDate"));
    EXPECT_FALSE(object.contains("workingDirectory"));
}

TEST(JsonReportTest, CanStopFollowsTheOwnerAndAppleFlag) {
    BackgroundItem item = runningItem();
    EXPECT_EQ(renderOne(item).at("canStop"), true);
    item.isApple = true;
    EXPECT_EQ(renderOne(item).at("canStop"), false);
    EXPECT_EQ(renderOne(item).at("isApple"), true);
    item.isApple = false;
    item.primary->uid = 0;
    item.members[0] = *item.primary;
    EXPECT_EQ(renderOne(item).at("canStop"), false);
}

TEST(JsonReportTest, AgentSessionFolderOnlyForAgentSessions) {
    BackgroundItem item = runningItem();
    item.origin = Origin{Origin::Case::agentSession, QStringLiteral("Claude"),
                         QStringLiteral("/Users/u/project")};
    EXPECT_EQ(renderOne(item).at("agentSessionFolder"), "/Users/u/project");

    item.origin.folder.reset();
    EXPECT_FALSE(renderOne(item).contains("agentSessionFolder"));

    item.origin = Origin{Origin::Case::terminal, QStringLiteral("Terminal"),
                         QStringLiteral("/Users/u/project")};
    EXPECT_FALSE(renderOne(item).contains("agentSessionFolder"));
}

TEST(JsonReportTest, JobItemHasItsLaunchdKeys) {
    LaunchJob definition = job(QStringLiteral("com.example.sync"));
    definition.runAtLoad = true;
    BackgroundItem item = jobItem(definition);
    // The job's own label wins over the one launchctl knows.
    item.launchLabel = QStringLiteral("com.example.other");
    const json object = renderOne(item);

    expectNoNull(object);
    EXPECT_EQ(object.at("kind"), "job");
    EXPECT_EQ(object.at("state"), "notRunning");
    EXPECT_EQ(object.at("pids"), json::array());
    EXPECT_EQ(object.at("memoryBytes"), 0);
    EXPECT_EQ(object.at("launchdLabel"), "com.example.sync");
    EXPECT_EQ(object.at("plist"), "/Users/u/Library/LaunchAgents/com.example.sync.plist");
    EXPECT_EQ(object.at("schedule"), Explanations::scheduleText(definition).toStdString());
    EXPECT_EQ(object.at("runAtLoad"), true);
    EXPECT_EQ(object.at("keepAlive"), false);
    EXPECT_EQ(object.at("executable"), "/opt/tool/bin/sync");
    EXPECT_EQ(object.at("canStop"), false);
    EXPECT_TRUE(object.contains("status"));
    // A safety note describes stopping, which only a running item has.
    EXPECT_FALSE(object.contains("safety"));
    EXPECT_FALSE(object.contains("startDate"));
}

TEST(JsonReportTest, LaunchLabelWithoutJobGivesOnlyTheLabel) {
    BackgroundItem item = runningItem();
    item.launchLabel = QStringLiteral("application.com.example.App.1234");
    const json object = renderOne(item);
    EXPECT_EQ(object.at("launchdLabel"), "application.com.example.App.1234");
    for (const char* key : {"plist", "schedule", "runAtLoad", "keepAlive"})
        EXPECT_FALSE(object.contains(key)) << key;
}

TEST(JsonReportTest, StatusIsStatusThenDetailInParentheses) {
    EXPECT_EQ(JsonReport::statusText({QStringLiteral("Failed"), QStringLiteral("exit 78")}),
              QStringLiteral("Failed (exit 78)"));
    EXPECT_EQ(JsonReport::statusText({QStringLiteral("Waiting"), QString()}),
              QStringLiteral("Waiting ()"));

    LaunchJob definition = job(QStringLiteral("com.example.sync"));
    BackgroundItem parked = jobItem(definition);
    parked.id += QStringLiteral(":disabled");
    parked.state = State::disabled;
    parked.job->isParkedByQuillmarsh = true;
    EXPECT_EQ(renderOne(parked).at("status"), "Disabled (plist parked)");
    EXPECT_EQ(renderOne(parked).at("state"), "disabled");

    BackgroundItem inLaunchd = jobItem(definition);
    inLaunchd.isDisabledInLaunchd = true;
    EXPECT_EQ(renderOne(inLaunchd).at("status"), "Disabled (in launchd)");

    BackgroundItem failed = jobItem(definition);
    failed.launchLabel = definition.label;
    failed.lastExitStatus = 78;
    EXPECT_EQ(renderOne(failed).at("status"), "Failed (exit 78)");

    BackgroundItem stopped = jobItem(definition);
    stopped.job->runAtLoad = true;
    EXPECT_EQ(renderOne(stopped).at("status"), "Stopped (until login)");
}

TEST(JsonReportTest, AutoStartRule) {
    struct Case {
        const char* what;
        State state;
        bool disabledInLaunchd;
        bool loginItem;
        bool hasJob;
        bool runAtLoad;
        bool keepAlive;
        std::optional<qint64> interval;
        bool calendar;
        bool expected;
    };
    const Case cases[] = {
        {"parked job that runs at load",
         State::disabled,
         false,
         false,
         true,
         true,
         false,
         {},
         false,
         false},
        {"launchd-disabled login item",
         State::notRunning,
         true,
         true,
         true,
         true,
         false,
         {},
         false,
         false},
        {"launchd-disabled keep-alive",
         State::notRunning,
         true,
         false,
         true,
         false,
         true,
         {},
         false,
         false},
        {"login item without a job",
         State::running,
         false,
         true,
         false,
         false,
         false,
         {},
         false,
         true},
        {"no job", State::running, false, false, false, false, false, {}, false, false},
        {"run at load", State::notRunning, false, false, true, true, false, {}, false, true},
        {"keep alive", State::notRunning, false, false, true, false, true, {}, false, true},
        {"interval only", State::notRunning, false, false, true, false, false, 3600, false, true},
        {"calendar only", State::notRunning, false, false, true, false, false, {}, true, true},
        {"on demand", State::notRunning, false, false, true, false, false, {}, false, false},
    };
    for (const Case& c : cases) {
        BackgroundItem item;
        if (c.hasJob) {
            LaunchJob definition = job(QStringLiteral("com.example.job"));
            definition.runAtLoad = c.runAtLoad;
            definition.keepAlive = c.keepAlive;
            definition.startInterval = c.interval;
            definition.hasCalendarInterval = c.calendar;
            definition.isParkedByQuillmarsh = c.state == State::disabled;
            item = jobItem(definition);
        } else {
            item = runningItem();
        }
        item.state = c.state;
        item.isDisabledInLaunchd = c.disabledInLaunchd;
        item.isLoginItem = c.loginItem;
        EXPECT_EQ(JsonReport::autoStart(item), c.expected) << c.what;
        const json object = renderOne(item);
        EXPECT_EQ(object.at("autoStart"), c.expected) << c.what;
        EXPECT_EQ(object.at("loginItem"), c.loginItem) << c.what;
        EXPECT_EQ(object.at("disabledInLaunchd"), c.disabledInLaunchd) << c.what;
    }
}

TEST(JsonReportTest, TextIsUtf8WithReplacementForBrokenBytes) {
    BackgroundItem item = runningItem();
    item.name = QString::fromUtf8("Caf\xc3\xa9 \xe2\x98\x95");
    item.explanation = QString::fromUtf8(QByteArray("bad \xff\xfe bytes"));
    // A lone surrogate cannot be written as UTF-8 at all.
    item.ancestry = {QString(QChar(0xD800)) + QStringLiteral("x")};
    Inventory inventory;
    inventory.sampledAt = sampleTime;
    inventory.running = {item};
    const QByteArray bytes = JsonReport::render(inventory, me).value();

    // Strict parsing fails on invalid UTF-8, so this proves the whole document is valid.
    const json document = parse(bytes);
    const json& object = document.at("running").at(0);
    EXPECT_EQ(object.at("name"), "Caf\xc3\xa9 \xe2\x98\x95");
    EXPECT_TRUE(bytes.contains("Caf\xc3\xa9")) << "non-ASCII text is written, not escaped";
    EXPECT_EQ(object.at("explanation").get<std::string>().find("\xef\xbf\xbd"), 4u);
    EXPECT_TRUE(QString::fromStdString(object.at("ancestry").at(0).get<std::string>())
                    .endsWith(QLatin1Char('x')));
}

TEST(JsonReportTest, ItemsKeepTheirOrder) {
    Inventory inventory;
    inventory.sampledAt = sampleTime;
    BackgroundItem big = runningItem();
    big.id = QStringLiteral("exe:/b||");
    BackgroundItem small = runningItem();
    small.id = QStringLiteral("exe:/a||");
    inventory.running = {big, small};
    inventory.notRunning = {jobItem(job(QStringLiteral("z.job"))),
                            jobItem(job(QStringLiteral("a.job")))};
    const json document = parse(JsonReport::render(inventory, me).value());
    EXPECT_EQ(document.at("running").at(0).at("id"), "exe:/b||");
    EXPECT_EQ(document.at("running").at(1).at("id"), "exe:/a||");
    EXPECT_EQ(document.at("notRunning").at(0).at("id"), "job:z.job");
    EXPECT_EQ(document.at("notRunning").at(1).at("id"), "job:a.job");
}

TEST(JsonReportTest, HandMadeReportsMatchTheSchema) {
    const std::optional<json> schema = JsonSchema::loadReportSchema();
    ASSERT_TRUE(schema.has_value()) << JsonSchema::reportSchemaPath().toStdString();

    BackgroundItem full = runningItem();
    full.primary->startDate = sampleTime;
    full.primary->workingDirectory = QStringLiteral("/tmp");
    full.members[0] = *full.primary;
    full.job = job(QStringLiteral("com.example.server"));
    full.origin =
        Origin{Origin::Case::agentSession, QStringLiteral("Claude"), QStringLiteral("/Users/u/p")};
    BackgroundItem parked = jobItem(job(QStringLiteral("com.example.parked")));
    parked.state = State::disabled;
    parked.job->isParkedByQuillmarsh = true;
    Inventory inventory;
    inventory.sampledAt = sampleTime;
    inventory.running = {full, runningItem()};
    inventory.notRunning = {parked, jobItem(job(QStringLiteral("com.example.sync")))};

    const json document = parse(JsonReport::render(inventory, me).value());
    EXPECT_EQ(JsonSchema::validate(*schema, document), QStringList());
}

TEST(JsonReportTest, SchemaRejectsWhatTheReportMustNotContain) {
    const std::optional<json> schema = JsonSchema::loadReportSchema();
    ASSERT_TRUE(schema.has_value());
    Inventory inventory;
    inventory.sampledAt = sampleTime;
    inventory.running = {runningItem()};
    const json good = parse(JsonReport::render(inventory, me).value());
    ASSERT_TRUE(JsonSchema::validate(*schema, good).isEmpty());

    auto errorsWith = [&](const std::function<void(json&)>& change) {
        json bad = good;
        change(bad);
        return JsonSchema::validate(*schema, bad);
    };
    EXPECT_FALSE(errorsWith([](json& d) { d["running"][0]["startDate"] = nullptr; }).isEmpty());
    EXPECT_FALSE(errorsWith([](json& d) { d["running"][0]["cpu"] = 3; }).isEmpty());
    EXPECT_FALSE(errorsWith([](json& d) { d["running"][0].erase("canStop"); }).isEmpty());
    EXPECT_FALSE(errorsWith([](json& d) { d["running"][0]["kind"] = "daemon"; }).isEmpty());
    EXPECT_FALSE(errorsWith([](json& d) { d["running"][0]["pids"] = {1.5}; }).isEmpty());
    EXPECT_FALSE(
        errorsWith([](json& d) { d["sampledAt"] = "2026-01-31T08:05:09.250Z"; }).isEmpty());
    EXPECT_FALSE(errorsWith([](json& d) { d["running"][0]["ports"] = {70000}; }).isEmpty());
    EXPECT_FALSE(errorsWith([](json& d) { d.erase("notRunning"); }).isEmpty());
}

TEST(JsonReportTest, StoredLoginItemsDecodeOrFallBackToEmpty) {
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    QSettings settings(folder.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);
    EXPECT_EQ(JsonReport::storedLoginItems(settings), CommandParsers::LoginItems{});

    CommandParsers::LoginItems items;
    items.appPaths = {QStringLiteral("/Applications/Notes Helper.app")};
    items.bundleIDs = {QStringLiteral("com.example.helper")};
    settings.setValue(QLatin1String(JsonReport::loginItemsKey),
                      CommandParsers::encodeLoginItems(items));
    EXPECT_EQ(JsonReport::storedLoginItems(settings), items);

    settings.setValue(QLatin1String(JsonReport::loginItemsKey), QByteArray("{not json"));
    EXPECT_EQ(JsonReport::storedLoginItems(settings), CommandParsers::LoginItems{});
    settings.setValue(QLatin1String(JsonReport::loginItemsKey), 42);
    EXPECT_EQ(JsonReport::storedLoginItems(settings), CommandParsers::LoginItems{});
}

TEST(JsonReportTest, WriteFailuresAreReported) {
    std::signal(SIGPIPE, SIG_IGN);
    const QByteArray bytes(1 << 16, 'x');

    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    ::close(ends[0]);
    std::FILE* pipeStream = ::fdopen(ends[1], "w");
    ASSERT_NE(pipeStream, nullptr);
    const std::optional<QString> closed = JsonReport::writeAll(pipeStream, bytes);
    std::fclose(pipeStream);
    ASSERT_TRUE(closed.has_value());
    EXPECT_FALSE(closed->contains(QLatin1Char('\n')));

    if (std::FILE* full = std::fopen("/dev/full", "w")) {
        const std::optional<QString> noSpace = JsonReport::writeAll(full, QByteArray("{}\n"));
        std::fclose(full);
        EXPECT_TRUE(noSpace.has_value());
    }

    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QByteArray path = folder.filePath(QStringLiteral("out.json")).toLocal8Bit();
    std::FILE* file = std::fopen(path.constData(), "w");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(JsonReport::writeAll(file, bytes), std::nullopt);
    std::fclose(file);
    QFile written(QString::fromLocal8Bit(path));
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    EXPECT_EQ(written.readAll(), bytes);
}
