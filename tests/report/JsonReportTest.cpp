// Catches: a wrong or misspelt key, null written for an absent value, keys out
// of order or escaped text, damaged stored login items breaking the report.

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

BackgroundItem sync() {
    return notRunning(job(QStringLiteral("com.example.sync")));
}

QByteArray render(const QList<BackgroundItem>& running, const QList<BackgroundItem>& notRunning) {
    return JsonReport::render(Inventory{running, notRunning, sampleTime, {}}, me).value_or("");
}

json only(const BackgroundItem& item) {
    const bool isRunning = item.state == State::running;
    const QByteArray bytes = isRunning ? render({item}, {}) : render({}, {item});
    return json::parse(bytes.begin(), bytes.end()).at(isRunning ? "running" : "notRunning").at(0);
}

// One document: a strict parser reads it back and writes it again sorted,
// indented and unescaped; it matches the schema, which rejects what it must not hold.
TEST(JsonReport, LayoutAndSchema) {
    EXPECT_EQ(JsonReport::dateText(59.999), "1970-01-01T00:00:59Z"); // UTC, never rounded up
    EXPECT_EQ(render({}, {}), "{\n  \"notRunning\": [],\n  \"running\": [],\n"
                              "  \"sampledAt\": \"2026-01-31T08:05:09Z\"\n}\n");
    BackgroundItem odd = server();
    odd.name = QString::fromUtf8("Caf\xc3\xa9");
    odd.explanation = QString::fromUtf8(QByteArray("bad \xff bytes"));
    odd.ancestry = {QString(QChar(0xD800)) + u'x'};
    odd.primary->startDate = sampleTime;
    odd.job = job(QStringLiteral("com.example.server"));
    BackgroundItem parked = sync();
    parked.state = State::disabled;
    parked.job->isParkedByQuillmarsh = true;
    const QByteArray bytes = render({odd, server()}, {parked, sync()});
    const json parsed = json::parse(bytes.begin(), bytes.end());
    EXPECT_EQ(parsed.dump(2) + '\n', bytes.toStdString());
    EXPECT_EQ(parsed.at("running").at(0).at("explanation"), "bad \xef\xbf\xbd bytes");

    EXPECT_EQ(JsonSchema::reportErrors(bytes), QStringList());
    const std::function<void(json&)> changes[] = {
        [](json& d) { d["running"][0]["startDate"] = nullptr; },
        [](json& d) { d["running"][0]["memoryByte"] = 3; },
        [](json& d) { d["running"][0].erase("canStop"); },
        [](json& d) { d["sampledAt"] = "2026-01-31T08:05:09.250Z"; },
    };
    for (const auto& change : changes) {
        json bad = parsed;
        change(bad);
        EXPECT_FALSE(JsonSchema::reportErrors(QByteArray::fromStdString(bad.dump())).isEmpty())
            << bad.dump().substr(0, 300);
    }
}

// Per item the values expected under some keys; null for a key left out.
TEST(JsonReport, ItemsCarryTheirValuesAndLeaveAbsentKeysOut) {
    BackgroundItem item = server();
    item.primary->startDate = sampleTime - 3600;
    item.primary->workingDirectory = QStringLiteral("/Users/u/site");
    item.memory = (quint64(1) << 63) + 5;
    item.origin = {Origin::Case::agentSession, QStringLiteral("Claude"), QStringLiteral("/u/p")};
    BackgroundItem apple = item;
    apple.isApple = true;
    apple.origin.kind = Origin::Case::terminal;
    BackgroundItem loginItem = server();
    loginItem.isLoginItem = true;
    BackgroundItem job = sync();
    job.job->runAtLoad = true;
    job.launchLabel = QStringLiteral("com.example.other");
    const std::pair<BackgroundItem, const char*> cases[] = {
        {item, R"({"pids": [4242, 4243], "memoryBytes": 9223372036854775813, "ports": [5432, 8080],
            "executable": "/usr/bin/node", "startDate": "2026-01-31T07:05:09Z", "canStop": true,
            "workingDirectory": "/Users/u/site", "agentSessionFolder": "/u/p", "autoStart": false,
            "status": null, "launchdLabel": null, "plist": null, "runAtLoad": null,
            "lastExitStatus": null})"},
        {apple, R"({"canStop": false, "agentSessionFolder": null})"},
        {server(), R"({"startDate": null})"},
        {loginItem, R"({"autoStart": true})"},
        {job, R"({"launchdLabel": "com.example.sync", "runAtLoad": true, "pids": [],
            "plist": "/Users/me/Library/LaunchAgents/com.example.sync.plist", "safety": null,
            "autoStart": true})"},
    };
    for (const auto& [subject, expected] : cases) {
        const json object = only(subject), values = json::parse(expected);
        for (const auto& [key, value] : values.items())
            EXPECT_EQ(object.value(key, json()), value) << key;
    }
}

// A damaged stored value is dropped as a whole (the report run reads a good one).
TEST(JsonReport, DamagedStoredLoginItemsFallBackToEmpty) {
    QTemporaryDir folder;
    QSettings settings(folder.filePath(QStringLiteral("s.ini")), QSettings::IniFormat);
    for (const char* bad : {"{not json", R"({"appPaths":["/A.app",1],"bundleIDs":[]})",
                            R"({"appPaths":["/A.app"]})"}) {
        settings.setValue(QLatin1String(JsonReport::loginItemsKey), QByteArray(bad));
        EXPECT_TRUE(JsonReport::storedLoginItems(settings) == CommandParsers::LoginItems{}) << bad;
    }
}

} // namespace
