#pragma once

#include <chrono>
#include <optional>

#include <QJsonObject>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTemporaryDir>

#include "launchd/SystemTools.h"
#include "os/ProcSnapshot.h"

// The stand-in system tools (tests/support/standins) with a private state
// folder. While an instance lives, QUILLMARSH_TOOLS_DIR and
// QUILLMARSH_STANDIN_STATE point at them in this process's environment, so
// every child (the runner's tools, the quillmarsh binary) uses them. One
// instance at a time per process. Destruction kills the jobs the stand-ins
// started, restores the environment and removes the folder.
class StandIns {
public:
    StandIns();
    ~StandIns();
    StandIns(const StandIns&) = delete;
    StandIns& operator=(const StandIns&) = delete;

    bool isValid() const { return folder_.isValid(); }
    QString stateDir() const { return folder_.path(); }
    static QString toolsDir();
    SystemTools::Locations locations() const;
    // The system environment plus the two variables, for QProcess children.
    QProcessEnvironment environment() const;

    // A loaded job: `pid` is listed while that process lives; `status` absent
    // prints an empty status column.
    void addJob(const QString& label, std::optional<Pid> pid = std::nullopt,
                std::optional<qint64> status = 0);
    void setDisabled(const QString& label, bool disabled = true);
    // Makes `verb` (list, print-disabled, bootstrap, bootout, enable, disable,
    // kickstart, dumpbtm, simctl) wait `delaySeconds`, print `output` and
    // `message` and exit with `status` instead of doing its work.
    void failVerb(const QString& verb, int status, const QString& message,
                  const QString& output = {}, double delaySeconds = 0);
    void setLoginItemsDump(const QByteArray& text, int status = 0);

    // Writes a launchd job definition (XML plist): the label, the program and
    // its arguments, RunAtLoad, and `extraXml` (keys and values) as given.
    static bool writePlist(const QString& path, const QString& label, const QStringList& program,
                           bool runAtLoad = true, const QString& extraXml = {});

    // The pid the job table holds for a label, alive or not.
    std::optional<Pid> jobPid(const QString& label) const;
    // Every invocation so far: the tool's name, then its arguments.
    QList<QStringList> calls() const;
    // Invocations whose tool and first arguments equal `prefix`.
    int callCount(const QStringList& prefix) const;

    // Running, not a zombie.
    static bool isAlive(Pid pid);
    // Waits on a process descriptor until `pid` has ended.
    static bool waitGone(Pid pid, std::chrono::milliseconds timeout);

private:
    QJsonObject update(const QString& section = {}, const QString& key = {},
                       const QJsonValue& value = {}) const;

    QTemporaryDir folder_;
    std::optional<QByteArray> previousTools_;
    std::optional<QByteArray> previousState_;
};
