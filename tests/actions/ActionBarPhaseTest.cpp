#include "actions/ActionBarPhase.h"

#include <gtest/gtest.h>

#include "support/Printers.h"
#include "window/WindowFixtures.h"

using namespace WindowFixtures;
using Domain = LaunchJob::Domain;
using Case = ActionBarPhase::Case;

namespace {

BackgroundItem with(BackgroundItem item, const std::function<void(BackgroundItem&)>& change) {
    change(item);
    return item;
}

BackgroundItem mine(BackgroundItem item) {
    return with(item, [](auto& i) {
        i.primary->uid = me;
        i.members = {*i.primary};
    });
}

BackgroundItem runningAgent(bool autoStart, Domain domain = Domain::userAgent) {
    return with(mine(running("job:com.example.sync", "sync", 1)), [&](auto& i) {
        i.job = job("com.example.sync", domain).job;
        i.job->runAtLoad = autoStart;
    });
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
    const std::pair<BackgroundItem, const char*> rows[] = {
        {running("p", "cupsd", 1), ""}, // someone else's
        {mine(running("p", "server", 1)), "Stop"},
        {with(mine(running("a", "Notes", 1)), [](auto& i) { i.kind = BackgroundItem::Kind::app; }),
         "Quit"},
        {runningAgent(true), "Stop, disable"},
        {runningAgent(false), "Stop"},
        {runningAgent(true, Domain::globalDaemon), "daemon note"},
        {with(runningAgent(true), [](auto& i) { i.isApple = true; }), "no copy, Apple note"},
        {with(job("a"), [](auto& i) { i.state = BackgroundItem::State::disabled; }), "re-enable"},
        {with(job("a"), [](auto& i) { i.isDisabledInLaunchd = true; }), "Enable, (enables)"},
        {with(job("a"), [](auto& i) { i.launchLabel = "a"; }), "disable, Run now"},
        {job("a"), "disable, Load"},
        {job("a", Domain::globalAgent), ""},
        {with(job("a"), [](auto& i) { i.job->program.reset(); }), "disable, Load, no copy"},
    };
    for (const auto& [item, offered] : rows)
        EXPECT_EQ(summary(ActionBarRules::offer(item, me)), QString::fromUtf8(offered)) << offered;
}

TEST(ActionBarPhaseTest, ActionsRunOneAtATimeOnlyOnceConfirmedAndForTheItemShown) {
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
    EXPECT_EQ(bar.phase().kind, Case::working) << "working cannot be left";
    bar.finishStop(*ticket, survivors, std::nullopt);
    EXPECT_EQ(bar.phase(), ActionBarPhase::stillRunning(survivors));
    ticket = bar.begin(item, ItemAction::forceQuit);
    ASSERT_TRUE(ticket);
    bar.finishForceQuit(*ticket, survivors);
    EXPECT_TRUE(bar.phase().kind == Case::message && bar.phase().isError);

    // A result that arrives after the item changed belongs to the old one.
    bar.dismiss();
    bar.requestStop();
    const auto old = bar.begin(item, ItemAction::stop);
    bar.showItem("job:other");
    EXPECT_EQ(bar.phase(), ActionBarPhase::idle());
    const auto fresh = bar.begin(item, ItemAction::load);
    ASSERT_TRUE(old && fresh);
    bar.finishStop(*old, {}, std::nullopt);
    EXPECT_EQ(bar.phase().kind, Case::working);
}

TEST(ActionBarPhaseTest, EachResultEndsInAMessageOrIdle) {
    const BackgroundItem item = mine(running("p", "server", 1));
    const ActionError failure{"launchctl enable failed (1): denied"};
    const std::tuple<ItemAction, ActionResult, Case> rows[] = {
        {ItemAction::stop, std::nullopt, Case::message},
        {ItemAction::stop, failure, Case::message},
        {ItemAction::enable, std::nullopt, Case::message},
        {ItemAction::load, failure, Case::message},
        {ItemAction::reenable, std::nullopt, Case::idle},
        {ItemAction::disable, std::nullopt, Case::idle},
        {ItemAction::disable, failure, Case::message},
    };
    for (const auto& [action, error, kind] : rows) {
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
        EXPECT_EQ(bar.phase().isError, error.has_value());
        EXPECT_EQ(bar.phase().text.contains("denied"), error.has_value());
    }
}
