// The inventory builder over hand-made samples and over the shared samples of
// real machines: grouping and the primary process, daemon matching, naming,
// what counts as the system's, the items that are not running and the orders.

#include <functional>

#include <QCollator>
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

const QString fooMain = u"/Applications/Foo.app/Contents/MacOS/Foo"_s;
const QString fooHelper =
    u"/Applications/Foo.app/Contents/Frameworks/Foo Helper.app/Contents/MacOS/Foo Helper"_s;
const QString node = u"/usr/local/bin/node"_s;

Inventory buildAll(SampleInput input) {
    input.includeApple = true;
    return InventoryBuilder::build(input);
}

// The item whose primary process is `pid`, or none.
const BackgroundItem* withPrimary(const QList<BackgroundItem>& items, Pid pid) {
    for (const BackgroundItem& item : items) {
        if (item.primary && item.primary->pid == pid)
            return &item;
    }
    return nullptr;
}

// iTerm (pid 50) > zsh (pid 51).
void addTerminalShell(SampleInput& input) {
    add(input, process(50, 1, u"/Applications/iTerm.app/Contents/MacOS/iTerm2"_s));
    add(input, process(51, 50, u"/bin/zsh"_s, {u"-zsh"_s}, u"/Users/tester"_s));
}

struct GroupRow {
    const char* what;
    std::function<void(SampleInput&)> setUp;
    // Every running item as "id: member pids, primary first".
    QStringList expected;
};

QStringList groups(const Inventory& inventory) {
    QStringList result;
    for (const BackgroundItem& item : inventory.running) {
        QStringList pids;
        for (const Pid pid : memberPids(item))
            pids.append(QString::number(pid));
        result.append(item.id + u": "_s + pids.join(u' '));
    }
    result.sort();
    return result;
}

TEST(InventoryBuilder, GroupsProcessesIntoItems) {
    const QStringList serve = {u"node"_s, u"server.js"_s};
    const GroupRow rows[] = {
        {"app helpers and services join the app; the main executable leads",
         [](SampleInput& in) {
             add(in, withMemory(process(300, 1, fooMain), 100));
             add(in, withMemory(process(301, 300, fooHelper), 500));
             add(in, withMemory(process(302, 1,
                                        u"/Applications/Foo.app/Contents/XPCServices/"
                                        u"Net.xpc/Contents/MacOS/Net"_s),
                                50));
         },
         {u"app:/Applications/Foo.app: 300 302 301"_s}},
        {"developer tools inside Xcode are not Xcode's helpers",
         [](SampleInput& in) {
             add(in, process(60, 1, u"/Applications/Xcode.app/Contents/MacOS/Xcode"_s));
             add(in, process(61, 60, u"/Applications/Xcode.app/Contents/Developer/usr/bin/git"_s,
                             {u"git"_s, u"fetch"_s}, u"/src/p"_s));
         },
         {u"app:/Applications/Xcode.app: 60"_s,
          u"exe:/Applications/Xcode.app/Contents/Developer/usr/bin/git|fetch|/src/p: 61"_s}},
        {"the same command splits by folder; the largest root leads",
         [&](SampleInput& in) {
             add(in, process(70, 1, node, serve, u"/w/a"_s));
             add(in, process(71, 1, node, serve, u"/w/b"_s));
             add(in, withMemory(process(72, 1, node, serve, u"/w/b"_s), 5));
             add(in, withMemory(process(73, 1, node, serve, u"/w/b"_s), 50));
             add(in, withMemory(process(74, 73, node, serve, u"/w/b"_s), 900));
         },
         {u"exe:/usr/local/bin/node|server.js|/w/a: 70"_s,
          u"exe:/usr/local/bin/node|server.js|/w/b: 73 72 71 74"_s}},
        {"a simulator holds everything under it",
         [](SampleInput& in) {
             add(in, process(200, 1, u"/Library/Developer/PrivateFrameworks/launchd_sim"_s));
             add(in, process(201, 200, u"/Library/Developer/CoreSimulator/backboardd"_s));
             add(in, process(202, 201, u"/Users/tester/Library/Developer/MyApp"_s));
             listed(in, u"com.apple.CoreSimulator.SimDevice.1B2C"_s, 200);
         },
         {u"sim:200: 200 201 202"_s}},
        {"children of a job join it",
         [](SampleInput& in) {
             add(in, process(400, 1, u"/opt/pg/bin/postgres"_s));
             add(in, withMemory(process(401, 400, u"/opt/pg/bin/postgres"_s), 90));
             add(in, process(402, 401, u"/bin/sh"_s, {u"sh"_s, u"-c"_s, u"x"_s}));
             in.jobs.append(job(u"homebrew.mxcl.postgresql"_s, u"/opt/pg/bin/postgres"_s));
             listed(in, u"homebrew.mxcl.postgresql"_s, 400, 0);
         },
         {u"job:homebrew.mxcl.postgresql: 400 401 402"_s}},
        {"agent sessions stand alone",
         [](SampleInput& in) {
             addTerminalShell(in);
             add(in, process(500, 51, u"/usr/local/bin/claude"_s, {u"claude"_s}, u"/src/p"_s));
             add(in, process(501, 500, node, {u"node"_s, u"/mcp/index.js"_s}, u"/src/p"_s));
         },
         {u"app:/Applications/iTerm.app: 50"_s, u"exe:/bin/zsh||/Users/tester: 51"_s,
          u"exe:/usr/local/bin/node|/mcp/index.js|/src/p: 501"_s, u"pid:500: 500"_s}},
        {"our own process, launchd and the kernel are left out",
         [](SampleInput& in) {
             in.ownPid = 90;
             add(in, process(90, 1, u"/opt/quillmarsh/quillmarsh"_s));
         },
         {}},
        {"bad data makes poorer items, not failures",
         [](SampleInput& in) {
             ProcSnapshot nameless;
             nameless.pid = 40;
             nameless.ppid = 1;
             add(in, nameless);
             add(in, process(41, 42, u"/opt/loop/a"_s));
             add(in, process(42, 41, u"/opt/loop/b"_s));
             add(in, process(43, 43, u"/opt/loop/self"_s));
             listed(in, u""_s, 43);
         },
         {u"exe:/opt/loop/a||: 41"_s, u"exe:/opt/loop/b||: 42"_s, u"exe:||: 40"_s, u"job:: 43"_s}},
    };
    for (const GroupRow& row : rows) {
        SampleInput input = baseSample();
        row.setUp(input);
        EXPECT_EQ(groups(buildAll(input)), row.expected) << row.what;
    }
}

