#include "actions/ActionBarPhase.h"

#include <gtest/gtest.h>

#include "window/WindowFixtures.h"

using namespace WindowFixtures;
using Domain = LaunchJob::Domain;
using Pending = ActionBarPhase::Pending;

namespace {

BackgroundItem mine(BackgroundItem item) {
    item.primary->uid = me;
    item.members = {*item.primary};
    return item;
}

BackgroundItem runningAgent(bool autoStart, Domain domain = Domain::userAgent) {
    BackgroundItem item = mine(running(QStringLiteral("job:com.example.sync"), "sync", 1));
    item.job = job(QStringLiteral("com.example.sync"), domain).job;
    item.job->runAtLoad = autoStart;
    return item;
}

BackgroundItem with(BackgroundItem item, const std::function<void(BackgroundItem&)>& change) {
    change(item);
    return item;
}

} // namespace

TEST(ActionBarPhaseTest, EachItemOffersWhatItsOwnerAndDomainAllow) {
    struct Row {
        const char* what;
        BackgroundItem item;
        std::optional<QString> stop;
        bool daemonNote, disable, reenable;
        std::optional<QString> launch;
        ItemAction launchAction;
    };
    const ItemAction load = ItemAction::load;
    const auto app = with(mine(running("app:N", "Notes", 1)),
                          [](auto& i) { i.kind = BackgroundItem::Kind::app; });
    const Row rows[] = {
        {"someone else's process", running("p", "cupsd", 1), {}, false, false, false, {}, load},
        {"my process", mine(running("p", "server", 1)), "Stop", false, false, false, {}, load},
        {"my app", app, "Quit", false, false, false, {}, load},
        {"auto-starting agent", runningAgent(true), "Stop", false, true, false, {}, load},
        {"on-demand agent", runningAgent(false), "Stop", false, false, false, {}, load},
        {"running system daemon",
         runningAgent(true, Domain::globalDaemon),
         {},
         true,
         false,
         false,
         {},
         load},
        {"parked agent",
         with(job("a"), [](auto& i) { i.state = BackgroundItem::State::disabled; }),
         {},
         false,
         false,
         true,
         {},
         load},
        {"disabled in launchd",
         with(job("a"), [](auto& i) { i.isDisabledInLaunchd = true; }),
         {},
         false,
         false,
         false,
         "Enable",
         ItemAction::enable},
        {"listed, not running",
         with(job("a"), [](auto& i) { i.launchLabel = "a"; }),
         {},
         false,
         true,
         false,
         "Run now",
         load},
        {"not listed", job("a"), {}, false, true, false, "Load", load},
        {"global agent", job("a", Domain::globalAgent), {}, false, false, false, {}, load},
    };
    for (const Row& row : rows) {
        const ActionOffer offer = ActionBarRules::offer(row.item, me);
        EXPECT_EQ(offer.stopLabel, row.stop) << row.what;
        EXPECT_EQ(offer.daemonNote.has_value(), row.daemonNote) << row.what;
        EXPECT_EQ(offer.disable, row.disable) << row.what;
        EXPECT_EQ(offer.reenable, row.reenable) << row.what;
        EXPECT_EQ(offer.launchLabel, row.launch) << row.what;
        EXPECT_EQ(offer.launchAction, row.launchAction) << row.what;
        EXPECT_FALSE(offer.appleNote) << row.what;
    }
    // Apple's items get the note and nothing else, whatever they could do.
    ActionOffer appleOnly;
    appleOnly.appleNote = QStringLiteral("Apple system process: never stopped from here.");
    EXPECT_EQ(
        ActionBarRules::offer(with(runningAgent(true), [](auto& i) { i.isApple = true; }), me),
        appleOnly);
    EXPECT_FALSE(
        ActionBarRules::offer(with(job("a"), [](auto& i) { i.job->program.reset(); }), me).copy);
}

TEST(ActionBarPhaseTest, TheConfirmationSaysWhatAStopWillDo) {
    const auto simulator = [](std::optional<QString> label) {
        return with(running("sim", "Simulator", 1), [&](auto& i) {
            i.kind = BackgroundItem::Kind::simulator;
            i.launchLabel = label;
        });
    };
    const std::pair<BackgroundItem, const char*> rows[] = {
        {runningAgent(true), "It starts again at next login."},
        {with(runningAgent(false), [](auto& i) { i.job->keepAlive = true; }), "next login"},
        {runningAgent(false), "It stays unloaded"},
        {simulator("com.apple.CoreSimulator.SimDevice.1-A"), "(xcrun simctl shutdown)"},
        {simulator(std::nullopt), "(xcrun simctl shutdown all)"},
        {mine(running("p", "server", 1)), "Sends SIGTERM"},
    };
    for (const auto& [item, fragment] : rows)
        EXPECT_TRUE(ActionBarRules::description(item, Pending::stop).contains(fragment))
            << fragment;
}

