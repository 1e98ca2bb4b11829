#pragma once

#include <QString>

// What one run of an external tool produced.
struct CommandResult {
    // The tool's exit status; -1 when it could not start, -2 when stopped at the time-out.
    int status = 0;
    QString output;
    QString error;

    bool operator==(const CommandResult&) const = default;
};
