#pragma once

#include <optional>

#include <QList>
#include <QString>
#include <QStringList>

#include "inventory/Origin.h"
#include "launchd/LaunchJob.h"
#include "launchd/SourceWarning.h"
#include "os/ProcSnapshot.h"
#include "session/SessionJob.h"

// One thing that runs (or could run) in the background: an app with its
// helpers, a group of processes, a booted simulator, or a launchd job.
struct BackgroundItem {
    enum class Kind { app, process, simulator, job };
    enum class State { running, notRunning, disabled };

    QString id;
    QString name;
    QString explanation;
    Kind kind = Kind::process;
    State state = State::running;
    std::optional<ProcSnapshot> primary;
    QList<ProcSnapshot> members;
    quint64 memory = 0;
    std::optional<double> cpuPercent;
    std::optional<LaunchJob> job;
    std::optional<QString> launchLabel;
    std::optional<qint64> lastExitStatus;
    QList<int> ports;
    Origin origin;
    QStringList ancestry;
    bool isApple = false;
    bool isLoginItem = false;
    bool isDisabledInLaunchd = false;
    // launchd could not say whether this job is loaded or disabled, so it is
    // neither presented as auto-starting nor as stopped.
    bool launchdStateUnknown = false;
    bool isPartOfBuild = false;
    std::optional<QString> appBundlePath;
    // The systemd user unit or autostart entry the item stands for, and what
    // the user's service manager says of that unit. The manager's state is
    // unknown when it could not be asked.
    std::optional<SessionJob> sessionJob;
    std::optional<UnitState> unitState;
    bool unitStateUnknown = false;
    // The entry starts this very program ("Launch at login"), which runs now
    // but is never an item of its own.
    bool isThisApp = false;

    bool operator==(const BackgroundItem&) const = default;
};

struct Inventory {
    QList<BackgroundItem> running;
    QList<BackgroundItem> notRunning;
    Timestamp sampledAt = 0;
    // The sources that could not be read in this pass.
    QList<SourceWarning> warnings;

    bool operator==(const Inventory&) const = default;
};

// What stopping an item does.
struct SafetyNote {
    QString text;
    bool isWarning = false;

    bool operator==(const SafetyNote&) const = default;
};

// The status of an item that is not running.
struct StatusLine {
    QString status;
    QString detail;

    bool operator==(const StatusLine&) const = default;
};

// Values derived from an item; `uid` is the current user's id.
namespace Items {

std::optional<QString> executablePath(const BackgroundItem& item);
QString commandLine(const BackgroundItem& item);
std::optional<QString> simulatorDeviceID(const BackgroundItem& item);
bool hasLaunchdJob(const BackgroundItem& item);
std::optional<QString> controllableLabel(const BackgroundItem& item);
bool autoStarts(const BackgroundItem& item);
bool canStop(const BackgroundItem& item, Uid uid);
bool canDisable(const BackgroundItem& item);
// Switched off by a step the user can undo: a parked plist, a user mask, a
// hidden entry, a unit of the user's that is not enabled.
bool canReenable(const BackgroundItem& item);
bool isDevServer(const BackgroundItem& item);
QString searchText(const BackgroundItem& item);
std::optional<SafetyNote> safetyNote(const BackgroundItem& item, Uid uid);
StatusLine statusLine(const BackgroundItem& item);

} // namespace Items
