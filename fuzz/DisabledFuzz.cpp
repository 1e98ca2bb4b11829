// Feeds arbitrary bytes to the `launchctl print-disabled` parser.
#include <cstddef>
#include <cstdint>

#include <QString>

#include "launchd/CommandParsers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString text =
        QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    for (const QString& label : CommandParsers::parseDisabled(text)) {
        // Quotes never survive at either end of a label.
        if (label.startsWith(u'"') || label.endsWith(u'"'))
            __builtin_trap();
    }
    return 0;
}
