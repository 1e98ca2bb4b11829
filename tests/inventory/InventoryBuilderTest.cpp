// Catches: processes grouped under the wrong item (folder dropped from the
// key, helpers split from their app), a helper chosen as the primary, jobs
// listed twice or not at all, totals and order that change between passes.
//
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
        line += item.members.isEmpty() ? u" stopped"_s : QString();
        for (const auto& [flag, on] :
             {std::pair(u" +apple"_s, item.isApple), std::pair(u" +login"_s, item.isLoginItem),
              std::pair(u" +off"_s, item.isDisabledInLaunchd),
              std::pair(u" +build"_s, item.isPartOfBuild)})
            line += on ? flag : QString();
        lines.append(line);
    }
    lines.sort();
    return lines;
}

const QString terminal = u"p 50 1 /Applications/iTerm.app/Contents/MacOS/iTerm2;"
                         u"p 51 50 /bin/zsh -zsh @/Users/tester;"_s;

// A wrong key merges or splits rows; a wrong primary names the item and aims a
// stop at a helper; a wrong flag hides the user's own process as the system's
// or misses a login item.
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
        {u"p 200 1 /Library/Developer/PrivateFrameworks/launchd_sim;"
         u"p 201 200 /Library/Developer/CoreSimulator/backboardd; p 202 201 /Users/t/MyApp;"
         u"l com.apple.CoreSimulator.SimDevice.1B2C 200"_s,
         {u"sim:200 iOS Simulator: 200 201 202"_s}},
        // Children of a job join it, not a reused pid's; a job running an interpreter
        // is named by its label.
        {u"p 400 1 /opt/pg/postgres s=5; p 401 400 /opt/pg/postgres m=90; p 402 401 /bin/sh sh -c "
         u"x;"
         u"p 403 400 /opt/old s=1;" // started before its "parent": that pid was reused
         u"j homebrew.mxcl.postgresql /opt/pg/postgres; l homebrew.mxcl.postgresql 400 0;"
         u"p 30 1 /usr/bin/python3 python3 /srv/main.py; l com.example.nightly-sync 30;"
         u"j com.example.nightly-sync - /usr/bin/python3 /srv/main.py"_s,
         {u"exe:/opt/old|| old: 403"_s, u"job:com.example.nightly-sync nightly-sync: 30"_s,
          u"job:homebrew.mxcl.postgresql postgres: 400 401 402"_s}},
        // Agent sessions stand alone; what a terminal started is named by its folder.
        {terminal + u"p 500 51 /bin/claude claude @/src/p; p 501 500 /bin/node node /m.js @/src/p;"
                    u"p 52 51 /usr/bin/make make @/p; p 53 52 /usr/bin/clang clang -c a.c @/p"_s,
         {u"app:/Applications/iTerm.app iTerm: 50"_s, u"exe:/bin/node|/m.js|/src/p m in p: 501"_s,

          u"exe:/bin/zsh||/Users/tester zsh in tester: 51 +apple"_s,
          u"exe:/usr/bin/clang|-c|/p clang in p: 53 +build"_s,
          u"exe:/usr/bin/make||/p make in p: 52 +build"_s, u"pid:500 Claude Code · p: 500"_s}},
        // Interpreters by their script or module; our own process (90) left out.
        {u"p 90 1 /opt/quillmarsh/quillmarsh; p 20 1 /usr/bin/python3 python3 -m uvicorn;"
         u"p 24 1 /usr/bin/python3 python3 tool.py -c x; p 25 1 /bin/node node --inspect w.mjs"_s,
         {u"exe:/bin/node|--inspect| w: 25"_s, u"exe:/usr/bin/python3|-m| uvicorn: 20"_s,
          u"exe:/usr/bin/python3|tool.py| tool: 24"_s}},
        // The system's: root's at a system path, an Apple label; not the user's own
        // command, a third party's job at a system path or a label with a foreign member.
        {u"p 10 1 /usr/libexec/logd u=0; p 11 1 /usr/bin/caffeinate;"
         u"p 12 1 /opt/odd/place; l com.apple.odd 12;"
         u"p 13 1 /usr/libexec/helperd; j org.ex.h /usr/libexec/helperd; l org.ex.h 13;"
         u"p 14 1 /usr/libexec/other; p 15 14 /opt/ex/worker; l org.ex.o 14"_s,
         {u"exe:/usr/bin/caffeinate|| caffeinate: 11"_s,
          u"exe:/usr/libexec/logd|| logd: 10 +apple"_s, u"job:com.apple.odd place: 12 +apple"_s,
          u"job:org.ex.h helperd: 13"_s, u"job:org.ex.o other: 14 15"_s}},
        // Login items by bundle path, by label or by a bundle id's prefix; disabled labels.
        {u"p 300 1 /Applications/Foo.app/Contents/MacOS/Foo; login /Applications/Foo.app;"
         u"p 310 1 /Applications/Bar.app/Contents/MacOS/Bar; l application.com.bar.Bar.42.43 310;"
         u"p 320 1 /Applications/FooBar.app/Contents/MacOS/FooBar; l application.com.foo.FooBar.7 "
         u"320; login com.bar.Bar; login com.foo.Foo;"
         u"p 330 1 /opt/sync/syncd; l com.example.syncd 330; login com.example.syncd;"
         u"off com.example.syncd"_s,
         {u"app:/Applications/Bar.app Bar: 310 +login"_s,
          u"app:/Applications/Foo.app Foo: 300 +login"_s,
          u"app:/Applications/FooBar.app FooBar: 320"_s,
          u"job:com.example.syncd syncd: 330 +login +off"_s}},
        // A global daemon is a child of launchd that no launchctl row names, found by
        // its resolved path, or an interpreter by its script; the first of two wins.
        {u"ln /opt/ex/bin/exd /opt/ex/Cellar/1.2/exd; p 10 1 /opt/ex/Cellar/1.2/exd;"
         u"d com.ex.d /opt/ex/bin/exd;"
         u"p 11 1 /usr/bin/python3 python3 -u /opt/ex/d.py;"
         u"d com.ex.other - /usr/bin/python3 /opt/ex/other.py;"
         u"d com.ex.py - /usr/bin/env python3 /opt/ex/d.py;"
         u"p 12 1 /opt/ex/bin/twin; d com.ex.first /opt/ex/bin/twin; d com.ex.second /opt/ex/bin/twin"_s,
         {u"job:com.ex.d exd: 10"_s, u"job:com.ex.first twin: 12"_s,
          u"job:com.ex.other other: stopped"_s, u"job:com.ex.py py: 11"_s,
          u"job:com.ex.second twin: stopped"_s}},
        // Not when launchctl lists it; an agent is no daemon.
        {u"p 10 1 /opt/ex/a; d com.ex.a /opt/ex/a; l com.ex.a -; p 12 1 /opt/c; a com.ex.c /opt/c"_s,
         {u"exe:/opt/c|| c: 12"_s, u"exe:/opt/ex/a|| a: 10"_s, u"job:com.ex.a a: stopped"_s,
          u"job:com.ex.c c: stopped"_s}},
        // Bad data makes poorer items, not failures or endless walks; the user's
        // process without a readable path (a zombie) is not the system's for that.
        {u"p 40 1 -; p 41 42 /opt/loop/a; p 42 41 /opt/loop/b; p 43 43 /opt/loop/self; l - 43"_s,
         {u"exe:/opt/loop/a|| a: 41"_s, u"exe:/opt/loop/b|| b: 42"_s, u"exe:|| : 40"_s,
          u"job: self: 43"_s}},
    };
    for (const auto& [facts, expected] : rows) {
        SampleInput input = sample(facts);
        EXPECT_EQ(describe(InventoryBuilder::build(input)), expected) << qPrintable(facts);
        QStringList shown = expected;
        shown.removeIf([](const QString& line) { return line.contains(u"+apple"_s); });
        input.includeApple = false;
        EXPECT_EQ(describe(InventoryBuilder::build(input)), shown) << qPrintable(facts);
    }
}

