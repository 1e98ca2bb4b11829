#include "os/HostRules.h"

#include <algorithm>

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSysInfo>

namespace Hosts {

namespace {

// Whether `text` matches `pattern`, in which "*" stands for any run of
// characters. Runs on every refresh: nothing is allocated.
bool matchesPattern(QStringView pattern, QStringView text) {
    qsizetype p = 0;
    qsizetype t = 0;
    qsizetype star = -1; // the last "*" seen, and where in the text it began
    qsizetype starText = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == u'*') {
            star = p++;
            starText = t;
        } else if (p < pattern.size() && pattern[p] == text[t]) {
            ++p;
            ++t;
        } else if (star >= 0) {
            p = star + 1; // the "*" takes one more character
            t = ++starText;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == u'*')
        ++p;
    return p == pattern.size();
}

QString tr(const char* text) {
    return QCoreApplication::translate("HostRules", text);
}

HostRules commonRules() {
    HostRules rules;
    rules.shellNames = {"zsh", "bash", "sh", "fish", "login", "-zsh", "-bash"};
    rules.interpreterNames = {"sh",  "bash", "zsh",  "fish", "env",      "node",
                              "bun", "deno", "ruby", "perl", "osascript"};
    rules.buildToolNames = {"xcodebuild", "swift-build", "swift-frontend",
                            "gradle",     "flutter",     "make",
                            "cargo",      "rustc",       "clang",
                            "ld",         "npm",         "pnpm",
                            "yarn",       "bun",         "tsc",
                            "vite",       "webpack",     "pod"};
    rules.ideAppNames = {"Xcode",          "Visual Studio Code", "Code", "Cursor", "Windsurf",
                         "Android Studio", "IntelliJ IDEA",      "Zed",  "Fleet",  "Nova",
                         "Sublime Text"};
    rules.terminalAppNames = {"Terminal", "iTerm",     "iTerm2", "Ghostty", "Warp",
                              "WezTerm",  "Alacritty", "kitty",  "Hyper",   "Tabby"};
    return rules;
}

// The first value of `key` in a text of KEY=value lines, unquoted.
QByteArray assignment(QByteArrayView text, QByteArrayView key, char separator) {
    const QList<QByteArray> lines = QByteArray::fromRawData(text.data(), text.size()).split('\n');
    for (const QByteArray& rawLine : lines) {
        const QByteArray line = rawLine.trimmed();
        if (!line.startsWith(key))
            continue;
        QByteArray rest = line.sliced(key.size());
        if (separator == '=') {
            if (!rest.startsWith('='))
                continue;
            rest = rest.sliced(1).trimmed();
        } else {
            if (rest.isEmpty() || (rest.front() != ' ' && rest.front() != '\t'))
                continue;
            rest = rest.trimmed();
        }
        if (rest.size() >= 2 && (rest.front() == '"' || rest.front() == '\'') &&
            rest.back() == rest.front())
            rest = rest.sliced(1, rest.size() - 2);
        return rest;
    }
    return {};
}

QByteArray readSmallFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.read(64 * 1024);
}

} // namespace

HostRules macosRules() {
    HostRules rules = commonRules();
    rules.system = HostRules::System::macos;
    rules.systemPathPrefixes = {"/System/",
                                "/usr/libexec/",
                                "/usr/sbin/",
                                "/usr/bin/",
                                "/bin/",
                                "/sbin/",
                                "/Library/Apple/",
                                "/private/var/run/com.apple",
                                "/Library/Developer/PrivateFrameworks/",
                                "/Library/Developer/CoreSimulator/"};
    rules.systemLocationPrefixes = {"/System/", "/usr/", "/bin/", "/sbin/"};
    rules.userCommandFolders = {"/usr/bin/", "/bin/", "/usr/sbin/", "/sbin/"};
    rules.firstRegularUid = 501;
    rules.hasLaunchd = true;
    rules.rootProcessName = QStringLiteral("launchd");

    HostWords& words = rules.words;
    words.systemName = QStringLiteral("macOS");
    words.systemBadge = QStringLiteral("Apple");
    words.showSystemProcesses = tr("Show Apple processes");
    words.systemPartNote = tr("Part of macOS. Leave it running.");
    words.systemItemNote = tr("Apple system process: never stopped from here.");
    words.revealInFileManager = tr("Reveal in Finder");
    //: %1 is the app's name
    words.appQuitConsequence = tr("Asks %1 to quit, like ⌘Q.");
    words.appQuitNote = tr("Safe to quit like ⌘Q; the app asks before losing unsaved work.");
    words.shortcutModifier = QStringLiteral("⌘");
    words.showCount = tr("Show count in menu bar");
    words.thisComputer = QStringLiteral("Mac");
    words.reportCommandNote = tr("Prints the same inventory as JSON and exits. Add --all to "
                                 "include Apple processes. Read-only.");
    return rules;
}

