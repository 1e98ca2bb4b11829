// Feeds arbitrary bytes to the unit-file parser and its command splitter.
#include <cstddef>
#include <cstdint>

#include <QByteArrayView>

#include "session/UnitFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArrayView bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    for (const UnitFile::Assignment& assignment : UnitFile::parse(bytes))
        (void)UnitFile::splitCommand(assignment.value, QStringLiteral("/home/u"));
    return 0;
}
