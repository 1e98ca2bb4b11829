#include "inventory/BackgroundItem.h"

#include <functional>

#include <gtest/gtest.h>

#include "ItemFixtures.h"

using namespace ItemFixtures;
using Domain = LaunchJob::Domain;
using Kind = BackgroundItem::Kind;
using State = BackgroundItem::State;

namespace {

QString s(const char* text) {
    return QString::fromUtf8(text);
}

std::optional<QString> opt(const char* text) {
    return QString::fromUtf8(text);
}

// One variation of a base item and the value expected from it.
template <typename T> struct Row {
    const char* why;
    std::function<void(BackgroundItem&)> change;
    T expected;
};

template <typename T, typename F>
void check(const BackgroundItem& base, const std::vector<Row<T>>& rows, F derive) {
    for (const Row<T>& row : rows) {
        BackgroundItem item = base;
        row.change(item);
        EXPECT_EQ(derive(item), row.expected) << row.why;
    }
}

LaunchJob withProgram(LaunchJob j, std::optional<QString> program, QStringList arguments) {
    j.program = std::move(program);
    j.arguments = std::move(arguments);
    return j;
}

} // namespace

TEST(BackgroundItemTest, ExecutablePathFromPrimaryElseJob) {
    const LaunchJob agent = job(s("com.example.agent"));
    check<std::optional<QString>>(
        runningPlain(),
        {
            {"primary path", [](BackgroundItem&) {}, opt("/Users/me/bin/server")},
            {"primary wins over the job", [&](BackgroundItem& i) { i.job = agent; },
             opt("/Users/me/bin/server")},
            {"a primary whose path could not be read",
             [](BackgroundItem& i) { i.primary->path = {}; }, opt("")},
            {"job program",
             [&](BackgroundItem& i) {
                 i = notRunning(withProgram(agent, s("/opt/bin/agent"), {s("/bin/sh"), s("-c")}));
             },
             opt("/opt/bin/agent")},
            {"job first argument without a program",
             [&](BackgroundItem& i) {
                 i = notRunning(withProgram(agent, std::nullopt, {s("/bin/sh"), s("-c")}));
             },
             opt("/bin/sh")},
            {"job with neither",
             [&](BackgroundItem& i) { i = notRunning(withProgram(agent, std::nullopt, {})); },
             std::nullopt},
            {"registered-only label",
             [](BackgroundItem& i) {
                 i = notRunning(LaunchJob());
                 i.job.reset();
             },
             std::nullopt},
        },
        Items::executablePath);
}

TEST(BackgroundItemTest, CommandLineQuotesArgumentsWithBlanks) {
    const LaunchJob agent = job(s("com.example.agent"));
    const auto args = [](BackgroundItem& i, QStringList list) { i.primary->arguments = list; };
    check<QString>(
        runningPlain(),
        {
            {"plain arguments",
             [&](BackgroundItem& i) {
                 args(i, {s("node"), s("server.js"), s("--port=3000")});
             },
             s("node server.js --port=3000")},
            {"blank inside an argument",
             [&](BackgroundItem& i) {
                 args(i, {s("/Applications/My App.app/Contents/MacOS/My App"), s("--x")});
             },
             s("'/Applications/My App.app/Contents/MacOS/My App' --x")},
            {"several blanks and an empty argument",
             [&](BackgroundItem& i) {
                 args(i, {s("sh"), s("-c"), s("echo a b"), s("")});
             },
             s("sh -c 'echo a b' ")},
            {"a quote inside a quoted argument cannot end the quoting",
             [&](BackgroundItem& i) { args(i, {s("sh"), s("-c"), s("echo it's ok")}); },
             s("sh -c 'echo it'\\''s ok'")},
            {"tab is not a blank", [&](BackgroundItem& i) { args(i, {s("a\tb")}); }, s("a\tb")},
            {"no arguments and no job", [&](BackgroundItem& i) { args(i, {}); }, s("")},
            {"no arguments falls back to the job's program",
             [&](BackgroundItem& i) {
                 args(i, {});
                 i.job = withProgram(agent, s("/opt/My Tools/agent"), {s("agent"), s("--serve")});
             },
             s("'/opt/My Tools/agent'")},
            {"a job with a program shows only the program",
             [&](BackgroundItem& i) {
                 i = notRunning(
                     withProgram(agent, s("/opt/bin/agent"), {s("agent"), s("--serve")}));
             },
             s("/opt/bin/agent")},
            {"a job without a program shows its arguments",
             [&](BackgroundItem& i) {
                 i = notRunning(
                     withProgram(agent, std::nullopt, {s("/bin/sh"), s("-c"), s("exec my app")}));
             },
             s("/bin/sh -c 'exec my app'")},
            {"a job with nothing",
             [&](BackgroundItem& i) { i = notRunning(withProgram(agent, {}, {})); }, s("")},
        },
        Items::commandLine);
}

