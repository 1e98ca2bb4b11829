// The whole pass of the inventory builder over hand-made samples: grouping,
// the primary process, daemon matching, the launch-services merge, naming,
// flags, the items that are not running and the two orders.

#include <functional>
#include <ostream>

#include <QDateTime>
#include <QDir>
#include <QLocale>
#include <QString>
#include <QStringList>

#include <gtest/gtest.h>

#include "inventory/InventoryBuilder.h"
#include "support/InventorySamples.h"

void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

using namespace InventorySamples;
using namespace Qt::StringLiterals;

namespace {

const QString fooMain = u"/Applications/Foo.app/Contents/MacOS/Foo"_s;
const QString fooHelper =
    u"/Applications/Foo.app/Contents/Frameworks/Foo Helper.app/Contents/MacOS/Foo Helper"_s;
const QString fooXpc = u"/Applications/Foo.app/Contents/XPCServices/Net.xpc/Contents/MacOS/Net"_s;
const QString itermMain = u"/Applications/iTerm.app/Contents/MacOS/iTerm2"_s;
const QString node = u"/usr/local/bin/node"_s;

Inventory buildAll(SampleInput input) {
    input.includeApple = true;
    return InventoryBuilder::build(input);
}

const BackgroundItem& itemOrFail(const QList<BackgroundItem>& items, const QString& id) {
    const BackgroundItem* item = findItem(items, id);
    if (!item) {
        ADD_FAILURE() << "no item " << id.toStdString() << " among "
                      << ids(items).join(u", "_s).toStdString();
        static const BackgroundItem none;
        return none;
    }
    return *item;
}

// A terminal with a login shell: iTerm (pid 50) > zsh (pid 51).
void addTerminalShell(SampleInput& input) {
    add(input, process(50, 1, itermMain));
    add(input, process(51, 50, u"/bin/zsh"_s, {u"-zsh"_s}, u"/Users/tester"_s));
}

// --- grouping ----------------------------------------------------------------

TEST(InventoryBuilderTest, AppHelpersAndServicesJoinTheApp) {
    SampleInput input = baseSample();
    add(input, withMemory(process(300, 1, fooMain), 100));
    add(input, withMemory(process(301, 300, fooHelper), 500));
    add(input, withMemory(process(302, 1, fooXpc), 50));

    const Inventory inventory = buildAll(input);
    ASSERT_EQ(ids(inventory.running), QStringList{u"app:/Applications/Foo.app"_s});
    const BackgroundItem& app = inventory.running.first();
    ASSERT_TRUE(app.primary);
    EXPECT_EQ(app.primary->pid, 300); // the main executable, although smaller
    EXPECT_EQ(memberPids(app), (QList<Pid>{300, 302, 301}));
    EXPECT_EQ(app.kind, BackgroundItem::Kind::app);
    EXPECT_EQ(app.state, BackgroundItem::State::running);
    EXPECT_EQ(app.appBundlePath, u"/Applications/Foo.app"_s);
    EXPECT_EQ(app.name, u"Foo"_s);
    EXPECT_EQ(app.memory, 650u);
    EXPECT_EQ(app.origin.kind, Origin::Case::app);
    EXPECT_EQ(app.ancestry, (QStringList{u"launchd"_s, u"Foo"_s}));
    EXPECT_EQ(app.explanation, u"3 processes \u00B7 app in Applications"_s);
    EXPECT_FALSE(app.isApple);
    EXPECT_FALSE(app.cpuPercent);
}

TEST(InventoryBuilderTest, DeveloperToolsInsideXcodeAreNotXcodeHelpers) {
    SampleInput input = baseSample();
    add(input, process(60, 1, u"/Applications/Xcode.app/Contents/MacOS/Xcode"_s));
    add(input, process(61, 60, u"/Applications/Xcode.app/Contents/Developer/usr/bin/git"_s,
                       {u"git"_s, u"fetch"_s}, u"/Users/tester/src/proj"_s));

    const Inventory inventory = buildAll(input);
    EXPECT_EQ(inventory.running.size(), 2);
    const BackgroundItem& git = itemOrFail(
        inventory.running,
        u"exe:/Applications/Xcode.app/Contents/Developer/usr/bin/git|fetch|/Users/tester/src/proj"_s);
    EXPECT_EQ(git.kind, BackgroundItem::Kind::process);
    EXPECT_EQ(git.origin, (Origin{Origin::Case::ide, u"Xcode"_s, std::nullopt}));
    EXPECT_EQ(git.name, u"git in proj"_s);
    EXPECT_EQ(git.ancestry, (QStringList{u"launchd"_s, u"Xcode"_s, u"Xcode"_s}));
}

TEST(InventoryBuilderTest, SameCommandSplitsByFolderAndJoinsWithinOne) {
    SampleInput input = baseSample();
    addTerminalShell(input);
    const QStringList serve = {u"node"_s, u"server.js"_s};
    add(input, process(70, 51, node, serve, u"/w/a"_s));
    add(input, process(71, 51, node, serve, u"/w/b"_s));
    add(input, process(72, 51, node, serve, u"/w/b"_s));

    const Inventory inventory = buildAll(input);
    const BackgroundItem& a =
        itemOrFail(inventory.running, u"exe:/usr/local/bin/node|server.js|/w/a"_s);
    const BackgroundItem& b =
        itemOrFail(inventory.running, u"exe:/usr/local/bin/node|server.js|/w/b"_s);
    EXPECT_EQ(memberPids(a), QList<Pid>{70});
    EXPECT_EQ(memberPids(b), (QList<Pid>{71, 72}));
    EXPECT_EQ(a.origin, (Origin{Origin::Case::terminal, u"iTerm"_s, std::nullopt}));
    // A bare generic script name takes the root folder's name.
    EXPECT_EQ(a.name, u"/ in a"_s);
    EXPECT_EQ(a.ancestry, (QStringList{u"launchd"_s, u"iTerm"_s, u"zsh"_s, u"node"_s}));
}

TEST(InventoryBuilderTest, SimulatorIsOneItemWithEverythingUnderIt) {
    SampleInput input = baseSample();
    const QString uuid = u"1B2C3D4E-0000-1111-2222-333344445555"_s;
    add(input, withMemory(process(200, 1,
                                  u"/Library/Developer/PrivateFrameworks/CoreSimulator.framework/"
                                  "Resources/bin/launchd_sim"_s),
                          10));
    add(input, withMemory(process(201, 200, u"/Library/Developer/CoreSimulator/backboardd"_s), 20));
    add(input, withMemory(process(202, 201, u"/Users/tester/Library/Developer/MyApp"_s), 30));
    listed(input, u"com.apple.CoreSimulator.SimDevice."_s + uuid, 200);

    const Inventory inventory = InventoryBuilder::build(input); // Apple items hidden
    ASSERT_EQ(ids(inventory.running), QStringList{u"sim:200"_s});
    const BackgroundItem& sim = inventory.running.first();
    EXPECT_EQ(sim.kind, BackgroundItem::Kind::simulator);
    EXPECT_EQ(sim.name, u"iOS Simulator"_s);
    EXPECT_EQ(sim.primary->pid, 200);
    EXPECT_EQ(sim.memory, 60u);
    EXPECT_EQ(sim.launchLabel, u"com.apple.CoreSimulator.SimDevice."_s + uuid);
    EXPECT_FALSE(sim.isApple);
    EXPECT_TRUE(sim.explanation.startsWith(u"iOS Simulator runtime."_s))
        << sim.explanation.toStdString();
}

TEST(InventoryBuilderTest, ChildrenOfAJobJoinIt) {
    SampleInput input = baseSample();
    add(input, withMemory(process(400, 1, u"/opt/homebrew/opt/postgresql/bin/postgres"_s), 30));
    add(input, withMemory(process(401, 400, u"/opt/homebrew/opt/postgresql/bin/postgres"_s), 90));
    add(input, withMemory(process(402, 401, u"/bin/sh"_s, {u"sh"_s, u"-c"_s, u"x"_s}), 5));
    input.jobs.append(
        job(u"homebrew.mxcl.postgresql"_s, u"/opt/homebrew/opt/postgresql/bin/postgres"_s));
    listed(input, u"homebrew.mxcl.postgresql"_s, 400, 0);

    const Inventory inventory = buildAll(input);
    ASSERT_EQ(ids(inventory.running), QStringList{u"job:homebrew.mxcl.postgresql"_s});
    const BackgroundItem& item = inventory.running.first();
    EXPECT_EQ(item.primary->pid, 400); // its parent is not in the group
    EXPECT_EQ(memberPids(item), (QList<Pid>{400, 401, 402}));
    ASSERT_TRUE(item.job);
    EXPECT_EQ(item.job->label, u"homebrew.mxcl.postgresql"_s);
    EXPECT_EQ(item.launchLabel, u"homebrew.mxcl.postgresql"_s);
    EXPECT_EQ(item.lastExitStatus, 0);
    EXPECT_EQ(item.origin.kind, Origin::Case::launchdJob);
    EXPECT_EQ(item.name, u"postgres"_s);
    EXPECT_TRUE(inventory.notRunning.isEmpty()); // the job is covered
}

TEST(InventoryBuilderTest, PrimaryPrefersMembersWithMemory) {
    SampleInput input = baseSample();
    const QStringList serve = {u"node"_s, u"server.js"_s};
    add(input, process(80, 1, node, serve, u"/w"_s));                   // no memory figure
    add(input, withMemory(process(81, 1, node, serve, u"/w"_s), 5));    // smaller
    add(input, withMemory(process(82, 1, node, serve, u"/w"_s), 50));   // largest root
    add(input, withMemory(process(83, 82, node, serve, u"/w"_s), 900)); // a child
    const Inventory inventory = buildAll(input);
    ASSERT_EQ(inventory.running.size(), 1);
    EXPECT_EQ(memberPids(inventory.running.first()), (QList<Pid>{82, 81, 80, 83}));
    EXPECT_EQ(inventory.running.first().memory, 955u);
}

TEST(InventoryBuilderTest, OwnProcessLaunchdAndKernelAreLeftOut) {
    SampleInput input = baseSample();
    input.ownPid = 90;
    add(input, process(90, 1, u"/opt/quillmarsh/quillmarsh"_s));
    add(input, process(91, 1, u"/opt/other/tool"_s));
    const Inventory inventory = buildAll(input);
    EXPECT_EQ(ids(inventory.running), QStringList{u"exe:/opt/other/tool||"_s});
}

TEST(InventoryBuilderTest, BadDataMakesPoorerItemsNotFailures) {
    SampleInput input = baseSample();
    ProcSnapshot nameless;
    nameless.pid = 40;
    nameless.ppid = 1;
    nameless.uid = rootUid;
    add(input, nameless);                          // no name, path, arguments or folder
    add(input, process(41, 42, u"/opt/loop/a"_s)); // parents of each other
    add(input, process(42, 41, u"/opt/loop/b"_s));
    add(input, process(43, 43, u"/opt/loop/self"_s));
    add(input, process(44, -5, u"/opt/odd/negative-parent"_s));
    listed(input, u""_s, 44);
    listed(input, u"..."_s, std::nullopt);
    input.jobs.append(job(QString(), std::nullopt));

    const Inventory inventory = buildAll(input);
    const BackgroundItem& empty = itemOrFail(inventory.running, u"exe:||"_s);
    EXPECT_EQ(empty.name, QString());
    EXPECT_EQ(empty.ancestry, (QStringList{u"launchd"_s, QString()}));
    EXPECT_EQ(itemOrFail(inventory.running, u"exe:/opt/loop/a||"_s).ancestry,
              (QStringList{u"launchd"_s, u"b"_s, u"a"_s}));
    EXPECT_EQ(itemOrFail(inventory.running, u"exe:/opt/loop/self||"_s).ancestry,
              (QStringList{u"launchd"_s, u"self"_s}));
    const BackgroundItem& odd = itemOrFail(inventory.running, u"job:"_s);
    EXPECT_EQ(odd.ancestry, QStringList{u"negative-parent"_s}); // no launchd above it
    EXPECT_EQ(ids(inventory.notRunning), (QStringList{u"job:..."_s}));
    EXPECT_EQ(inventory.notRunning.first().name, QString());
}

TEST(InventoryBuilderTest, EmptySampleGivesAnEmptyInventory) {
    const Inventory inventory = InventoryBuilder::build(SampleInput{});
    EXPECT_TRUE(inventory.running.isEmpty());
    EXPECT_TRUE(inventory.notRunning.isEmpty());
}

// --- ports, CPU, flags -------------------------------------------------------

TEST(InventoryBuilderTest, PortsAndCpuAreSummedOverMembers) {
    SampleInput input = baseSample();
    const QStringList serve = {node, u"api.js"_s};
    add(input, process(10, 1, node, serve, u"/w"_s));
    add(input, process(11, 1, node, serve, u"/w"_s));
    add(input, process(12, 1, node, serve, u"/w"_s));
    input.ports = {{10, {5432, 8080}}, {11, {5432, 9000}}, {77, {1}}};

    Inventory inventory = buildAll(input);
    ASSERT_EQ(inventory.running.size(), 1);
    EXPECT_EQ(inventory.running.first().ports, (QList<int>{5432, 8080, 9000}));
    EXPECT_FALSE(inventory.running.first().cpuPercent); // no previous sample

    input.cpu = std::map<Pid, double>{{10, 1.5}, {11, 120.0}}; // 12 has no figure
    inventory = buildAll(input);
    EXPECT_EQ(inventory.running.first().cpuPercent, 121.5);
}

TEST(InventoryBuilderTest, LoginItemsMatchByBundleLabelOrBundleIdPrefix) {
    SampleInput input = baseSample();
    add(input, process(300, 1, fooMain));
    add(input, process(310, 1, u"/Applications/Bar.app/Contents/MacOS/Bar"_s));
    add(input, process(320, 1, u"/Applications/FooBar.app/Contents/MacOS/FooBar"_s));
    add(input, process(330, 1, u"/opt/sync/syncd"_s));
    listed(input, u"application.com.bar.Bar.4242.4243"_s, 310);
    listed(input, u"application.com.foo.FooBar.77"_s, 320);
    listed(input, u"com.example.syncd"_s, 330);
    input.loginItems.appPaths = {u"/Applications/Foo.app"_s};
    input.loginItems.bundleIDs = {u"com.bar.Bar"_s, u"com.foo.Foo"_s, u"com.example.syncd"_s};
    input.disabled = {u"com.example.syncd"_s};

    const Inventory inventory = buildAll(input);
    EXPECT_TRUE(itemOrFail(inventory.running, u"app:/Applications/Foo.app"_s).isLoginItem);
    EXPECT_TRUE(itemOrFail(inventory.running, u"app:/Applications/Bar.app"_s).isLoginItem);
    // "com.foo.Foo" is a prefix of "com.foo.FooBar" but not of its pieces.
    EXPECT_FALSE(itemOrFail(inventory.running, u"app:/Applications/FooBar.app"_s).isLoginItem);
    const BackgroundItem& syncd = itemOrFail(inventory.running, u"job:com.example.syncd"_s);
    EXPECT_TRUE(syncd.isLoginItem);
    EXPECT_TRUE(syncd.isDisabledInLaunchd);
    EXPECT_FALSE(itemOrFail(inventory.running, u"app:/Applications/Foo.app"_s).isDisabledInLaunchd);
}

TEST(InventoryBuilderTest, CompilerUnderMakeIsPartOfABuild) {
    SampleInput input = baseSample();
    addTerminalShell(input);
    add(input, process(52, 51, u"/usr/bin/make"_s, {u"make"_s}, u"/Users/tester/proj"_s));
    add(input, process(53, 52, u"/usr/bin/clang"_s, {u"clang"_s, u"-c"_s, u"a.c"_s},
                       u"/Users/tester/proj"_s));
    add(input, process(54, 1, u"/usr/bin/java"_s, {u"java"_s, u"-jar"_s, u"daemon.jar"_s}));
    const Inventory inventory = buildAll(input);
    EXPECT_TRUE(
        itemOrFail(inventory.running, u"exe:/usr/bin/clang|-c|/Users/tester/proj"_s).isPartOfBuild);
    EXPECT_TRUE(
        itemOrFail(inventory.running, u"exe:/usr/bin/make||/Users/tester/proj"_s).isPartOfBuild);
    EXPECT_FALSE(itemOrFail(inventory.running, u"exe:/usr/bin/java|-jar|"_s).isPartOfBuild);
}

// --- naming ------------------------------------------------------------------

TEST(InventoryBuilderTest, AgentSessionsAreNamedForTheirFolder) {
    SampleInput input = baseSample();
    addTerminalShell(input);
    add(input,
        process(500, 51, u"/usr/local/bin/claude"_s, {u"claude"_s}, u"/Users/tester/src/proj"_s));
    add(input, process(501, 500, node, {u"node"_s, u"/Users/tester/mcp/index.js"_s},
                       u"/Users/tester/src/proj"_s));
    add(input, process(510, 51, u"/usr/local/bin/codex"_s, {u"codex"_s}));
    add(input, process(520, 51, u"/usr/local/bin/claude"_s, {u"claude"_s}, u"/"_s));

    const Inventory inventory = buildAll(input);
    const BackgroundItem& session = itemOrFail(inventory.running, u"pid:500"_s);
    EXPECT_EQ(session.name, u"Claude Code \u00B7 proj"_s);
    EXPECT_EQ(session.origin, (Origin{Origin::Case::terminal, u"iTerm"_s, std::nullopt}));
    EXPECT_EQ(session.explanation, u"Claude Code agent session"_s);
    EXPECT_EQ(itemOrFail(inventory.running, u"pid:510"_s).name, u"Codex Code"_s);
    // The root folder has no name of its own.
    EXPECT_EQ(itemOrFail(inventory.running, u"pid:520"_s).name, u"Claude Code"_s);

    const BackgroundItem& server =
        itemOrFail(inventory.running,
                   u"exe:/usr/local/bin/node|/Users/tester/mcp/index.js|/Users/tester/src/proj"_s);
    EXPECT_EQ(server.origin,
              (Origin{Origin::Case::agentSession, u"Claude"_s, u"/Users/tester/src/proj"_s}));
    EXPECT_EQ(server.name, u"mcp in proj"_s);
    EXPECT_TRUE(server.explanation.endsWith(u" \u00B7 Claude session"_s))
        << server.explanation.toStdString();
}

TEST(InventoryBuilderTest, FolderSuffixOnlyForCommandsRunByHand) {
    const QString home = QDir::homePath();
    struct Row {
        Pid parent;
        std::optional<QString> folder;
        QString expected;
    };
    const QList<Row> rows = {
        {51, u"/Users/tester/src/site"_s, u"vite in site"_s},
        {51, u"/"_s, u"vite"_s},
        {51, home, u"vite"_s},
        {51, home + u"/"_s, u"vite"_s},
        {51, std::nullopt, u"vite"_s},
        {1, u"/Users/tester/src/site"_s, u"vite"_s}, // detached: nobody ran it by hand
    };
    for (const Row& row : rows) {
        SampleInput input = baseSample();
        addTerminalShell(input);
        add(input,
            process(60, row.parent, node,
                    {u"node"_s, u"/Users/tester/src/site/node_modules/.bin/vite"_s}, row.folder));
        const Inventory inventory = buildAll(input);
        const BackgroundItem* item = nullptr;
        for (const BackgroundItem& candidate : inventory.running) {
            if (candidate.primary && candidate.primary->pid == 60)
                item = &candidate;
        }
        ASSERT_TRUE(item);
        EXPECT_EQ(item->name, row.expected) << row.folder.value_or(u"(none)"_s).toStdString();
    }
}

TEST(InventoryBuilderTest, ScriptsByFolderModulesAndInlineCode) {
    SampleInput input = baseSample();
    add(input, process(20, 1, u"/usr/bin/python3"_s, {u"python3"_s, u"/srv/a/main.py"_s}));
    add(input, process(21, 1, u"/usr/bin/python3"_s, {u"python3"_s, u"/srv/b/main.py"_s}));
    add(input,
        process(22, 1, u"/usr/bin/python3"_s, {u"python3"_s, u"-m"_s, u"uvicorn"_s, u"app:app"_s}));
    add(input, process(23, 1, node, {u"node"_s, u"--eval"_s, u"require('x')\nrun()"_s}));
    const Inventory inventory = buildAll(input);
    QStringList names;
    for (const BackgroundItem& item : inventory.running)
        names.append(item.name);
    names.sort();
    EXPECT_EQ(names, (QStringList{u"a"_s, u"b"_s, u"node --eval"_s, u"uvicorn"_s}));
}

TEST(InventoryBuilderTest, InterpreterJobsTakeTheJobName) {
    SampleInput input = baseSample();
    add(input, process(30, 1, u"/usr/bin/python3"_s, {u"python3"_s, u"/srv/sync/main.py"_s}));
    input.jobs.append(job(u"com.example.nightly-sync"_s, std::nullopt,
                          {u"/usr/bin/python3"_s, u"/srv/sync/main.py"_s}));
    listed(input, u"com.example.nightly-sync"_s, 30);
    const Inventory inventory = buildAll(input);
    EXPECT_EQ(itemOrFail(inventory.running, u"job:com.example.nightly-sync"_s).name,
              u"nightly-sync"_s);
}

// --- Apple detection ---------------------------------------------------------

struct AppleRow {
    const char* what;
    std::function<void(SampleInput&)> setUp;
    Pid primary;
    bool isApple;
};

class AppleDetectionTest : public testing::TestWithParam<AppleRow> {};

TEST_P(AppleDetectionTest, DecidesWhatIsPartOfTheSystem) {
    const AppleRow& row = GetParam();
    SampleInput input = baseSample();
    row.setUp(input);
    const Inventory all = buildAll(input);
    const BackgroundItem* item = nullptr;
    for (const BackgroundItem& candidate : all.running) {
        if (candidate.primary && candidate.primary->pid == row.primary)
            item = &candidate;
    }
    ASSERT_TRUE(item) << row.what;
    EXPECT_EQ(item->isApple, row.isApple) << row.what;

    // Hidden items stay out of `running` unless asked for.
    const Inventory visible = InventoryBuilder::build(input);
    EXPECT_EQ(findItem(visible.running, item->id) == nullptr, row.isApple) << row.what;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, AppleDetectionTest,
    testing::Values(
        AppleRow{"detached system daemon",
                 [](SampleInput& in) {
                     add(in, withUid(process(10, 1, u"/usr/libexec/logd"_s), rootUid));
                 },
                 10, true},
        AppleRow{"user's own detached command from /usr/bin",
                 [](SampleInput& in) { add(in, process(10, 1, u"/usr/bin/caffeinate"_s)); }, 10,
                 false},
        AppleRow{"user's own detached command from /sbin",
                 [](SampleInput& in) { add(in, process(10, 1, u"/sbin/ping"_s)); }, 10, false},
        AppleRow{"root's detached command from /usr/bin",
                 [](SampleInput& in) {
                     add(in, withUid(process(10, 1, u"/usr/bin/caffeinate"_s), rootUid));
                 },
                 10, true},
        AppleRow{"user's own /usr/libexec process",
                 [](SampleInput& in) { add(in, process(10, 1, u"/usr/libexec/trustd"_s)); }, 10,
                 true},
        AppleRow{"detached process in the home folder",
                 [](SampleInput& in) { add(in, process(10, 1, u"/Users/tester/bin/tool"_s)); }, 10,
                 false},
        AppleRow{"unreadable path",
                 [](SampleInput& in) {
                     add(in,
                         withUid(withName(process(10, 1, QString(), {u"x"_s}), u"x"_s), rootUid));
                 },
                 10, true},
        AppleRow{"shell in a terminal", [](SampleInput& in) { addTerminalShell(in); }, 51, true},
        AppleRow{"system tool run from a shell in a terminal",
                 [](SampleInput& in) {
                     addTerminalShell(in);
                     add(in, process(52, 51, u"/usr/bin/top"_s));
                 },
                 52, false},
        AppleRow{"node run from a shell",
                 [](SampleInput& in) {
                     add(in, process(51, 1, u"/bin/zsh"_s));
                     add(in, process(52, 51, node));
                 },
                 52, false},
        AppleRow{"unlisted label with system paths only",
                 [](SampleInput& in) {
                     add(in, withUid(process(10, 1, u"/usr/libexec/helperd"_s), rootUid));
                     listed(in, u"org.example.helper"_s, 10);
                 },
                 10, true},
        AppleRow{"label with a foreign member",
                 [](SampleInput& in) {
                     add(in, process(10, 1, u"/usr/libexec/helperd"_s));
                     add(in, process(11, 10, u"/opt/example/worker"_s));
                     listed(in, u"org.example.helper"_s, 10);
                 },
                 10, false},
        AppleRow{"com.apple label with a foreign path",
                 [](SampleInput& in) {
                     add(in, process(10, 1, u"/opt/odd/place"_s));
                     listed(in, u"com.apple.odd"_s, 10);
                 },
                 10, true},
        AppleRow{"plist job of a third party at a system path",
                 [](SampleInput& in) {
                     add(in, process(10, 1, u"/usr/libexec/helperd"_s));
                     in.jobs.append(job(u"org.example.helper"_s, u"/usr/libexec/helperd"_s));
                     listed(in, u"org.example.helper"_s, 10);
                 },
                 10, false},
        AppleRow{"application label outside a bundle",
                 [](SampleInput& in) {
                     add(in,
                         withUid(process(10, 1, u"/System/Library/CoreServices/Dock"_s), rootUid));
                     listed(in, u"application.com.apple.dock.1"_s, 10);
                 },
                 10, true},
        AppleRow{"system app",
                 [](SampleInput& in) {
                     add(in, process(10, 1,
                                     u"/System/Applications/Calculator.app/Contents/MacOS/"
                                     "Calculator"_s));
                 },
                 10, true},
        AppleRow{"third-party app", [](SampleInput& in) { add(in, process(10, 1, fooMain)); }, 10,
                 false},
        AppleRow{"simulator under system paths",
                 [](SampleInput& in) {
                     add(in, withUid(process(10, 1,
                                             u"/Library/Developer/PrivateFrameworks/launchd_sim"_s),
                                     rootUid));
                 },
                 10, false}));

// --- daemon matching ---------------------------------------------------------

struct DaemonRow {
    const char* what;
    std::function<void(SampleInput&)> setUp;
    QString expectedId;
    bool hasJob = true;
};

class DaemonMatchingTest : public testing::TestWithParam<DaemonRow> {};

LaunchJob daemon(const QString& label, std::optional<QString> program, QStringList arguments = {}) {
    return job(label, std::move(program), std::move(arguments), LaunchJob::Domain::globalDaemon);
}

TEST_P(DaemonMatchingTest, FindsSystemDaemonsAmongLaunchdsChildren) {
    const DaemonRow& row = GetParam();
    SampleInput input = baseSample();
    row.setUp(input);
    const Inventory inventory = buildAll(input);
    const BackgroundItem* item = nullptr;
    for (const BackgroundItem& candidate : inventory.running) {
        if (candidate.primary && candidate.primary->pid == 10)
            item = &candidate;
    }
    ASSERT_TRUE(item) << row.what;
    EXPECT_EQ(item->id, row.expectedId) << row.what;
    if (row.expectedId.startsWith(u"job:"_s)) {
        EXPECT_EQ(item->job.has_value(), row.hasJob) << row.what;
        EXPECT_EQ(item->launchLabel, row.expectedId.mid(4)) << row.what;
        for (const BackgroundItem& other : inventory.notRunning)
            EXPECT_NE(other.id, row.expectedId) << row.what << ": covered job listed";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, DaemonMatchingTest,
    testing::Values(
        DaemonRow{"program path",
                  [](SampleInput& in) {
                      add(in, withUid(process(10, 1, u"/Library/PrivilegedHelperTools/exd"_s),
                                      rootUid));
                      in.jobs.append(
                          daemon(u"com.example.exd"_s, u"/Library/PrivilegedHelperTools/exd"_s));
                  },
                  u"job:com.example.exd"_s},
        DaemonRow{"first argument when there is no program",
                  [](SampleInput& in) {
                      add(in, process(10, 1, u"/opt/ex/bin/exd"_s));
                      in.jobs.append(
                          daemon(u"com.example.exd"_s, std::nullopt, {u"/opt/ex/bin/exd"_s}));
                  },
                  u"job:com.example.exd"_s},
        DaemonRow{"resolved program",
                  [](SampleInput& in) {
                      add(in, process(10, 1, u"/opt/ex/Cellar/exd/1.2/bin/exd"_s));
                      in.jobs.append(daemon(u"com.example.exd"_s, u"/opt/ex/bin/exd"_s));
                      in.resolvePath = [](const QString& path) {
                          return path == u"/opt/ex/bin/exd"_s ? u"/opt/ex/Cellar/exd/1.2/bin/exd"_s
                                                              : path;
                      };
                  },
                  u"job:com.example.exd"_s},
        DaemonRow{"interpreter with its script",
                  [](SampleInput& in) {
                      add(in, process(10, 1, u"/usr/bin/python3"_s,
                                      {u"python3"_s, u"-u"_s, u"/opt/ex/daemon.py"_s}));
                      in.jobs.append(daemon(u"com.example.other"_s, std::nullopt,
                                            {u"/usr/bin/python3"_s, u"/opt/ex/other.py"_s}));
                      in.jobs.append(
                          daemon(u"com.example.pyd"_s, std::nullopt,
                                 {u"/usr/bin/python3"_s, u"-u"_s, u"/opt/ex/daemon.py"_s}));
                  },
                  u"job:com.example.pyd"_s},
        DaemonRow{"env names the interpreter before the script",
                  [](SampleInput& in) {
                      add(in, process(10, 1, u"/opt/homebrew/bin/python3.12"_s,
                                      {u"python3.12"_s, u"/opt/ex/envd.py"_s}));
                      in.jobs.append(
                          daemon(u"com.example.envd"_s, std::nullopt,
                                 {u"/usr/bin/env"_s, u"python3"_s, u"/opt/ex/envd.py"_s}));
                  },
                  u"job:com.example.envd"_s},
        DaemonRow{"env with only the interpreter does not match every python",
                  [](SampleInput& in) {
                      add(in, process(10, 1, u"/usr/bin/python3"_s, {u"python3"_s, u"python3"_s}));
                      in.jobs.append(daemon(u"com.example.envd"_s, std::nullopt,
                                            {u"/usr/bin/env"_s, u"python3"_s}));
                  },
                  u"exe:/usr/bin/python3|python3|"_s},
        DaemonRow{
            "interpreter without a script compares paths",
            [](SampleInput& in) {
                add(in, withUid(process(10, 1, u"/bin/sh"_s, {u"sh"_s, u"-e"_s}), rootUid));
                in.jobs.append(daemon(u"com.example.shd"_s, u"/bin/sh"_s, {u"sh"_s, u"-e"_s}));
            },
            u"job:com.example.shd"_s},
        DaemonRow{"first daemon in order wins",
                  [](SampleInput& in) {
                      add(in, process(10, 1, u"/opt/ex/bin/exd"_s));
                      in.jobs.append(daemon(u"com.example.first"_s, u"/opt/ex/bin/exd"_s));
                      in.jobs.append(
                          daemon(u"com.example.second"_s, std::nullopt, {u"/opt/ex/bin/exd"_s}));
                  },
                  u"job:com.example.first"_s},
        DaemonRow{"a daemon that launchctl lists is not matched",
                  [](SampleInput& in) {
                      add(in, process(10, 1, u"/opt/ex/bin/exd"_s));
                      in.jobs.append(daemon(u"com.example.exd"_s, u"/opt/ex/bin/exd"_s));
                      listed(in, u"com.example.exd"_s, std::nullopt);
                  },
                  u"exe:/opt/ex/bin/exd||"_s},
        DaemonRow{"only launchd's children",
                  [](SampleInput& in) {
                      add(in, process(9, 1, u"/opt/parent"_s));
                      add(in, process(10, 9, u"/opt/ex/bin/exd"_s));
                      in.jobs.append(daemon(u"com.example.exd"_s, u"/opt/ex/bin/exd"_s));
                  },
                  u"exe:/opt/ex/bin/exd||"_s},
        DaemonRow{"agents are not daemons",
                  [](SampleInput& in) {
                      add(in, process(10, 1, u"/opt/ex/bin/exd"_s));
                      in.jobs.append(job(u"com.example.exd"_s, u"/opt/ex/bin/exd"_s, {},
                                         LaunchJob::Domain::globalAgent));
                  },
                  u"exe:/opt/ex/bin/exd||"_s},
        DaemonRow{"parked daemons are not matched",
                  [](SampleInput& in) {
                      add(in, process(10, 1, u"/opt/ex/bin/exd"_s));
                      LaunchJob parked = daemon(u"com.example.exd"_s, u"/opt/ex/bin/exd"_s);
                      parked.isParkedByQuillmarsh = true;
                      in.jobs.append(parked);
                  },
                  u"exe:/opt/ex/bin/exd||"_s},
        DaemonRow{"a process launchctl already labels keeps its label",
                  [](SampleInput& in) {
                      add(in, process(10, 1, u"/opt/ex/bin/exd"_s));
                      in.jobs.append(daemon(u"com.example.exd"_s, u"/opt/ex/bin/exd"_s));
                      listed(in, u"com.example.user-copy"_s, 10);
                  },
                  u"job:com.example.user-copy"_s, false}));

// --- launch-services merge ---------------------------------------------------

TEST(LaunchServicesMergeTest, StarterJoinsTheAppWithMostOfItsChildren) {
    SampleInput input = baseSample();
    add(input, withMemory(process(700, 1, u"/opt/foo/foo-launcher"_s), 5));
    add(input, withMemory(process(701, 700, fooMain), 100));
    add(input, withMemory(process(702, 700, fooHelper), 10));
    add(input, process(710, 700, u"/Applications/Bar.app/Contents/MacOS/Bar"_s));
    listed(input, u"application.com.foo.Foo.1.2"_s, 700);

    const Inventory inventory = buildAll(input);
    EXPECT_EQ(inventory.running.size(), 2);
    const BackgroundItem& foo = itemOrFail(inventory.running, u"app:/Applications/Foo.app"_s);
    EXPECT_EQ(memberPids(foo), (QList<Pid>{701, 700, 702}));
    EXPECT_EQ(foo.primary->pid, 701); // both rank first; the larger wins
    EXPECT_EQ(memberPids(itemOrFail(inventory.running, u"app:/Applications/Bar.app"_s)),
              QList<Pid>{710});
}

TEST(LaunchServicesMergeTest, TieGoesToExactlyOneApp) {
    SampleInput input = baseSample();
    add(input, process(700, 1, u"/opt/foo/launcher"_s));
    add(input, process(701, 700, fooMain));
    add(input, process(710, 700, u"/Applications/Bar.app/Contents/MacOS/Bar"_s));
    listed(input, u"application.com.foo.Foo.1.2"_s, 700);

    const Inventory inventory = buildAll(input);
    ASSERT_EQ(inventory.running.size(), 2);
    int holders = 0;
    for (const BackgroundItem& item : inventory.running)
        holders += memberPids(item).contains(700) ? 1 : 0;
    EXPECT_EQ(holders, 1);
    EXPECT_EQ(buildAll(input).running, inventory.running); // the same one every time
}

TEST(LaunchServicesMergeTest, OnlyLoneApplicationProcessesAndNeverIntoSystemApps) {
    SampleInput input = baseSample();
    // Lone, but the only app with its children is Apple's.
    add(input, process(700, 1, u"/opt/foo/launcher"_s));
    add(input, process(701, 700, u"/System/Applications/Mail.app/Contents/MacOS/Mail"_s));
    listed(input, u"application.com.apple.mail.9"_s, 700);
    // Not an "application." label.
    add(input, process(720, 1, u"/opt/baz/launcher"_s));
    add(input, process(721, 720, fooMain));
    listed(input, u"com.example.baz"_s, 720);
    // Two processes in the group.
    add(input, process(730, 1, u"/opt/qux/launcher"_s));
    add(input, process(731, 1, u"/opt/qux/launcher"_s));
    add(input, process(732, 730, u"/Applications/Bar.app/Contents/MacOS/Bar"_s));
    listed(input, u"application.com.qux.Qux.5"_s, 730);

    const Inventory inventory = buildAll(input);
    EXPECT_TRUE(findItem(inventory.running, u"exe:/opt/foo/launcher||"_s));
    EXPECT_TRUE(findItem(inventory.running, u"job:com.example.baz"_s));
    const BackgroundItem& qux = itemOrFail(inventory.running, u"exe:/opt/qux/launcher||"_s);
    EXPECT_EQ(memberPids(qux).size(), 2);
    EXPECT_EQ(memberPids(itemOrFail(inventory.running, u"app:/Applications/Bar.app"_s)),
              QList<Pid>{732});
}

// --- items that are not running ----------------------------------------------

TEST(NotRunningTest, JobItemsCarryTheirJobAndLaunchdState) {
    SampleInput input = baseSample();
    LaunchJob redis = job(u"homebrew.mxcl.redis"_s, u"/opt/homebrew/opt/redis/bin/redis-server"_s);
    redis.runAtLoad = true;
    input.jobs.append(redis);
    input.jobs.append(job(u"com.example.failing"_s, std::nullopt, {u"/opt/custom/bin/thing"_s}));
    input.jobs.append(job(u"com.apple.hidden"_s, u"/usr/libexec/hidden"_s));
    listed(input, u"com.example.failing"_s, std::nullopt, 78);
    input.disabled = {u"homebrew.mxcl.redis"_s};

    const Inventory inventory = buildAll(input);
    ASSERT_EQ(ids(inventory.notRunning),
              (QStringList{u"job:homebrew.mxcl.redis"_s, u"job:com.example.failing"_s}));
    const BackgroundItem& redisItem = inventory.notRunning[0];
    EXPECT_EQ(redisItem.name, u"redis-server"_s);
    EXPECT_EQ(redisItem.kind, BackgroundItem::Kind::job);
    EXPECT_EQ(redisItem.state, BackgroundItem::State::notRunning);
    EXPECT_EQ(redisItem.job, redis);
    EXPECT_TRUE(redisItem.explanation.startsWith(u"Redis"_s))
        << redisItem.explanation.toStdString();
    EXPECT_FALSE(redisItem.launchLabel);
    EXPECT_FALSE(redisItem.lastExitStatus);
    EXPECT_TRUE(redisItem.isDisabledInLaunchd);
    EXPECT_FALSE(redisItem.primary);
    EXPECT_TRUE(redisItem.members.isEmpty());
    EXPECT_EQ(redisItem.memory, 0u);
    EXPECT_FALSE(redisItem.cpuPercent);
    EXPECT_EQ(redisItem.origin.kind, Origin::Case::unknown);
    EXPECT_TRUE(redisItem.ancestry.isEmpty());
    EXPECT_FALSE(redisItem.isApple || redisItem.isLoginItem || redisItem.isPartOfBuild);
    EXPECT_FALSE(redisItem.appBundlePath);

    const BackgroundItem& failing = inventory.notRunning[1];
    EXPECT_EQ(failing.name, u"thing"_s);
    EXPECT_EQ(failing.explanation, u"/opt/custom/bin"_s); // where it lives, for lack of better
    EXPECT_EQ(failing.launchLabel, u"com.example.failing"_s);
    EXPECT_EQ(failing.lastExitStatus, 78);
    EXPECT_FALSE(failing.isDisabledInLaunchd);
}

TEST(NotRunningTest, ParkedJobIsListedEvenWhileLaunchdRunsIt) {
    SampleInput input = baseSample();
    add(input, process(600, 1, u"/opt/sync/syncd"_s));
    LaunchJob parked = job(u"com.example.sync"_s, u"/opt/sync/syncd"_s);
    parked.plistPath = u"/Users/tester/Library/LaunchAgents/Disabled/com.example.sync.plist"_s;
    parked.isParkedByQuillmarsh = true;
    input.jobs.append(parked);
    listed(input, u"com.example.sync"_s, 600);

    const Inventory inventory = buildAll(input);
    EXPECT_TRUE(findItem(inventory.running, u"job:com.example.sync"_s));
    ASSERT_EQ(ids(inventory.notRunning), QStringList{u"job:com.example.sync:disabled"_s});
    const BackgroundItem& item = inventory.notRunning.first();
    EXPECT_EQ(item.state, BackgroundItem::State::disabled);
    EXPECT_EQ(item.launchLabel, u"com.example.sync"_s);
    EXPECT_EQ(item.job, parked);
}

TEST(NotRunningTest, ALabelDefinedTwiceIsListedOnce) {
    SampleInput input = baseSample();
    LaunchJob own = job(u"com.example.dup"_s, u"/Users/tester/bin/dup"_s);
    LaunchJob global =
        job(u"com.example.dup"_s, u"/opt/dup/bin/dup"_s, {}, LaunchJob::Domain::globalAgent);
    LaunchJob parked = own;
    parked.isParkedByQuillmarsh = true;
    input.jobs = {own, global, parked};
    const Inventory inventory = buildAll(input);
    ASSERT_EQ(ids(inventory.notRunning),
              (QStringList{u"job:com.example.dup"_s, u"job:com.example.dup:disabled"_s}));
    EXPECT_EQ(inventory.notRunning.first().job, own);
}

TEST(NotRunningTest, JobWithALiveLabelIsNeverListedAsNotRunning) {
    SampleInput input = baseSample();
    input.jobs.append(job(u"com.example.ghost"_s, u"/opt/ghost/ghostd"_s));
    listed(input, u"com.example.ghost"_s, 777); // no such process in the sample
    const Inventory inventory = buildAll(input);
    EXPECT_TRUE(inventory.running.isEmpty());
    EXPECT_TRUE(inventory.notRunning.isEmpty());
}

TEST(NotRunningTest, RegisteredOnlyLabels) {
    SampleInput input = baseSample();
    listed(input, u"com.example.agent"_s, std::nullopt, 1);
    listed(input, u"com.example.redis-cache"_s, std::nullopt);
    listed(input, u"application.com.foo.Foo.1"_s, std::nullopt);
    listed(input, u"com.apple.Finder"_s, std::nullopt);
    listed(input, u"com.example.withplist"_s, std::nullopt);
    listed(input, u"com.example.live"_s, 4242);
    input.jobs.append(job(u"com.example.withplist"_s, u"/opt/w/withplistd"_s));
    input.disabled = {u"com.example.agent"_s};

    const Inventory inventory = buildAll(input);
    EXPECT_EQ(ids(inventory.notRunning),
              (QStringList{u"job:com.example.agent"_s, u"job:com.example.redis-cache"_s,
                           u"job:com.example.withplist"_s}));
    const BackgroundItem& agent = inventory.notRunning[0];
    BackgroundItem expected;
    expected.id = u"job:com.example.agent"_s;
    expected.name = u"agent"_s;
    expected.explanation =
        u"Registered with launchd by an app; no plist in the LaunchAgents folders."_s;
    expected.kind = BackgroundItem::Kind::job;
    expected.state = BackgroundItem::State::notRunning;
    expected.launchLabel = u"com.example.agent"_s;
    expected.lastExitStatus = 1;
    expected.isDisabledInLaunchd = true;
    EXPECT_EQ(agent, expected);
    EXPECT_TRUE(inventory.notRunning[1].explanation.startsWith(u"Redis"_s));
    EXPECT_EQ(inventory.notRunning[1].name, u"redis-cache"_s);
}

TEST(NotRunningTest, HiddenAppleItemsStillCoverTheirJobs) {
    // A daemon found by its executable (launchctl does not list it) whose
    // item is hidden as Apple's: its job must not show up as not running.
    SampleInput input = baseSample();
    const QString notes = u"/System/Applications/Notes.app/Contents/MacOS/Notes"_s;
    const QString label = u"application.com.apple.Notes.5"_s;
    add(input, withUid(process(10, 1, notes), rootUid));
    input.jobs.append(job(label, notes, {}, LaunchJob::Domain::globalDaemon));

    const Inventory hidden = InventoryBuilder::build(input);
    EXPECT_TRUE(hidden.running.isEmpty());
    EXPECT_TRUE(hidden.notRunning.isEmpty());
    const Inventory all = buildAll(input);
    ASSERT_EQ(ids(all.running), QStringList{u"app:/System/Applications/Notes.app"_s});
    EXPECT_TRUE(all.running.first().isApple);
    EXPECT_TRUE(all.running.first().job);
    EXPECT_TRUE(all.notRunning.isEmpty());
}

// --- order and determinism ---------------------------------------------------

TEST(OrderTest, RunningByMemoryNotRunningByFinderName) {
    SampleInput input = baseSample();
    add(input, withMemory(process(10, 1, u"/opt/small"_s), 10));
    add(input, withMemory(process(11, 1, u"/opt/large"_s), 1000));
    add(input, process(12, 1, u"/opt/none"_s));
    add(input, withMemory(process(13, 1, u"/opt/medium"_s), 500));
    for (const char* name : {"zeta", "Job10", "alpha", "job2", "Beta", "job1"})
        input.jobs.append(job(u"com.example."_s + QString::fromUtf8(name), std::nullopt));

    const Inventory inventory = buildAll(input);
    QStringList running;
    for (const BackgroundItem& item : inventory.running)
        running.append(item.name);
    EXPECT_EQ(running, (QStringList{u"large"_s, u"medium"_s, u"small"_s, u"none"_s}));
    QStringList notRunning;
    for (const BackgroundItem& item : inventory.notRunning)
        notRunning.append(item.name);
    EXPECT_EQ(notRunning,
              (QStringList{u"alpha"_s, u"Beta"_s, u"job1"_s, u"job2"_s, u"Job10"_s, u"zeta"_s}));
}

TEST(OrderTest, NumbersByValueEvenWithoutALanguageSetting) {
    const QLocale saved;
    QLocale::setDefault(QLocale::c());
    SampleInput input = baseSample();
    for (const char* name : {"build10", "Build9", "build100"})
        input.jobs.append(job(u"com.example."_s + QString::fromUtf8(name), std::nullopt));
    const Inventory inventory = buildAll(input);
    QLocale::setDefault(saved);
    EXPECT_EQ(ids(inventory.notRunning),
              (QStringList{u"job:com.example.Build9"_s, u"job:com.example.build10"_s,
                           u"job:com.example.build100"_s}));
}

TEST(OrderTest, SameInputSameInventory) {
    SampleInput input = baseSample();
    addTerminalShell(input);
    add(input, withMemory(process(300, 1, fooMain), 100));
    add(input, withMemory(process(301, 300, fooHelper), 100));
    add(input, withMemory(process(70, 51, node, {u"node"_s, u"a.js"_s}, u"/w"_s), 100));
    add(input, withMemory(process(71, 51, node, {u"node"_s, u"b.js"_s}, u"/w"_s), 100));
    for (const char* name : {"same", "Same", "SAME"})
        input.jobs.append(job(u"com.example."_s + QString::fromUtf8(name), std::nullopt));

    const double before = double(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
    Inventory first = buildAll(input);
    Inventory second = buildAll(input);
    const double after = double(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
    EXPECT_GE(first.sampledAt, before);
    EXPECT_LE(second.sampledAt, after);
    second.sampledAt = first.sampledAt;
    EXPECT_EQ(first, second);
}

} // namespace
