#pragma once

#include <optional>

#include <QList>
#include <QString>

#include "os/HostRules.h"
#include "os/ProcSnapshot.h"

// Who started an item's primary process.
struct Origin {
    enum class Case {
        launchdJob,   // payload: the job label
        userService,  // payload: the systemd user unit
        autostart,    // payload: the autostart entry's file name
        appHelper,    // payload: the app's name
        agentSession, // payload: the tool; folder: the session's working directory
        ide,          // payload: the IDE's name
        terminal,     // payload: the terminal's name
        app,
        shell,
        detached,
        unknown,
    };

    Case kind = Case::unknown;
    QString payload;
    std::optional<QString> folder;

    bool operator==(const Origin&) const = default;
};

// Who started a process, judged from its parent chain.
namespace Origins {

// The coding-agent tool ("Claude", "Codex") a process is a session of.
std::optional<QString> agentTool(const ProcSnapshot& process);

// The outermost app bundle a helper executable belongs to.
std::optional<QString> appBundle(const QString& path);

// The name of the app bundle a path lies in, without ".app".
std::optional<QString> appName(const QString& path);

// A user's service manager (`systemd --user`), which adopts the orphans of its
// session on desktops: a process named "systemd" other than pid 1 with "--user"
// among its arguments, or with no arguments read (another user's).
bool isSessionManager(const ProcSnapshot& process);

// The part of the parent chain (nearest parent first) that tells who started
// `primary`: up to, not including, the first parent that is a service manager
// of the same user as its child. Such a manager stands for pid 1 here, so what
// it adopted or started reads as detached, as under pid 1 itself.
QList<ProcSnapshot> startingChain(const QList<ProcSnapshot>& chain, const ProcSnapshot& primary);

// `chain` is the parent chain, nearest parent first. Terminals and IDEs are
// known by app bundle and, under the rules that list them, by process name.
Origin classify(const QList<ProcSnapshot>& chain, const ProcSnapshot& primary,
                const std::optional<QString>& label, const HostRules& rules);

// The describing text, localized.
QString originText(const Origin& origin);

// Started from an agent session, an IDE, a terminal or a shell.
bool isInteractive(const Origin& origin);

// A shell waiting for its user: a shell name whose arguments after the first
// hold no script and no -c (`bash x.sh` and `sh -c …` run the user's commands).
bool isInteractiveShell(const ProcSnapshot& process, const HostRules& rules);

bool isPartOfBuild(const ProcSnapshot& primary, const QList<ProcSnapshot>& chain,
                   const HostRules& rules);

} // namespace Origins
