#pragma once

#include <chrono>

#include <QString>
#include <QStringList>

#include "os/CommandResult.h"
#include "os/CommandRunner.h"
#include "os/ProcSnapshot.h"

// Every invocation of the system tools, in one place.
namespace SystemTools {

// Where the tools live. QUILLMARSH_TOOLS_DIR, when set, names a folder that
// holds stand-ins named launchctl, sfltool and xcrun instead.
struct Locations {
    QString launchctl = QStringLiteral("/bin/launchctl");
    QString sfltool = QStringLiteral("/usr/bin/sfltool");
    QString xcrun = QStringLiteral("/usr/bin/xcrun");

    static Locations standard();
};

struct Invocation {
    QString executable;
    QStringList arguments;
    std::chrono::milliseconds timeout{0};
    // The most standard output the caller accepts; a tool that writes more is
    // stopped and its run fails.
    qsizetype outputLimit = 64 * 1024;

    bool operator==(const Invocation&) const = default;
};

QString guiDomain(Uid uid);
QString serviceTarget(Uid uid, const QString& label);

Invocation launchctlList(const Locations& tools);
Invocation printDisabled(const Locations& tools, Uid uid);
Invocation bootout(const Locations& tools, Uid uid, const QString& label);
Invocation bootstrap(const Locations& tools, Uid uid, const QString& plistPath);
Invocation enable(const Locations& tools, Uid uid, const QString& label);
Invocation kickstart(const Locations& tools, Uid uid, const QString& label);
Invocation dumpLoginItems(const Locations& tools);
Invocation shutdownSimulator(const Locations& tools, const QString& deviceOrAll);

// A requested `stop` ends the run early (status -4).
CommandResult run(const Invocation& invocation, const CommandRunner::Stop* stop = nullptr);

} // namespace SystemTools
