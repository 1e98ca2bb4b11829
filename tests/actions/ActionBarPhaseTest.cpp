#include "actions/ActionBarPhase.h"

#include <gtest/gtest.h>

#include "support/Printers.h"
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

// The offered buttons in a line: labels as shown, flags by name.
QString summary(const ActionOffer& offer) {
    QStringList parts{offer.stopLabel.value_or(""),       offer.daemonNote ? "daemon note" : "",
                      offer.disable ? "disable" : "",     offer.reenable ? "re-enable" : "",
                      offer.launchLabel.value_or(""),     offer.copy ? "" : "no copy",
                      offer.appleNote ? "Apple note" : ""};
    if (offer.launchLabel && offer.launchAction == ItemAction::enable)
        parts.append("(enables)");
    parts.removeAll(QString());
    return parts.join(", ");
}

} // namespace

TEST(ActionBarPhaseTest, EachItemOffersWhatItsOwnerAndDomainAllow) {
    using State = BackgroundItem::State;
    const std::pair<BackgroundItem, const char*> rows[] = {
        {running("p", "cupsd", 1), ""}, // someone else's
        {mine(running("p", "server", 1)), "Stop"},
        {with(mine(running("app", "Notes", 1)),
              [](auto& i) { i.kind = BackgroundItem::Kind::app; }),
         "Quit"},
        {runningAgent(true), "Stop, disable"},
        {runningAgent(false), "Stop"},
        {runningAgent(true, Domain::globalDaemon), "daemon note"},
        {with(runningAgent(true), [](auto& i) { i.isApple = true; }), "no copy, Apple note"},
        {with(job("a"), [](auto& i) { i.state = State::disabled; }), "re-enable"},
        {with(job("a"), [](auto& i) { i.isDisabledInLaunchd = true; }), "Enable, (enables)"},
        {with(job("a"), [](auto& i) { i.launchLabel = "a"; }), "disable, Run now"},
        {job("a"), "disable, Load"},
        {job("a", Domain::globalAgent), ""},
        {with(job("a"), [](auto& i) { i.job->program.reset(); }), "disable, Load, no copy"},
    };
    for (const auto& [item, offered] : rows)
        EXPECT_EQ(summary(ActionBarRules::offer(item, me)), QString::fromUtf8(offered)) << offered;
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

TEST(ActionBarPhaseTest, ActionsRunOneAtATimeAndOnlyOnceConfirmed) {
    const BackgroundItem item = mine(running("p", "server", 1));
    const QList<ProcessTarget> survivors{{77, 3.5}};
    ActionBarMachine bar;
    bar.showItem(item.id);
    EXPECT_FALSE(bar.begin(item, ItemAction::stop)) << "a stop needs confirming";
    EXPECT_FALSE(bar.begin(item, ItemAction::forceQuit)) << "nothing survived yet";
    bar.requestDisable();
    EXPECT_FALSE(bar.begin(item, ItemAction::stop)) << "the pending action decides";
    bar.dismiss();
    bar.requestStop();
    auto ticket = bar.begin(item, ItemAction::stop);
    ASSERT_TRUE(ticket);
    EXPECT_FALSE(bar.begin(item, ItemAction::load)) << "one action at a time";
    bar.dismiss();
    EXPECT_EQ(bar.phase().kind, ActionBarPhase::Case::working) << "working cannot be left";
    bar.finishStop(*ticket, survivors, std::nullopt);
    EXPECT_EQ(bar.phase(), ActionBarPhase::stillRunning(survivors));
    ticket = bar.begin(item, ItemAction::forceQuit);
    ASSERT_TRUE(ticket);
    bar.finishForceQuit(*ticket, survivors);
    EXPECT_TRUE(bar.phase().kind == ActionBarPhase::Case::message && bar.phase().isError);

    // A result that arrives after the item changed belongs to the old one.
    bar.dismiss();
    bar.requestStop();
    const auto old = bar.begin(item, ItemAction::stop);
    bar.showItem(QStringLiteral("job:other"));
    EXPECT_EQ(bar.phase(), ActionBarPhase::idle());
    const auto fresh = bar.begin(item, ItemAction::load);
    ASSERT_TRUE(old && fresh);
    bar.finishStop(*old, {}, std::nullopt);
    EXPECT_EQ(bar.phase().kind, ActionBarPhase::Case::working);
}

TEST(ActionBarPhaseTest, EachResultEndsInAMessageOrIdle) {
    const BackgroundItem item = mine(running("p", "server", 1));
    const ActionError failure{"launchctl enable failed (1): denied"};
    const std::tuple<ItemAction, ActionResult, ActionBarPhase::Case, bool> rows[] = {
        {ItemAction::stop, std::nullopt, ActionBarPhase::Case::message, false},
        {ItemAction::stop, failure, ActionBarPhase::Case::message, true},
        {ItemAction::enable, std::nullopt, ActionBarPhase::Case::message, false},
        {ItemAction::load, failure, ActionBarPhase::Case::message, true},
        {ItemAction::reenable, std::nullopt, ActionBarPhase::Case::idle, false},
        {ItemAction::disable, std::nullopt, ActionBarPhase::Case::idle, false},
        {ItemAction::disable, failure, ActionBarPhase::Case::message, true},
    };
    for (const auto& [action, error, kind, isError] : rows) {
        ActionBarMachine bar;
        bar.showItem(item.id);
        if (action == ItemAction::stop)
            bar.requestStop();
        if (action == ItemAction::disable)
            bar.requestDisable();
        const auto ticket = bar.begin(item, action);
        ASSERT_TRUE(ticket);
        if (action == ItemAction::stop)
            bar.finishStop(*ticket, {}, error);
        else
            bar.finish(*ticket, action, error);
        EXPECT_EQ(bar.phase().kind, kind);
        EXPECT_EQ(bar.phase().isError, isError);
        EXPECT_EQ(bar.phase().text.contains("denied"), isError);
    }
}
