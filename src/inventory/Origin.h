#pragma once

#include <optional>

#include <QList>
#include <QString>

#include "os/ProcSnapshot.h"

// Who started an item's primary process.
struct Origin {
    enum class Case {
        launchdJob,   // payload: the job label
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

// `chain` is the parent chain, nearest parent first.
Origin classify(const QList<ProcSnapshot>& chain, const ProcSnapshot& primary,
                const std::optional<QString>& label);

// The describing text, localized.
QString originText(const Origin& origin);

// Started from an agent session, an IDE, a terminal or a shell.
bool isInteractive(const Origin& origin);

bool isPartOfBuild(const ProcSnapshot& primary, const QList<ProcSnapshot>& chain);

} // namespace Origins
