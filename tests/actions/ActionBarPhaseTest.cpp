#include "actions/ActionBarPhase.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include "inventory/EnglishPlurals.h"
#include "inventory/ItemFixtures.h"

namespace {

using namespace ItemFixtures;
using Case = ActionBarPhase::Case;
using Pending = ActionBarPhase::Pending;
using Domain = LaunchJob::Domain;

// Singular count texts need an application with the English plurals.
class ActionBarPhaseTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "ActionBarPhaseTest";
        static char* argv[] = {name, nullptr};
        application = new QCoreApplication(argc, argv);
        plurals = new EnglishPlurals;
        QCoreApplication::installTranslator(plurals);
    }
    static void TearDownTestSuite() {
        delete plurals;
        delete application;
    }
    static inline QCoreApplication* application = nullptr;
    static inline EnglishPlurals* plurals = nullptr;
};

BackgroundItem app() {
    BackgroundItem item = running(process(
        QStringLiteral("Notes"), QStringLiteral("/Applications/Notes.app/Contents/MacOS/Notes"),
        {QStringLiteral("/Applications/Notes.app/Contents/MacOS/Notes")}));
    item.kind = BackgroundItem::Kind::app;
    return item;
}

BackgroundItem runningAgent(bool runAtLoad) {
    BackgroundItem item = runningPlain();
    LaunchJob j = job(QStringLiteral("com.example.sync"));
    j.runAtLoad = runAtLoad;
    item.job = j;
    item.launchLabel = j.label;
    return item;
}

BackgroundItem withMembers(BackgroundItem item, int count) {
    item.members.clear();
    for (int i = 0; i < count; ++i) {
        ProcSnapshot member = *item.primary;
        member.pid = 5000 + i;
        item.members.append(member);
    }
    return item;
}

// --- which buttons an item offers ---

TEST_F(ActionBarPhaseTest, AppleItemShowsOnlyTheNoteEvenWhenItCouldBeDisabled) {
    BackgroundItem item = runningAgent(true);
    item.isApple = true;
    const ActionOffer offer = ActionBarRules::offer(item, me);
    ActionOffer expected;
    expected.appleNote = QStringLiteral("Apple system process: never stopped from here.");
    EXPECT_EQ(offer, expected);
}

TEST_F(ActionBarPhaseTest, RunningGlobalDaemonShowsTheAdminNoteAndNoStop) {
    BackgroundItem item = runningPlain();
    item.job = job(QStringLiteral("com.example.daemon"), Domain::globalDaemon);
    item.job->runAtLoad = true;
    const ActionOffer offer = ActionBarRules::offer(item, me);
    EXPECT_FALSE(offer.stopLabel);
    EXPECT_EQ(offer.daemonNote, QStringLiteral("System daemon: needs admin rights to stop."));
    EXPECT_FALSE(offer.disable);
    EXPECT_TRUE(offer.copy);
}

TEST_F(ActionBarPhaseTest, SomeoneElsesProcessHasNeitherStopNorNote) {
    const BackgroundItem item =
        running(process(QStringLiteral("cupsd"), QStringLiteral("/usr/sbin/cupsd"), {}, root));
    const ActionOffer offer = ActionBarRules::offer(item, me);
    EXPECT_FALSE(offer.stopLabel);
    EXPECT_FALSE(offer.daemonNote);
}

TEST_F(ActionBarPhaseTest, StopIsQuitForAnAppAndStopOtherwise) {
    EXPECT_EQ(ActionBarRules::offer(app(), me).stopLabel, QStringLiteral("Quit"));
    EXPECT_EQ(ActionBarRules::offer(runningPlain(), me).stopLabel, QStringLiteral("Stop"));
    EXPECT_EQ(ActionBarRules::confirmLabel(app(), Pending::stop), QStringLiteral("Quit"));
    EXPECT_EQ(ActionBarRules::confirmLabel(runningPlain(), Pending::stop), QStringLiteral("Stop"));
    EXPECT_EQ(ActionBarRules::confirmLabel(app(), Pending::disable), QStringLiteral("Disable"));
}

