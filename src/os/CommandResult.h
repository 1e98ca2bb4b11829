#pragma once

#include <QString>

// What one run of an external tool produced.
struct CommandResult {
    // The tool's exit status, 128 + the signal number when a signal ended it;
    // -1 when it could not start, -2 when stopped at the time-out, -3 when
    // stopped for writing more output than its caller accepts, -4 when its
    // caller no longer wanted it.
    int status = 0;
    QString output;
    QString error;

    bool operator==(const CommandResult&) const = default;
};