TEST(InventoryBuilder, ItemsSumTheirMembersAndNameThemselves) {
    SampleInput input = baseSample();
    addTerminalShell(input);
    const QStringList api = {node, u"api.js"_s};
    add(input, withMemory(process(10, 51, node, api, u"/w"_s), 100));
    add(input, withMemory(process(11, 51, node, api, u"/w"_s), 20));
    add(input, process(12, 51, node, api, u"/w"_s));
    add(input, process(20, 1, u"/usr/bin/python3"_s, {u"python3"_s, u"-m"_s, u"uvicorn"_s}));
    add(input,
        process(21, 51, node, {u"node"_s, u"/s/site/node_modules/.bin/vite"_s}, u"/s/site"_s));
    add(input, process(22, 1, node, {u"node"_s, u"/s/site/node_modules/.bin/vite"_s}, u"/s/b"_s));
    add(input, process(30, 1, u"/usr/bin/python3"_s, {u"python3"_s, u"/srv/sync/main.py"_s}));
    input.jobs.append(job(u"com.example.nightly-sync"_s, std::nullopt,
                          {u"/usr/bin/python3"_s, u"/srv/sync/main.py"_s}));
    listed(input, u"com.example.nightly-sync"_s, 30);
    add(input, process(52, 51, u"/usr/bin/make"_s, {u"make"_s}, u"/p"_s));
    add(input, process(53, 52, u"/usr/bin/clang"_s, {u"clang"_s, u"-c"_s, u"a.c"_s}, u"/p"_s));
    input.ports = {{10, {5432, 8080}}, {11, {5432, 9000}}, {77, {1}}};
    input.cpu = std::map<Pid, double>{{10, 1.5}, {11, 120.0}};

    const Inventory inventory = buildAll(input);
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
    SampleInput input = baseSample();
    add(input, process(300, 1, fooMain));
    add(input, process(310, 1, u"/Applications/Bar.app/Contents/MacOS/Bar"_s));
    add(input, process(320, 1, u"/Applications/FooBar.app/Contents/MacOS/FooBar"_s));
    add(input, process(330, 1, u"/opt/sync/syncd"_s));
    listed(input, u"application.com.bar.Bar.4242.4243"_s, 310);
    listed(input, u"application.com.foo.FooBar.77"_s, 320);
    listed(input, u"com.example.syncd"_s, 330);
    input.loginItems = {{u"/Applications/Foo.app"_s},
                        {u"com.bar.Bar"_s, u"com.foo.Foo"_s, u"com.example.syncd"_s}};
    input.disabled = {u"com.example.syncd"_s};
    const Inventory inventory = buildAll(input);
    const std::tuple<Pid, bool, bool> expected[] = {
        {300, true, false}, {310, true, false}, {320, false, false}, {330, true, true}};
    for (const auto& [pid, loginItem, disabled] : expected) {
        ASSERT_TRUE(withPrimary(inventory.running, pid)) << pid;
        EXPECT_EQ(withPrimary(inventory.running, pid)->isLoginItem, loginItem) << pid;
        EXPECT_EQ(withPrimary(inventory.running, pid)->isDisabledInLaunchd, disabled) << pid;
    }
}

