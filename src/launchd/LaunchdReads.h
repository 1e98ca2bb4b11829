#pragma once

#include <optional>

#include <QSet>
#include <QString>

#include "launchd/LaunchctlState.h"
#include "launchd/SourceWarning.h"
#include "launchd/SystemTools.h"
#include "os/CommandResult.h"

// The two reads of launchd's state that every pass makes, each with the
// warning that says it could not be trusted.
namespace LaunchdReads {

struct JobTable {
    CommandParsers::LaunchctlTable table;
    std::optional<SourceWarning> warning;
};

struct DisabledLabels {
    QSet<QString> labels;
    std::optional<SourceWarning> warning;
};

// `launchctl list`. Whatever the tool printed is parsed, also after a failure.
JobTable readJobTable(const SystemTools::Locations& tools);

// `launchctl print-disabled` for the user's GUI domain.
DisabledLabels readDisabledLabels(const SystemTools::Locations& tools, Uid uid);

// The disabled labels of a pass whose `launchctl list` timed out: not asked
// for, so that a stuck tool costs one time-out per pass, not two.
DisabledLabels skippedAfterTimeout();

// The warning for a run that failed, none for one that succeeded.
std::optional<SourceWarning> failureOf(SourceWarning::Source source, const CommandResult& result);

bool timedOut(const std::optional<SourceWarning>& warning);

// One line for people: what could not be read and why.
QString warningText(const SourceWarning& warning);

} // namespace LaunchdReads
