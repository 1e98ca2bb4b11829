// Catches, end to end under this machine's rules: the session's units and
// autostart entries missing from the report or carrying the wrong status, a
// unit's running process not taken by its unit, the vendor's units shown as
// the user's, a Hidden=true override still claiming to start at login, and a
// report that breaks its schema with the new keys.

#include <gtest/gtest.h>

#include <QProcess>

#include <nlohmann/json.hpp>

#include "support/JsonSchema.h"
#include "support/SessionScene.h"
#include "support/TestPaths.h"

namespace {

using nlohmann::json;

TEST(LinuxSessionReport, ListsUnitsAndEntriesWithTheirStatus) {
    SessionScene scene;
    ASSERT_TRUE(scene.isValid());
    QProcess report;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("QUILLMARSH_HOST"));
    report.setProcessEnvironment(environment);
    report.start(TestPaths::binary(), {QStringLiteral("--json"), QStringLiteral("--all")});
    ASSERT_TRUE(report.waitForFinished(60000));
    const QByteArray output = report.readAllStandardOutput();
    EXPECT_EQ(report.readAllStandardError(), QByteArray());
    EXPECT_EQ(JsonSchema::reportErrors(output), QStringList());

    const std::string home = scene.home().toStdString();
    std::map<std::string, std::string> expected = {
        {"job:syncthing.service",
         "File sync | running | autoStart yes | ~/.config/systemd/user/syncthing.service | 1"},
        {"job:vendor-agent.service",
         "Vendor agent | Stopped (until login) | autoStart yes | vendor-agent.service"},
        {"job:notes.desktop",
         "Notes | Stopped (until login) | autoStart yes | ~/.config/autostart/notes.desktop"},
        {"job:print-applet.desktop",
         "Print Applet | Stopped (until login) | autoStart yes | system | print-applet.desktop"},
        {"job:updater.desktop",
         "Updater | Disabled (hidden) | autoStart no | ~/.config/autostart/updater.desktop"},
    };
    std::map<std::string, std::string> seen;
    const json document = json::parse(output.toStdString());
    for (const char* list : {"running", "notRunning"}) {
        for (const json& item : document.at(list)) {
            if (!expected.count(item.at("id")))
                continue;
            const std::string file = item.value("unitFile", item.value("autostartEntry", ""));
            std::string line = item.at("name").get<std::string>() + " | " +
                               item.value("status", "running") + " | autoStart " +
                               (item.at("autoStart").get<bool>() ? "yes" : "no") +
                               (item.at("isApple").get<bool>() ? " | system" : "") + " | " +
                               (file.starts_with(home) ? "~" + file.substr(home.size())
                                                       : file.substr(file.rfind('/') + 1));
            if (!item.at("pids").empty())
                line += " | " + std::to_string(item.at("pids").size());
            seen[item.at("id")] = line;
        }
    }
    EXPECT_EQ(seen, expected);
}

} // namespace
