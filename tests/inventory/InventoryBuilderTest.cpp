// The inventory builder over hand-made samples and the shared samples of real machines.

#include <QFile>
#include <QLocale>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "inventory/InventoryBuilder.h"
#include "launchd/CommandParsers.h"
#include "launchd/JobScanner.h"
#include "support/InventorySamples.h"
#include "support/Printers.h"
#include "support/TestPaths.h"

using namespace InventorySamples;
using namespace Qt::StringLiterals;

namespace {

// A sample from facts separated by ';', words by blanks, "-" for none:
// "p PID PPID PATH [ARG...] [@FOLDER] [m=MEMORY] [u=UID]" a process (arguments
// default to the path); "j LABEL PROGRAM [ARG...]" a user agent, "a ..." a
// global agent, "d ..." a global daemon; "l LABEL PID [STATUS]" a launchctl
// row; "own PID".
SampleInput sample(const QString& facts) {
    SampleInput input = baseSample();
    input.includeApple = true;
    const auto text = [](const QString& word) { return word == u"-"_s ? QString() : word; };
    for (const QString& fact : facts.split(u';', Qt::SkipEmptyParts)) {
        const QStringList w = fact.split(u' ', Qt::SkipEmptyParts);
        if (w[0] == u"p"_s) {
            ProcSnapshot p = process(w[1].toInt(), w[2].toInt(), text(w[3]));
            QStringList arguments;
            for (const QString& word : w.mid(4)) {
                if (word.startsWith(u'@'))
                    p.workingDirectory = word.mid(1);
                else if (word.startsWith(u"m="_s))
                    p.memory = word.mid(2).toULongLong();
                else if (word.startsWith(u"u="_s))
                    p.uid = word.mid(2).toUInt();
                else
                    arguments.append(word);
            }
            p.arguments = w[3] == u"-"_s        ? arguments
                          : arguments.isEmpty() ? p.arguments
                                                : arguments;
            add(input, p);
        } else if (w[0] == u"j"_s || w[0] == u"a"_s || w[0] == u"d"_s) {
            using enum LaunchJob::Domain;
            input.jobs.append(job(w[1], w[2] == u"-"_s ? std::nullopt : std::optional(w[2]),
                                  w.mid(3),
                                  w[0] == u"d"_s   ? globalDaemon
                                  : w[0] == u"a"_s ? globalAgent
                                                   : userAgent));
        } else if (w[0] == u"l"_s) {
            listed(input, text(w[1]), w[2] == u"-"_s ? std::nullopt : std::optional(w[2].toInt()),
                   w.size() > 3 ? std::optional(w[3].toLongLong()) : std::nullopt);
        } else if (w[0] == u"own"_s) {
            input.ownPid = w[1].toInt();
        }
    }
    return input;
}

const BackgroundItem* withPrimary(const QList<BackgroundItem>& items, Pid pid) {
    for (const BackgroundItem& item : items) {
        if (item.primary && item.primary->pid == pid)
            return &item;
    }
    return nullptr;
}

// iTerm (pid 50) > login zsh (pid 51).
const QString terminal = u"p 50 1 /Applications/iTerm.app/Contents/MacOS/iTerm2;"
                         u"p 51 50 /bin/zsh -zsh @/Users/tester;"_s;

TEST(InventoryBuilder, GroupsProcessesIntoItems) {
    const std::pair<QString, QStringList> rows[] = {
        // App helpers and services join the app; the main executable leads.
        {u"p 300 1 /Applications/Foo.app/Contents/MacOS/Foo m=100;"
         u"p 301 300 /Applications/Foo.app/Contents/Frameworks/H.app/Contents/MacOS/H m=500;"
         u"p 302 1 /Applications/Foo.app/Contents/XPCServices/N.xpc/Contents/MacOS/N m=50"_s,
         {u"app:/Applications/Foo.app: 300 302 301"_s}},
        // The same command splits by folder; the largest root leads.
        {u"p 70 1 /bin/node node s.js @/w/a; p 71 1 /bin/node node s.js @/w/b;"
         u"p 72 1 /bin/node node s.js @/w/b m=5; p 73 1 /bin/node node s.js @/w/b m=50;"
         u"p 74 73 /bin/node node s.js @/w/b m=900"_s,
         {u"exe:/bin/node|s.js|/w/a: 70"_s, u"exe:/bin/node|s.js|/w/b: 73 72 71 74"_s}},
        // A simulator holds everything under it.
        {u"p 200 1 /Library/Developer/PrivateFrameworks/launchd_sim;"
         u"p 201 200 /Library/Developer/CoreSimulator/backboardd; p 202 201 /Users/t/MyApp;"
         u"l com.apple.CoreSimulator.SimDevice.1B2C 200"_s,
         {u"sim:200: 200 201 202"_s}},
        // Children of a job join it.
        {u"p 400 1 /opt/pg/postgres; p 401 400 /opt/pg/postgres m=90; p 402 401 /bin/sh sh -c x;"
         u"j homebrew.mxcl.postgresql /opt/pg/postgres; l homebrew.mxcl.postgresql 400 0"_s,
         {u"job:homebrew.mxcl.postgresql: 400 401 402"_s}},
        // Agent sessions stand alone.
        {terminal +
             u"p 500 51 /bin/claude claude @/src/p; p 501 500 /bin/node node /m.js @/src/p"_s,
         {u"app:/Applications/iTerm.app: 50"_s, u"exe:/bin/node|/m.js|/src/p: 501"_s,
          u"exe:/bin/zsh||/Users/tester: 51"_s, u"pid:500: 500"_s}},
        // Our own process, launchd and the kernel are left out.
        {u"own 90; p 90 1 /opt/quillmarsh/quillmarsh"_s, {}},
        // Bad data makes poorer items, not failures.
        {u"p 40 1 -; p 41 42 /opt/loop/a; p 42 41 /opt/loop/b; p 43 43 /opt/loop/self; l - 43"_s,
         {u"exe:/opt/loop/a||: 41"_s, u"exe:/opt/loop/b||: 42"_s, u"exe:||: 40"_s, u"job:: 43"_s}},
    };
    for (const auto& [facts, expected] : rows) {
        QStringList groups;
        for (const BackgroundItem& item : InventoryBuilder::build(sample(facts)).running) {
            QString line = item.id + u':';
            for (const ProcSnapshot& member : item.members)
                line += u' ' + QString::number(member.pid);
            groups.append(line);
        }
        groups.sort();
        EXPECT_EQ(groups, expected) << qPrintable(facts);
    }
}

TEST(InventoryBuilder, ItemsSumTheirMembersAndNameThemselves) {
    SampleInput input =
        sample(terminal +
               u"p 10 51 /bin/node node api.js @/w m=100; p 11 51 /bin/node node api.js @/w m=20;"
               u"p 12 51 /bin/node node api.js @/w; p 20 1 /usr/bin/python3 python3 -m uvicorn;"
               u"p 21 51 /bin/node node /s/site/node_modules/.bin/vite @/s/site;"
               u"p 22 1 /bin/node node /s/site/node_modules/.bin/vite @/s/b;"
               u"p 30 1 /usr/bin/python3 python3 /srv/main.py;"
               u"j com.example.nightly-sync - /usr/bin/python3 /srv/main.py;"
               u"l com.example.nightly-sync 30; p 52 51 /usr/bin/make make @/p;"
               u"p 53 52 /usr/bin/clang clang -c a.c @/p"_s);
    input.ports = {{10, {5432, 8080}}, {11, {5432, 9000}}, {77, {1}}};
    input.cpu = std::map<Pid, double>{{10, 1.5}, {11, 120.0}};
    const Inventory inventory = InventoryBuilder::build(input);
    const BackgroundItem* server = withPrimary(inventory.running, 10);
    ASSERT_TRUE(server);
    EXPECT_EQ(server->memory, 120u);
    EXPECT_EQ(server->ports, (QList<int>{5432, 8080, 9000}));
    EXPECT_EQ(server->cpuPercent, 121.5);
    EXPECT_EQ(server->origin, (Origin{Origin::Case::terminal, u"iTerm"_s, std::nullopt}));
    EXPECT_EQ(server->ancestry, (QStringList{u"launchd"_s, u"iTerm"_s, u"zsh"_s, u"node"_s}));
    const std::pair<Pid, QString> names[] = {
        {20, u"uvicorn"_s}, {21, u"vite in site"_s}, {22, u"vite"_s}, {30, u"nightly-sync"_s}};
    for (const auto& [pid, name] : names) {
        ASSERT_TRUE(withPrimary(inventory.running, pid)) << pid;
        EXPECT_EQ(withPrimary(inventory.running, pid)->name, name) << pid;
    }
    EXPECT_TRUE(withPrimary(inventory.running, 53)->isPartOfBuild);
    EXPECT_FALSE(withPrimary(inventory.running, 20)->isPartOfBuild);
}

TEST(InventoryBuilder, LoginItemsByBundlePathLabelOrBundleIdPrefix) {
    SampleInput input = sample(
        u"p 300 1 /Applications/Foo.app/Contents/MacOS/Foo; p 330 1 /opt/sync/syncd;"
        u"p 310 1 /Applications/Bar.app/Contents/MacOS/Bar; l application.com.bar.Bar.42.43 310;"
        u"p 320 1 /Applications/FooBar.app/Contents/MacOS/FooBar; l application.com.foo.FooBar.7 "
        u"320;"
        u"l com.example.syncd 330"_s);
    input.loginItems = {{u"/Applications/Foo.app"_s},
                        {u"com.bar.Bar"_s, u"com.foo.Foo"_s, u"com.example.syncd"_s}};
    input.disabled = {u"com.example.syncd"_s};
    const Inventory inventory = InventoryBuilder::build(input);
    const std::tuple<Pid, bool, bool> expected[] = {
        {300, true, false}, {310, true, false}, {320, false, false}, {330, true, true}};
    for (const auto& [pid, loginItem, disabled] : expected) {
        ASSERT_TRUE(withPrimary(inventory.running, pid)) << pid;
        EXPECT_EQ(withPrimary(inventory.running, pid)->isLoginItem, loginItem) << pid;
        EXPECT_EQ(withPrimary(inventory.running, pid)->isDisabledInLaunchd, disabled) << pid;
    }
}

TEST(InventoryBuilder, WhatCountsAsTheSystemsIsHiddenUnlessAskedFor) {
    const std::pair<QString, bool> rows[] = {
        {u"p 10 1 /usr/libexec/logd u=0"_s, true},
        {u"p 10 1 /usr/bin/caffeinate"_s, false}, // the user's own command
        {u"p 10 1 /usr/bin/caffeinate u=0"_s, true},
        {terminal + u"p 10 51 /usr/bin/top"_s, false},
        {u"p 10 1 /opt/odd/place; l com.apple.odd 10"_s, true},
        // A third party's job at a system path; a label with a foreign member.
        {u"p 10 1 /usr/libexec/helperd; j org.ex.h /usr/libexec/helperd; l org.ex.h 10"_s, false},
        {u"p 10 1 /usr/libexec/helperd; p 11 10 /opt/ex/worker; l org.ex.h 10"_s, false},
    };
    for (const auto& [facts, isApple] : rows) {
        SampleInput input = sample(facts);
        const BackgroundItem* item = withPrimary(InventoryBuilder::build(input).running, 10);
        ASSERT_TRUE(item) << qPrintable(facts);
        EXPECT_EQ(item->isApple, isApple) << qPrintable(facts);
        input.includeApple = false;
        EXPECT_EQ(!withPrimary(InventoryBuilder::build(input).running, 10), isApple)
            << qPrintable(facts);
    }
}

TEST(InventoryBuilder, SystemDaemonsAreFoundAmongLaunchdsChildren) {
    const QString exd = u"p 10 1 /opt/ex/bin/exd;"_s;
    const std::pair<QString, QString> rows[] = {
        {exd + u"d com.ex.d /opt/ex/bin/exd"_s, u"job:com.ex.d"_s},
        {u"p 10 1 /opt/ex/Cellar/1.2/exd; d com.ex.d /opt/ex/bin/exd"_s, u"job:com.ex.d"_s},
        // An interpreter by its script.
        {u"p 10 1 /usr/bin/python3 python3 -u /opt/ex/d.py;"
         u"d com.ex.other - /usr/bin/python3 /opt/ex/other.py;"
         u"d com.ex.py - /usr/bin/env python3 /opt/ex/d.py"_s,
         u"job:com.ex.py"_s},
        {exd + u"d com.ex.first /opt/ex/bin/exd; d com.ex.second /opt/ex/bin/exd"_s,
         u"job:com.ex.first"_s},
        // Not one launchctl lists; not a child of launchd; an agent is no daemon.
        {exd + u"d com.ex.d /opt/ex/bin/exd; l com.ex.d -"_s, u"exe:/opt/ex/bin/exd||"_s},
        {u"p 9 1 /opt/parent; p 10 9 /opt/ex/bin/exd; d com.ex.d /opt/ex/bin/exd"_s,
         u"exe:/opt/ex/bin/exd||"_s},
        {exd + u"a com.ex.d /opt/ex/bin/exd"_s, u"exe:/opt/ex/bin/exd||"_s},
    };
    for (const auto& [facts, id] : rows) {
        SampleInput input = sample(facts);
        input.resolvePath = [](const QString& p) {
            return p == u"/opt/ex/bin/exd"_s ? u"/opt/ex/Cellar/1.2/exd"_s : p;
        };
        const Inventory inventory = InventoryBuilder::build(input);
        const BackgroundItem* item = withPrimary(inventory.running, 10);
        ASSERT_TRUE(item) << qPrintable(facts);
        EXPECT_EQ(item->id, id) << qPrintable(facts);
        EXPECT_FALSE(findItem(inventory.notRunning, id)) << qPrintable(facts);
    }
}

TEST(InventoryBuilder, JobsWithoutAProcessAreListedOnceInFinderOrder) {
    const QLocale saved;
    QLocale::setDefault(QLocale::c()); // numbers by value even without a language
    // A ghost is alive though not in the sample; Job10 is also a global agent.
    SampleInput input = sample(
        u"j com.example.sync /opt/sync/syncd; p 600 1 /opt/sync/syncd; l com.example.sync 600;"
        u"j com.example.Job10 -; a com.example.Job10 -; j com.example.job2 -; j com.apple.x /x;"
        u"j com.example.ghost /opt/ghost; l com.example.ghost 777;"
        u"l com.example.registered - 1; l application.com.foo.Foo.1 -"_s);
    LaunchJob redis = job(u"homebrew.mxcl.redis"_s, u"/opt/redis/bin/redis-server"_s);
    redis.runAtLoad = true;
    input.jobs.prepend(redis);
    input.jobs[1].isParkedByQuillmarsh = true;
    input.disabled = {u"homebrew.mxcl.redis"_s};
    const Inventory inventory = InventoryBuilder::build(input);
    QLocale::setDefault(saved);
    QStringList ids;
    for (const BackgroundItem& item : inventory.notRunning)
        ids.append(item.id);
    EXPECT_EQ(ids, (QStringList{u"job:com.example.job2"_s, u"job:com.example.Job10"_s,
                                u"job:homebrew.mxcl.redis"_s, u"job:com.example.registered"_s,
                                u"job:com.example.sync:disabled"_s}));
    EXPECT_TRUE(findItem(inventory.running, u"job:com.example.sync"_s));
    const BackgroundItem* redisItem = findItem(inventory.notRunning, u"job:homebrew.mxcl.redis"_s);
    ASSERT_TRUE(redisItem);
    EXPECT_EQ(redisItem->name, u"redis-server"_s);
    EXPECT_EQ(redisItem->job, redis);
    EXPECT_TRUE(redisItem->isDisabledInLaunchd);
    EXPECT_EQ(findItem(inventory.notRunning, u"job:com.example.Job10"_s)->job, input.jobs[2]);
    EXPECT_EQ(findItem(inventory.notRunning, u"job:com.example.registered"_s)->lastExitStatus, 1);
}

TEST(InventoryBuilder, RunningByMemoryAndTheSameInputGivesTheSameInventory) {
    const SampleInput input = sample(u"p 10 1 /opt/small m=10; p 11 1 /opt/large m=1000;"
                                     u"p 12 1 /opt/none; p 13 1 /opt/medium m=500"_s);
    Inventory first = InventoryBuilder::build(input);
    QStringList order;
    for (const BackgroundItem& item : first.running)
        order.append(item.name);
    EXPECT_EQ(order, (QStringList{u"large"_s, u"medium"_s, u"small"_s, u"none"_s}));
    Inventory second = InventoryBuilder::build(input);
    second.sampledAt = first.sampledAt;
    EXPECT_EQ(first, second);
}

TEST(InventoryBuilder, AncestorsNearestFirstAtMost32WithoutLoopsOrReusedParents) {
    SampleInput input = baseSample();
    add(input, process(100, 1, u"/top"_s));
    for (Pid pid = 101; pid <= 140; ++pid)
        add(input, process(pid, pid - 1, u"/link"_s));
    add(input, process(10, 11, u"/a"_s));
    add(input, process(11, 10, u"/b"_s));
    ProcSnapshot late = process(31, 100, u"/late"_s);
    late.startDate = 500.0;
    ProcSnapshot early = process(32, 31, u"/early"_s);
    early.startDate = 200.0; // started before its "parent": that pid was reused
    add(input, late);
    add(input, early);
    const auto chain = [&](Pid pid) {
        QList<Pid> pids;
        for (const ProcSnapshot& parent :
             InventoryBuilder::ancestors(input.processes.at(pid), input.processes))
            pids.append(parent.pid);
        return pids;
    };
    EXPECT_EQ(chain(103), (QList<Pid>{102, 101, 100}));
    EXPECT_EQ(chain(140).size(), 32);
    EXPECT_EQ(chain(140).last(), 108);
    EXPECT_EQ(chain(132).last(), 100);
    EXPECT_EQ(chain(10), QList<Pid>{11});
    EXPECT_TRUE(chain(32).isEmpty());
}

TEST(InventoryBuilder, Names) {
    const std::pair<const char*, const char*> labels[] = {
        {"com.docker.vmnetd", "vmnetd"},
        {"application.com.foo.bar.123", "com.foo.bar.123"},
        {"io.tailscale.ipn.macsys", "ipn.macsys"},
        {"com..docker..vmnetd", "vmnetd"},
        {"...", ""}};
    for (const auto& [label, name] : labels)
        EXPECT_EQ(InventoryBuilder::labelName(QString::fromUtf8(label)), QString::fromUtf8(name));
    const std::pair<QStringList, const char*> commands[] = {
        {{"redis-server", "*:6379"}, "redis-server"},
        {{"python3", "-u", "-c", "x"}, "python3 -c"},
        {{"python3", "tool.py", "-c", "x"}, "tool"},
        {{"python3", "main.py"}, "/"},
        {{"node", "--inspect", "dist/worker.mjs"}, "worker"},
        {{"ruby", "line one\nline two"}, "line one"}};
    for (const auto& [arguments, name] : commands) {
        const ProcSnapshot p = process(5, 1, u"/usr/bin/"_s + arguments[0], arguments);
        EXPECT_EQ(InventoryBuilder::commandName(p), QString::fromUtf8(name))
            << qPrintable(arguments.join(u' '));
    }
    const QString face = u"\U0001F600"_s; // two UTF-16 units
    EXPECT_EQ(InventoryBuilder::shortenName(face.repeated(40)), face.repeated(40));
    EXPECT_EQ(InventoryBuilder::shortenName(face.repeated(41)), face.repeated(39) + QChar(0x2026));
    EXPECT_EQ(InventoryBuilder::shortenName(u"\u2028first\u0085second"_s), u"first"_s);
}

// Real launchd state: the shared plists as global agents, real launchctl
// outputs, one process per listed pid.
TEST(InventoryBuilder, RealLaunchdStateGivesEveryProcessAndJobOnePlace) {
    const auto samples = TestPaths::launchdSamples();
    if (!samples)
        GTEST_SKIP() << "the shared launchd samples are not next to the checkout";
    const auto read = [&](const QString& name) {
        QFile file(*samples + u"/outputs/"_s + name);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    };
    QTemporaryDir home;
    JobScanner::JobFolders folders{home.path(), *samples + u"/plists"_s, home.path() + u"/none"_s};
    SampleInput input = baseSample();
    input.includeApple = true;
    input.jobs = JobScanner::scanJobs(folders);
    input.launchctl = CommandParsers::parseLaunchctlList(read(u"launchctl-list-7.txt"_s));
    input.disabled = CommandParsers::parseDisabled(read(u"print-disabled-3.txt"_s));
    for (const auto& [label, entry] : input.launchctl) {
        if (entry.pid && *entry.pid > 1 && !input.processes.count(*entry.pid))
            add(input, withUid(process(*entry.pid, 1, u"/usr/libexec/"_s + label.section(u'.', -1)),
                               label.startsWith(u"com.apple."_s) ? rootUid : userUid));
    }
    const Inventory inventory = InventoryBuilder::build(input);
    ASSERT_GT(inventory.running.size(), 50);
    ASSERT_GT(inventory.notRunning.size(), 20);

    QSet<QString> seen;
    QSet<Pid> members;
    for (const BackgroundItem& item : inventory.running + inventory.notRunning) {
        EXPECT_FALSE(seen.contains(item.id)) << qPrintable(item.id);
        seen.insert(item.id);
        for (const ProcSnapshot& member : item.members) {
            EXPECT_FALSE(members.contains(member.pid)) << member.pid;
            members.insert(member.pid);
        }
    }
    EXPECT_EQ(members.size(), qsizetype(input.processes.size()) - 2); // not the kernel, not launchd
    // Every job without a live label is listed as not running; no live one is.
    QSet<QString> notRunning;
    for (const BackgroundItem& item : inventory.notRunning)
        notRunning.insert(item.job ? item.job->label : item.launchLabel.value_or(QString()));
    for (const LaunchJob& job : input.jobs) {
        const auto entry = input.launchctl.find(job.label);
        const bool live = entry != input.launchctl.end() && entry->second.pid;
        EXPECT_TRUE(job.label.startsWith(u"com.apple."_s) || notRunning.contains(job.label) != live)
            << qPrintable(job.label);
    }
}

} // namespace
