// Feeds arbitrary bytes to the `launchctl list` parser.
#include <cstddef>
#include <cstdint>

#include <QString>

#include "launchd/CommandParsers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString text =
        QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const auto table = CommandParsers::parseLaunchctlList(text);
    // Every label came from a line of the text.
    for (const auto& [label, entry] : table) {
        if (label.size() > text.size())
            __builtin_trap();
    }
    return 0;
}
