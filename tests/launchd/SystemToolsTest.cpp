#include "launchd/SystemTools.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include "support/Printers.h"
#include "support/StandIns.h"

using namespace std::chrono_literals;
using SystemTools::Invocation;
using SystemTools::Locations;

namespace {

QStringList paths(const Locations& tools) {
    return {tools.launchctl, tools.sfltool, tools.xcrun};
}

TEST(SystemToolsTest, AddressesTheUsersGuiDomain) {
    EXPECT_EQ(SystemTools::guiDomain(501), QStringLiteral("gui/501"));
    EXPECT_EQ(SystemTools::guiDomain(0), QStringLiteral("gui/0"));
    EXPECT_EQ(SystemTools::guiDomain(4294967295u), QStringLiteral("gui/4294967295"));
    EXPECT_EQ(SystemTools::serviceTarget(501, QStringLiteral("com.example.agent")),
              QStringLiteral("gui/501/com.example.agent"));
}

TEST(SystemToolsTest, EveryInvocationWithItsArgumentsAndTimeOut) {
    const Locations tools; // the real locations
    const QString launchctl = QStringLiteral("/bin/launchctl");
    struct Case {
        Invocation actual;
        Invocation expected;
    };
    const Case cases[] = {
        {SystemTools::launchctlList(tools), {launchctl, {QStringLiteral("list")}, 8s}},
        {SystemTools::printDisabled(tools, 501),
         {launchctl, {QStringLiteral("print-disabled"), QStringLiteral("gui/501")}, 8s}},
        {SystemTools::bootout(tools, 501, QStringLiteral("com.example.agent")),
         {launchctl, {QStringLiteral("bootout"), QStringLiteral("gui/501/com.example.agent")}, 8s}},
        {SystemTools::bootstrap(tools, 501,
                                QStringLiteral("/Users/me/Library/LaunchAgents/a b.plist")),
         {launchctl,
          {QStringLiteral("bootstrap"), QStringLiteral("gui/501"),
           QStringLiteral("/Users/me/Library/LaunchAgents/a b.plist")},
          8s}},
        {SystemTools::enable(tools, 501, QStringLiteral("com.example.agent")),
         {launchctl, {QStringLiteral("enable"), QStringLiteral("gui/501/com.example.agent")}, 8s}},
        {SystemTools::kickstart(tools, 501, QStringLiteral("com.example.agent")),
         {launchctl,
          {QStringLiteral("kickstart"), QStringLiteral("gui/501/com.example.agent")},
          8s}},
        {SystemTools::dumpLoginItems(tools),
         {QStringLiteral("/usr/bin/sfltool"), {QStringLiteral("dumpbtm")}, 180s}},
        {SystemTools::shutdownSimulator(tools, QStringLiteral("all")),
         {QStringLiteral("/usr/bin/xcrun"),
          {QStringLiteral("simctl"), QStringLiteral("shutdown"), QStringLiteral("all")},
          8s}},
        {SystemTools::shutdownSimulator(tools, QStringLiteral("6C1D-44")),
         {QStringLiteral("/usr/bin/xcrun"),
          {QStringLiteral("simctl"), QStringLiteral("shutdown"), QStringLiteral("6C1D-44")},
          8s}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.actual.executable, c.expected.executable);
        EXPECT_EQ(c.actual.arguments, c.expected.arguments)
            << qPrintable(c.actual.arguments.join(u' '));
        EXPECT_EQ(c.actual.timeout, c.expected.timeout)
            << qPrintable(c.actual.arguments.join(u' '));
    }
}

TEST(SystemToolsTest, InvocationsUseTheGivenLocations) {
    Locations tools;
    tools.launchctl = QStringLiteral("/opt/a/launchctl");
    tools.sfltool = QStringLiteral("/opt/b/sfltool");
    tools.xcrun = QStringLiteral("/opt/c/xcrun");
    EXPECT_EQ(SystemTools::launchctlList(tools).executable, tools.launchctl);
    EXPECT_EQ(SystemTools::bootstrap(tools, 1, QStringLiteral("/p")).executable, tools.launchctl);
    EXPECT_EQ(SystemTools::dumpLoginItems(tools).executable, tools.sfltool);
    EXPECT_EQ(SystemTools::shutdownSimulator(tools, QStringLiteral("all")).executable, tools.xcrun);
}

TEST(SystemToolsTest, StandardLocationsHonourTheToolsFolderVariable) {
    const std::optional<QByteArray> previous =
        qEnvironmentVariableIsSet("QUILLMARSH_TOOLS_DIR")
            ? std::optional<QByteArray>(qgetenv("QUILLMARSH_TOOLS_DIR"))
            : std::nullopt;

    qunsetenv("QUILLMARSH_TOOLS_DIR");
    EXPECT_EQ(paths(Locations::standard()), paths(Locations{}));
    EXPECT_EQ(Locations::standard().launchctl, QStringLiteral("/bin/launchctl"));
    EXPECT_EQ(Locations::standard().sfltool, QStringLiteral("/usr/bin/sfltool"));
    EXPECT_EQ(Locations::standard().xcrun, QStringLiteral("/usr/bin/xcrun"));

    qputenv("QUILLMARSH_TOOLS_DIR", "");
    EXPECT_EQ(paths(Locations::standard()), paths(Locations{}));

    qputenv("QUILLMARSH_TOOLS_DIR", "/opt/stand ins/");
    const Locations tools = Locations::standard();
    EXPECT_EQ(tools.launchctl, QStringLiteral("/opt/stand ins/launchctl"));
    EXPECT_EQ(tools.sfltool, QStringLiteral("/opt/stand ins/sfltool"));
    EXPECT_EQ(tools.xcrun, QStringLiteral("/opt/stand ins/xcrun"));

    if (previous)
        qputenv("QUILLMARSH_TOOLS_DIR", *previous);
    else
        qunsetenv("QUILLMARSH_TOOLS_DIR");
}

TEST(SystemToolsTest, RunGoesThroughTheRunner) {
    StandIns standIns;
    ASSERT_TRUE(standIns.isValid());
    EXPECT_EQ(paths(Locations::standard()), paths(standIns.locations()));
    standIns.addJob(QStringLiteral("com.example.idle"));
    const CommandResult list = SystemTools::run(SystemTools::launchctlList(Locations::standard()));
    EXPECT_EQ(list, (CommandResult{
                        0, QStringLiteral("PID\tStatus\tLabel\n-\t0\tcom.example.idle\n"), {}}));

    // A label launchd does not know: the status and text callers take as "not loaded".
    const CommandResult bootout = SystemTools::run(
        SystemTools::bootout(standIns.locations(), ::getuid(), QStringLiteral("com.example.none")));
    EXPECT_EQ(bootout.status, 3);
    EXPECT_TRUE(bootout.error.contains(QStringLiteral("No such process")));
    EXPECT_EQ(standIns.callCount({QStringLiteral("launchctl")}), 2);
}

TEST(SystemToolsTest, MissingAndHangingToolsGiveNegativeStatuses) {
    StandIns standIns;
    Locations missing;
    missing.launchctl = standIns.stateDir() + QStringLiteral("/no-such-launchctl");
    const CommandResult notStarted = SystemTools::run(SystemTools::launchctlList(missing));
    EXPECT_EQ(notStarted.status, -1);
    EXPECT_FALSE(notStarted.error.isEmpty());

    standIns.failVerb(QStringLiteral("list"), 0, {}, {}, 30);
    Invocation hanging = SystemTools::launchctlList(standIns.locations());
    hanging.timeout = 500ms;
    const CommandResult timedOut = SystemTools::run(hanging);
    EXPECT_EQ(timedOut.status, -2);
    EXPECT_EQ(timedOut.error, QStringLiteral("Timed out after 0.5 seconds"));
}

} // namespace
