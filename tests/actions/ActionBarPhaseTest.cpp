// Catches: an action offered where the owner or domain forbids it (another
// user's process, Apple's job), an action run without confirmation or twice,
// a result shown for an item other than the one on screen.

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

BackgroundItem runningAgent(Domain domain = Domain::userAgent) {
    BackgroundItem item = running("job:com.example.sync", "sync", 1, {}, me);
    item.job = job("com.example.sync", domain).job;
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

// Stop only for one's own processes, disable only for one's own auto-starting
// agents, nothing but a note for Apple's.
TEST(ActionBarPhaseTest, EachItemOffersWhatItsOwnerAndDomainAllow) {
    const std::pair<BackgroundItem, const char*> rows[] = {
        {running("p", "cupsd", 1), ""}, // someone else's
        {runningAgent(), "Stop, disable"},
        {runningAgent(Domain::globalDaemon), "daemon note"},
        {with(runningAgent(), [](auto& i) { i.isApple = true; }), "no copy, Apple note"},
        {with(job("a"), [](auto& i) { i.state = BackgroundItem::State::disabled; }), "re-enable"},
        {with(job("a"), [](auto& i) { i.isDisabledInLaunchd = true; }), "Enable, (enables)"},
        {with(job("a"), [](auto& i) { i.launchLabel = "a"; }), "disable, Run now"},
        {job("a"), "disable, Load"},
        {job("a", Domain::globalAgent), ""},
    };
    for (const auto& [item, offered] : rows)
        EXPECT_EQ(summary(ActionBarRules::offer(item, me)), QString::fromUtf8(offered)) << offered;
}

TEST(ActionBarPhaseTest, ActionsRunOneAtATimeOnlyOnceConfirmedAndForTheItemShown) {
    const BackgroundItem item = running("p", "server", 1, {}, me);
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
    bar.finish(*fresh, ItemAction::load, ActionError{"denied"});
    EXPECT_EQ(bar.phase(), ActionBarPhase::message("denied", true));
}