TEST(InventoryBuilder, WhatCountsAsTheSystemsIsHiddenUnlessAskedFor) {
    const std::tuple<const char*, std::function<void(SampleInput&)>, bool> rows[] = {
        {"root's daemon",
         [](SampleInput& in) { add(in, withUid(process(10, 1, u"/usr/libexec/logd"_s), rootUid)); },
         true},
        {"the user's own command from /usr/bin",
         [](SampleInput& in) { add(in, process(10, 1, u"/usr/bin/caffeinate"_s)); }, false},
        {"root's command from /usr/bin",
         [](SampleInput& in) {
             add(in, withUid(process(10, 1, u"/usr/bin/caffeinate"_s), rootUid));
         },
         true},
        {"a tool run from a terminal's shell",
         [](SampleInput& in) {
             addTerminalShell(in);
             add(in, process(10, 51, u"/usr/bin/top"_s));
         },
         false},
        {"a com.apple label at a foreign path",
         [](SampleInput& in) {
             add(in, process(10, 1, u"/opt/odd/place"_s));
             listed(in, u"com.apple.odd"_s, 10);
         },
         true},
        {"a third party's job at a system path",
         [](SampleInput& in) {
             add(in, process(10, 1, u"/usr/libexec/helperd"_s));
             in.jobs.append(job(u"org.example.helper"_s, u"/usr/libexec/helperd"_s));
             listed(in, u"org.example.helper"_s, 10);
         },
         false},
        {"a label with a foreign member",
         [](SampleInput& in) {
             add(in, process(10, 1, u"/usr/libexec/helperd"_s));
             add(in, process(11, 10, u"/opt/example/worker"_s));
             listed(in, u"org.example.helper"_s, 10);
         },
         false},
        {"a system app",
         [](SampleInput& in) {
             add(in, process(10, 1, u"/System/Applications/Calculator.app/Contents/MacOS/C"_s));
         },
         true},
        {"a simulator under system paths",
         [](SampleInput& in) {
             add(in, withUid(process(10, 1, u"/Library/Developer/PrivateFrameworks/launchd_sim"_s),
                             rootUid));
         },
         false},
    };
    for (const auto& [what, setUp, isApple] : rows) {
        SampleInput input = baseSample();
        setUp(input);
        const BackgroundItem* item = withPrimary(buildAll(input).running, 10);
        ASSERT_TRUE(item) << what;
        EXPECT_EQ(item->isApple, isApple) << what;
        EXPECT_EQ(withPrimary(InventoryBuilder::build(input).running, 10) == nullptr, isApple)
            << what;
    }
}