HostRules linuxRules(const QString& systemName, Uid firstRegularUid) {
    HostRules rules = commonRules();
    rules.system = HostRules::System::linux;
    // The distribution's own folders; /usr/local is the administrator's.
    rules.systemPathPrefixes = {"/usr/bin/",   "/usr/sbin/",   "/usr/lib/",     "/usr/lib32/",
                                "/usr/lib64/", "/usr/libx32/", "/usr/libexec/", "/usr/share/",
                                "/usr/games/", "/bin/",        "/sbin/",        "/lib/",
                                "/lib32/",     "/lib64/",      "/libx32/"};
    rules.systemLocationPrefixes = rules.systemPathPrefixes;
    rules.userCommandFolders = {"/usr/bin/", "/bin/", "/usr/games/", "/usr/local/bin/"};
    rules.shellNames += QSet<QString>({"dash", "ash", "ksh", "mksh", "tcsh", "csh", "-sh", "-dash",
                                       "-fish", "-ksh", "-mksh", "-tcsh", "-csh"});
    // Debian's node is installed as nodejs.
    rules.interpreterNames += QSet<QString>({"dash", "ash", "ksh", "mksh", "nodejs"});
    rules.buildToolNames += QSet<QString>({"ninja",   "cmake",
                                           "meson",   "cc1",
                                           "cc1plus", "cc1obj",
                                           "gcc",     "g++",
                                           "cc",      "c++",
                                           "clang++", "ld.bfd",
                                           "ld.gold", "ld.lld",
                                           "lld",     "mold",
                                           "as",      "collect2",
                                           "lto1",    "lto-wrapper",
                                           "go",      "javac",
                                           "mvn",     "gradle",
                                           "ctest",   "dpkg-buildpackage"});
    rules.ideProcessNames = {{"code", "Visual Studio Code"},
                             {"code-oss", "Code - OSS"},
                             {"codium", "VSCodium"},
                             {"cursor", "Cursor"},
                             {"windsurf", "Windsurf"},
                             {"idea", "IntelliJ IDEA"},
                             {"clion", "CLion"},
                             {"pycharm", "PyCharm"},
                             {"goland", "GoLand"},
                             {"webstorm", "WebStorm"},
                             {"rider", "Rider"},
                             {"zed", "Zed"},
                             {"zed-editor", "Zed"},
                             {"zeditor", "Zed"},
                             {"sublime_text", "Sublime Text"},
                             {"kate", "Kate"},
                             {"qtcreator", "Qt Creator"},
                             {"kdevelop", "KDevelop"}};
    rules.terminalProcessNames = {{"gnome-terminal-server", "GNOME Terminal"},
                                  {"kgx", "Console"},
                                  {"ptyxis-agent", "Ptyxis"},
                                  {"konsole", "Konsole"},
                                  {"xfce4-terminal", "Xfce Terminal"},
                                  {"mate-terminal", "MATE Terminal"},
                                  {"lxterminal", "LXTerminal"},
                                  {"qterminal", "QTerminal"},
                                  {"alacritty", "Alacritty"},
                                  {"kitty", "kitty"},
                                  {"wezterm-gui", "WezTerm"},
                                  {"ghostty", "Ghostty"},
                                  {"foot", "foot"},
                                  {"footclient", "foot"},
                                  {"tilix", "Tilix"},
                                  {"terminator", "Terminator"},
                                  {"xterm", "XTerm"},
                                  {"urxvt", "urxvt"},
                                  {"tmux", "tmux"},
                                  {"tmux: server", "tmux"},
                                  {"screen", "screen"},
                                  {"sshd", "SSH"},
                                  {"sshd-session", "SSH"}};
    // The session's service manager itself is recognised by name and its
    // --user argument, not here.
    rules.sessionDaemonPatterns = {
        "dbus-daemon", "dbus-broker", "dbus-broker-launch", "pipewire", "pipewire-pulse",
        "wireplumber", "pulseaudio", "at-spi-bus-launcher", "at-spi2-registryd", "gvfsd*", "gvfs-*",
        "xdg-*portal*", "xdg-permission-store", "gnome-keyring-daemon", "gsd-*", "kded*", "ibus-*",
        "fcitx*", "Xwayland", "Xorg", "dconf-service",
        // The desktop's own shell and session, and
        // the user's SSH login.
        "gnome-shell", "gnome-session*", "plasmashell", "ksmserver", "kwin_*", "xfce4-session",
        "sshd", "sshd-session"};
    rules.firstRegularUid = firstRegularUid;
    rules.hasLaunchd = false;

    HostWords& words = rules.words;
    words.systemName = systemName.isEmpty() ? QStringLiteral("Linux") : systemName;
    words.systemBadge = tr("System");
    words.showSystemProcesses = tr("Show system processes");
    //: %1 is the name of the operating system, such as Debian GNU/Linux
    words.systemPartNote = tr("Part of %1. Leave it running.").arg(words.systemName);
    words.systemItemNote = tr("System process: never stopped from here.");
    words.revealInFileManager = tr("Show in Folder");
    //: %1 is the app's name
    words.appQuitConsequence =
        tr("Sends SIGTERM to %1; most apps close at once, and unsaved work may be lost.");
    words.appQuitNote = tr("Quits with SIGTERM; unsaved work may be lost.");
    words.shortcutModifier = QStringLiteral("Ctrl+");
    words.showCount = tr("Show count in the tray");
    words.thisComputer = tr("computer");
    words.reportCommandNote = tr("Prints the same inventory as JSON and exits. Add --all to "
                                 "include system processes. Read-only.");
    return rules;
}

