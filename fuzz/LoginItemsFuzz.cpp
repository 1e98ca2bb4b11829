// Feeds arbitrary bytes to the login-items dump parser and to the decoder of
// the stored form; what decodes must encode and decode to the same value.
#include <cstddef>
#include <cstdint>

#include <QByteArrayView>
#include <QString>

#include "launchd/CommandParsers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArrayView bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QString text = QString::fromUtf8(bytes);
    for (const Uid uid : {Uid(0), Uid(501)}) {
        const CommandParsers::LoginItems items = CommandParsers::parseLoginItems(text, uid);
        for (const QString& path : items.appPaths) {
            if (!path.endsWith(u".app"))
                __builtin_trap();
        }
        const auto again =
            CommandParsers::decodeLoginItems(CommandParsers::encodeLoginItems(items));
        if (!again || *again != items)
            __builtin_trap();
    }
    if (const auto decoded = CommandParsers::decodeLoginItems(bytes)) {
        const auto again =
            CommandParsers::decodeLoginItems(CommandParsers::encodeLoginItems(*decoded));
        if (!again || *again != *decoded)
            __builtin_trap();
    }
    return 0;
}