TEST(BackgroundItemTest, SimulatorDeviceOnlyFromTheSimDeviceLabel) {
    BackgroundItem sim = runningPlain();
    sim.kind = Kind::simulator;
    check<std::optional<QString>>(
        sim,
        {
            {"device label",
             [](BackgroundItem& i) {
                 i.launchLabel = s("com.apple.CoreSimulator.SimDevice.4F1A7C2E-0B7D-4C53-9E1A-1D2");
             },
             opt("4F1A7C2E-0B7D-4C53-9E1A-1D2")},
            {"label without the prefix",
             [](BackgroundItem& i) {
                 i.launchLabel = s("com.apple.CoreSimulator.CoreSimulatorService");
             },
             std::nullopt},
            {"no label", [](BackgroundItem&) {}, std::nullopt},
            {"bare prefix names no device",
             [](BackgroundItem& i) { i.launchLabel = s("com.apple.CoreSimulator.SimDevice."); },
             std::nullopt},
            {"only simulator items",
             [](BackgroundItem& i) {
                 i.kind = Kind::process;
                 i.launchLabel = s("com.apple.CoreSimulator.SimDevice.ABC");
             },
             std::nullopt},
        },
        Items::simulatorDeviceID);
}

TEST(BackgroundItemTest, ControllableLabel) {
    const LaunchJob agent = job(s("com.example.agent"));
    check<std::optional<QString>>(
        runningPlain(),
        {
            {"nothing registered", [](BackgroundItem&) {}, std::nullopt},
            {"user agent", [&](BackgroundItem& i) { i.job = agent; }, opt("com.example.agent")},
            {"global agent",
             [&](BackgroundItem& i) { i.job = job(s("com.vendor.a"), Domain::globalAgent); },
             opt("com.vendor.a")},
            {"global daemon is not ours to control",
             [&](BackgroundItem& i) { i.job = job(s("com.vendor.d"), Domain::globalDaemon); },
             std::nullopt},
            {"label without a plist",
             [](BackgroundItem& i) { i.launchLabel = s("com.example.reg"); },
             opt("com.example.reg")},
            {"the job's label wins over the launchctl label",
             [&](BackgroundItem& i) {
                 i.job = agent;
                 i.launchLabel = s("com.example.other");
             },
             opt("com.example.agent")},
            {"application labels are not jobs",
             [](BackgroundItem& i) { i.launchLabel = s("application.com.foo.Foo.1.2"); },
             std::nullopt},
            {"a job beside an application label",
             [&](BackgroundItem& i) {
                 i.job = agent;
                 i.launchLabel = s("application.com.foo.Foo.1.2");
             },
             opt("com.example.agent")},
            {"simulators are shut down, not booted out",
             [&](BackgroundItem& i) {
                 i.kind = Kind::simulator;
                 i.launchLabel = s("com.apple.CoreSimulator.SimDevice.ABC");
             },
             std::nullopt},
            {"not-running job", [&](BackgroundItem& i) { i = notRunning(agent); },
             opt("com.example.agent")},
        },
        Items::controllableLabel);
}

TEST(BackgroundItemTest, HasLaunchdJob) {
    check<bool>(
        runningPlain(),
        {
            {"nothing", [](BackgroundItem&) {}, false},
            {"job", [](BackgroundItem& i) { i.job = job(s("x.y")); }, true},
            {"label", [](BackgroundItem& i) { i.launchLabel = s("com.x.y"); }, true},
            {"application label",
             [](BackgroundItem& i) { i.launchLabel = s("application.com.x.y.1.2"); }, false},
        },
        Items::hasLaunchdJob);
}