TEST_F(ActionBarPhaseTest, AutoStartingUserAgentOffersStopDisableAndCopy) {
    const ActionOffer offer = ActionBarRules::offer(runningAgent(true), me);
    EXPECT_EQ(offer.stopLabel, QStringLiteral("Stop"));
    EXPECT_TRUE(offer.disable);
    EXPECT_FALSE(offer.reenable);
    EXPECT_FALSE(offer.launchLabel);
    EXPECT_TRUE(offer.copy);
    EXPECT_FALSE(ActionBarRules::offer(runningAgent(false), me).disable);
}

TEST_F(ActionBarPhaseTest, ParkedJobOffersReenableAndNoDisable) {
    LaunchJob j = job(QStringLiteral("com.example.sync"));
    j.runAtLoad = true;
    j.isParkedByQuillmarsh = true;
    BackgroundItem item = notRunning(j);
    item.state = BackgroundItem::State::disabled;
    const ActionOffer offer = ActionBarRules::offer(item, me);
    EXPECT_TRUE(offer.reenable);
    EXPECT_FALSE(offer.disable);
    EXPECT_FALSE(offer.stopLabel);
    EXPECT_FALSE(offer.launchLabel);
}

TEST_F(ActionBarPhaseTest, LaunchButtonByLaunchdState) {
    struct Row {
        const char* what;
        bool disabledInLaunchd;
        bool listed;
        Domain domain;
        std::optional<QString> label;
        ItemAction action;
    };
    const Row rows[] = {
        {"disabled in launchd", true, false, Domain::userAgent, QStringLiteral("Enable"),
         ItemAction::enable},
        {"disabled and listed", true, true, Domain::userAgent, QStringLiteral("Enable"),
         ItemAction::enable},
        {"listed, not running", false, true, Domain::userAgent, QStringLiteral("Run now"),
         ItemAction::load},
        {"not listed", false, false, Domain::userAgent, QStringLiteral("Load"), ItemAction::load},
        {"global agent", false, false, Domain::globalAgent, std::nullopt, ItemAction::load},
        {"global daemon disabled", true, false, Domain::globalDaemon, QStringLiteral("Enable"),
         ItemAction::enable},
    };
    for (const Row& row : rows) {
        BackgroundItem item = notRunning(job(QStringLiteral("com.example.job"), row.domain));
        item.isDisabledInLaunchd = row.disabledInLaunchd;
        if (row.listed)
            item.launchLabel = item.job->label;
        const ActionOffer offer = ActionBarRules::offer(item, me);
        EXPECT_EQ(offer.launchLabel, row.label) << row.what;
        if (row.label) {
            EXPECT_EQ(offer.launchAction, row.action) << row.what;
        }
    }
}

TEST_F(ActionBarPhaseTest, EmptyCommandLineHasNoCopyButton) {
    BackgroundItem item = notRunning(job(QStringLiteral("com.example.empty")));
    item.job->program.reset();
    item.job->arguments.clear();
    ASSERT_TRUE(Items::commandLine(item).isEmpty());
    EXPECT_FALSE(ActionBarRules::offer(item, me).copy);
}

// --- confirmation texts ---

TEST_F(ActionBarPhaseTest, StopDescriptionByItem) {
    BackgroundItem simulator = runningPlain();
    simulator.kind = BackgroundItem::Kind::simulator;
    simulator.launchLabel = QStringLiteral("com.apple.CoreSimulator.SimDevice.1234-ABCD");
    BackgroundItem allSimulators = simulator;
    allSimulators.launchLabel.reset();
    BackgroundItem onDemand = runningAgent(false);
    BackgroundItem keptAlive = runningAgent(false);
    keptAlive.job->keepAlive = true;

    const std::pair<BackgroundItem, QString> rows[] = {
        {app(), QStringLiteral("Asks Notes to quit, like ⌘Q.")},
        {simulator, QStringLiteral("Shuts down this simulator (xcrun simctl shutdown).")},
        {allSimulators,
         QStringLiteral("Shuts down all booted simulators (xcrun simctl shutdown all).")},
        {runningAgent(true),
         QStringLiteral("Unloads com.example.sync with launchctl bootout. It starts again at next "
                        "login. Use Disable auto-start to keep it off.")},
        {keptAlive, QStringLiteral("Unloads com.example.sync with launchctl bootout. It starts "
                                   "again at next login. Use Disable auto-start to keep it off.")},
        {onDemand, QStringLiteral("Unloads com.example.sync with launchctl bootout. It stays "
                                  "unloaded until something loads it again.")},
        {withMembers(runningPlain(), 3),
         QStringLiteral("Sends SIGTERM to 3 processes. If it does not exit in 3 s, you can force "
                        "quit. It does not start again by itself.")},
        {runningPlain(), QStringLiteral("Sends SIGTERM to 1 process. If it does not exit in 3 s, "
                                        "you can force quit. It does not start again by itself.")},
    };
    for (const auto& [item, text] : rows)
        EXPECT_EQ(ActionBarRules::description(item, Pending::stop), text);
}

