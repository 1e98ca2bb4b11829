// The naming functions, the parent chain and the group keys of the inventory
// builder, over hand-made processes.

#include <ostream>

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

// --- labelName ---------------------------------------------------------------

struct LabelCase {
    const char* label;
    const char* expected;
};

class LabelNameTest : public testing::TestWithParam<LabelCase> {};

TEST_P(LabelNameTest, DropsNoise) {
    const LabelCase& row = GetParam();
    EXPECT_EQ(InventoryBuilder::labelName(QString::fromUtf8(row.label)),
              QString::fromUtf8(row.expected))
        << row.label;
}

INSTANTIATE_TEST_SUITE_P(
    Labels, LabelNameTest,
    testing::Values(LabelCase{"com.docker.vmnetd", "vmnetd"},
                    LabelCase{"homebrew.mxcl.redis", "redis"},
                    LabelCase{"org.example", "org.example"}, // two pieces stay whole
                    LabelCase{"application.foo", "foo"},
                    LabelCase{"application.com.foo.bar.123", "com.foo.bar.123"},
                    LabelCase{"com.example.agent", "agent"},
                    LabelCase{"io.tailscale.ipn.macsys", "ipn.macsys"},
                    LabelCase{"org.example.sync.daemon", "sync.daemon"}, LabelCase{"app.x.y", "y"},
                    LabelCase{"my.custom.job", "my.custom.job"}, // "my" is not noise
                    LabelCase{"com..docker..vmnetd", "vmnetd"},  // empty pieces dropped first
                    LabelCase{".redis.", "redis"}, LabelCase{"com", "com"},
                    LabelCase{"application", "application"}, LabelCase{"", ""},
                    LabelCase{"...", ""}, LabelCase{"com.example", "com.example"}));

// --- jobName -----------------------------------------------------------------

TEST(JobNameTest, UsesTheExecutableUnlessItIsAnInterpreter) {
    EXPECT_EQ(InventoryBuilder::jobName(
                  job(u"homebrew.mxcl.redis"_s, u"/opt/homebrew/opt/redis/bin/redis-server"_s)),
              u"redis-server"_s);
    EXPECT_EQ(InventoryBuilder::jobName(job(u"com.ollama.server"_s, std::nullopt,
                                            {u"/usr/local/bin/ollama"_s, u"serve"_s})),
              u"ollama"_s);
    EXPECT_EQ(InventoryBuilder::jobName(job(u"com.example.backup"_s, u"/bin/sh"_s,
                                            {u"sh"_s, u"-c"_s, u"rsync -a ~ /Volumes/B"_s})),
              u"backup"_s);
    EXPECT_EQ(InventoryBuilder::jobName(job(u"org.example.sync.daemon"_s, std::nullopt,
                                            {u"/usr/bin/python3.11"_s, u"/srv/sync.py"_s})),
              u"sync.daemon"_s);
    EXPECT_EQ(InventoryBuilder::jobName(job(u"com.example.tool"_s, std::nullopt,
                                            {u"/usr/bin/env"_s, u"node"_s, u"x.js"_s})),
              u"tool"_s);
    EXPECT_EQ(InventoryBuilder::jobName(job(u"com.example.empty"_s, std::nullopt)), u"empty"_s);
    // An empty program is no program.
    EXPECT_EQ(InventoryBuilder::jobName(
                  job(u"com.example.blank"_s, QString(), {u"/usr/local/bin/worker"_s})),
              u"worker"_s);
}

// --- commandName -------------------------------------------------------------

struct CommandCase {
    const char* path;
    QStringList arguments;
    const char* expected;
};

class CommandNameTest : public testing::TestWithParam<CommandCase> {};

