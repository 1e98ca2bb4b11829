#include "os/SettingsStore.h"

namespace SettingsStore {

std::unique_ptr<QSettings> open() {
    return std::make_unique<QSettings>(QString::fromLatin1(organization),
                                       QString::fromLatin1(application));
}

} // namespace SettingsStore