TEST_F(ActionBarPhaseTest, DisableDescriptionIsTheSameForEveryItem) {
    EXPECT_EQ(ActionBarRules::description(runningAgent(true), Pending::disable),
              QStringLiteral("Unloads it now and moves its plist to "
                             "~/Library/LaunchAgents/Disabled/. It will not start at login. "
                             "Re-enable puts it back."));
}

TEST_F(ActionBarPhaseTest, WarningsInOrder) {
    BackgroundItem inSession = runningPlain();
    inSession.origin = {Origin::Case::agentSession, QStringLiteral("Claude"),
                        QStringLiteral("/Users/me/src/webshop/")};
    inSession.isPartOfBuild = true;
    inSession.job = job(QStringLiteral("com.example.daemon"), Domain::globalDaemon);
    inSession.job->keepAlive = true;
    EXPECT_EQ(ActionBarRules::warnings(inSession),
              (QStringList{QStringLiteral("Belongs to an active Claude session in webshop. "
                                          "Stopping it may break that session's work."),
                           QStringLiteral("Part of a running build. The build will likely fail."),
                           QStringLiteral("KeepAlive is on: launchd restarts it right away.")}));

    BackgroundItem noFolder = runningPlain();
    noFolder.origin = {Origin::Case::agentSession, QStringLiteral("Codex"), std::nullopt};
    EXPECT_EQ(ActionBarRules::warnings(noFolder),
              QStringList{QStringLiteral("Belongs to an active Codex session. Stopping it may "
                                         "break that session's work.")});

    // A controllable job is booted out first, so KeepAlive cannot bring it back.
    BackgroundItem controllable = runningAgent(false);
    controllable.job->keepAlive = true;
    EXPECT_TRUE(ActionBarRules::warnings(controllable).isEmpty());
    EXPECT_TRUE(ActionBarRules::warnings(runningPlain()).isEmpty());
}

TEST_F(ActionBarPhaseTest, LiveSessionWarningReplacesTheBelongsToWarning) {
    BackgroundItem session =
        running(process(QStringLiteral("claude"), QStringLiteral("/Users/me/.local/bin/claude"),
                        {QStringLiteral("claude")}));
    session.origin = {Origin::Case::agentSession, QStringLiteral("Claude"),
                      QStringLiteral("/Users/me/src")};
    const std::optional<QString> tool = Origins::agentTool(*session.primary);
    if (!tool)
        GTEST_SKIP() << "claude is not a known agent tool";
    EXPECT_EQ(ActionBarRules::warnings(session),
              QStringList{QStringLiteral("This is a live %1 session. Stopping it ends the "
                                         "conversation and any work in progress.")
                              .arg(*tool)});
}

TEST_F(ActionBarPhaseTest, StillRunningTexts) {
    const QList<ProcessTarget> survivors{{812, 1.0}, {815, std::nullopt}};
    EXPECT_EQ(ActionBarRules::stillRunningText(runningPlain(), survivors),
              QStringLiteral("Still running after SIGTERM (812, 815)."));
    EXPECT_EQ(ActionBarRules::stillRunningText(app(), survivors),
              QStringLiteral("Notes has not quit. It may be asking to save changes. Force Quit "
                             "loses unsaved work."));
}