TEST(BackgroundItemTest, AutoStarts) {
    BackgroundItem base = runningPlain();
    base.job = job(s("com.example.agent"));
    check<bool>(
        base,
        {
            {"on demand", [](BackgroundItem&) {}, false},
            {"run at load", [](BackgroundItem& i) { i.job->runAtLoad = true; }, true},
            {"keep alive", [](BackgroundItem& i) { i.job->keepAlive = true; }, true},
            {"interval", [](BackgroundItem& i) { i.job->startInterval = 3600; }, true},
            {"zero interval is still an interval",
             [](BackgroundItem& i) { i.job->startInterval = 0; }, true},
            {"calendar only", [](BackgroundItem& i) { i.job->hasCalendarInterval = true; }, true},
            {"login item", [](BackgroundItem& i) { i.isLoginItem = true; }, true},
            {"login item without a job",
             [](BackgroundItem& i) {
                 i.job.reset();
                 i.isLoginItem = true;
             },
             true},
            {"no job", [](BackgroundItem& i) { i.job.reset(); }, false},
        },
        Items::autoStarts);
}

TEST(BackgroundItemTest, CanStopOnlyOwnRunningNonSystemItems) {
    check<bool>(
        runningPlain(),
        {
            {"own process", [](BackgroundItem&) {}, true},
            {"another user's process", [](BackgroundItem& i) { i.primary->uid = root; }, false},
            {"Apple item", [](BackgroundItem& i) { i.isApple = true; }, false},
            {"global daemon run as me",
             [](BackgroundItem& i) { i.job = job(s("com.v.d"), Domain::globalDaemon); }, false},
            {"global agent run as me",
             [](BackgroundItem& i) { i.job = job(s("com.v.a"), Domain::globalAgent); }, true},
            {"user agent", [](BackgroundItem& i) { i.job = job(s("com.v.u")); }, true},
            {"own app", [](BackgroundItem& i) { i.kind = Kind::app; }, true},
            {"simulator", [](BackgroundItem& i) { i.kind = Kind::simulator; }, true},
            {"not running", [](BackgroundItem& i) { i = notRunning(job(s("com.v.u"))); }, false},
            {"parked",
             [](BackgroundItem& i) {
                 i = notRunning(job(s("com.v.u")));
                 i.state = State::disabled;
             },
             false},
            {"running without a primary",
             [](BackgroundItem& i) {
                 i.primary.reset();
                 i.members.clear();
             },
             false},
        },
        [](const BackgroundItem& item) { return Items::canStop(item, me); });
}

TEST(BackgroundItemTest, CanDisableOnlyOwnAutoStartingUserAgents) {
    BackgroundItem base = notRunning(job(s("com.example.agent")));
    base.job->runAtLoad = true;
    check<bool>(
        base,
        {
            {"user agent run at load", [](BackgroundItem&) {}, true},
            {"user agent kept alive",
             [](BackgroundItem& i) {
                 i.job->runAtLoad = false;
                 i.job->keepAlive = true;
             },
             true},
            {"running user agent",
             [](BackgroundItem& i) {
                 i.state = State::running;
                 i.kind = Kind::process;
                 i.primary = runningPlain().primary;
             },
             true},
            {"global agent", [](BackgroundItem& i) { i.job->domain = Domain::globalAgent; }, false},
            {"global daemon", [](BackgroundItem& i) { i.job->domain = Domain::globalDaemon; },
             false},
            {"only a start interval",
             [](BackgroundItem& i) {
                 i.job->runAtLoad = false;
                 i.job->startInterval = 300;
             },
             false},
            {"only a calendar",
             [](BackgroundItem& i) {
                 i.job->runAtLoad = false;
                 i.job->hasCalendarInterval = true;
             },
             false},
            {"parked", [](BackgroundItem& i) { i.state = State::disabled; }, false},
            {"disabled in launchd", [](BackgroundItem& i) { i.isDisabledInLaunchd = true; }, false},
            {"Apple", [](BackgroundItem& i) { i.isApple = true; }, false},
            {"label without a plist",
             [](BackgroundItem& i) {
                 i.job.reset();
                 i.launchLabel = s("com.example.agent");
             },
             false},
            {"login item is not a launchd agent",
             [](BackgroundItem& i) {
                 i.job->runAtLoad = false;
                 i.isLoginItem = true;
             },
             false},
        },
        Items::canDisable);
}