TEST_P(CommandNameTest, NamesTheCommand) {
    const CommandCase& row = GetParam();
    ProcSnapshot snapshot = process(42, 1, QString::fromUtf8(row.path), row.arguments);
    EXPECT_EQ(InventoryBuilder::commandName(snapshot), QString::fromUtf8(row.expected))
        << row.arguments.join(u' ').toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Commands, CommandNameTest,
    testing::Values(
        // Not an interpreter: the process name.
        CommandCase{"/opt/homebrew/bin/redis-server", {"redis-server", "*:6379"}, "redis-server"},
        CommandCase{"", {"mystery", "server.js"}, ""},
        // Nothing after the program, or only empty arguments.
        CommandCase{"/usr/bin/python3", {"python3"}, "python3"},
        CommandCase{"/usr/bin/python3", {"python3", "", ""}, "python3"},
        // Inline code.
        CommandCase{"/usr/bin/python3", {"python3", "-c", "print(1)"}, "python3 -c"},
        CommandCase{"/usr/bin/python3", {"python3", "-u", "-c", "print(1)"}, "python3 -c"},
        CommandCase{"/usr/local/bin/node", {"node", "--eval", "console.log(1)"}, "node --eval"},
        CommandCase{"/usr/local/bin/node", {"node", "", "-e", "1"}, "node -e"},
        CommandCase{"/usr/bin/osascript", {"osascript", "-e", "tell app"}, "osascript -e"},
        // A flag after the script is the script's own.
        CommandCase{"/usr/bin/python3", {"python3", "tool.py", "-c", "x"}, "tool"},
        // A module.
        CommandCase{"/usr/bin/python3", {"python3", "-m", "uvicorn", "app:app"}, "uvicorn"},
        CommandCase{"/usr/bin/python3", {"python3", "-u", "-m", "http.server"}, "http.server"},
        CommandCase{"/usr/bin/python3", {"python3", "-m"}, "python3"},
        // Scripts by file name; generic names take their folder.
        CommandCase{"/opt/homebrew/bin/python3.11", {"python3.11", "/srv/a/main.py"}, "a"},
        CommandCase{"/usr/bin/python3", {"python3", "/srv/b/main.py"}, "b"},
        CommandCase{"/usr/bin/python3", {"python3", "main.py"}, "/"},
        CommandCase{"/usr/bin/python3", {"python3", "./main.py"}, "/"},
        CommandCase{"/usr/local/bin/node", {"node", "src/server.js"}, "src"},
        CommandCase{"/usr/local/bin/node", {"node", "/Users/tester/proj/index"}, "proj"},
        CommandCase{
            "/usr/local/bin/node", {"node", "/Users/tester/web/node_modules/.bin/vite"}, "vite"},
        CommandCase{"/usr/local/bin/node", {"node", "--inspect", "dist/worker.mjs"}, "worker"},
        CommandCase{"/usr/bin/ruby", {"ruby", "/srv/app.rb/"}, "srv"},
        CommandCase{"/usr/bin/perl", {"perl", "/srv/tools/.hidden"}, ".hidden"},
        CommandCase{"/usr/bin/python3", {"python3", "/srv/x/__main__.py"}, "x"},
        // A bare word is shortened text.
        CommandCase{"/usr/local/bin/deno", {"deno", "run", "--allow-net", "x.ts"}, "run"},
        CommandCase{"/usr/bin/ruby", {"ruby", "line one\nline two"}, "line one"},
        CommandCase{"/usr/bin/env", {"env", "python3", "x.py"}, "python3"},
        // Only flags.
        CommandCase{"/bin/bash", {"bash", "-l"}, "bash"},
        CommandCase{"/bin/zsh", {"-zsh"}, "zsh"}));

TEST(CommandNameTest, UsesTheProcessNameNotThePathName) {
    ProcSnapshot snapshot =
        withName(process(5, 1, u"/usr/bin/python3"_s, {u"Python"_s, u"-c"_s, u"x"_s}), u"Python"_s);
    EXPECT_EQ(InventoryBuilder::commandName(snapshot), u"Python -c"_s);
}

// --- shortenName -------------------------------------------------------------

