// The composed explanation of running items. Builds on origins and the item's
// derived values, so it lives apart from the table tests.

#include "inventory/Explanations.h"

#include <QDir>

#include <gtest/gtest.h>

namespace {

using Kind = BackgroundItem::Kind;

ProcSnapshot process(const QString& name, const QString& path, QStringList arguments = {}) {
    ProcSnapshot p;
    p.pid = 700;
    p.ppid = 1;
    p.uid = 501;
    p.name = name;
    p.path = path;
    p.arguments = arguments.isEmpty() ? QStringList{path} : std::move(arguments);
    return p;
}

BackgroundItem item(Kind kind, const QString& name, const ProcSnapshot& primary,
                    qsizetype memberCount = 1) {
    BackgroundItem result;
    result.kind = kind;
    result.name = name;
    result.primary = primary;
    for (qsizetype i = 0; i < memberCount; ++i)
        result.members.append(primary);
    return result;
}

Origin origin(Origin::Case kind, const char* payload = "") {
    return {kind, QString::fromUtf8(payload), std::nullopt};
}

QString known(const char* key) {
    return Explanations::explain(std::nullopt, QString::fromUtf8(key), QString()).value();
}

TEST(RunningExplanation, ProcessStartedByAnAgentSession) {
    BackgroundItem node =
        item(Kind::process, QStringLiteral("vite"),
             process(QStringLiteral("node"), QStringLiteral("/opt/homebrew/bin/node")));
    node.origin = origin(Origin::Case::agentSession, "Claude");
    // The primary's name counts here, not the item's.
    EXPECT_EQ(Explanations::runningExplanation(node),
              known("node") + QStringLiteral(" · Claude session"));

    BackgroundItem unknown =
        item(Kind::process, QStringLiteral("worker"),
             process(QStringLiteral("ruby"), QStringLiteral("/usr/local/bin/ruby")));
    unknown.origin = origin(Origin::Case::agentSession, "Codex");
    EXPECT_EQ(Explanations::runningExplanation(unknown), QStringLiteral("Process · Codex session"));

    BackgroundItem labelled = unknown;
    labelled.launchLabel = QStringLiteral("homebrew.mxcl.redis");
    EXPECT_EQ(Explanations::runningExplanation(labelled),
              known("redis") + QStringLiteral(" · Codex session"));
}

TEST(RunningExplanation, TheSessionItself) {
    BackgroundItem session =
        item(Kind::process, QStringLiteral("claude"),
             process(QStringLiteral("claude"), QStringLiteral("/Users/me/.local/bin/claude")));
    session.origin = origin(Origin::Case::terminal, "Ghostty");
    EXPECT_EQ(Explanations::runningExplanation(session),
              QStringLiteral("Claude Code agent session"));

    session.origin = origin(Origin::Case::agentSession, "Claude");
    EXPECT_EQ(Explanations::runningExplanation(session),
              QStringLiteral("Claude Code agent session"));
}

TEST(RunningExplanation, Apps) {
    BackgroundItem unknownApp =
        item(Kind::app, QStringLiteral("Notes Plus"),
             process(QStringLiteral("Notes Plus"),
                     QStringLiteral("/Applications/Notes Plus.app/Contents/MacOS/Notes Plus")),
             3);
    unknownApp.appBundlePath = QStringLiteral("/Applications/Notes Plus.app");
    unknownApp.origin = origin(Origin::Case::app);
    EXPECT_EQ(Explanations::runningExplanation(unknownApp),
              QStringLiteral("3 processes · app in Applications"));

    BackgroundItem docker = unknownApp;
    docker.name = QStringLiteral("Docker");
    docker.appBundlePath = QStringLiteral("/Applications/Docker.app");
    EXPECT_EQ(Explanations::runningExplanation(docker),
              QStringLiteral("3 processes · ") + known("docker"));

    BackgroundItem external = unknownApp;
    external.appBundlePath = QStringLiteral("/Volumes/Tools/Notes Plus.app");
    EXPECT_EQ(Explanations::runningExplanation(external),
              QStringLiteral("3 processes · app in external volume Tools"));
}

TEST(RunningExplanation, PlainProcesses) {
    const QString home = QDir::homePath();
    BackgroundItem ruby = item(Kind::process, QStringLiteral("ruby"),
                               process(QStringLiteral("ruby"), home + QStringLiteral("/bin/ruby")));
    ruby.origin = origin(Origin::Case::shell);
    EXPECT_EQ(Explanations::runningExplanation(ruby),
              QStringLiteral("Started from a shell · home folder"));

    BackgroundItem node =
        item(Kind::process, QStringLiteral("server"),
             process(QStringLiteral("node"), QStringLiteral("/opt/homebrew/bin/node")));
    node.origin = origin(Origin::Case::shell);
    EXPECT_EQ(Explanations::runningExplanation(node), known("node"));

    // The second argument (the script) is looked at, the third is not.
    BackgroundItem script =
        item(Kind::process, QStringLiteral("worker"),
             process(QStringLiteral("ruby"), QStringLiteral("/usr/local/bin/ruby"),
                     {QStringLiteral("ruby"), QStringLiteral("/srv/jobs/redis-flush.rb")}));
    script.origin = origin(Origin::Case::detached);
    EXPECT_EQ(Explanations::runningExplanation(script), known("redis"));
    script.primary->arguments = {QStringLiteral("ruby"), QStringLiteral("main.rb"),
                                 QStringLiteral("redis")};
    EXPECT_EQ(Explanations::runningExplanation(script),
              QStringLiteral("Detached (no owner) · macOS"));

    // The job's label wins over the label launchctl lists.
    BackgroundItem labelled = script;
    labelled.launchLabel = QStringLiteral("com.example.tailscale-ish");
    LaunchJob job;
    job.label = QStringLiteral("homebrew.mxcl.mongodb-community");
    labelled.job = job;
    labelled.origin = origin(Origin::Case::launchdJob, "homebrew.mxcl.mongodb-community");
    EXPECT_EQ(Explanations::runningExplanation(labelled), known("mongod"));
    labelled.job.reset();
    EXPECT_EQ(Explanations::runningExplanation(labelled), known("tailscale"));
}

TEST(RunningExplanation, SimulatorsAndJobs) {
    BackgroundItem sim =
        item(Kind::simulator, QStringLiteral("iPhone 16"),
             process(QStringLiteral("launchd_sim"),
                     QStringLiteral("/Library/Developer/CoreSimulator/launchd_sim")));
    EXPECT_EQ(Explanations::runningExplanation(sim), known("launchd_sim"));

    BackgroundItem job;
    job.kind = Kind::job;
    job.state = BackgroundItem::State::notRunning;
    EXPECT_EQ(Explanations::runningExplanation(job), QString());
}

} // namespace
