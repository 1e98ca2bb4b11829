#pragma once

#include <chrono>
#include <functional>
#include <optional>

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include "launchd/SystemTools.h"
#include "os/ProcSnapshot.h"

// The stand-in system tools (tests/support/standins) with a private state
// folder. While an instance lives, QUILLMARSH_TOOLS_DIR and
// QUILLMARSH_STANDIN_STATE point at the stand-ins and that folder in this
// process's environment, so every child (the runner's tools, the quillmarsh
// binary) uses them. One instance at a time per process.
//
// Destruction stops every process the stand-ins started (jobs and their
// watchers), restores the environment and removes the folder.
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

    // Fixtures, written under the stand-ins' own lock.

    // A loaded job; `pid` is listed while a process with that pid lives;
    // `status` absent prints an empty status column.
    void addJob(const QString& label, std::optional<Pid> pid = std::nullopt,
                std::optional<qint64> status = 0);
    void setDisabled(const QString& label, bool disabled = true);
    // Makes `verb` (list, print-disabled, bootstrap, bootout, enable, disable,
    // kickstart, dumpbtm, simctl) answer with this instead of doing its work.
    void failVerb(const QString& verb, int status, const QString& message,
                  const QString& output = {}, double delaySeconds = 0);
    void setLoginItemsDump(const QByteArray& text, int status = 0);
    void setSimctlStatus(int status);
    void setLegacyDisabledStyle(bool legacy);

    // Writes a launchd job definition (XML plist) to `path`: the label, the
    // program and its arguments, RunAtLoad, and `extraXml` (keys and values)
    // as given. False when the file cannot be written.
    static bool writePlist(const QString& path, const QString& label, const QStringList& program,
                           bool runAtLoad = true, const QString& extraXml = {});

    // Reading back.
    QJsonObject state() const;
    // The pid the job table holds for a label, if any (alive or not).
    std::optional<Pid> jobPid(const QString& label) const;
    // Every invocation so far: the tool's name, then its arguments.
    QList<QStringList> calls() const;
    // Invocations whose tool and first arguments equal `prefix`.
    int callCount(const QStringList& prefix) const;

    // Process helpers for tests of started jobs.
    static bool isAlive(Pid pid);
    // Waits (on a process descriptor, no polling) until `pid` has ended.
    static bool waitGone(Pid pid, std::chrono::milliseconds timeout);
    static std::optional<Pid> parentOf(Pid pid);
    static std::optional<Pid> sessionOf(Pid pid);

private:
    void update(const std::function<void(QJsonObject&)>& change);
    void stopStartedProcesses();

    QTemporaryDir folder_;
    std::optional<QByteArray> previousTools_;
    std::optional<QByteArray> previousState_;
};