TEST(ShortenNameTest, TakesTheFirstNonEmptyLineAtAnyLineBreak) {
    const QList<QChar> breaks = {QChar(0x0A), QChar(0x0B),   QChar(0x0C),  QChar(0x0D),
                                 QChar(0x85), QChar(0x2028), QChar(0x2029)};
    for (QChar lineBreak : breaks) {
        EXPECT_EQ(InventoryBuilder::shortenName(u"first"_s + lineBreak + u"second"_s), u"first"_s)
            << int(lineBreak.unicode());
        EXPECT_EQ(InventoryBuilder::shortenName(QString(lineBreak) + lineBreak + u"second"_s),
                  u"second"_s)
            << int(lineBreak.unicode());
    }
    EXPECT_EQ(InventoryBuilder::shortenName(u"\r\nnext"_s), u"next"_s);
    EXPECT_EQ(InventoryBuilder::shortenName(u"a\tb"_s), u"a\tb"_s); // a tab is no break
}

TEST(ShortenNameTest, KeepsTextWithoutANonEmptyLine) {
    EXPECT_EQ(InventoryBuilder::shortenName(QString()), QString());
    EXPECT_EQ(InventoryBuilder::shortenName(u"\n\n"_s), u"\n\n"_s);
    EXPECT_EQ(InventoryBuilder::shortenName(u"\u2028"_s), u"\u2028"_s);
}

TEST(ShortenNameTest, CutsAt41Characters) {
    const QString forty(40, u'a');
    EXPECT_EQ(InventoryBuilder::shortenName(forty), forty);
    const QString fortyOne(41, u'b');
    const QString shortened = InventoryBuilder::shortenName(fortyOne);
    EXPECT_EQ(shortened, QString(39, u'b') + QChar(0x2026));
    EXPECT_EQ(shortened.size(), 40);
    // The length counts the chosen line only.
    EXPECT_EQ(InventoryBuilder::shortenName(u"short\n"_s + fortyOne), u"short"_s);
    EXPECT_EQ(InventoryBuilder::shortenName(u"\n"_s + fortyOne + u"\nmore"_s), shortened);
}

TEST(ShortenNameTest, CountsCharactersNotCodeUnits) {
    const QString face = u"\U0001F600"_s;  // two UTF-16 units, one character
    const QString accented = u"e\u0301"_s; // two code points, one character
    for (const QString& unit : {face, accented}) {
        const QString forty = unit.repeated(40);
        EXPECT_EQ(InventoryBuilder::shortenName(forty), forty);
        EXPECT_EQ(InventoryBuilder::shortenName(unit.repeated(41)),
                  unit.repeated(39) + QChar(0x2026));
    }
}

// --- ancestors ---------------------------------------------------------------

QList<Pid> chainPids(const QList<ProcSnapshot>& chain) {
    QList<Pid> pids;
    for (const ProcSnapshot& entry : chain)
        pids.append(entry.pid);
    return pids;
}

TEST(AncestorsTest, NearestFirstWithoutLaunchdOrKernel) {
    SampleInput input = baseSample();
    add(input, process(2, 1, u"/a"_s));
    add(input, process(3, 2, u"/b"_s));
    add(input, process(4, 3, u"/c"_s));
    add(input, process(5, 4, u"/d"_s));
    EXPECT_EQ(chainPids(InventoryBuilder::ancestors(input.processes.at(5), input.processes)),
              (QList<Pid>{4, 3, 2}));
    EXPECT_TRUE(InventoryBuilder::ancestors(input.processes.at(2), input.processes).isEmpty());
    EXPECT_TRUE(InventoryBuilder::ancestors(input.processes.at(1), input.processes).isEmpty());
}

TEST(AncestorsTest, StopsAtAParentThatIsNotInTheTable) {
    SampleInput input = baseSample();
    add(input, process(4, 77, u"/c"_s));
    add(input, process(5, 4, u"/d"_s));
    EXPECT_EQ(chainPids(InventoryBuilder::ancestors(input.processes.at(5), input.processes)),
              (QList<Pid>{4}));
}

