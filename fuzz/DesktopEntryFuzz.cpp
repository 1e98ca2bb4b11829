// Feeds arbitrary bytes to the desktop entry reader and its Exec splitter.
#include <cstddef>
#include <cstdint>

#include <QByteArray>

#include "session/DesktopEntry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const DesktopEntry::Entry entry = DesktopEntry::parse(bytes);
    for (const QString& value : entry.values)
        (void)DesktopEntry::execArguments(value);
    return 0;
}