TEST(InventoryBuilder, SystemDaemonsAreFoundAmongLaunchdsChildren) {
    const auto daemon = [](const QString& label, std::optional<QString> program,
                           QStringList arguments = {}) {
        return job(label, std::move(program), std::move(arguments),
                   LaunchJob::Domain::globalDaemon);
    };
    const std::tuple<const char*, std::function<void(SampleInput&)>, QString> rows[] = {
        {"by program",
         [&](SampleInput& in) { in.jobs.append(daemon(u"com.ex.d"_s, u"/opt/ex/bin/exd"_s)); },
         u"job:com.ex.d"_s},
        {"by the resolved program",
         [&](SampleInput& in) {
             in.processes[10].path = u"/opt/ex/Cellar/1.2/exd"_s;
             in.jobs.append(daemon(u"com.ex.d"_s, u"/opt/ex/bin/exd"_s));
             in.resolvePath = [](const QString& p) {
                 return p == u"/opt/ex/bin/exd"_s ? u"/opt/ex/Cellar/1.2/exd"_s : p;
             };
         },
         u"job:com.ex.d"_s},
        {"an interpreter by its script",
         [&](SampleInput& in) {
             in.processes[10] =
                 process(10, 1, u"/usr/bin/python3"_s, {u"python3"_s, u"-u"_s, u"/opt/ex/d.py"_s});
             in.jobs.append(daemon(u"com.ex.other"_s, std::nullopt,
                                   {u"/usr/bin/python3"_s, u"/opt/ex/other.py"_s}));
             in.jobs.append(daemon(u"com.ex.py"_s, std::nullopt,
                                   {u"/usr/bin/env"_s, u"python3"_s, u"/opt/ex/d.py"_s}));
         },
         u"job:com.ex.py"_s},
        {"the first daemon wins",
         [&](SampleInput& in) {
             in.jobs.append(daemon(u"com.ex.first"_s, u"/opt/ex/bin/exd"_s));
             in.jobs.append(daemon(u"com.ex.second"_s, u"/opt/ex/bin/exd"_s));
         },
         u"job:com.ex.first"_s},
        {"not one launchctl lists",
         [&](SampleInput& in) {
             in.jobs.append(daemon(u"com.ex.d"_s, u"/opt/ex/bin/exd"_s));
             listed(in, u"com.ex.d"_s, std::nullopt);
         },
         u"exe:/opt/ex/bin/exd||"_s},
        {"only launchd's children",
         [&](SampleInput& in) {
             add(in, process(9, 1, u"/opt/parent"_s));
             in.processes[10].ppid = 9;
             in.jobs.append(daemon(u"com.ex.d"_s, u"/opt/ex/bin/exd"_s));
         },
         u"exe:/opt/ex/bin/exd||"_s},
        {"agents are no daemons",
         [&](SampleInput& in) {
             in.jobs.append(
                 job(u"com.ex.d"_s, u"/opt/ex/bin/exd"_s, {}, LaunchJob::Domain::globalAgent));
         },
         u"exe:/opt/ex/bin/exd||"_s},
    };
    for (const auto& [what, setUp, id] : rows) {
        SampleInput input = baseSample();
        add(input, process(10, 1, u"/opt/ex/bin/exd"_s));
        setUp(input);
        const Inventory inventory = buildAll(input);
        const BackgroundItem* item = withPrimary(inventory.running, 10);
        ASSERT_TRUE(item) << what;
        EXPECT_EQ(item->id, id) << what;
        EXPECT_FALSE(findItem(inventory.notRunning, id)) << what;
    }
}

TEST(InventoryBuilder, JobsWithoutAProcessAreListedOnceInFinderOrder) {
    const QLocale saved;
    QLocale::setDefault(QLocale::c()); // numbers by value even without a language
    SampleInput input = baseSample();
    LaunchJob redis = job(u"homebrew.mxcl.redis"_s, u"/opt/redis/bin/redis-server"_s);
    redis.runAtLoad = true;
    LaunchJob parked = job(u"com.example.sync"_s, u"/opt/sync/syncd"_s);
    parked.isParkedByQuillmarsh = true;
    LaunchJob twice = job(u"com.example.Job10"_s, std::nullopt);
    LaunchJob global = twice;
    global.domain = LaunchJob::Domain::globalAgent;
    input.jobs = {redis,
                  parked,
                  twice,
                  global,
                  job(u"com.example.job2"_s, std::nullopt),
                  job(u"com.example.ghost"_s, u"/opt/ghost"_s),
                  job(u"com.apple.x"_s, u"/x"_s)};
    add(input, process(600, 1, u"/opt/sync/syncd"_s));
    listed(input, u"com.example.sync"_s, 600);
    listed(input, u"com.example.ghost"_s, 777); // alive though not in the sample
    listed(input, u"com.example.registered"_s, std::nullopt, 1);
    listed(input, u"application.com.foo.Foo.1"_s, std::nullopt);
    input.disabled = {u"homebrew.mxcl.redis"_s};

    const Inventory inventory = buildAll(input);
    QLocale::setDefault(saved);
    EXPECT_EQ(ids(inventory.notRunning),
              (QStringList{u"job:com.example.job2"_s, u"job:com.example.Job10"_s,
                           u"job:homebrew.mxcl.redis"_s, u"job:com.example.registered"_s,
                           u"job:com.example.sync:disabled"_s}));
    EXPECT_TRUE(findItem(inventory.running, u"job:com.example.sync"_s));
    const BackgroundItem* redisItem = findItem(inventory.notRunning, u"job:homebrew.mxcl.redis"_s);
    ASSERT_TRUE(redisItem);
    EXPECT_EQ(redisItem->name, u"redis-server"_s);
    EXPECT_EQ(redisItem->job, redis);
    EXPECT_TRUE(redisItem->isDisabledInLaunchd);
    EXPECT_EQ(findItem(inventory.notRunning, u"job:com.example.Job10"_s)->job, twice);
    EXPECT_EQ(findItem(inventory.notRunning, u"job:com.example.registered"_s)->lastExitStatus, 1);
}

