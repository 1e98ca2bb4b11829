// Catches: a wrong origin precedence, a stop or disable offered where it is
// unsafe, a safety note or status from the wrong rule, a copied command that
// a blank or a quote splits, an explanation matched inside a longer word.
// The rules that judge one item: origin, safety, status, explanation, text helpers.

#include <functional>
#include <map>

#include <gtest/gtest.h>

#include "inventory/BackgroundItem.h"
#include "inventory/Explanations.h"
#include "inventory/ItemFixtures.h"
#include "inventory/Origin.h"

using namespace ItemFixtures;
using namespace Qt::StringLiterals;
using Case = Origin::Case;

namespace {

ProcSnapshot proc(const QString& path, QStringList arguments = {},
                  std::optional<QString> folder = std::nullopt) {
    ProcSnapshot p = process(path.section(u'/', -1), path, std::move(arguments));
    p.workingDirectory = std::move(folder);
    return p;
}

// Which origin wins when several apply along the parent chain (nearest first).
TEST(Origins, ClassifyOverTheParentChain) {
    const ProcSnapshot node = proc(u"/bin/node"_s, {u"node"_s, u"s.js"_s}),
                       zsh = proc(u"/bin/zsh"_s),
                       iterm = proc(u"/Applications/iTerm.app/Contents/MacOS/iTerm2"_s),
                       claude = proc(u"/u/bin/claude"_s, {u"claude"_s}, u"/web"_s),
                       foo = proc(u"/Applications/Foo.app/Contents/MacOS/Foo"_s),
                       helper = proc(u"/Applications/Foo.app/Contents/Frameworks/H.app/H"_s),
                       daemon = proc(u"/usr/local/bin/agentd"_s), make = proc(u"/usr/bin/make"_s),
                       code =
                           proc(u"/Applications/Visual Studio Code.app/Contents/MacOS/Electron"_s);
    const std::optional<QString> none, agent = u"com.example.agent"_s,
                                       app = u"application.com.foo.Foo.1.2"_s;
    const Origin terminal{Case::terminal, u"iTerm"_s, {}}, fooHelper{Case::appHelper, u"Foo"_s, {}},
        claudeSession{Case::agentSession, u"Claude"_s, u"/web"_s};
    const std::tuple<QList<ProcSnapshot>, ProcSnapshot, std::optional<QString>, Origin> rows[] = {
        {{zsh, claude, zsh, iterm}, node, none, claudeSession}, // an agent beats its terminal
        {{zsh, iterm}, claude, none, terminal},                 // the agent by its own parents
        {{claude}, node, agent, claudeSession},                 // an agent beats a label
        {{code}, node, agent, {Case::ide, u"Visual Studio Code"_s, {}}}, // so does an IDE
        {{zsh, iterm}, node, agent, terminal},                           // and a terminal
        {{helper, foo}, node, none, fooHelper},                          // the outermost app
        {{foo}, helper, u"com.foo.helper"_s, {Case::launchdJob, u"com.foo.helper"_s, {}}},
        {{}, daemon, app, {Case::app, {}, {}}},
        {{foo}, node, app, fooHelper}, // an application label never makes a job
        {{make, zsh}, node, none, {Case::shell, {}, {}}},
        {{zsh, foo}, node, none, fooHelper}, // an app parent beats a shell
    };
    for (const auto& [chain, primary, label, expected] : rows)
        EXPECT_EQ(Origins::classify(chain, primary, label, Hosts::macosRules()), expected)
            << qPrintable(chain.value(0).path);
    // Agent tools by their install path or script, never across arguments.
    const std::pair<ProcSnapshot, std::optional<QString>> agents[] = {
        {proc(u"/u/.local/share/claude/versions/2.0.14"_s), u"Claude"_s},
        {proc(u"/usr/local/bin/node"_s, {u"node"_s, u"/x/Claude-Code/cli.js"_s}), u"Claude"_s},
        {proc(u"/opt/x-claude"_s, {u"-code"_s}), std::nullopt},
        {proc(u"/opt/x"_s, {u"x"_s, u"@OPENAI/CODEX"_s}), u"Codex"_s}};
    for (const auto& [process, tool] : agents)
        EXPECT_EQ(Origins::agentTool(process), tool) << qPrintable(process.path);
}

// An item from words applied in order to a running process of mine ("stopped": the
// agent com.example.agent without a process, "label=L", "exit=N"; see `changes`).
BackgroundItem item(const QString& words) {
    using enum LaunchJob::Domain;
    const LaunchJob agent = job(u"com.example.agent"_s);
    const std::map<QString, std::function<void(BackgroundItem&)>> changes = {
        {u"stopped"_s, [&](BackgroundItem& i) { i = notRunning(agent); }},
        {u"other"_s, [](BackgroundItem& i) { i.primary->uid = 502; }}, // neither root nor me
        {u"apple"_s, [](BackgroundItem& i) { i.isApple = true; }},
        {u"job"_s, [&](BackgroundItem& i) { i.job = agent; }},
        {u"daemon"_s, [&](BackgroundItem& i) { i.job = job(agent.label, globalDaemon); }},
        {u"atload"_s, [](BackgroundItem& i) { i.job->runAtLoad = true; }},
        {u"parked"_s, [](BackgroundItem& i) { i.state = BackgroundItem::State::disabled; }},
        {u"off"_s, [](BackgroundItem& i) { i.isDisabledInLaunchd = true; }},
        {u"listed"_s, [](BackgroundItem& i) { i.launchLabel = i.job->label; }},
        {u"sim"_s, [](BackgroundItem& i) { i.kind = BackgroundItem::Kind::simulator; }},
        {u"login"_s, [](BackgroundItem& i) { i.isLoginItem = true; }},
        {u"session"_s, [](BackgroundItem& i) { i.origin.kind = Case::agentSession; }},
        {u"ports"_s, [](BackgroundItem& i) { i.ports << 8080 << 5432; }},
    };
    BackgroundItem i = running(proc(u"/Users/me/bin/server"_s));
    for (const QString& w : words.split(u' ', Qt::SkipEmptyParts)) {
        if (w.startsWith(u"label="_s))
            i.launchLabel = w.mid(6);
        else if (w.startsWith(u"exit="_s))
            i.lastExitStatus = w.mid(5).toLongLong();
        else
            changes.at(w)(i);
    }
    return i;
}

// A wrong answer stops what must not be stopped or aims launchctl at a wrong label; the
// first rule that applies gives a running item's safety note (its start) or a status.
TEST(Items, WhatMayBeDoneAndWhatTheItemSays) {
    const std::optional<QString> none, agent = u"com.example.agent"_s;
    const std::tuple<const char*, bool, bool, std::optional<QString>, QString> rows[] = {
        {"ports", true, false, none, u"Serves port 5432"_s},
        {"other session ports", false, false, none, u"! Runs as"_s},
        {"apple session ports job atload", false, false, agent, u"! Part of macOS"_s},
        {"session ports", true, false, none, u"! Used by an active"_s},
        {"daemon atload", false, false, none, {}},
        {"job atload label=com.example.other", true, true, agent, {}}, // the plist's label wins
        {"stopped", false, false, agent, {}},
        {"stopped atload", false, true, agent, {}},
        {"stopped atload parked exit=78", false, false, agent, u"Disabled · plist parked"_s},
        {"stopped atload off", false, false, agent, u"Disabled · in launchd"_s},
        {"stopped listed exit=-9", false, false, agent, u"Failed · exit -9"_s},
        {"stopped atload listed exit=0", false, true, agent, u"Waiting · At login"_s},
        {"stopped login", false, false, agent, u"Stopped · until login"_s},
        {"label=com.x.reg", true, false, u"com.x.reg"_s, {}},
        {"label=application.com.foo.Foo.1", true, false, none, {}}, // an app, not a job
        {"sim label=com.apple.CoreSimulator.SimDevice.ABC", true, false, none, {}}, // shut down
    };
    for (const auto& [words, canStop, canDisable, label, says] : rows) {
        const BackgroundItem i = item(QString::fromUtf8(words));
        EXPECT_EQ(
            std::tuple(Items::canStop(i, me), Items::canDisable(i), Items::controllableLabel(i)),
            std::tuple(canStop, canDisable, label))
            << words;
        const auto note = Items::safetyNote(i, me);
        const StatusLine status = Items::statusLine(i);
        const QString said = note ? (note->isWarning ? u"! "_s : QString()) + note->text
                                  : status.status + u" · "_s + status.detail;
        EXPECT_TRUE(said.startsWith(says)) << words << qPrintable(said);
    }
}

TEST(Items, CommandLineQuotesWhatABlankWouldSplit) {
    BackgroundItem i = item(QString());
    i.primary->arguments = {u"/A B/c"_s, u"--port=3"_s, u"echo it's"_s, QString()};
    EXPECT_EQ(Items::commandLine(i), u"'/A B/c' --port=3 'echo it'\\''s' "_s);
}

TEST(Explanations, WholeTokensOfKnownProgramsAndACacheThatStartsOver) {
    const auto explain = [](const QString& name, const QString& path = {}) {
        return Explanations::explain(std::nullopt, name, path);
    };
    const QString redis = explain(u"redis-server"_s).value_or(QString());
    EXPECT_TRUE(redis.startsWith(u"Redis"_s)) << qPrintable(redis);
    EXPECT_EQ(Explanations::explain(u"homebrew.mxcl.redis"_s, {}, {}), redis);
    EXPECT_EQ(explain(u"café·REDIS"_s), redis);
    for (const QString& name : {u"mysqlx"_s, u"adb_helper"_s, u"javascript"_s}) // no whole token
        EXPECT_EQ(explain(name), std::nullopt) << qPrintable(name);

    Explanations::clearExplanationCache();
    for (int i = 0; i <= 4001; ++i)
        explain(u"worker-%1"_s.arg(i), i % 2 ? u"/opt/homebrew/bin/node"_s : u"/tmp/x"_s);
    EXPECT_LE(Explanations::explanationCacheSize(), 4001);
    EXPECT_TRUE(explain(u"worker-7"_s, u"/opt/homebrew/bin/node"_s)); // still right after
}

} // namespace
