#include "os/NameSets.h"

#include <array>

namespace NameSets {

namespace {

QSet<QString> setOf(std::initializer_list<const char*> names) {
    QSet<QString> set;
    for (const char* name : names)
        set.insert(QString::fromUtf8(name));
    return set;
}

} // namespace

const QSet<QString>& interpreterNames() {
    static const QSet<QString> names = setOf(
        {"sh", "bash", "zsh", "fish", "env", "node", "bun", "deno", "ruby", "perl", "osascript"});
    return names;
}

const QSet<QString>& shellNames() {
    static const QSet<QString> names =
        setOf({"zsh", "bash", "sh", "fish", "login", "-zsh", "-bash"});
    return names;
}

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

const QSet<QString>& ideNames() {
    static const QSet<QString> names =
        setOf({"Xcode", "Visual Studio Code", "Code", "Cursor", "Windsurf", "Android Studio",
               "IntelliJ IDEA", "Zed", "Fleet", "Nova", "Sublime Text"});
    return names;
}

const QSet<QString>& terminalNames() {
    static const QSet<QString> names = setOf({"Terminal", "iTerm", "iTerm2", "Ghostty", "Warp",
                                              "WezTerm", "Alacritty", "kitty", "Hyper", "Tabby"});
    return names;
}

const QSet<QString>& buildToolNames() {
    static const QSet<QString> names = setOf(
        {"xcodebuild", "swift-build", "swift-frontend", "gradle", "flutter", "make", "cargo",
         "rustc", "clang", "ld", "npm", "pnpm", "yarn", "bun", "tsc", "vite", "webpack", "pod"});
    return names;
}

bool isInterpreter(QStringView fileName) {
    return fileName.startsWith(u"python") || interpreterNames().contains(fileName.toString());
}

bool isAppleSystemPath(QStringView path) {
    static constexpr std::array<QStringView, 10> prefixes = {
        u"/System/",
        u"/usr/libexec/",
        u"/usr/sbin/",
        u"/usr/bin/",
        u"/bin/",
        u"/sbin/",
        u"/Library/Apple/",
        u"/private/var/run/com.apple",
        u"/Library/Developer/PrivateFrameworks/",
        u"/Library/Developer/CoreSimulator/",
    };
    for (QStringView prefix : prefixes) {
        if (path.startsWith(prefix))
            return true;
    }
    return false;
}

} // namespace NameSets