TEST(InventoryBuilder, RunningByMemoryAndTheSameInputGivesTheSameInventory) {
    SampleInput input = baseSample();
    add(input, withMemory(process(10, 1, u"/opt/small"_s), 10));
    add(input, withMemory(process(11, 1, u"/opt/large"_s), 1000));
    add(input, process(12, 1, u"/opt/none"_s));
    add(input, withMemory(process(13, 1, u"/opt/medium"_s), 500));
    add(input, process(700, 1, u"/opt/foo/launcher"_s));
    add(input, process(701, 700, fooMain));
    add(input, process(710, 700, u"/Applications/Bar.app/Contents/MacOS/Bar"_s));
    listed(input, u"application.com.foo.Foo.1.2"_s, 700);
    Inventory first = buildAll(input);
    QStringList order;
    for (const BackgroundItem& item : first.running.mid(0, 3))
        order.append(item.name);
    EXPECT_EQ(order, (QStringList{u"large"_s, u"medium"_s, u"small"_s}));
    Inventory second = buildAll(input);
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
        {"org.example", "org.example"},
        {"application.com.foo.bar.123", "com.foo.bar.123"},
        {"io.tailscale.ipn.macsys", "ipn.macsys"},
        {"my.custom.job", "my.custom.job"},
        {"com..docker..vmnetd", "vmnetd"},
        {"...", ""}};
    for (const auto& [label, name] : labels)
        EXPECT_EQ(InventoryBuilder::labelName(QString::fromUtf8(label)), QString::fromUtf8(name));
    const std::pair<QStringList, const char*> commands[] = {
        {{"redis-server", "*:6379"}, "redis-server"},
        {{"python3", "-u", "-c", "x"}, "python3 -c"},
        {{"python3", "tool.py", "-c", "x"}, "tool"},
        {{"python3", "-m", "http.server"}, "http.server"},
        {{"python3", "main.py"}, "/"},
        {{"node", "--inspect", "dist/worker.mjs"}, "worker"},
        {{"ruby", "line one\nline two"}, "line one"},
        {{"bash", "-l"}, "bash"}};
    for (const auto& [arguments, name] : commands) {
        const ProcSnapshot p = process(5, 1, u"/usr/bin/"_s + arguments[0], arguments);
        EXPECT_EQ(InventoryBuilder::commandName(p), QString::fromUtf8(name))
            << qPrintable(arguments.join(u' '));
    }
    const QString face = u"\U0001F600"_s; // two UTF-16 units, one character
    EXPECT_EQ(InventoryBuilder::shortenName(face.repeated(40)), face.repeated(40));
    EXPECT_EQ(InventoryBuilder::shortenName(face.repeated(41)), face.repeated(39) + QChar(0x2026));
    EXPECT_EQ(InventoryBuilder::shortenName(u"\u2028first\u0085second"_s), u"first"_s);
}

// The builder over real launchd state: the shared sample plists (as the global
// agents folder), real launchctl outputs, one process per listed pid.
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
        if (!job.label.startsWith(u"com.apple."_s)) {
            EXPECT_EQ(notRunning.contains(job.label), !live) << qPrintable(job.label);
        }
    }
    for (qsizetype i = 1; i < inventory.running.size(); ++i)
        EXPECT_GE(inventory.running[i - 1].memory, inventory.running[i].memory);
}

} // namespace
