#include "os/NameSets.h"

namespace NameSets {

namespace {

QSet<QString> setOf(std::initializer_list<const char*> names) {
    QSet<QString> set;
    for (const char* name : names)
        set.insert(QString::fromUtf8(name));
    return set;
}

} // namespace

const QSet<QString>& genericScriptNames() {
    static const QSet<QString> names =
        setOf({"server", "main", "index", "app", "run", "start", "cli", "__main__"});
    return names;
}

const QSet<QString>& labelNoiseComponents() {
    static const QSet<QString> names =
        setOf({"com", "org", "io", "net", "sh", "homebrew", "dev", "app"});
    return names;
}

} // namespace NameSets
