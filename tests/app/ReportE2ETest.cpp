// The real `quillmarsh --json` over a temporary home with launch agents, the
// stand-in launchctl and real processes; how the arguments pick the mode, and
// that only window mode loads the window library.

#include <csignal>
#include <memory>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "app/QuillmarshApp.h"
#include "launchd/CommandParsers.h"
#include "os/SettingsStore.h"
#include "report/JsonReport.h"
#include "support/JsonSchema.h"
#include "support/StandIns.h"
#include "support/TestPaths.h"

using nlohmann::json;

namespace {

TEST(ReportMode, NeedsAnExactJsonArgumentAnywhere) {
    using QuillmarshApp::RunMode;
    const std::tuple<QStringList, RunMode, bool> cases[] = {
        {{"/usr/bin/quillmarsh"}, RunMode::window, false},
        {{"/usr/bin/quillmarsh", "x", "--json", "--json"}, RunMode::report, false},
        {{"/usr/bin/quillmarsh", "--all", "--json"}, RunMode::report, true},
        {{"/usr/bin/quillmarsh", "--json=1"}, RunMode::window, false},
        {{"--json"}, RunMode::report, false},
    };
    for (const auto& [arguments, mode, all] : cases)
        EXPECT_TRUE(QuillmarshApp::parseArguments(arguments) ==
                    (QuillmarshApp::StartOptions{mode, all}))
            << qPrintable(arguments.join(u' '));
}

const QString runner = QStringLiteral("com.quillmarsh.e2e.runner");

// Agents on disk, one of them loaded and running, and the stored login items.
class Scene {
public:
    Scene() {
        ok = standIns.isValid() && QDir().mkpath(root.filePath(QStringLiteral("bin"))) &&
             QDir().mkpath(agents() + "/Disabled") &&
             QDir().mkpath(root.filePath(QStringLiteral("library/LaunchDaemons"))) &&
             QFile::copy(QStringLiteral("/bin/sleep"), sleeper());
        const auto agent = [&](const QString& path, const QString& label, bool runAtLoad,
                               const QString& extra = {}) {
            return StandIns::writePlist(path, label, {sleeper(), QStringLiteral("300")}, runAtLoad,
                                        extra);
        };
        ok = ok && agent(agents() + "/plain.plist", "com.quillmarsh.e2e.plain", false) &&
             agent(agents() + "/calendar.plist", "com.quillmarsh.e2e.calendar", false,
                   "<key>StartCalendarInterval</key><dict><key>Hour</key><integer>3</integer>"
                   "</dict>") &&
             agent(agents() + "/off.plist", "com.quillmarsh.e2e.off", true) &&
             agent(agents() + "/Disabled/parked.plist", "com.quillmarsh.e2e.parked", true) &&
             agent(agents() + "/runner.plist", runner, true);
        standIns.setDisabled(QStringLiteral("com.quillmarsh.e2e.off"));

        QSettings settings(home() + QStringLiteral("/.config/%1/%2.conf")
                                        .arg(QLatin1String(SettingsStore::organization),
                                             QLatin1String(SettingsStore::application)),
                           QSettings::IniFormat);
        settings.setValue(QLatin1String(JsonReport::loginItemsKey),
                          CommandParsers::encodeLoginItems({{}, {runner}}));
        settings.sync();

        QProcess launchctl;
        launchctl.setProcessEnvironment(environment());
        launchctl.start(standIns.locations().launchctl,
                        {QStringLiteral("bootstrap"), QStringLiteral("gui/%1").arg(::getuid()),
                         agents() + "/runner.plist"});
        ok = ok && launchctl.waitForFinished(30000) && launchctl.exitCode() == 0;
    }

    QString home() const { return root.filePath(QStringLiteral("home")); }
    QString agents() const { return home() + QStringLiteral("/Library/LaunchAgents"); }
    QString sleeper() const { return root.filePath(QStringLiteral("bin/qm-sleeper")); }
    QProcessEnvironment environment() const {
        QProcessEnvironment env = standIns.environment();
        env.insert(QStringLiteral("HOME"), home());
        env.remove(QStringLiteral("XDG_CONFIG_HOME"));
        env.insert(QStringLiteral("QUILLMARSH_LIBRARY_DIR"),
                   root.filePath(QStringLiteral("library")));
        env.insert(QStringLiteral("LANG"), QStringLiteral("de_DE.UTF-8"));
        return env;
    }

    QTemporaryDir root;
    StandIns standIns;
    bool ok = false;
};

struct Outcome {
    int status = -1;
    QByteArray output;
    QByteArray error;
};

class ReportE2E : public ::testing::Test {
protected:
    static void SetUpTestSuite() { scene = std::make_unique<Scene>(); }
    static void TearDownTestSuite() { scene.reset(); }
    void SetUp() override { ASSERT_TRUE(scene->ok) << "the scene could not be set up"; }