TEST(InventoryBuilder, ItemsSumTheirMembersLargestFirstAndTheSameInputGivesTheSameInventory) {
    SampleInput input =
        sample(terminal +
               u"p 10 51 /bin/node node api.js @/w m=100; p 11 51 /bin/node node api.js @/w m=20;"
               u"p 12 51 /bin/node node api.js @/w; p 13 1 /opt/medium m=110"_s);
    input.ports = {{10, {5432, 8080}}, {11, {5432, 9000}}, {77, {1}}};
    input.cpu = std::map<Pid, double>{{10, 1.5}, {11, 120.0}};
    const Inventory inventory = InventoryBuilder::build(input);
    EXPECT_EQ(inventory.running.value(1).name, u"medium"_s);
    const BackgroundItem& server = inventory.running.value(0);
    EXPECT_EQ(server.memory, 120u);
    EXPECT_EQ(server.ports, (QList<int>{5432, 8080, 9000}));
    EXPECT_EQ(server.cpuPercent, 121.5);
    EXPECT_EQ(server.ancestry, (QStringList{u"launchd"_s, u"iTerm"_s, u"zsh"_s, u"node"_s}));
    Inventory again = InventoryBuilder::build(input);
    again.sampledAt = inventory.sampledAt;
    EXPECT_EQ(again, inventory);
}