TEST(AncestorsTest, HoldsAtMost32Parents) {
    SampleInput input = baseSample();
    add(input, process(100, 1, u"/root-of-chain"_s));
    for (Pid pid = 101; pid <= 140; ++pid)
        add(input, process(pid, pid - 1, u"/link"_s));
    const auto chain = InventoryBuilder::ancestors(input.processes.at(140), input.processes);
    ASSERT_EQ(chain.size(), 32);
    EXPECT_EQ(chain.first().pid, 139);
    EXPECT_EQ(chain.last().pid, 108);
    // Exactly 32 deep reaches the top.
    const auto exact = InventoryBuilder::ancestors(input.processes.at(132), input.processes);
    ASSERT_EQ(exact.size(), 32);
    EXPECT_EQ(exact.last().pid, 100);
}

TEST(AncestorsTest, EndsLoopsInBadData) {
    SampleInput input = baseSample();
    add(input, process(10, 11, u"/a"_s));
    add(input, process(11, 10, u"/b"_s));
    add(input, process(12, 12, u"/self"_s));
    add(input, process(20, 21, u"/c"_s));
    add(input, process(21, 22, u"/d"_s));
    add(input, process(22, 21, u"/e"_s));
    EXPECT_EQ(chainPids(InventoryBuilder::ancestors(input.processes.at(10), input.processes)),
              (QList<Pid>{11}));
    EXPECT_TRUE(InventoryBuilder::ancestors(input.processes.at(12), input.processes).isEmpty());
    EXPECT_EQ(chainPids(InventoryBuilder::ancestors(input.processes.at(20), input.processes)),
              (QList<Pid>{21, 22}));
}

TEST(AncestorsTest, StopsAtAParentPidReusedByALaterProcess) {
    SampleInput input = baseSample();
    ProcSnapshot grandparent = process(30, 1, u"/bin/zsh"_s);
    grandparent.startDate = 100.0;
    ProcSnapshot reused = process(31, 30, u"/usr/bin/newcomer"_s);
    reused.startDate = 500.0; // started after the child below: not its parent
    ProcSnapshot child = process(32, 31, u"/usr/local/bin/node"_s);
    child.startDate = 200.0;
    ProcSnapshot sibling = process(33, 31, u"/usr/local/bin/late"_s);
    sibling.startDate = 500.0; // same start as the parent: still its child
    for (const auto& snapshot : {grandparent, reused, child, sibling})
        add(input, snapshot);
    EXPECT_TRUE(InventoryBuilder::ancestors(input.processes.at(32), input.processes).isEmpty());
    EXPECT_EQ(chainPids(InventoryBuilder::ancestors(input.processes.at(33), input.processes)),
              (QList<Pid>{31, 30}));
    // Without start times the chain is taken as read.
    input.processes[32].startDate.reset();
    EXPECT_EQ(chainPids(InventoryBuilder::ancestors(input.processes.at(32), input.processes)),
              (QList<Pid>{31, 30}));
}

// --- groupKey ----------------------------------------------------------------