    // Runs the binary; `prepare` runs in the child right before it starts.
    static Outcome run(const QStringList& arguments, std::function<void()> prepare = {},
                       const QString& binary = TestPaths::binary(), bool traceLoads = false) {
        QProcess process;
        QProcessEnvironment environment = scene->environment();
        if (traceLoads) // the dynamic loader names every library it opens
            environment.insert(QStringLiteral("LD_DEBUG"), QStringLiteral("files"));
        process.setProcessEnvironment(environment);
        if (prepare)
            process.setChildProcessModifier(prepare);
        process.start(binary, arguments);
        if (!process.waitForFinished(120000))
            return {};
        return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
                process.readAllStandardOutput(), process.readAllStandardError()};
    }
    static json document(const Outcome& result) {
        EXPECT_EQ(result.status, 0) << result.error.constData();
        EXPECT_TRUE(result.error.isEmpty()) << result.error.constData();
        EXPECT_EQ(JsonSchema::reportErrors(result.output), QStringList());
        return json::parse(result.output.begin(), result.output.end(), nullptr, false);
    }
    static const json* item(const json& document, const std::string& id) {
        for (const char* list : {"running", "notRunning"}) {
            if (!document.contains(list))
                continue;
            for (const json& entry : document.at(list)) {
                if (entry.at("id") == id)
                    return &entry;
            }
        }
        return nullptr;
    }

    static inline std::unique_ptr<Scene> scene;
};

TEST_F(ReportE2E, SchemaValidReportOfThisMachineAppleItemsOnlyWithAll) {
    const json plain = document(run({QStringLiteral("--json")}));
    const json all = document(run({QStringLiteral("--all"), QStringLiteral("--json")}));
    ASSERT_FALSE(plain.is_discarded() || all.is_discarded());
    bool anyApple = false;
    for (const json& entry : plain.at("running"))
        anyApple = anyApple || entry.at("isApple") == true;
    EXPECT_FALSE(anyApple);
    for (const json& entry : all.at("running"))
        anyApple = anyApple || entry.at("isApple") == true;
    EXPECT_TRUE(anyApple) << "this machine's /usr/bin and /bin programs count as the system's";

    const json* job = item(plain, "job:" + runner.toStdString());
    ASSERT_NE(job, nullptr);
    EXPECT_FALSE(job->at("pids").empty());
    EXPECT_EQ(job->at("loginItem"), true) << "the stored login items name this label";
    EXPECT_EQ(job->at("command"), scene->sleeper().toStdString() + " 300");
    EXPECT_EQ(item(plain, "job:" + runner.toStdString() + ":disabled"), nullptr);

    const std::tuple<const char*, const char*, bool> notRunning[] = {
        {"job:com.quillmarsh.e2e.plain", "Not loaded (", false},
        {"job:com.quillmarsh.e2e.calendar", "Stopped (until login)", true},
        {"job:com.quillmarsh.e2e.off", "Disabled (in launchd)", false},
        {"job:com.quillmarsh.e2e.parked:disabled", "Disabled (plist parked)", false},
    };
    for (const auto& [id, status, autoStart] : notRunning) {
        const json* entry = item(plain, id);
        ASSERT_NE(entry, nullptr) << id;
        EXPECT_EQ(entry->at("status").get<std::string>().rfind(status, 0), 0u) << id;
        EXPECT_EQ(entry->at("autoStart"), autoStart) << id;
    }
}

TEST_F(ReportE2E, OutputThatCannotBeWrittenFailsWithStatusOneAndOneLine) {
    const std::function<void()> cases[] = {
        [] { // a full disk
            const int full = ::open("/dev/full", O_WRONLY);
            ::dup2(full, 1);
        },
        [] { // a reader that went away, with SIGPIPE at its default as in a pipeline
            int ends[2];
            if (::pipe(ends) == 0) {
                ::close(ends[0]);
                ::dup2(ends[1], 1);
            }
            std::signal(SIGPIPE, SIG_DFL);
        },
    };
    for (const auto& prepare : cases) {
        const Outcome result = run({QStringLiteral("--json")}, prepare);
        EXPECT_EQ(result.status, 1) << "-1 is a crash or a signal";
        EXPECT_EQ(result.error.count('\n'), 1) << result.error.constData();
        EXPECT_TRUE(result.error.startsWith("quillmarsh: ")) << result.error.constData();
    }
    // Window mode without the window library next to the binary: one line too.
    QTemporaryDir dir;
    const QString lonely = dir.filePath(QStringLiteral("quillmarsh"));
    ASSERT_TRUE(QFile::copy(TestPaths::binary(), lonely));
    const Outcome window = run({}, {}, lonely);
    EXPECT_EQ(window.status, 1);
    EXPECT_TRUE(window.error.startsWith("quillmarsh: cannot load the window"))
        << window.error.constData();
    EXPECT_EQ(window.error.count('\n'), 1);
}

TEST_F(ReportE2E, ReportModeNeverLoadsTheWindowOrGuiLibraries) {
    const QByteArray loaded = run({QStringLiteral("--json")}, {}, TestPaths::binary(), true).error;
    ASSERT_TRUE(loaded.contains("libQt6Core")) << "the loader trace is missing";
    for (const char* library : {"libquillmarsh_window", "libQt6Widgets", "libQt6Gui"})
        EXPECT_FALSE(loaded.contains(library)) << library;
}

} // namespace
