// Feeds arbitrary bytes to the parser of a process's argument area.
#include <cstddef>
#include <cstdint>

#include <QByteArrayView>

#include "os/ProcReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArrayView bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    (void)ProcReader::parseArguments(bytes);
    return 0;
}
