// The rules that judge one item: origin, safety, status, explanation, text helpers.

#include <functional>

#include <QCoreApplication>

#include <gtest/gtest.h>

#include "inventory/BackgroundItem.h"
#include "inventory/EnglishPlurals.h"
#include "inventory/Explanations.h"
#include "inventory/ItemFixtures.h"
#include "inventory/ItemPresentation.h"
#include "inventory/Origin.h"
#include "inventory/TextCompare.h"

using namespace ItemFixtures;
using namespace Qt::StringLiterals;
using Case = Origin::Case;
using Domain = LaunchJob::Domain;
using Kind = BackgroundItem::Kind;
using State = BackgroundItem::State;

namespace {

// Neither root nor the user the rules are asked for.
constexpr Uid otherUser = 502;

ProcSnapshot proc(const QString& name, const QString& path, QStringList arguments = {},
                  std::optional<QString> folder = std::nullopt) {
    ProcSnapshot p = process(name, path, std::move(arguments));
    p.workingDirectory = std::move(folder);
    return p;
}

// Which origin wins when several apply along the parent chain (nearest first).
TEST(Origins, ClassifyOverTheParentChain) {
    const ProcSnapshot node = proc(u"node"_s, u"/bin/node"_s, {u"node"_s, u"s.js"_s});
    const ProcSnapshot zsh = proc(u"zsh"_s, u"/bin/zsh"_s);
    const ProcSnapshot iterm =
        proc(u"iTerm2"_s, u"/Applications/iTerm.app/Contents/MacOS/iTerm2"_s);
    const ProcSnapshot claude = proc(u"claude"_s, u"/u/bin/claude"_s, {u"claude"_s}, u"/web"_s);
    const ProcSnapshot codex =
        proc(u"node"_s, u"/bin/node"_s, {u"node"_s, u"/lib/node_modules/@openai/codex/x.js"_s},
             u"/api"_s);
    const ProcSnapshot foo = proc(u"Foo"_s, u"/Applications/Foo.app/Contents/MacOS/Foo"_s);
    const ProcSnapshot code =
        proc(u"Electron"_s, u"/Applications/Visual Studio Code.app/Contents/MacOS/Electron"_s);
    const ProcSnapshot helper =
        proc(u"H"_s, u"/Applications/Foo.app/Contents/Frameworks/H.app/Contents/MacOS/H"_s);
    const ProcSnapshot daemon = proc(u"agentd"_s, u"/usr/local/bin/agentd"_s);
    const ProcSnapshot make = proc(u"make"_s, u"/usr/bin/make"_s);
    const ProcSnapshot python = proc(u"python3"_s, u"/usr/bin/python3"_s);
    const std::optional<QString> none, agent = u"com.example.agent"_s,
                                       app = u"application.com.foo.Foo.1.2"_s;
    const Origin terminal{Case::terminal, u"iTerm"_s, {}}, fooHelper{Case::appHelper, u"Foo"_s, {}},
        claudeSession{Case::agentSession, u"Claude"_s, u"/web"_s};
    const std::tuple<QList<ProcSnapshot>, ProcSnapshot, std::optional<QString>, Origin> rows[] = {
        {{zsh, iterm}, node, none, terminal},
        {{zsh, claude, zsh, iterm}, node, none, claudeSession}, // an agent beats its terminal
        {{codex, zsh}, node, none, {Case::agentSession, u"Codex"_s, u"/api"_s}},
        {{zsh, iterm}, claude, none, terminal}, // the agent by its own parents
        {{claude}, node, agent, claudeSession}, // an agent beats a label
        {{code}, node, agent, {Case::ide, u"Visual Studio Code"_s, {}}}, // so does an IDE
        {{helper, foo}, node, none, fooHelper},                          // the outermost app
        {{foo}, helper, u"com.foo.helper"_s, {Case::launchdJob, u"com.foo.helper"_s, {}}},
        {{}, daemon, app, {Case::app, {}, {}}},
        {{foo}, node, app, fooHelper}, // an application label never makes a job
        {{}, daemon, none, {Case::detached, {}, {}}},
        {{make, proc(u"-zsh"_s, u"/bin/zsh"_s)}, node, none, {Case::shell, {}, {}}},
        {{zsh, foo}, node, none, fooHelper}, // an app parent beats a shell
        {{python}, node, none, {Case::unknown, {}, {}}},
    };
    for (const auto& [chain, primary, label, expected] : rows)
        EXPECT_EQ(Origins::classify(chain, primary, label), expected)
            << qPrintable(chain.value(0).path);

    EXPECT_TRUE(Origins::isPartOfBuild(proc(u"cc1"_s, u"/x/cc1"_s), {python, make}));
    EXPECT_FALSE(Origins::isPartOfBuild(node, {zsh, iterm}));
}

TEST(Origins, AgentToolsAndAppBundles) {
    const std::tuple<QString, QStringList, std::optional<QString>> agents[] = {
        {u"/u/.local/share/claude/versions/2.0.14"_s, {}, u"Claude"_s},
        {u"/usr/local/bin/node"_s, {u"node"_s, u"/x/Claude-Code/cli.js"_s}, u"Claude"_s},
        {u"/usr/local/bin/node"_s, {u"node"_s, u"--flag"_s, u"claude-code"_s}, std::nullopt},
        {u"/Applications/Claude.app/Contents/MacOS/Claude"_s, {}, std::nullopt},
        {u"/usr/local/bin/codex-helper"_s, {}, std::nullopt},
        {u"/opt/x-claude"_s, {u"-code"_s}, std::nullopt}, // never across arguments
        {u"/opt/x"_s, {u"x"_s, u"@OPENAI/CODEX"_s}, u"Codex"_s},
        {u"/usr/bin/vim"_s, {u"vim"_s, u"claude.md"_s}, std::nullopt},
    };
    for (const auto& [path, arguments, tool] : agents) {
        ProcSnapshot p = proc(path.section(u'/', -1), path, arguments);
        EXPECT_EQ(Origins::agentTool(p), tool) << qPrintable(path);
    }
    EXPECT_EQ(Origins::appName(u"/Applications/My.apps/Real.app/Contents/MacOS/real"_s), u"Real"_s);
    EXPECT_EQ(
        Origins::appBundle(u"/Applications/Foo.app/Contents/Frameworks/B.app/Contents/MacOS/B"_s),
        u"/Applications/Foo.app"_s);
    EXPECT_EQ(Origins::appBundle(u"/Applications/Foo.app"_s), std::nullopt);
}

template <typename T> struct Row {
    const char* why;
    std::function<void(BackgroundItem&)> change;
    T expected;
};

template <typename T, typename F>
void check(const BackgroundItem& base, const std::vector<Row<T>>& rows, F rule) {
    for (const Row<T>& row : rows) {
        BackgroundItem item = base;
        row.change(item);
        EXPECT_EQ(rule(item), row.expected) << row.why;
    }
}

TEST(Items, WhatMayBeDone) {
    const LaunchJob agent = job(u"com.example.agent"_s);
    check<bool>(
        runningPlain(),
        {{"own process", [](BackgroundItem&) {}, true},
         {"another user's process", [](BackgroundItem& i) { i.primary->uid = otherUser; }, false},
         {"Apple's", [](BackgroundItem& i) { i.isApple = true; }, false},
         {"a global daemon run as me",
          [](BackgroundItem& i) { i.job = job(u"d"_s, Domain::globalDaemon); }, false},
         {"a global agent run as me",
          [](BackgroundItem& i) { i.job = job(u"a"_s, Domain::globalAgent); }, true},
         {"not running", [&](BackgroundItem& i) { i = notRunning(agent); }, false},
         {"without a primary", [](BackgroundItem& i) { i.primary.reset(); }, false}},
        [](const BackgroundItem& item) { return Items::canStop(item, me); });

    BackgroundItem atLoad = notRunning(agent);
    atLoad.job->runAtLoad = true;
    check<bool>(
        atLoad,
        {{"user agent run at load", [](BackgroundItem&) {}, true},
         {"global agent", [](BackgroundItem& i) { i.job->domain = Domain::globalAgent; }, false},
         {"only a schedule",
          [](BackgroundItem& i) {
              i.job->runAtLoad = false;
              i.job->startInterval = 300;
          },
          false},
         {"parked", [](BackgroundItem& i) { i.state = State::disabled; }, false},
         {"disabled in launchd", [](BackgroundItem& i) { i.isDisabledInLaunchd = true; }, false},
         {"a label without a plist",
          [](BackgroundItem& i) {
              i.launchLabel = i.job->label;
              i.job.reset();
          },
          false}},
        Items::canDisable);

    check<std::optional<QString>>(
        runningPlain(),
        {{"nothing registered", [](BackgroundItem&) {}, std::nullopt},
         {"the job's label beats launchctl's",
          [&](BackgroundItem& i) {
              i.job = agent;
              i.launchLabel = u"com.example.other"_s;
          },
          u"com.example.agent"_s},
         {"a global daemon is not ours",
          [](BackgroundItem& i) { i.job = job(u"d"_s, Domain::globalDaemon); }, std::nullopt},
         {"a label without a plist", [](BackgroundItem& i) { i.launchLabel = u"com.x.reg"_s; },
          u"com.x.reg"_s},
         {"application labels are no jobs",
          [](BackgroundItem& i) { i.launchLabel = u"application.com.foo.Foo.1"_s; }, std::nullopt},
         {"simulators are shut down, not booted out",
          [](BackgroundItem& i) {
              i.kind = Kind::simulator;
              i.launchLabel = u"com.apple.CoreSimulator.SimDevice.ABC"_s;
          },
          std::nullopt}},
        Items::controllableLabel);
}

TEST(Items, CommandLineQuotesWhatABlankWouldSplit) {
    const std::pair<QStringList, QString> rows[] = {
        {{u"node"_s, u"--port=3"_s}, u"node --port=3"_s},
        {{u"/A B/c"_s, u"echo it's"_s, QString()}, u"'/A B/c' 'echo it'\\''s' "_s},
        {{u"a\tb"_s}, u"a\tb"_s}}; // a tab is no blank
    for (const auto& [arguments, expected] : rows) {
        BackgroundItem item = runningPlain();
        item.primary->arguments = arguments;
        EXPECT_EQ(Items::commandLine(item), expected);
    }
    // A job's program alone, or its arguments when it has none.
    LaunchJob tool = job(u"com.example.tool"_s);
    tool.program = u"/opt/My Tools/t"_s;
    tool.arguments = {u"/bin/sh"_s, u"-c"_s, u"exec my app"_s};
    EXPECT_EQ(Items::commandLine(notRunning(tool)), u"'/opt/My Tools/t'"_s);
    tool.program.reset();
    EXPECT_EQ(Items::commandLine(notRunning(tool)), u"/bin/sh -c 'exec my app'"_s);
}

// The first rule that applies gives the note (by a word of its text) and the status.
TEST(Items, SafetyNoteAndStatusTakeTheFirstRuleThatApplies) {
    const auto safety = [](const BackgroundItem& item) {
        const auto found = Items::safetyNote(item, me);
        return found ? (found->isWarning ? u"! "_s : u""_s) + found->text : u"none"_s;
    };
    const std::vector<Row<QString>> notes = {
        {"not running", [](BackgroundItem& i) { i = notRunning(job(u"x"_s)); }, u"none"_s},
        {"Apple's first",
         [](BackgroundItem& i) {
             i.isApple = i.isPartOfBuild = true;
             i.primary->uid = otherUser;
         },
         u"! Part of macOS"_s},
        {"another user's", [](BackgroundItem& i) { i.primary->uid = otherUser; }, u"! Runs as"_s},
        {"a session's",
         [](BackgroundItem& i) {
             i.origin = {Case::agentSession, u"Codex"_s, {}};
         },
         u"! Used by an active Codex"_s},
        {"the lowest port",
         [](BackgroundItem& i) {
             i.ports = {8080, 5432};
         },
         u"Serves port 5432"_s}};
    for (const Row<QString>& row : notes) {
        BackgroundItem item = runningPlain();
        row.change(item);
        EXPECT_TRUE(safety(item).startsWith(row.expected)) << row.why << qPrintable(safety(item));
    }

    const auto status = [](const BackgroundItem& item) {
        const StatusLine line = Items::statusLine(item);
        return line.status + u" ("_s + line.detail + u')';
    };
    LaunchJob atLoad = job(u"com.example.atload"_s);
    atLoad.runAtLoad = true;
    check<QString>(notRunning(job(u"com.example.agent"_s)),
                   {{"parked beats disabled and failed",
                     [&](BackgroundItem& i) {
                         i.state = State::disabled;
                         i.isDisabledInLaunchd = true;
                         i.lastExitStatus = 78;
                     },
                     u"Disabled (plist parked)"_s},
                    {"loaded and failed",
                     [](BackgroundItem& i) {
                         i.launchLabel = i.job->label;
                         i.lastExitStatus = -9;
                     },
                     u"Failed (exit -9)"_s},
                    {"loaded at login",
                     [&](BackgroundItem& i) {
                         i.job = atLoad;
                         i.launchLabel = atLoad.label;
                         i.lastExitStatus = 0;
                     },
                     u"Waiting (At login)"_s},
                    {"a login item not loaded", [](BackgroundItem& i) { i.isLoginItem = true; },
                     u"Stopped (until login)"_s}},
                   status);
}

TEST(Items, CompactRowShowsTwoPortsAndACount) {
    BackgroundItem item = runningPlain();
    item.ports = {3000, 3001, 5173, 8080};
    QStringList compact;
    for (const Badge& badge : ItemPresentation::badges(item, true))
        compact.append(badge.text);
    EXPECT_EQ(compact, (QStringList{u":3000"_s, u":3001"_s, u"+2"_s}));
    EXPECT_EQ(ItemPresentation::badges(item, false).size(), 4);
}

TEST(Explanations, WholeTokensOfKnownProgramsAndACacheThatStartsOver) {
    const auto explain = [](const QString& name, const QString& path = {}) {
        return Explanations::explain(std::nullopt, name, path);
    };
    const QString redis = explain(u"redis-server"_s).value_or(QString());
    EXPECT_TRUE(redis.startsWith(u"Redis"_s)) << qPrintable(redis);
    EXPECT_EQ(Explanations::explain(u"homebrew.mxcl.redis"_s, {}, {}), redis);
    EXPECT_EQ(explain(u"café·REDIS"_s), redis);
    EXPECT_TRUE(explain(u"adb"_s, u"/sdk/platform-tools/adb"_s));
    for (const QString& name : {u"mysqlx"_s, u"badblocks"_s, u"adb_helper"_s, u"vite2"_s,
                                u"javascript"_s, u"codexbar"_s, u"ruby"_s})
        EXPECT_EQ(explain(name), std::nullopt) << qPrintable(name);
    EXPECT_EQ(Explanations::explain(std::nullopt, u"red"_s, u"is"_s), std::nullopt);

    Explanations::clearExplanationCache();
    for (int i = 0; i <= 4001; ++i)
        explain(u"worker-%1"_s.arg(i), i % 2 ? u"/opt/homebrew/bin/node"_s : u"/tmp/x"_s);
    EXPECT_LE(Explanations::explanationCacheSize(), 4001);
    EXPECT_TRUE(explain(u"worker-7"_s, u"/opt/homebrew/bin/node"_s));
    EXPECT_EQ(explain(u"worker-8"_s, u"/tmp/x"_s), std::nullopt);
}

TEST(Explanations, EnglishSingularsOnlyWithTheTranslatorInstalled) {
    int argc = 1;
    char name[] = "ItemRulesTest";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    EnglishPlurals plurals;
    ASSERT_TRUE(QCoreApplication::installTranslator(&plurals));
    EXPECT_EQ(Explanations::processCountText(1), u"1 process"_s);
    EXPECT_EQ(Explanations::processCountText(2), u"2 processes"_s);
    EXPECT_EQ(Explanations::memoryText(1), u"1 byte"_s);
    QCoreApplication::removeTranslator(&plurals);
    EXPECT_EQ(Explanations::processCountText(1), u"1 processes"_s);
}

TEST(TextCompare, ContainsIgnoresCaseAndDiacritics) {
    const std::tuple<QString, QString, bool> cases[] = {
        {u"Café Server"_s, u"cafe"_s, true}, {u"Ångström"_s, u"ANGSTROM"_s, true},
        {u"straße"_s, u"STRASSE"_s, true},   {u"redis 6379"_s, u"80"_s, false},
        {u"node"_s, u"nodes"_s, false},      {u"anything"_s, QString(), true}};
    for (const auto& [text, part, contains] : cases)
        EXPECT_EQ(TextCompare::localizedStandardContains(text, part), contains) << qPrintable(text);
}

} // namespace
