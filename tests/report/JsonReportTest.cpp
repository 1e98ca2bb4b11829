#include "report/JsonReport.h"

#include <functional>

#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "inventory/ItemFixtures.h"
#include "launchd/CommandParsers.h"
#include "support/JsonSchema.h"

using nlohmann::json;
using namespace ItemFixtures;
using State = BackgroundItem::State;

namespace {

// 2026-01-31T08:05:09Z, with a fraction that must not show.
constexpr Timestamp sampleTime = 1769846709.75;

BackgroundItem server() {
    BackgroundItem item = running(process(QStringLiteral("node"), QStringLiteral("/usr/bin/node"),
                                          {QStringLiteral("node"), QStringLiteral("server.js")}));
    item.ports = {5432, 8080};
    item.members.append(item.members.first());
    item.members.last().pid = 4243;
    return item;
}

BackgroundItem sync(bool runAtLoad = false) {
    LaunchJob definition = job(QStringLiteral("com.example.sync"));
    definition.runAtLoad = runAtLoad;
    return notRunning(definition);
}

QByteArray render(const QList<BackgroundItem>& running, const QList<BackgroundItem>& notRunning) {
    return JsonReport::render(Inventory{running, notRunning, sampleTime, {}}, me).value_or("");
}

json only(const BackgroundItem& item) {
    const bool isRunning = item.state == State::running;
    const QByteArray bytes = isRunning ? render({item}, {}) : render({}, {item});
    return json::parse(bytes.begin(), bytes.end()).at(isRunning ? "running" : "notRunning").at(0);
}

TEST(JsonReport, LayoutIsSortedIndentedUnescapedAndEndsWithOneLineFeed) {
    EXPECT_EQ(JsonReport::dateText(59.999), "1970-01-01T00:00:59Z"); // UTC, never rounded up
    EXPECT_EQ(render({}, {}), "{\n  \"notRunning\": [],\n  \"running\": [],\n"
                              "  \"sampledAt\": \"2026-01-31T08:05:09Z\"\n}\n");
    BackgroundItem odd = server();
    odd.name = QString::fromUtf8("Caf\xc3\xa9");
    odd.explanation = QString::fromUtf8(QByteArray("bad \xff bytes"));
    odd.ancestry = {QString(QChar(0xD800)) + u'x'};
    const QByteArray bytes = render({odd, server()}, {sync()});
    EXPECT_TRUE(bytes.contains("\"/usr/bin/node\"") && bytes.contains("Caf\xc3\xa9"));
    EXPECT_TRUE(bytes.endsWith("}\n") && !bytes.endsWith("\n\n"));
    // Strict parsing fails on invalid UTF-8: the whole document is valid.
    const auto ordered = nlohmann::ordered_json::parse(bytes.begin(), bytes.end());
    EXPECT_EQ(ordered.at("running").at(0).at("explanation"), "bad \xef\xbf\xbd bytes");
    std::function<void(const nlohmann::ordered_json&)> sorted = [&](const auto& value) {
        if (!value.is_structured())
            return;
        std::string previous;
        for (const auto& [key, member] : value.items()) {
            if (value.is_object()) {
                EXPECT_LT(previous, key);
                previous = key;
            }
            sorted(member);
        }
    };
    sorted(ordered);
}

TEST(JsonReport, ItemsCarryTheirValuesAndLeaveAbsentKeysOut) {
    BackgroundItem item = server();
    item.primary->startDate = sampleTime - 3600;
    item.primary->workingDirectory = QStringLiteral("/Users/u/site");
    item.memory = (quint64(1) << 63) + 5;
    item.origin = {Origin::Case::agentSession, QStringLiteral("Claude"), QStringLiteral("/u/p")};
    const json object = only(item);
    EXPECT_EQ(object.at("pids"), json::array({4242, 4243}));
    EXPECT_EQ(object.at("memoryBytes").get<quint64>(), item.memory);
    EXPECT_EQ(object.at("ports"), json::array({5432, 8080}));
    EXPECT_EQ(object.at("executable"), "/usr/bin/node");
    EXPECT_EQ(object.at("startDate"), "2026-01-31T07:05:09Z");
    EXPECT_EQ(object.at("workingDirectory"), "/Users/u/site");
    EXPECT_EQ(object.at("agentSessionFolder"), "/u/p");
    EXPECT_EQ(object.at("canStop"), true);
    for (const char* key : {"status", "launchdLabel", "plist", "runAtLoad", "lastExitStatus"})
        EXPECT_FALSE(object.contains(key)) << key;
    EXPECT_FALSE(only(server()).contains("startDate"));

    item.isApple = true;
    EXPECT_EQ(only(item).at("canStop"), false);
    item.origin.kind = Origin::Case::terminal;
    EXPECT_FALSE(only(item).contains("agentSessionFolder"));

    BackgroundItem job = sync(true);
    job.launchLabel = QStringLiteral("com.example.other");
    const json jobObject = only(job);
    EXPECT_EQ(jobObject.at("launchdLabel"), "com.example.sync");
    EXPECT_EQ(jobObject.at("plist"), "/Users/me/Library/LaunchAgents/com.example.sync.plist");
    EXPECT_EQ(jobObject.at("runAtLoad"), true);
    EXPECT_EQ(jobObject.at("pids"), json::array());
    EXPECT_FALSE(jobObject.contains("safety"));
    EXPECT_EQ(jobObject.at("autoStart"), true);
    BackgroundItem loginItem = server();
    loginItem.isLoginItem = true;
    EXPECT_EQ(only(loginItem).at("autoStart"), true);
    EXPECT_EQ(only(server()).at("autoStart"), false);
}

TEST(JsonReport, ReportsMatchTheSchemaWhichRejectsWhatTheyMustNotHold) {
    BackgroundItem full = server();
    full.primary->startDate = sampleTime;
    full.job = job(QStringLiteral("com.example.server"));
    BackgroundItem parked = sync();
    parked.state = State::disabled;
    parked.job->isParkedByQuillmarsh = true;
    const QByteArray bytes = render({full, server()}, {parked, sync()});
    EXPECT_EQ(JsonSchema::reportErrors(bytes), QStringList());

    const json good = json::parse(bytes.begin(), bytes.end());
    const std::function<void(json&)> changes[] = {
        [](json& d) { d["running"][0]["startDate"] = nullptr; },
        [](json& d) { d["running"][0]["memoryByte"] = 3; },
        [](json& d) { d["running"][0].erase("canStop"); },
        [](json& d) { d["running"][0]["ports"] = {70000}; },
        [](json& d) { d["sampledAt"] = "2026-01-31T08:05:09.250Z"; },
        [](json& d) { d.erase("notRunning"); },
    };
    for (const auto& change : changes) {
        json bad = good;
        change(bad);
        EXPECT_FALSE(JsonSchema::reportErrors(QByteArray::fromStdString(bad.dump())).isEmpty())
            << bad.dump().substr(0, 300);
    }
}

TEST(JsonReport, StoredLoginItemsDecodeOrFallBackToEmpty) {
    QTemporaryDir folder;
    QSettings settings(folder.filePath(QStringLiteral("s.ini")), QSettings::IniFormat);
    const CommandParsers::LoginItems items{{QStringLiteral("/Applications/N.app")},
                                           {QStringLiteral("com.example.helper")}};
    const QString key = QLatin1String(JsonReport::loginItemsKey);
    settings.setValue(key, CommandParsers::encodeLoginItems(items));
    EXPECT_TRUE(JsonReport::storedLoginItems(settings) == items);
    // A damaged value is dropped as a whole.
    for (const QVariant& bad : {QVariant(QByteArray("{not json")), QVariant(42),
                                QVariant(QByteArray(R"({"appPaths":["/A.app",1],"bundleIDs":[]})")),
                                QVariant(QByteArray(R"({"appPaths":["/A.app"]})"))}) {
        settings.setValue(key, bad);
        EXPECT_TRUE(JsonReport::storedLoginItems(settings) == CommandParsers::LoginItems{});
    }
}

} // namespace