TEST_F(ActionBarPhaseTest, WorkingTextsEndInOneEllipsisCharacter) {
    const QString ellipsis(QChar(0x2026));
    const std::pair<ItemAction, const char*> rows[] = {
        {ItemAction::stop, "Stopping"},     {ItemAction::forceQuit, "Force quitting"},
        {ItemAction::disable, "Disabling"}, {ItemAction::reenable, "Re-enabling"},
        {ItemAction::enable, "Enabling"},   {ItemAction::load, "Starting"},
    };
    for (const auto& [action, stem] : rows) {
        const QString text = ActionBarRules::workingText(runningPlain(), action);
        EXPECT_EQ(text, QString::fromUtf8(stem) + ellipsis);
        EXPECT_FALSE(text.contains(QStringLiteral("...")));
    }
    EXPECT_EQ(ActionBarRules::workingText(app(), ItemAction::stop),
              QStringLiteral("Quitting") + ellipsis);
}

// --- transitions ---

TEST_F(ActionBarPhaseTest, ConfirmedStopEndsInStoppedOrStillRunningOrError) {
    const BackgroundItem item = runningPlain();
    ActionBarMachine bar;
    bar.showItem(item.id);
    EXPECT_FALSE(bar.begin(item, ItemAction::stop)) << "a stop needs confirming";
    bar.requestStop();
    EXPECT_EQ(bar.phase(), ActionBarPhase::confirm(Pending::stop));
    bar.dismiss();
    EXPECT_EQ(bar.phase(), ActionBarPhase::idle());

    bar.requestStop();
    std::optional<quint64> ticket = bar.begin(item, ItemAction::stop);
    ASSERT_TRUE(ticket);
    EXPECT_EQ(bar.phase(), ActionBarPhase::working(QStringLiteral("Stopping…")));
    EXPECT_FALSE(bar.begin(item, ItemAction::load)) << "one action at a time";
    bar.finishStop(*ticket, {}, std::nullopt);
    EXPECT_EQ(bar.phase(), ActionBarPhase::message(QStringLiteral("Stopped."), false));
    bar.dismiss();

    const QList<ProcessTarget> survivors{{77, 3.5}};
    bar.requestStop();
    ticket = bar.begin(item, ItemAction::stop);
    bar.finishStop(*ticket, survivors, std::nullopt);
    EXPECT_EQ(bar.phase(), ActionBarPhase::stillRunning(survivors));
    bar.dismiss();
    EXPECT_EQ(bar.phase(), ActionBarPhase::idle()) << "Cancel leaves the survivors alone";

    bar.requestStop();
    ticket = bar.begin(item, ItemAction::stop);
    bar.finishStop(*ticket, {}, ActionError{QStringLiteral("launchctl bootout failed (5): nope")});
    EXPECT_EQ(bar.phase(),
              ActionBarPhase::message(QStringLiteral("launchctl bootout failed (5): nope"), true));
}

TEST_F(ActionBarPhaseTest, ForceQuitActsOnTheListedSurvivors) {
    const BackgroundItem item = runningPlain();
    ActionBarMachine bar;
    bar.showItem(item.id);
    EXPECT_FALSE(bar.begin(item, ItemAction::forceQuit));
    bar.requestStop();
    auto ticket = bar.begin(item, ItemAction::stop);
    bar.finishStop(*ticket, {{77, 3.5}}, std::nullopt);
    ticket = bar.begin(item, ItemAction::forceQuit);
    ASSERT_TRUE(ticket);
    EXPECT_EQ(bar.phase().text, QStringLiteral("Force quitting…"));
    bar.finishForceQuit(*ticket, {});
    EXPECT_EQ(bar.phase(), ActionBarPhase::message(QStringLiteral("Force quit."), false));

    bar.dismiss();
    bar.requestStop();
    ticket = bar.begin(item, ItemAction::stop);
    bar.finishStop(*ticket, {{77, 3.5}}, std::nullopt);
    ticket = bar.begin(item, ItemAction::forceQuit);
    bar.finishForceQuit(*ticket, {{77, 3.5}});
    EXPECT_EQ(bar.phase(),
              ActionBarPhase::message(QStringLiteral("Could not stop 1 process."), true));
}