TEST(ActionBarPhaseTest, WarningsComeInOrderAndKeepAliveOnlyWhenLaunchdWouldRestart) {
    BackgroundItem item = runningAgent(true, Domain::globalDaemon);
    item.origin = {Origin::Case::agentSession, "Claude", "/Users/me/src/webshop/"};
    item.isPartOfBuild = true;
    item.job->keepAlive = true;
    const QStringList lines = ActionBarRules::warnings(item);
    ASSERT_EQ(lines.size(), 3);
    EXPECT_TRUE(lines[0].contains(" in webshop."));
    EXPECT_TRUE(lines[1].contains("build"));
    EXPECT_TRUE(lines[2].contains("KeepAlive"));
    // A controllable job is booted out first, so KeepAlive cannot bring it back.
    EXPECT_TRUE(ActionBarRules::warnings(with(runningAgent(false), [](auto& i) {
                    i.job->keepAlive = true;
                })).isEmpty());
}

TEST(ActionBarPhaseTest, AStopIsConfirmedThenEndsStoppedStillRunningOrFailed) {
    const BackgroundItem item = mine(running("p", "server", 1));
    const QList<ProcessTarget> survivors{{77, 3.5}};
    const ActionError failure{"launchctl bootout failed (5): nope"};
    ActionBarMachine bar;
    bar.showItem(item.id);
    EXPECT_FALSE(bar.begin(item, ItemAction::stop)) << "a stop needs confirming";
    EXPECT_FALSE(bar.begin(item, ItemAction::forceQuit)) << "nothing survived yet";

    bar.requestStop();
    auto ticket = bar.begin(item, ItemAction::stop);
    ASSERT_TRUE(ticket);
    EXPECT_EQ(bar.phase().kind, ActionBarPhase::Case::working);
    EXPECT_FALSE(bar.begin(item, ItemAction::load)) << "one action at a time";
    bar.dismiss();
    bar.requestDisable();
    EXPECT_EQ(bar.phase().kind, ActionBarPhase::Case::working) << "working cannot be left";
    bar.finishStop(*ticket, survivors, std::nullopt);
    EXPECT_EQ(bar.phase(), ActionBarPhase::stillRunning(survivors));

    ticket = bar.begin(item, ItemAction::forceQuit);
    ASSERT_TRUE(ticket);
    bar.finishForceQuit(*ticket, survivors);
    EXPECT_EQ(bar.phase().kind, ActionBarPhase::Case::message);
    EXPECT_TRUE(bar.phase().isError);

    bar.dismiss();
    bar.requestStop();
    ticket = bar.begin(item, ItemAction::stop);
    bar.finishStop(*ticket, {}, failure);
    EXPECT_EQ(bar.phase(), ActionBarPhase::message(failure.message, true));

    bar.dismiss();
    bar.requestStop();
    ticket = bar.begin(item, ItemAction::stop);
    bar.finishStop(*ticket, survivors, std::nullopt);
    bar.dismiss();
    EXPECT_EQ(bar.phase(), ActionBarPhase::idle()) << "Cancel leaves the survivors alone";
}

TEST(ActionBarPhaseTest, ResultsEndInAMessageOrIdleAndAResultForAnotherItemIsDropped) {
    const BackgroundItem item = job("com.example.sync");
    const ActionError failure{"launchctl enable failed (1): denied"};
    const std::tuple<ItemAction, ActionResult, ActionBarPhase::Case, bool> rows[] = {
        {ItemAction::enable, std::nullopt, ActionBarPhase::Case::message, false},
        {ItemAction::load, std::nullopt, ActionBarPhase::Case::message, false},
        {ItemAction::reenable, std::nullopt, ActionBarPhase::Case::idle, false},
        {ItemAction::disable, std::nullopt, ActionBarPhase::Case::idle, false},
        {ItemAction::load, failure, ActionBarPhase::Case::message, true},
        {ItemAction::disable, failure, ActionBarPhase::Case::message, true},
    };
    for (const auto& [action, error, kind, isError] : rows) {
        ActionBarMachine bar;
        bar.showItem(item.id);
        if (action == ItemAction::disable) {
            EXPECT_FALSE(bar.begin(item, action)) << "a disable needs confirming";
            bar.requestDisable();
            EXPECT_FALSE(bar.begin(item, ItemAction::stop)) << "the pending action decides";
        }
        const auto ticket = bar.begin(item, action);
        ASSERT_TRUE(ticket);
        bar.finish(*ticket, action, error);
        EXPECT_EQ(bar.phase().kind, kind);
        EXPECT_EQ(bar.phase().isError, isError);
        if (error) {
            EXPECT_EQ(bar.phase().text, error->message);
        }
    }

    ActionBarMachine bar;
    bar.showItem(item.id);
    bar.requestStop();
    const auto old = bar.begin(item, ItemAction::stop);
    bar.showItem(QStringLiteral("job:other"));
    EXPECT_EQ(bar.phase(), ActionBarPhase::idle());
    const auto fresh = bar.begin(item, ItemAction::load);
    ASSERT_TRUE(fresh);
    bar.finishStop(*old, {}, std::nullopt);
    EXPECT_EQ(bar.phase().kind, ActionBarPhase::Case::working);
    bar.finish(*fresh, ItemAction::load, std::nullopt);
    EXPECT_EQ(bar.phase().kind, ActionBarPhase::Case::message);
    bar.showItem(QStringLiteral("job:other"));
    EXPECT_EQ(bar.phase().kind, ActionBarPhase::Case::message) << "the same id keeps it";
}
