#pragma once

#include <ostream>

#include <QString>

#include "os/CommandResult.h"

// Readable GoogleTest failure messages for Qt strings and project records.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

inline void PrintTo(const CommandResult& result, std::ostream* out) {
    *out << "{" << result.status << ", \"" << result.output.toStdString() << "\", \""
         << result.error.toStdString() << "\"}";
}
