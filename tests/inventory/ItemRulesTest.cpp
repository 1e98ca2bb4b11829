// Catches: a wrong origin precedence, a stop or disable offered where it is
// unsafe, a safety note or status from the wrong rule, a copied command that
// a blank or a quote splits, an explanation matched inside a longer word.
//
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

// Neither root nor the user the rules are asked for.
constexpr Uid otherUser = 502;

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
                       daemon = proc(u"/usr/local/bin/agentd"_s), make = proc(u"/usr/bin/make"_s);
    const ProcSnapshot codex =
        proc(u"/bin/node"_s, {u"node"_s, u"/lib/node_modules/@openai/codex/x.js"_s}, u"/api"_s);
    const ProcSnapshot code =
        proc(u"/Applications/Visual Studio Code.app/Contents/MacOS/Electron"_s);
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

// An item from words applied in order to a running process of mine: "stopped"
// the agent com.example.agent without a process; "job", "daemon" its plist as a
// user agent, a global daemon; "listed" by launchctl; "plistless" the plist
// gone; "off" disabled in launchd; "session" of an agent; "label=L"; "exit=N".
BackgroundItem item(const QString& words) {
    using enum LaunchJob::Domain;
    const LaunchJob agent = job(u"com.example.agent"_s);
    const std::map<QString, std::function<void(BackgroundItem&)>> changes = {
        {u"stopped"_s, [&](BackgroundItem& i) { i = notRunning(agent); }},
        {u"other"_s, [](BackgroundItem& i) { i.primary->uid = otherUser; }},
        {u"apple"_s, [](BackgroundItem& i) { i.isApple = true; }},
        {u"job"_s, [&](BackgroundItem& i) { i.job = agent; }},
        {u"daemon"_s, [&](BackgroundItem& i) { i.job = job(agent.label, globalDaemon); }},
        {u"atload"_s, [](BackgroundItem& i) { i.job->runAtLoad = true; }},
        {u"parked"_s, [](BackgroundItem& i) { i.state = BackgroundItem::State::disabled; }},
        {u"off"_s, [](BackgroundItem& i) { i.isDisabledInLaunchd = true; }},
        {u"listed"_s, [](BackgroundItem& i) { i.launchLabel = i.job->label; }},
        {u"plistless"_s, [](BackgroundItem& i) { i.job.reset(); }},
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

// A wrong answer stops what must not be stopped, or aims launchctl at a wrong label.
TEST(Items, WhatMayBeDone) {
    const std::optional<QString> none, agent = u"com.example.agent"_s;
    const std::tuple<const char*, bool, bool, std::optional<QString>> rows[] = {
        {"", true, false, none},
        {"other", false, false, none},
        {"apple job atload", false, false, agent},
        {"daemon atload", false, false, none},
        {"job atload label=com.example.other", true, true, agent}, // the plist's label wins
        {"stopped", false, false, agent},
        {"stopped atload", false, true, agent},
        {"stopped atload parked", false, false, agent},
        {"stopped atload off", false, false, agent},
        {"stopped atload listed plistless", false, false, agent},
        {"label=com.x.reg", true, false, u"com.x.reg"_s},
        {"label=application.com.foo.Foo.1", true, false, none},                 // an app, not a job
        {"sim label=com.apple.CoreSimulator.SimDevice.ABC", true, false, none}, // shut down instead
    };
    for (const auto& [words, canStop, canDisable, label] : rows) {
        const BackgroundItem i = item(QString::fromUtf8(words));
        EXPECT_EQ(Items::canStop(i, me), canStop) << words;
        EXPECT_EQ(Items::canDisable(i), canDisable) << words;
        EXPECT_EQ(Items::controllableLabel(i), label) << words;
    }
}

// The first rule that applies gives the safety note (its start) or the status.
TEST(Items, SafetyNoteAndStatusTakeTheFirstRuleThatApplies) {
    const std::pair<const char*, QString> notes[] = {
        {"apple other session", u"! Part of macOS"_s},
        {"other session ports", u"! Runs as"_s},
        {"session ports", u"! Used by an active"_s},
        {"ports", u"Serves port 5432"_s},
    };
    for (const auto& [words, expected] : notes) {
        const auto note = Items::safetyNote(item(QString::fromUtf8(words)), me);
        const QString text = note ? (note->isWarning ? u"! "_s : u""_s) + note->text : u"none"_s;
        EXPECT_TRUE(text.startsWith(expected)) << words << qPrintable(text);
    }
    const std::pair<const char*, StatusLine> statuses[] = {
        {"stopped parked off exit=78", {u"Disabled"_s, u"plist parked"_s}},
        {"stopped listed exit=-9", {u"Failed"_s, u"exit -9"_s}},
        {"stopped atload listed exit=0", {u"Waiting"_s, u"At login"_s}},
        {"stopped login", {u"Stopped"_s, u"until login"_s}},
    };
    for (const auto& [words, expected] : statuses)
        EXPECT_EQ(Items::statusLine(item(QString::fromUtf8(words))), expected) << words;
}

TEST(Items, CommandLineQuotesWhatABlankWouldSplit) {
    const std::pair<QStringList, QString> rows[] = {
        {{u"node"_s, u"--port=3"_s}, u"node --port=3"_s},
        {{u"/A B/c"_s, u"echo it's"_s, QString()}, u"'/A B/c' 'echo it'\\''s' "_s}};
    for (const auto& [arguments, expected] : rows) {
        BackgroundItem i = item(QString());
        i.primary->arguments = arguments;
        EXPECT_EQ(Items::commandLine(i), expected);
    }
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
