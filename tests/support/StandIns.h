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
// every child uses them; one instance at a time. Destruction kills the jobs
// the stand-ins started and restores the environment.
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
    QProcessEnvironment environment() const;

    void addJob(const QString& label, std::optional<Pid> pid = std::nullopt,
                std::optional<qint64> status = 0);
    void setDisabled(const QString& label, bool disabled = true);
    // `verb` (bootout, enable, dumpbtm, simctl, ...) waits, prints and fails.
    void failVerb(const QString& verb, int status, const QString& message,
                  const QString& output = {}, double delaySeconds = 0);
    void setLoginItemsDump(const QByteArray& text, int status = 0);
    static bool writePlist(const QString& path, const QString& label, const QStringList& program,
                           bool runAtLoad = true, const QString& extraXml = {});

    // The pid the job table holds for a label, alive or not.
    std::optional<Pid> jobPid(const QString& label) const;
    // The invocations so far (the tool's name, then its arguments) that start with `prefix`.
    int callCount(const QStringList& prefix) const;

    // Running, not a zombie.
    static bool isAlive(Pid pid);
    static bool waitGone(Pid pid, std::chrono::milliseconds timeout);

private:
    // The state, after setting state[section][key] (or state[key]) if a key is given.
    QJsonObject update(const QString& section = {}, const QString& key = {},
                       const QJsonValue& value = {}) const;

    QTemporaryDir folder_;
};
