// The spoken description of a row. Builds on the item's status line, so it
// lives apart from the badge and symbol tests.

#include "inventory/ItemPresentation.h"

#include <QLocale>

#include <gtest/gtest.h>

namespace {

constexpr Timestamp now = 1'800'000'000;

class AccessibilityLabel : public ::testing::Test {
protected:
    void SetUp() override { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }
};

BackgroundItem runningItem() {
    BackgroundItem item;
    item.id = QStringLiteral("exe:/opt/homebrew/bin/node|server.js|/Users/me/site");
    item.name = QStringLiteral("site");
    item.explanation = QStringLiteral("Node.js process.");
    item.kind = BackgroundItem::Kind::process;
    item.state = BackgroundItem::State::running;
    ProcSnapshot primary;
    primary.pid = 900;
    primary.name = QStringLiteral("node");
    primary.path = QStringLiteral("/opt/homebrew/bin/node");
    item.primary = primary;
    item.members = {primary};
    item.memory = 1024ull * 1024 * 1024 * 3 / 2;
    return item;
}

TEST_F(AccessibilityLabel, RunningItemWithEveryPart) {
    BackgroundItem item = runningItem();
    item.primary->startDate = now - 3 * 3600;
    item.cpuPercent = 37.9;
    item.ports = {3000, 3001, 5173, 8080};
    EXPECT_EQ(ItemPresentation::accessibilityLabel(item, now),
              QStringLiteral("site, Node.js process., 1.5 GB memory, running for 3 h, "
                             "37 percent CPU, :3000, :3001, :5173, :8080"));
}

TEST_F(AccessibilityLabel, QuietRunningItem) {
    BackgroundItem item = runningItem();
    item.cpuPercent = 0.4;
    EXPECT_EQ(ItemPresentation::accessibilityLabel(item, now),
              QStringLiteral("site, Node.js process., 1.5 GB memory"));
}

TEST_F(AccessibilityLabel, NotRunningItemsSayTheirStatus) {
    BackgroundItem failed;
    failed.id = QStringLiteral("job:com.example.sync");
    failed.name = QStringLiteral("sync");
    failed.explanation = QStringLiteral("Syncs files.");
    failed.kind = BackgroundItem::Kind::job;
    failed.state = BackgroundItem::State::notRunning;
    LaunchJob job;
    job.label = QStringLiteral("com.example.sync");
    failed.job = job;
    failed.launchLabel = job.label;
    failed.lastExitStatus = 78;
    EXPECT_EQ(ItemPresentation::accessibilityLabel(failed, now),
              QStringLiteral("sync, Syncs files., Failed, exit 78"));

    BackgroundItem stopped = failed;
    stopped.launchLabel.reset();
    stopped.lastExitStatus.reset();
    stopped.job->runAtLoad = true;
    stopped.explanation.clear();
    EXPECT_EQ(ItemPresentation::accessibilityLabel(stopped, now),
              QStringLiteral("sync, Stopped, until login, Auto-start"));
}

} // namespace
