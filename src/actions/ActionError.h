#pragma once

#include <optional>

#include <QString>

// A failed change to the machine, with the one message the user sees.
struct ActionError {
    QString message;

    bool operator==(const ActionError&) const = default;
};

// What an operation that may fail returns: nothing on success.
using ActionResult = std::optional<ActionError>;