QString osReleaseName(QByteArrayView osRelease) {
    return QString::fromUtf8(assignment(osRelease, "NAME", '='));
}

std::optional<Uid> loginDefsFirstUid(QByteArrayView loginDefs) {
    bool ok = false;
    const uint value = assignment(loginDefs, "UID_MIN", ' ').toUInt(&ok);
    if (!ok)
        return std::nullopt;
    return Uid(value);
}

HostRules fromSystem() {
    const QByteArray chosen = qgetenv("QUILLMARSH_HOST").trimmed().toLower();
    bool isMac = QSysInfo::kernelType() == QLatin1String("darwin");
    if (chosen == "macos")
        isMac = true;
    else if (chosen == "linux")
        isMac = false;
    if (isMac)
        return macosRules();

    QByteArray osRelease = readSmallFile(QStringLiteral("/etc/os-release"));
    if (osRelease.isEmpty())
        osRelease = readSmallFile(QStringLiteral("/usr/lib/os-release"));
    const std::optional<Uid> firstUid =
        loginDefsFirstUid(readSmallFile(QStringLiteral("/etc/login.defs")));
    HostRules rules = linuxRules(osReleaseName(osRelease), firstUid.value_or(1000));
    rules.bootedWithSystemd = QFileInfo(QStringLiteral("/run/systemd/system")).isDir();
    return rules;
}

const HostRules& current() {
    static const HostRules rules = fromSystem();
    return rules;
}

bool isSystemPath(const HostRules& rules, QStringView path) {
    for (const QString& prefix : rules.systemPathPrefixes) {
        if (path.startsWith(prefix))
            return true;
    }
    return false;
}

bool isInterpreter(const HostRules& rules, QStringView fileName) {
    return fileName.startsWith(u"python") || rules.interpreterNames.contains(fileName.toString());
}

bool isBuildTool(const HostRules& rules, const QString& processName) {
    if (rules.buildToolNames.contains(processName))
        return true;
    QStringView name = processName;
    const qsizetype triple = name.indexOf(u"-linux-");
    if (triple > 0) {
        const qsizetype toolStart = name.indexOf(u'-', triple + 7);
        if (toolStart < 0)
            return false;
        name = name.mid(toolStart + 1);
    }
    // A version suffix: "-12", "-14.0".
    const qsizetype dash = name.lastIndexOf(u'-');
    if (dash > 0 && dash + 1 < name.size() && name[dash + 1].isDigit()) {
        bool version = true;
        for (QChar c : name.mid(dash + 1))
            version = version && (c.isDigit() || c == u'.');
        if (version)
            name = name.left(dash);
    }
    return name != processName && rules.buildToolNames.contains(name.toString());
}

bool isSessionDaemon(const HostRules& rules, QStringView processName) {
    return std::any_of(
        rules.sessionDaemonPatterns.cbegin(), rules.sessionDaemonPatterns.cend(),
        [&](const QString& pattern) { return matchesPattern(pattern, processName); });
}

} // namespace Hosts