TEST(BackgroundItemTest, IsDevServer) {
    const auto originOf = [](Origin::Case kind) {
        return [kind](BackgroundItem& i) { i.origin = {kind, s("X"), std::nullopt}; };
    };
    check<bool>(
        runningPlain(),
        {
            {"detached, no ports", [](BackgroundItem&) {}, false},
            {"listens", [](BackgroundItem& i) { i.ports = {3000}; }, true},
            {"agent session", originOf(Origin::Case::agentSession), true},
            {"IDE", originOf(Origin::Case::ide), true},
            {"terminal", originOf(Origin::Case::terminal), true},
            {"shell", originOf(Origin::Case::shell), true},
            {"launchd job", originOf(Origin::Case::launchdJob), false},
            {"app helper", originOf(Origin::Case::appHelper), false},
            {"app", originOf(Origin::Case::app), false},
            {"unknown", originOf(Origin::Case::unknown), false},
            {"simulator", [](BackgroundItem& i) { i.kind = Kind::simulator; }, true},
            {"Homebrew service",
             [](BackgroundItem& i) { i = notRunning(job(s("homebrew.mxcl.redis"))); }, true},
            {"Homebrew service, new style",
             [](BackgroundItem& i) { i = notRunning(job(s("sh.brew.postgresql"))); }, true},
            {"Homebrew label without a plist does not count",
             [](BackgroundItem& i) { i.launchLabel = s("homebrew.mxcl.redis"); }, false},
            {"other job", [](BackgroundItem& i) { i = notRunning(job(s("com.example.x"))); },
             false},
        },
        Items::isDevServer);
}

TEST(BackgroundItemTest, SearchTextJoinsSixPieces) {
    BackgroundItem full = runningPlain();
    full.name = s("server in web");
    full.explanation = s("A dev server.");
    full.primary->workingDirectory = s("/Users/me/src/web");
    full.job = job(s("com.example.web"));
    full.launchLabel = s("com.example.other");
    full.ports = {3000, 9229};
    check<QString>(
        full,
        {
            {"every piece", [](BackgroundItem&) {},
             s("server in web A dev server. /Users/me/bin/server com.example.web /Users/me/src/web "
               "3000 9229")},
            {"launchctl label without a job", [](BackgroundItem& i) { i.job.reset(); },
             s("server in web A dev server. /Users/me/bin/server com.example.other "
               "/Users/me/src/web 3000 9229")},
            {"missing pieces stay as empty slots",
             [](BackgroundItem& i) {
                 i.job.reset();
                 i.launchLabel.reset();
                 i.primary->workingDirectory.reset();
                 i.ports.clear();
                 i.explanation.clear();
             },
             s("server in web  /Users/me/bin/server   ")},
            {"not-running job",
             [](BackgroundItem& i) {
                 i = notRunning(job(s("com.example.agent")));
                 i.name = s("agent");
             },
             s("agent  /usr/local/bin/com.example.agent com.example.agent  ")},
        },
        Items::searchText);
}

