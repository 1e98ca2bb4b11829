// Catches: a wrong or misspelt key, null written for an absent value, keys out
// of order or escaped text, a parked job reported as starting by itself,
// damaged stored login items breaking the report.

#include "report/JsonReport.h"

#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "inventory/ItemFixtures.h"
#include "launchd/CommandParsers.h"
#include "support/JsonSchema.h"

using nlohmann::json;
using namespace ItemFixtures;

namespace {

// 2026-01-31T08:05:09Z, with a fraction that must not show.
constexpr Timestamp sampleTime = 1769846709.75;

// One document: a strict parser reads it back and writes it again sorted,
// indented and unescaped; it matches the schema, which rejects what it must not
// hold; each item has the values expected under some keys, null for none.
TEST(JsonReport, OneDocumentWithItemsOfEverySort) {
    EXPECT_EQ(JsonReport::render(Inventory{{}, {}, sampleTime, {}}, me).value_or(""),
              "{\n  \"notRunning\": [],\n  \"running\": [],\n"
              "  \"sampledAt\": \"2026-01-31T08:05:09Z\"\n}\n");
    BackgroundItem item = running(process(QStringLiteral("node"), QStringLiteral("/usr/bin/node"),
                                          {QStringLiteral("node"), QStringLiteral("server.js")}));
    item.members.append(item.members.first());
    item.members.last().pid = 4243;
    item.ports = {5432, 8080};
    item.name = QString::fromUtf8("Caf\xc3\xa9");
    item.ancestry = {QStringLiteral("/bin/") + QChar(0xDCFF)}; // the byte 0xFF of a file name
    item.primary->startDate = sampleTime - 3600;
    item.primary->workingDirectory = QStringLiteral("/Users/u/site");
    item.memory = (quint64(1) << 63) + 5;
    item.origin = {Origin::Case::agentSession, QStringLiteral("Claude"), QStringLiteral("/u/p")};
    BackgroundItem apple = item;
    apple.isApple = true;
    apple.origin.kind = Origin::Case::terminal;
    BackgroundItem sync = notRunning(job(QStringLiteral("com.example.sync")));
    sync.job->runAtLoad = true;
    sync.launchLabel = QStringLiteral("com.example.other");
    BackgroundItem parked = sync;
    parked.state = BackgroundItem::State::disabled;
    parked.job->isParkedByQuillmarsh = true;
    const std::pair<const char*, const char*> rows[] = {
        {"/running/0", R"({"pids": [4242, 4243], "memoryBytes": 9223372036854775813,
            "ports": [5432, 8080], "executable": "/usr/bin/node", "canStop": true,
            "startDate": "2026-01-31T07:05:09Z", "workingDirectory": "/Users/u/site",
            "agentSessionFolder": "/u/p", "autoStart": false, "ancestry": ["/bin/\ufffd"],
            "status": null, "launchdLabel": null, "plist": null, "runAtLoad": null})"},
        {"/running/1", R"({"canStop": false, "agentSessionFolder": null})"},
        {"/notRunning/0", R"({"launchdLabel": "com.example.sync", "runAtLoad": true, "pids": [],
            "plist": "/Users/me/Library/LaunchAgents/com.example.sync.plist", "safety": null,
            "autoStart": true, "startDate": null})"},
        {"/notRunning/1", R"({"autoStart": false})"},
    };
    const Inventory inventory{{item, apple}, {sync, parked}, sampleTime, {}};
    const QByteArray bytes = JsonReport::render(inventory, me).value_or("");
    const json parsed = json::parse(bytes.begin(), bytes.end());
    EXPECT_EQ(parsed.dump(2) + '\n', bytes.toStdString());
    for (const auto& [pointer, text] : rows) {
        const json object = parsed.at(json::json_pointer(pointer)), values = json::parse(text);
        for (const auto& [key, value] : values.items())
            EXPECT_EQ(object.value(key, json()), value) << pointer << ' ' << key;
    }

    EXPECT_EQ(JsonSchema::reportErrors(bytes), QStringList());
    for (const char* change :
         {R"({"op": "replace", "path": "/running/0/startDate", "value": null})",
          R"({"op": "add", "path": "/running/0/memoryByte", "value": 3})",
          R"({"op": "remove", "path": "/running/0/canStop"})",
          R"({"op": "replace", "path": "/sampledAt", "value": "2026-01-31T08:05:09.250Z"})"}) {
        const json bad = parsed.patch(json::array({json::parse(change)}));
        EXPECT_FALSE(JsonSchema::reportErrors(QByteArray::fromStdString(bad.dump())).isEmpty())
            << change;
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