TEST_F(ActionBarPhaseTest, ResultsOfTheUnconfirmedActions) {
    LaunchJob j = job(QStringLiteral("com.example.sync"));
    const BackgroundItem item = notRunning(j);
    struct Row {
        ItemAction action;
        ActionResult error;
        ActionBarPhase expected;
    };
    const ActionError failure{QStringLiteral("launchctl enable failed (1): denied")};
    const Row rows[] = {
        {ItemAction::enable, std::nullopt,
         ActionBarPhase::message(QStringLiteral("Enabled."), false)},
        {ItemAction::load, std::nullopt,
         ActionBarPhase::message(QStringLiteral("Started."), false)},
        {ItemAction::reenable, std::nullopt, ActionBarPhase::idle()},
        {ItemAction::enable, failure, ActionBarPhase::message(failure.message, true)},
        {ItemAction::load, failure, ActionBarPhase::message(failure.message, true)},
        {ItemAction::reenable, failure, ActionBarPhase::message(failure.message, true)},
    };
    for (const Row& row : rows) {
        ActionBarMachine bar;
        bar.showItem(item.id);
        const auto ticket = bar.begin(item, row.action);
        ASSERT_TRUE(ticket);
        bar.finish(*ticket, row.action, row.error);
        EXPECT_EQ(bar.phase(), row.expected);
    }
}

TEST_F(ActionBarPhaseTest, ConfirmedDisableReturnsToIdleSilently) {
    const BackgroundItem item = runningAgent(true);
    ActionBarMachine bar;
    bar.showItem(item.id);
    bar.requestDisable();
    EXPECT_EQ(bar.phase(), ActionBarPhase::confirm(Pending::disable));
    EXPECT_FALSE(bar.begin(item, ItemAction::stop)) << "the pending action decides";
    const auto ticket = bar.begin(item, ItemAction::disable);
    ASSERT_TRUE(ticket);
    EXPECT_EQ(bar.phase().text, QStringLiteral("Disabling…"));
    bar.finish(*ticket, ItemAction::disable, std::nullopt);
    EXPECT_EQ(bar.phase(), ActionBarPhase::idle());
}

TEST_F(ActionBarPhaseTest, AnotherItemReturnsToIdleAndDropsTheOldResult) {
    const BackgroundItem item = runningPlain();
    ActionBarMachine bar;
    bar.showItem(item.id);
    bar.requestStop();
    auto ticket = bar.begin(item, ItemAction::stop);
    bar.finishStop(*ticket, {}, std::nullopt);
    ASSERT_EQ(bar.phase().kind, Case::message);
    bar.showItem(item.id);
    EXPECT_EQ(bar.phase().kind, Case::message) << "the same id keeps the message";
    bar.showItem(QStringLiteral("job:other"));
    EXPECT_EQ(bar.phase(), ActionBarPhase::idle());

    // A result that arrives after the switch, even while another action runs,
    // belongs to the old item and is dropped.
    bar.showItem(item.id);
    bar.requestStop();
    const auto old = bar.begin(item, ItemAction::stop);
    bar.showItem(QStringLiteral("job:other"));
    const auto fresh = bar.begin(item, ItemAction::load);
    ASSERT_TRUE(fresh);
    bar.finishStop(*old, {}, std::nullopt);
    EXPECT_EQ(bar.phase().kind, Case::working);
    bar.finish(*fresh, ItemAction::load, std::nullopt);
    EXPECT_EQ(bar.phase(), ActionBarPhase::message(QStringLiteral("Started."), false));
}

TEST_F(ActionBarPhaseTest, WorkingCannotBeDismissed) {
    const BackgroundItem item = notRunning(job(QStringLiteral("com.example.a")));
    ActionBarMachine bar;
    bar.showItem(item.id);
    bar.begin(item, ItemAction::load);
    bar.dismiss();
    bar.requestStop();
    bar.requestDisable();
    EXPECT_EQ(bar.phase().kind, Case::working);
}

} // namespace
