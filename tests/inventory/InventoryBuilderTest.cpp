// Catches: processes grouped under the wrong item (folder dropped from the
// key, helpers split from their app), a helper chosen as the primary, jobs
// listed twice or not at all, totals and order that change between passes.
// The inventory builder over hand-made samples.

#include <QLocale>

#include <gtest/gtest.h>

#include "inventory/InventoryBuilder.h"
#include "inventory/ItemFixtures.h"

using ItemFixtures::sample;
using namespace Qt::StringLiterals;

namespace {

// Each item as "ID NAME: PIDS" (its primary first, "stopped" when none) and its
// flags, sorted.
QStringList describe(const Inventory& inventory) {
    QStringList lines;
    for (const BackgroundItem& item : inventory.running + inventory.notRunning) {
        QString line = item.id + u' ' + item.name + u':';
        for (const ProcSnapshot& member : item.members)
            line += u' ' + QString::number(member.pid);
        const auto flag = [](bool on, const QString& text) { return on ? text : QString(); };
        line += flag(item.members.isEmpty(), u" stopped"_s) + flag(item.isApple, u" +apple"_s) +
                flag(item.isLoginItem, u" +login"_s) + flag(item.isDisabledInLaunchd, u" +off"_s);
        lines.append(line);
    }
    lines.sort();
    return lines;
}

const QString terminal = u"p 50 1 /Applications/iTerm.app/Contents/MacOS/iTerm2;"
                         u"p 51 50 /bin/zsh -zsh @/Users/tester;"_s;

// A wrong key merges or splits rows; a wrong primary names the item and aims a stop at a
// helper; a wrong flag hides the user's own process as the system's or misses a login item.
TEST(InventoryBuilder, GroupsNamesAndFlagsItems) {
    const std::pair<QString, QStringList> rows[] = {
        // App helpers and services join the app; the main executable leads.
        {u"p 300 1 /Applications/Foo.app/Contents/MacOS/Foo m=100;"
         u"p 301 300 /Applications/Foo.app/Contents/Frameworks/H.app/Contents/MacOS/H m=500;"
         u"p 302 1 /Applications/Foo.app/Contents/XPCServices/N.xpc/Contents/MacOS/N m=50"_s,
         {u"app:/Applications/Foo.app Foo: 300 302 301"_s}},
        // The same command splits by folder; the largest root leads.
        {u"p 70 1 /bin/node node s.js @/w/a; p 71 1 /bin/node node s.js @/w/b;"
         u"p 72 1 /bin/node node s.js @/w/b m=5; p 73 1 /bin/node node s.js @/w/b m=50;"
         u"p 74 73 /bin/node node s.js @/w/b m=900"_s,
         {u"exe:/bin/node|s.js|/w/a s: 70"_s, u"exe:/bin/node|s.js|/w/b s: 73 72 71 74"_s}},
        // A simulator holds everything under it.
        {u"p 200 1 /Library/Developer/PrivateFrameworks/launchd_sim; p 202 201 /Users/t/MyApp;"
         u"p 201 200 /Library/Developer/CoreSimulator/backboardd;"
         u"l com.apple.CoreSimulator.SimDevice.1B2C 200"_s,
         {u"sim:200 iOS Simulator: 200 201 202"_s}},
        // Children of a job join it, not a reused pid's (403 started before its
        // "parent"); a job running an interpreter is named by its label.
        {u"p 400 1 /opt/pg/postgres s=5; p 401 400 /opt/pg/postgres m=90; p 403 400 /opt/old s=1;"
         u"p 402 401 /bin/sh sh -c x; j homebrew.mxcl.postgresql /opt/pg/postgres;"
         u"l homebrew.mxcl.postgresql 400 0; p 30 1 /usr/bin/python3 python3 /s.py;"
         u"l com.example.nightly-sync 30; j com.example.nightly-sync - /usr/bin/python3 /s.py"_s,
         {u"exe:/opt/old|| old: 403"_s, u"job:com.example.nightly-sync nightly-sync: 30"_s,
          u"job:homebrew.mxcl.postgresql postgres: 400 401 402"_s}},
        // Agent sessions stand alone; what a terminal started is named by its folder.
        {terminal +
             u"p 500 51 /bin/claude claude @/src/p; p 501 500 /bin/node node /m.js @/src/p"_s,
         {u"app:/Applications/iTerm.app iTerm: 50"_s, u"exe:/bin/node|/m.js|/src/p m in p: 501"_s,
          u"exe:/bin/zsh||/Users/tester zsh in tester: 51 +apple"_s,
          u"pid:500 Claude Code · p: 500"_s}},
        // The system's: root's at a system path, an Apple label; not the user's own
        // command, a third party's job at a system path or a label with a foreign member.
        {u"p 10 1 /usr/libexec/logd u=0; p 11 1 /usr/bin/caffeinate; p 12 1 /opt/odd/place;"
         u"l com.apple.odd 12; p 13 1 /usr/libexec/helperd; j org.ex.h /usr/libexec/helperd;"
         u"l org.ex.h 13; p 14 1 /usr/libexec/other; p 15 14 /opt/ex/worker; l org.ex.o 14"_s,
         {u"exe:/usr/bin/caffeinate|| caffeinate: 11"_s,
          u"exe:/usr/libexec/logd|| logd: 10 +apple"_s, u"job:com.apple.odd place: 12 +apple"_s,
          u"job:org.ex.h helperd: 13"_s, u"job:org.ex.o other: 14 15"_s}},
        // Login items by bundle path, by label or by a bundle id's prefix; disabled labels.
        {u"p 300 1 /Applications/Foo.app/Contents/MacOS/Foo; login /Applications/Foo.app;"
         u"p 310 1 /Applications/Bar.app/Contents/MacOS/Bar; l application.com.bar.Bar.42.43 310;"
         u"p 320 1 /Applications/FooBar.app/Contents/MacOS/FooBar; login com.bar.Bar;"
         u"l application.com.foo.FooBar.7 320; login com.foo.Foo; p 330 1 /opt/sync/syncd;"
         u"l com.example.syncd 330; login com.example.syncd; off com.example.syncd"_s,
         {u"app:/Applications/Bar.app Bar: 310 +login"_s,
          u"app:/Applications/Foo.app Foo: 300 +login"_s,
          u"app:/Applications/FooBar.app FooBar: 320"_s,
          u"job:com.example.syncd syncd: 330 +login +off"_s}},
        // A global daemon is a child of launchd that no launchctl row names, found by
        // its resolved path, or an interpreter by its script; the first of two wins.
        {u"ln /opt/ex/bin/exd /opt/ex/Cellar/1.2/exd; p 10 1 /opt/ex/Cellar/1.2/exd;"
         u"d com.ex.d /opt/ex/bin/exd; p 11 1 /usr/bin/python3 python3 -u /opt/ex/d.py;"
         u"d com.ex.other - /usr/bin/python3 /opt/ex/other.py;"
         u"d com.ex.py - /usr/bin/env python3 /opt/ex/d.py;"
         u"p 12 1 /opt/ex/bin/twin; d com.ex.first /opt/ex/bin/twin;"
         u"d com.ex.second /opt/ex/bin/twin"_s,
         {u"job:com.ex.d exd: 10"_s, u"job:com.ex.first twin: 12"_s,
          u"job:com.ex.other other: stopped"_s, u"job:com.ex.py py: 11"_s,
          u"job:com.ex.second twin: stopped"_s}},
        // Bad data makes poorer items, not failures or endless walks; the user's
        // process without a readable path (a zombie) is not the system's for that.
        {u"p 40 1 -; p 41 42 /opt/loop/a; p 42 41 /opt/loop/b; p 43 43 /opt/loop/self; l - 43"_s,
         {u"exe:/opt/loop/a|| a: 41"_s, u"exe:/opt/loop/b|| b: 42"_s, u"exe:|| : 40"_s,
          u"job: self: 43"_s}},
    };
    for (const auto& [facts, expected] : rows)
        EXPECT_EQ(describe(InventoryBuilder::build(sample(facts))), expected) << qPrintable(facts);
}

// Running items sum their members, largest first, alike on every pass. Jobs without a
// process are listed once, in a file manager's order, each with the definition an action
// changes (its index) and its last exit status; a ghost lives outside the sample.
TEST(InventoryBuilder, TotalsOrderAndJobsWithoutAProcess) {
    const QLocale saved;
    QLocale::setDefault(QLocale::c()); // numbers by value even without a language
    SampleInput input = sample(
        terminal +
        u"p 10 51 /bin/node node api.js @/w m=100; p 11 51 /bin/node node api.js @/w m=20;"
        u"p 12 51 /bin/node node api.js @/w; p 13 1 /opt/medium m=110;"
        u"j homebrew.mxcl.redis /opt/redis/bin/redis-server; off homebrew.mxcl.redis;"
        u"j com.example.sync /opt/sync/syncd; p 600 1 /opt/sync/syncd; l com.example.sync 600;"
        u"j com.example.Job10 -; a com.example.Job10 -; j com.example.job2 -; j com.apple.x /x;"
        u"j com.example.ghost /opt/ghost; l com.example.ghost 777;"
        u"l com.example.registered - 1; l application.com.foo.Foo.1 -"_s);
    input.jobs[1].isParkedByQuillmarsh = true;
    input.ports = {{10, {5432, 8080}}, {11, {5432, 9000}}, {77, {1}}};
    input.cpu = std::map<Pid, double>{{10, 1.5}, {11, 120.0}};
    const Inventory inventory = InventoryBuilder::build(input);
    Inventory again = InventoryBuilder::build(input);
    QLocale::setDefault(saved);
    again.sampledAt = inventory.sampledAt;
    EXPECT_EQ(again, inventory);
    const BackgroundItem& server = inventory.running.value(0);
    EXPECT_EQ(std::tuple(server.memory, server.ports, server.cpuPercent),
              std::tuple(120u, QList<int>{5432, 8080, 9000}, std::optional(121.5)));
    QStringList lines;
    for (const BackgroundItem& item : inventory.running + inventory.notRunning)
        lines.append(u"%1 %2 %3"_s.arg(item.id)
                         .arg(item.job ? input.jobs.indexOf(*item.job) : -1)
                         .arg(item.lastExitStatus.value_or(0)));
    EXPECT_EQ(lines,
              (QStringList{u"exe:/bin/node|api.js|/w -1 0"_s, u"exe:/opt/medium|| -1 0"_s,
                           u"app:/Applications/iTerm.app -1 0"_s,
                           u"exe:/bin/zsh||/Users/tester -1 0"_s, u"job:com.example.sync -1 0"_s,
                           u"job:com.example.job2 4 0"_s, u"job:com.example.Job10 2 0"_s,
                           u"job:homebrew.mxcl.redis 0 0"_s, u"job:com.example.registered -1 1"_s,
                           u"job:com.example.sync:disabled 1 0"_s}));
}

TEST(InventoryBuilder, NamesAreCutAtALineOrAWholeCharacter) {
    const QString face = u"\U0001F600"_s; // never cut between the two halves of a character
    EXPECT_EQ(InventoryBuilder::shortenName(face.repeated(41)), face.repeated(39) + QChar(0x2026));
    EXPECT_EQ(InventoryBuilder::shortenName(u"\u2028first\u0085second"_s), u"first"_s);
}

} // namespace
