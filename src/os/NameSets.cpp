#include "os/NameSets.h"

namespace NameSets {

const QSet<QString>& genericScriptNames() {
    static const QSet<QString> names = {"server", "main",  "index", "app",
                                        "run",    "start", "cli",   "__main__"};
    return names;
}

const QSet<QString>& labelNoiseComponents() {
    static const QSet<QString> names = {"com", "org", "io", "net", "sh", "homebrew", "dev", "app"};
    return names;
}

} // namespace NameSets
