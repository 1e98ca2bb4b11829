#pragma once

#include <QString>

// A source of job facts that could not be read in a pass: its tool was
// missing, could not run, timed out, printed more than it may, or ended with a
// status other than 0; or the user's service manager did not answer.
struct SourceWarning {
    enum class Source { jobTable, disabledLabels, userManager };

    Source source = Source::jobTable;
    // The runner's status for the run (CommandResult), or 0 when it was not run.
    int status = 0;
    // Why, in the runner's words.
    QString message;

    bool operator==(const SourceWarning&) const = default;
};
