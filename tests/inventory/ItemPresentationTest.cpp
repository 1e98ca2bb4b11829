#include "inventory/ItemPresentation.h"

#include <limits>
#include <vector>

#include <QLocale>

#include <gtest/gtest.h>

namespace {

using ItemPresentation::badges;
using ItemPresentation::symbolName;
using Kind = BackgroundItem::Kind;
using State = BackgroundItem::State;
using Tint = BadgeTint;

ProcSnapshot process(const char* name, const char* path) {
    ProcSnapshot p;
    p.pid = 4242;
    p.ppid = 1;
    p.uid = 501;
    p.name = QString::fromUtf8(name);
    p.path = QString::fromUtf8(path);
    p.arguments = {p.path};
    return p;
}

BackgroundItem running(Kind kind = Kind::process) {
    BackgroundItem item;
    item.id = QStringLiteral("exe:/usr/local/bin/tool||");
    item.name = QStringLiteral("tool");
    item.kind = kind;
    item.state = State::running;
    item.primary = process("tool", "/usr/local/bin/tool");
    item.members = {*item.primary};
    return item;
}

BackgroundItem notRunningJob(const char* label) {
    BackgroundItem item;
    item.id = QStringLiteral("job:") + QString::fromUtf8(label);
    item.name = QString::fromUtf8(label);
    item.kind = Kind::job;
    item.state = State::notRunning;
    LaunchJob job;
    job.label = QString::fromUtf8(label);
    item.job = job;
    return item;
}

LaunchJob jobWithLabel(const char* label) {
    LaunchJob job;
    job.label = QString::fromUtf8(label);
    return job;
}

Badge badge(const char* text, Tint tint) {
    return {QString::fromUtf8(text), tint};
}

std::string show(const QList<Badge>& list) {
    static const char* const tints[] = {"secondary", "orange", "brown", "purple", "teal", "blue"};
    std::string out;
    for (const Badge& b : list)
        out += "[" + b.text.toStdString() + " " + tints[int(b.tint)] + "]";
    return out;
}

// ---- Badges -----------------------------------------------------------------

TEST(Badges, ParkedJobIsDisabledWithoutAutoStart) {
    BackgroundItem item = notRunningJob("com.example.sync");
    item.id += QStringLiteral(":disabled");
    item.state = State::disabled;
    item.job->runAtLoad = true;
    item.job->isParkedByQuillmarsh = true;
    EXPECT_EQ(show(badges(item, true)), show({badge("Disabled", Tint::secondary)}));
    EXPECT_EQ(symbolName(item), QStringLiteral("pause.circle"));
}

TEST(Badges, DisabledLoginItemShowsBothButNoAutoStart) {
    BackgroundItem item = notRunningJob("com.example.helper");
    item.isLoginItem = true;
    item.isDisabledInLaunchd = true;
    item.job->keepAlive = true;
    EXPECT_EQ(show(badges(item, false)),
              show({badge("Disabled", Tint::secondary), badge("Login item", Tint::orange)}));
}

TEST(Badges, LoginItemAloneIsNotAlsoAutoStart) {
    BackgroundItem item = notRunningJob("com.example.helper");
    item.isLoginItem = true;
    item.job->runAtLoad = true;
    EXPECT_EQ(show(badges(item, false)), show({badge("Login item", Tint::orange)}));
}

TEST(Badges, HomebrewServiceOnAPort) {
    BackgroundItem item = running();
    item.job = jobWithLabel("homebrew.mxcl.redis");
    item.job->runAtLoad = true;
    item.ports = {6379};
    EXPECT_EQ(show(badges(item, true)),
              show({badge("Auto-start", Tint::orange), badge("Homebrew", Tint::brown),
                    badge(":6379", Tint::blue)}));
    EXPECT_EQ(symbolName(item), QStringLiteral("mug"));
}

TEST(Badges, EachScheduleMakesAJobAutoStart) {
    struct Case {
        const char* what;
        void (*set)(LaunchJob&);
        bool autoStarts;
    };
    const std::vector<Case> cases = {
        {"run at load", [](LaunchJob& j) { j.runAtLoad = true; }, true},
        {"keep alive", [](LaunchJob& j) { j.keepAlive = true; }, true},
        {"interval", [](LaunchJob& j) { j.startInterval = 600; }, true},
        {"calendar", [](LaunchJob& j) { j.hasCalendarInterval = true; }, true},
        {"on demand", [](LaunchJob&) {}, false},
    };
    for (const Case& c : cases) {
        BackgroundItem item = notRunningJob("com.example.task");
        c.set(*item.job);
        const QList<Badge> expected =
            c.autoStarts ? QList<Badge>{badge("Auto-start", Tint::orange)} : QList<Badge>{};
        EXPECT_EQ(show(badges(item, true)), show(expected)) << c.what;
    }
}

TEST(Badges, HomebrewComesFromTheJobLabelOnly) {
    BackgroundItem item = running();
    item.job = jobWithLabel("sh.brew.tool");
    EXPECT_EQ(show(badges(item, true)), show({badge("Homebrew", Tint::brown)}));

    BackgroundItem listedOnly = running();
    listedOnly.launchLabel = QStringLiteral("homebrew.mxcl.redis");
    EXPECT_EQ(show(badges(listedOnly, true)), "");
}

TEST(Badges, PortsAreSummedUpOnlyInTheCompactList) {
    BackgroundItem item = running();
    item.ports = {3000, 3001, 5173, 8080};
    EXPECT_EQ(
        show(badges(item, true)),
        show({badge(":3000", Tint::blue), badge(":3001", Tint::blue), badge("+2", Tint::blue)}));
    EXPECT_EQ(show(badges(item, false)),
              show({badge(":3000", Tint::blue), badge(":3001", Tint::blue),
                    badge(":5173", Tint::blue), badge(":8080", Tint::blue)}));

    item.ports = {80, 443, 8443};
    EXPECT_EQ(show(badges(item, true)),
              show({badge(":80", Tint::blue), badge(":443", Tint::blue), badge("+1", Tint::blue)}));
    item.ports = {80, 443};
    EXPECT_EQ(show(badges(item, true)),
              show({badge(":80", Tint::blue), badge(":443", Tint::blue)}));
}

TEST(Badges, AgentSessionBadgeOnlyForWhatTheSessionStarted) {
    BackgroundItem started = running();
    started.primary = process("node", "/opt/homebrew/bin/node");
    started.origin = {Origin::Case::agentSession, QStringLiteral("Claude"),
                      QStringLiteral("/Users/me/site")};
    EXPECT_EQ(show(badges(started, true)), show({badge("Claude session", Tint::purple)}));

    BackgroundItem session = started;
    session.primary = process("claude", "/Users/me/.local/bin/claude");
    EXPECT_EQ(show(badges(session, true)), "");

    BackgroundItem withoutProcess = notRunningJob("com.example.x");
    withoutProcess.origin = started.origin;
    EXPECT_EQ(show(badges(withoutProcess, true)), show({badge("Claude session", Tint::purple)}));
}

TEST(Badges, FullOrder) {
    BackgroundItem item = running();
    item.primary = process("node", "/opt/homebrew/bin/node");
    item.isDisabledInLaunchd = true;
    item.isLoginItem = true;
    item.job = jobWithLabel("homebrew.mxcl.thing");
    item.job->runAtLoad = true;
    item.origin = {Origin::Case::agentSession, QStringLiteral("Codex"), std::nullopt};
    item.isPartOfBuild = true;
    item.ports = {1, 2, 3};
    item.isApple = true;
    EXPECT_EQ(show(badges(item, true)),
              show({badge("Disabled", Tint::secondary), badge("Login item", Tint::orange),
                    badge("Homebrew", Tint::brown), badge("Codex session", Tint::purple),
                    badge("Build", Tint::teal), badge(":1", Tint::blue), badge(":2", Tint::blue),
                    badge("+1", Tint::blue), badge("Apple", Tint::secondary)}));
}

// ---- Symbols ----------------------------------------------------------------

TEST(SymbolName, FirstRuleThatApplies) {
    struct Case {
        const char* what;
        BackgroundItem item;
        const char* symbol;
    };
    std::vector<Case> cases;

    BackgroundItem sim = running(Kind::simulator);
    sim.ports = {8080};
    cases.push_back({"simulator", sim, "iphone"});
    sim.state = State::notRunning;
    cases.push_back({"simulator in any state", sim, "iphone"});

    BackgroundItem agent = running();
    agent.primary = process("claude", "/Users/me/.local/bin/claude");
    agent.job = jobWithLabel("homebrew.mxcl.x");
    agent.ports = {3000};
    cases.push_back({"agent session before everything", agent, "sparkles"});

    BackgroundItem brew = running();
    brew.job = jobWithLabel("homebrew.mxcl.redis");
    brew.ports = {6379};
    cases.push_back({"brew job before ports", brew, "mug"});

    BackgroundItem listening = running();
    listening.job = jobWithLabel("com.example.web");
    listening.ports = {8080};
    cases.push_back({"ports before job", listening, "network"});

    BackgroundItem jobbed = running();
    jobbed.job = jobWithLabel("com.example.agent");
    cases.push_back({"job", jobbed, "gearshape.2"});

    cases.push_back({"plain process", running(), "terminal"});
    cases.push_back({"app without anything", running(Kind::app), "terminal"});

    BackgroundItem interval = notRunningJob("com.example.backup");
    interval.job->startInterval = 3600;
    cases.push_back({"interval", interval, "calendar.badge.clock"});
    BackgroundItem calendar = notRunningJob("com.example.nightly");
    calendar.job->hasCalendarInterval = true;
    cases.push_back({"calendar", calendar, "calendar.badge.clock"});
    BackgroundItem atLoad = notRunningJob("com.example.agent");
    atLoad.job->runAtLoad = true;
    cases.push_back({"waiting job", atLoad, "moon.zzz"});
    BackgroundItem registered = notRunningJob("com.example.registered");
    registered.job.reset();
    cases.push_back({"no job", registered, "moon.zzz"});

    BackgroundItem parked = interval;
    parked.state = State::disabled;
    cases.push_back({"parked", parked, "pause.circle"});

    for (const Case& c : cases)
        EXPECT_EQ(symbolName(c.item).toStdString(), c.symbol) << c.what;
}

// ---- Activity and the row's fixed texts ------------------------------------

class ActivityText : public ::testing::Test {
protected:
    void SetUp() override { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }
    static constexpr Timestamp now = 1'800'000'000;
};

TEST_F(ActivityText, CpuShareOnlyFromOnePercent) {
    BackgroundItem item = running();
    item.primary->startDate = now - 7200;

    item.cpuPercent = 0.4;
    EXPECT_EQ(ItemPresentation::activityText(item, now), QStringLiteral("2 h"));
    item.cpuPercent = 0.99;
    EXPECT_EQ(ItemPresentation::activityText(item, now), QStringLiteral("2 h"));
    item.cpuPercent = 1.0;
    EXPECT_EQ(ItemPresentation::activityText(item, now), QStringLiteral("1 % CPU · 2 h"));
    item.cpuPercent = 37.6;
    EXPECT_EQ(ItemPresentation::activityText(item, now), QStringLiteral("38 % CPU · 2 h"));
    item.cpuPercent = 1234.5;
    EXPECT_EQ(ItemPresentation::activityText(item, now), QStringLiteral("1,235 % CPU · 2 h"));
    item.cpuPercent = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(ItemPresentation::activityText(item, now), QStringLiteral("2 h"));
    item.cpuPercent.reset();
    EXPECT_EQ(ItemPresentation::activityText(item, now), QStringLiteral("2 h"));
}

TEST_F(ActivityText, WithoutStartTime) {
    BackgroundItem item = running();
    item.cpuPercent = 0.5;
    EXPECT_EQ(ItemPresentation::activityText(item, now), QString());
    item.cpuPercent = 12.2;
    EXPECT_EQ(ItemPresentation::activityText(item, now), QStringLiteral("12 % CPU"));
}

TEST(RowTexts, IdentifierAndHint) {
    BackgroundItem item = running(Kind::app);
    item.id = QStringLiteral("app:/Applications/Notes Plus.app");
    EXPECT_EQ(ItemPresentation::accessibilityIdentifier(item),
              QStringLiteral("row.app:/Applications/Notes Plus.app"));
    EXPECT_EQ(ItemPresentation::accessibilityHint(), QStringLiteral("Shows details and actions"));
}

} // namespace
