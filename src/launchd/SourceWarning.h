#pragma once

#include <QString>

// A source of launchd facts that could not be read in a pass: its tool was
// missing, could not run, timed out, printed more than it may, or ended with a
// status other than 0.
struct SourceWarning {
    enum class Source { jobTable, disabledLabels };

    Source source = Source::jobTable;
    // The runner's status for the run (CommandResult), or 0 when it was not run.
    int status = 0;
    // Why, in the runner's words.
    QString message;

    bool operator==(const SourceWarning&) const = default;
};
