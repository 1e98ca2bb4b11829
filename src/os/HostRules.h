#pragma once

#include <optional>

#include <QByteArrayView>
#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QStringView>

#include "os/ProcSnapshot.h"

// The words of the window and the texts that name the operating system or its
// parts. Translated when the rules are made, so the translator (plural forms
// included) must be installed before the first use of Hosts::current().
struct HostWords {
    QString systemName;          // "macOS", or NAME of /etc/os-release
    QString systemBadge;         // the badge of an item that is part of the system
    QString showSystemProcesses; // the toggle that shows those items
    QString systemPartNote;      // what stopping such an item means
    QString systemItemNote;      // the action bar's note on such an item
    QString revealInFileManager; // the button that shows a file in its folder
    QString appQuitConsequence;  // %1: the app's name
    QString appQuitNote;         // the safety note of an app
    QString shortcutModifier;    // "⌘" or "Ctrl+", put before a key
    QString showCount;           // the toggle of the count beside the icon
    QString thisComputer;        // "Mac" or "computer", as in "keeps this Mac on ..."
    QString reportCommandNote;   // what the report command prints, and what --all adds

    bool operator==(const HostWords&) const = default;
};

// Everything the inventory, the texts and the actions take from the operating
// system they run on. Two sets exist: the macOS rules and the Linux rules; the
// running system chooses, QUILLMARSH_HOST ("macos" or "linux") overrides.
struct HostRules {
    enum class System { macos, linux };

    System system = System::macos;
    HostWords words;

    // Paths of the operating system's own programs.
    QStringList systemPathPrefixes;
    // Paths that locationText names after the operating system.
    QStringList systemLocationPrefixes;
    // Folders from which a detached command of the user is still the user's.
    QStringList userCommandFolders;

    QSet<QString> shellNames;
    QSet<QString> interpreterNames;
    QSet<QString> buildToolNames;
    // Compared with app bundle names ("Visual Studio Code").
    QSet<QString> ideAppNames;
    QSet<QString> terminalAppNames;
    // Process names to the name shown ("gnome-terminal-server" -> "GNOME Terminal").
    QHash<QString, QString> ideProcessNames;
    QHash<QString, QString> terminalProcessNames;
    // The user's desktop-session plumbing, by process name; "*" matches any run
    // of characters.
    QStringList sessionDaemonPatterns;

    // The uids of regular (human) accounts; outside them, system accounts
    // (nobody is 65534 on Linux).
    Uid firstRegularUid = 501;
    Uid lastRegularUid = 60000;
    // Whether launchd, launchctl, sfltool and xcrun exist here.
    bool hasLaunchd = true;
    // Whether the system was booted with systemd, so that a user manager runs
    // the user's units (/run/systemd/system exists). Without it, and without a
    // manager on the session bus, the units on disk never run.
    bool bootedWithSystemd = false;
    // The name an ancestry starts with; empty: the sampled name of pid 1.
    QString rootProcessName;

    bool operator==(const HostRules&) const = default;
};

namespace Hosts {

// The macOS rules, as the product was first specified.
HostRules macosRules();

// The Linux rules; `systemName` is NAME of /etc/os-release, `firstRegularUid`
// UID_MIN of /etc/login.defs.
HostRules linuxRules(const QString& systemName = QStringLiteral("Linux"),
                     Uid firstRegularUid = 1000);

// The rules of the running system, or of QUILLMARSH_HOST when it is set to
// "macos" or "linux". Read from /etc/os-release and /etc/login.defs.
HostRules fromSystem();

// The rules this process runs under: fromSystem(), made on first use.
const HostRules& current();

// NAME of an os-release text; empty when absent.
QString osReleaseName(QByteArrayView osRelease);
// UID_MIN of a login.defs text; none when absent or not a number.
std::optional<Uid> loginDefsFirstUid(QByteArrayView loginDefs);

bool isSystemPath(const HostRules& rules, QStringView path);
// In interpreterNames, or starting with "python".
bool isInterpreter(const HostRules& rules, QStringView fileName);
// In buildToolNames, also when installed under a target triple and a version
// (Debian's g++ runs as x86_64-linux-gnu-g++-12).
bool isBuildTool(const HostRules& rules, const QString& processName);
bool isSessionDaemon(const HostRules& rules, QStringView processName);

} // namespace Hosts