class GroupKeyTest : public testing::Test {
protected:
    void SetUp() override {
        input = baseSample();
        add(input, process(200, 1, u"/Library/Developer/PrivateFrameworks/launchd_sim"_s));
        add(input, process(201, 200, u"/Library/Developer/CoreSimulator/backboardd"_s));
        add(input, process(202, 201, u"/Users/tester/Library/Developer/MyApp"_s));
        add(input, process(210, 202, u"/Library/Developer/PrivateFrameworks/launchd_sim"_s));
        add(input, process(211, 210, u"/Library/Developer/CoreSimulator/nested"_s));

        add(input, process(300, 1, u"/Applications/Foo.app/Contents/MacOS/Foo"_s));
        add(input,
            process(
                301, 300,
                u"/Applications/Foo.app/Contents/Frameworks/Foo Helper.app/Contents/MacOS/Foo Helper"_s));
        add(input,
            process(302, 1,
                    u"/Applications/Foo.app/Contents/XPCServices/Net.xpc/Contents/MacOS/Net"_s));
        add(input, process(303, 1, u"/Applications/Xcode.app/Contents/Developer/usr/bin/git"_s,
                           {u"git"_s, u"status"_s}, u"/src"_s));

        add(input, process(400, 1, u"/opt/homebrew/bin/postgres"_s));
        add(input, process(401, 400, u"/opt/homebrew/bin/postgres-worker"_s));
        add(input, process(402, 401, u"/bin/sh"_s, {u"sh"_s, u"-c"_s, u"vacuum"_s}));
        add(input, process(410, 1, u"/Applications/Bar.app/Contents/MacOS/Bar"_s));
        add(input, process(411, 410, u"/usr/local/bin/tool"_s, {u"tool"_s}));

        add(input, process(500, 1, u"/usr/local/bin/claude"_s, {u"claude"_s}, u"/w"_s));
        add(input,
            process(501, 500, u"/usr/local/bin/node"_s, {u"node"_s, u"server.js"_s}, u"/w/site"_s));
        add(input, process(502, 500, u"/usr/local/bin/node"_s, {u"node"_s}));

        pidLabels = {{400, u"homebrew.mxcl.postgresql"_s},
                     {300, u"application.com.foo.Foo.1234"_s},
                     {410, u"application.com.bar.Bar.99"_s},
                     {500, u"com.example.claude"_s}};
    }

    QString key(Pid pid) const {
        return InventoryBuilder::groupKey(input.processes.at(pid), pidLabels, input);
    }

    SampleInput input;
    InventoryBuilder::PidLabels pidLabels;
};

TEST_F(GroupKeyTest, SimulatorTakesEverythingUnderIt) {
    EXPECT_EQ(key(200), u"sim:200"_s);
    EXPECT_EQ(key(201), u"sim:200"_s);
    EXPECT_EQ(key(202), u"sim:200"_s);
    EXPECT_EQ(key(210), u"sim:210"_s); // a launchd_sim is its own simulator
    EXPECT_EQ(key(211), u"sim:210"_s); // the nearest one wins
}

TEST_F(GroupKeyTest, AppHelpersJoinTheirApp) {
    EXPECT_EQ(key(300), u"app:/Applications/Foo.app"_s);
    EXPECT_EQ(key(301), u"app:/Applications/Foo.app"_s);
    EXPECT_EQ(key(302), u"app:/Applications/Foo.app"_s);
    // A developer tool inside Xcode is not an Xcode helper.
    EXPECT_EQ(key(303),
              u"exe:/Applications/Xcode.app/Contents/Developer/usr/bin/git|status|/src"_s);
}

TEST_F(GroupKeyTest, ChildrenJoinTheirJob) {
    EXPECT_EQ(key(400), u"job:homebrew.mxcl.postgresql"_s);
    EXPECT_EQ(key(401), u"job:homebrew.mxcl.postgresql"_s);
    EXPECT_EQ(key(402), u"job:homebrew.mxcl.postgresql"_s);
    // An "application." label is no job.
    EXPECT_EQ(key(411), u"exe:/usr/local/bin/tool||"_s);
}

TEST_F(GroupKeyTest, AgentSessionsStandAlone) {
    EXPECT_EQ(key(500), u"pid:500"_s); // before its own job label
    EXPECT_EQ(key(501), u"job:com.example.claude"_s);
    EXPECT_EQ(key(502), u"job:com.example.claude"_s);
    pidLabels.erase(500);
    EXPECT_EQ(key(501), u"exe:/usr/local/bin/node|server.js|/w/site"_s);
    EXPECT_EQ(key(502), u"exe:/usr/local/bin/node||"_s);
}

} // namespace
