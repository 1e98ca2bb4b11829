#include "inventory/BackgroundItem.h"

#include <functional>

#include <gtest/gtest.h>

#include "ItemFixtures.h"
#include "inventory/Explanations.h"

using namespace ItemFixtures;

namespace {

QString s(const char* text) {
    return QString::fromUtf8(text);
}

StatusLine line(const char* status, const QString& detail) {
    return {s(status), detail};
}

} // namespace

TEST(StatusLineTest, FirstRuleThatApplies) {
    // An on-demand job: neither interval nor load or keep-alive flags.
    const BackgroundItem base = notRunning(job(s("com.example.agent")));
    LaunchJob calendar = job(s("com.example.nightly"));
    calendar.hasCalendarInterval = true;
    LaunchJob hourly = job(s("com.example.hourly"));
    hourly.startInterval = 3600;
    LaunchJob atLoad = job(s("com.example.atload"));
    atLoad.runAtLoad = true;

    struct Row {
        const char* why;
        std::function<void(BackgroundItem&)> change;
        StatusLine expected;
    };
    const Row rows[] = {
        {"parked plist",
         [](BackgroundItem& i) {
             i.state = BackgroundItem::State::disabled;
             i.isDisabledInLaunchd = true;
             i.launchLabel = i.job->label;
             i.lastExitStatus = 78;
         },
         line("Disabled", s("plist parked"))},
        {"disabled in launchd",
         [](BackgroundItem& i) {
             i.isDisabledInLaunchd = true;
             i.launchLabel = i.job->label;
             i.lastExitStatus = 78;
         },
         line("Disabled", s("in launchd"))},
        {"loaded and failed",
         [](BackgroundItem& i) {
             i.launchLabel = i.job->label;
             i.lastExitStatus = 78;
         },
         line("Failed", s("exit 78"))},
        {"killed by a signal",
         [](BackgroundItem& i) {
             i.launchLabel = i.job->label;
             i.lastExitStatus = -9;
         },
         line("Failed", s("exit -9"))},
        {"loaded, exited cleanly",
         [](BackgroundItem& i) {
             i.launchLabel = i.job->label;
             i.lastExitStatus = 0;
         },
         line("Waiting", s("On demand"))},
        {"loaded, never ran", [](BackgroundItem& i) { i.launchLabel = i.job->label; },
         line("Waiting", s("On demand"))},
        {"loaded with a schedule",
         [&](BackgroundItem& i) {
             i.job = hourly;
             i.launchLabel = hourly.label;
             i.lastExitStatus = 0;
         },
         line("Waiting", Explanations::scheduleText(hourly))},
        {"loaded at login beats auto-start",
         [&](BackgroundItem& i) {
             i.job = atLoad;
             i.launchLabel = atLoad.label;
         },
         line("Waiting", s("At login"))},
        {"calendar job not loaded", [&](BackgroundItem& i) { i.job = calendar; },
         line("Stopped", s("until login"))},
        {"login item not loaded", [](BackgroundItem& i) { i.isLoginItem = true; },
         line("Stopped", s("until login"))},
        {"interval job not loaded", [&](BackgroundItem& i) { i.job = hourly; },
         line("Stopped", s("until login"))},
        {"on-demand job not loaded", [](BackgroundItem&) {}, line("Not loaded", s("On demand"))},
        {"registered-only label that failed",
         [](BackgroundItem& i) {
             i.job.reset();
             i.launchLabel = s("com.example.registered");
             i.lastExitStatus = 1;
         },
         line("Failed", s("exit 1"))},
        {"registered-only label",
         [](BackgroundItem& i) {
             i.job.reset();
             i.launchLabel = s("com.example.registered");
         },
         line("Waiting", s("On demand"))},
        {"exit status without a label is ignored", [](BackgroundItem& i) { i.lastExitStatus = 78; },
         line("Not loaded", s("On demand"))},
    };
    for (const Row& row : rows) {
        BackgroundItem item = base;
        row.change(item);
        EXPECT_EQ(Items::statusLine(item), row.expected) << row.why;
    }
}