// Each as its id, the index of the definition it carries (the one an action
// changes) and its last exit status.
TEST(InventoryBuilder, JobsWithoutAProcessAreListedOnceInFinderOrder) {
    const QLocale saved;
    QLocale::setDefault(QLocale::c()); // numbers by value even without a language
    // A ghost is alive though not in the sample; Job10 is also a global agent.
    SampleInput input = sample(
        u"j homebrew.mxcl.redis /opt/redis/bin/redis-server; off homebrew.mxcl.redis;"
        u"j com.example.sync /opt/sync/syncd; p 600 1 /opt/sync/syncd; l com.example.sync 600;"
        u"j com.example.Job10 -; a com.example.Job10 -; j com.example.job2 -; j com.apple.x /x;"
        u"j com.example.ghost /opt/ghost; l com.example.ghost 777;"
        u"l com.example.registered - 1; l application.com.foo.Foo.1 -"_s);
    input.jobs[1].isParkedByQuillmarsh = true;
    const Inventory inventory = InventoryBuilder::build(input);
    QLocale::setDefault(saved);
    QStringList lines;
    for (const BackgroundItem& item : inventory.notRunning)
        lines.append(u"%1 %2 %3"_s.arg(item.id)
                         .arg(item.job ? input.jobs.indexOf(*item.job) : -1)
                         .arg(item.lastExitStatus.value_or(0)));
    EXPECT_EQ(lines,
              (QStringList{u"job:com.example.job2 4 0"_s, u"job:com.example.Job10 2 0"_s,
                           u"job:homebrew.mxcl.redis 0 0"_s, u"job:com.example.registered -1 1"_s,
                           u"job:com.example.sync:disabled 1 0"_s}));
    EXPECT_EQ(inventory.running.value(0).id, u"job:com.example.sync"_s);
}

TEST(InventoryBuilder, NamesAreCutAtALineOrAWholeCharacter) {
    const QString face = u"\U0001F600"_s; // never cut between the two halves of a character
    EXPECT_EQ(InventoryBuilder::shortenName(face.repeated(41)), face.repeated(39) + QChar(0x2026));
    EXPECT_EQ(InventoryBuilder::shortenName(u"\u2028first\u0085second"_s), u"first"_s);
}

} // namespace
