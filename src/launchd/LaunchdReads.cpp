#include "launchd/LaunchdReads.h"

#include <QCoreApplication>

#include "launchd/CommandParsers.h"

namespace LaunchdReads {

namespace {

constexpr int timeoutStatus = -2;

QString tr(const char* text) {
    return QCoreApplication::translate("LaunchdReads", text);
}

} // namespace

JobTable readJobTable(const SystemTools::Locations& tools) {
    const CommandResult result = SystemTools::run(SystemTools::launchctlList(tools));
    return {CommandParsers::parseLaunchctlList(result.output),
            failureOf(SourceWarning::Source::jobTable, result)};
}

DisabledLabels readDisabledLabels(const SystemTools::Locations& tools, Uid uid) {
    const CommandResult result = SystemTools::run(SystemTools::printDisabled(tools, uid));
    return {CommandParsers::parseDisabled(result.output),
            failureOf(SourceWarning::Source::disabledLabels, result)};
}

DisabledLabels skippedAfterTimeout() {
    return {{},
            SourceWarning{SourceWarning::Source::disabledLabels, 0,
                          tr("not asked, since launchctl list timed out")}};
}

std::optional<SourceWarning> failureOf(SourceWarning::Source source, const CommandResult& result) {
    if (result.status == 0)
        return std::nullopt;
    QString message = result.error;
    if (result.status > 0) {
        message = message.isEmpty()
                      ? tr("exit status %1").arg(result.status)
                      : tr("exit status %1: %2").arg(QString::number(result.status), message);
    }
    // One line, whatever the tool wrote.
    message.replace(u'\n', u' ');
    return SourceWarning{source, result.status, message};
}

bool timedOut(const std::optional<SourceWarning>& warning) {
    return warning && warning->status == timeoutStatus;
}

QString warningText(const SourceWarning& warning) {
    if (warning.source == SourceWarning::Source::userManager)
        //: %1 is why the manager could not be asked
        return tr("could not ask the systemd user manager (%1)").arg(warning.message);
    const QString command = warning.source == SourceWarning::Source::jobTable
                                ? QStringLiteral("launchctl list")
                                : QStringLiteral("launchctl print-disabled");
    //: %1 is a command, %2 why it failed
    return tr("could not read %1 (%2)").arg(command, warning.message);
}

} // namespace LaunchdReads
