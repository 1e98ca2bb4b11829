#include "launchd/SystemTools.h"

#include <QDir>

#include "os/CommandRunner.h"

namespace SystemTools {

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// Time-outs: launchd and the simulator tool answer at once; the login-items
// dump waits while the system asks for an administrator password.
constexpr milliseconds launchctlTimeout = seconds(8);
constexpr milliseconds xcrunTimeout = seconds(8);
constexpr milliseconds sfltoolTimeout = seconds(180);

// Output limits, far above what a busy machine prints: the job table and the
// disabled list hold a line of about a hundred bytes per job, the login-items
// dump a dozen lines per item. Changing verbs print a line or two.
constexpr qsizetype MiB = 1024 * 1024;
constexpr qsizetype listLimit = 1 * MiB;
constexpr qsizetype disabledLimit = 1 * MiB;
constexpr qsizetype dumpLimit = 4 * MiB;
constexpr qsizetype changeLimit = 64 * 1024;

Invocation launchctl(const Locations& tools, QStringList arguments,
                     qsizetype outputLimit = changeLimit) {
    return {tools.launchctl, std::move(arguments), launchctlTimeout, outputLimit};
}

} // namespace

Locations Locations::standard() {
    Locations tools;
    const QString folder = qEnvironmentVariable("QUILLMARSH_TOOLS_DIR");
    if (folder.isEmpty())
        return tools;
    const QDir dir(folder);
    tools.launchctl = dir.absoluteFilePath(QStringLiteral("launchctl"));
    tools.sfltool = dir.absoluteFilePath(QStringLiteral("sfltool"));
    tools.xcrun = dir.absoluteFilePath(QStringLiteral("xcrun"));
    return tools;
}

QString guiDomain(Uid uid) {
    return QStringLiteral("gui/") + QString::number(uid);
}

QString serviceTarget(Uid uid, const QString& label) {
    return guiDomain(uid) + QLatin1Char('/') + label;
}

Invocation launchctlList(const Locations& tools) {
    return launchctl(tools, {QStringLiteral("list")}, listLimit);
}

Invocation printDisabled(const Locations& tools, Uid uid) {
    return launchctl(tools, {QStringLiteral("print-disabled"), guiDomain(uid)}, disabledLimit);
}

Invocation bootout(const Locations& tools, Uid uid, const QString& label) {
    return launchctl(tools, {QStringLiteral("bootout"), serviceTarget(uid, label)});
}

Invocation bootstrap(const Locations& tools, Uid uid, const QString& plistPath) {
    return launchctl(tools, {QStringLiteral("bootstrap"), guiDomain(uid), plistPath});
}

Invocation enable(const Locations& tools, Uid uid, const QString& label) {
    return launchctl(tools, {QStringLiteral("enable"), serviceTarget(uid, label)});
}

Invocation kickstart(const Locations& tools, Uid uid, const QString& label) {
    return launchctl(tools, {QStringLiteral("kickstart"), serviceTarget(uid, label)});
}

Invocation dumpLoginItems(const Locations& tools) {
    return {tools.sfltool, {QStringLiteral("dumpbtm")}, sfltoolTimeout, dumpLimit};
}

Invocation shutdownSimulator(const Locations& tools, const QString& deviceOrAll) {
    return {tools.xcrun,
            {QStringLiteral("simctl"), QStringLiteral("shutdown"), deviceOrAll},
            xcrunTimeout,
            changeLimit};
}

CommandResult run(const Invocation& invocation, const CommandRunner::Stop* stop) {
    return CommandRunner::runCommand(invocation.executable, invocation.arguments,
                                     invocation.timeout, invocation.outputLimit, stop);
}

} // namespace SystemTools
