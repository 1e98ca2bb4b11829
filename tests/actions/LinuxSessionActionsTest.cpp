// Catches: a unit's definition or another unit's links lost or changed by any
// sequence of Disable auto-start and Re-enable (DisableUnitFiles on the user's
// unit, a user mask over a vendor unit, their undoing), or by a repeated one.

#include <algorithm>
#include <random>

#include <gtest/gtest.h>

#include "actions/SessionActions.h"
#include "support/SessionScene.h"

namespace {

TEST(LinuxSessionActions, RandomDisablesAndReenablesLoseNothing) {
    SessionScene scene;
    ASSERT_TRUE(scene.isValid());
    const SessionActions::Context context{[&] { return scene.bus().connection(); }};
    const QString names[] = {u"syncthing.service"_qs, u"vendor-agent.service"_qs};
    const QString units = scene.home() + u"/.config/systemd/user"_qs;
    const unsigned seed = std::random_device()();
    std::mt19937 random(seed);
    std::map<std::pair<bool, bool>, QStringList> trees{{{false, false}, SessionScene::tree(units)}};
    bool off[2] = {false, false}; // the trees above: for each pair, as first seen
    for (int round = 0; round < 24; ++round) {
        const int which = round % 2;          // so that every pair of states comes up
        const bool twice = random() % 4 == 0; // the same action again: refused
        const QList<SessionJob> scanned = UnitScanner::scanUnits(context.unitFolders);
        const SessionJob job = *std::ranges::find(scanned, names[which], &SessionJob::name);
        const bool disabling = twice ? off[which] : !off[which];
        const ActionResult result = disabling ? SessionActions::disable(job, false, context)
                                              : SessionActions::reenable(job, context);
        ASSERT_EQ(result.has_value(), twice) << "seed " << seed << " round " << round;
        off[which] = disabling;
        const auto seen = trees.try_emplace({off[0], off[1]}, SessionScene::tree(units)).first;
        ASSERT_EQ(SessionScene::tree(units), seen->second) << "seed " << seed << " round " << round;
    }
    EXPECT_EQ(trees.size(), 4u) << "seed " << seed; // every state was visited and left
}

} // namespace