TEST(BackgroundItemTest, SafetyNoteFirstRuleThatApplies) {
    const auto note = [](const char* text, bool warning) {
        return std::optional<SafetyNote>(SafetyNote{s(text), warning});
    };
    const char* const apple = "Part of macOS. Leave it running.";
    const char* const otherUser =
        "Runs as another user (root); stop it from its own app or with admin rights.";
    const char* const live = "Live Claude session: stopping it ends the conversation.";
    const char* const usedBy = "Used by an active Codex session; stopping may break its work.";
    const char* const build = "Part of a running build; the build will fail.";
    const char* const quit = "Safe to quit like ⌘Q; the app asks before losing unsaved work.";
    const ProcSnapshot claude =
        process(s("claude"), s("/Users/me/.local/bin/claude"), {s("claude")});
    const auto codexOrigin = [](BackgroundItem& i) {
        i.origin = {Origin::Case::agentSession, s("Codex"), s("/Users/me/src/api")};
    };

    check<std::optional<SafetyNote>>(
        runningPlain(),
        {
            {"not running", [](BackgroundItem& i) { i = notRunning(job(s("com.x.y"))); },
             std::nullopt},
            {"parked",
             [](BackgroundItem& i) {
                 i = notRunning(job(s("com.x.y")));
                 i.state = State::disabled;
             },
             std::nullopt},
            {"Apple before every other rule",
             [&](BackgroundItem& i) {
                 i.isApple = true;
                 i.primary->uid = root;
                 i.ports = {53};
                 i.isPartOfBuild = true;
             },
             note(apple, true)},
            {"root process that listens",
             [](BackgroundItem& i) {
                 i.primary->uid = root;
                 i.ports = {80, 443};
             },
             note(otherUser, true)},
            {"root agent session",
             [&](BackgroundItem& i) {
                 i.primary = claude;
                 i.primary->uid = root;
             },
             note(otherUser, true)},
            {"the session process itself",
             [&](BackgroundItem& i) {
                 i.primary = claude;
                 i.ports = {3000};
             },
             note(live, true)},
            {"a session started by another session",
             [&](BackgroundItem& i) {
                 i.primary = claude;
                 codexOrigin(i);
             },
             note(live, true)},
            {"a process started by a session", codexOrigin, note(usedBy, true)},
            {"a session's build step",
             [&](BackgroundItem& i) {
                 codexOrigin(i);
                 i.isPartOfBuild = true;
             },
             note(usedBy, true)},
            {"build", [](BackgroundItem& i) { i.isPartOfBuild = true; }, note(build, true)},
            {"an app during a build",
             [](BackgroundItem& i) {
                 i.kind = Kind::app;
                 i.isPartOfBuild = true;
             },
             note(build, true)},
            {"app", [](BackgroundItem& i) { i.kind = Kind::app; }, note(quit, false)},
            {"app that listens",
             [](BackgroundItem& i) {
                 i.kind = Kind::app;
                 i.ports = {8080};
             },
             note(quit, false)},
            {"plain process", [](BackgroundItem&) {},
             note("Safe to stop. It does not come back by itself.", false)},
            {"lowest port is named",
             [](BackgroundItem& i) {
                 i.ports = {5432, 8080};
             },
             note("Serves port 5432; clients connected to it lose the connection. "
                  "It does not come back by itself.",
                  false)},
            {"lowest port even out of order",
             [](BackgroundItem& i) {
                 i.ports = {8080, 5432};
             },
             note("Serves port 5432; clients connected to it lose the connection. "
                  "It does not come back by itself.",
                  false)},
            {"port numbers are not grouped", [](BackgroundItem& i) { i.ports = {50051}; },
             note("Serves port 50051; clients connected to it lose the connection. "
                  "It does not come back by itself.",
                  false)},
            {"calendar job comes back",
             [](BackgroundItem& i) {
                 i.job = job(s("com.example.nightly"));
                 i.job->hasCalendarInterval = true;
             },
             note("Safe to stop. It comes back at next login.", false)},
            {"login item that listens comes back",
             [](BackgroundItem& i) {
                 i.isLoginItem = true;
                 i.ports = {8080, 5432};
             },
             note("Serves port 5432; clients connected to it lose the connection. "
                  "It comes back at next login.",
                  false)},
            {"disabled in launchd does not come back",
             [](BackgroundItem& i) {
                 i.job = job(s("com.example.agent"));
                 i.job->keepAlive = true;
                 i.isDisabledInLaunchd = true;
             },
             note("Safe to stop. It does not come back by itself.", false)},
            {"own global daemon process is still only described",
             [](BackgroundItem& i) { i.job = job(s("com.v.d"), Domain::globalDaemon); },
             note("Safe to stop. It does not come back by itself.", false)},
            {"simulator", [](BackgroundItem& i) { i.kind = Kind::simulator; },
             note("Safe to stop. It does not come back by itself.", false)},
        },
        [](const BackgroundItem& item) { return Items::safetyNote(item, me); });
}
