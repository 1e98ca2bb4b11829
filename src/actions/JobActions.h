#pragma once

#include <optional>

#include <QString>

#include "actions/ActionError.h"
#include "launchd/LaunchJob.h"
#include "launchd/SystemTools.h"
#include "os/ProcSnapshot.h"

// The launchd verbs, parking and unparking of user agents, and simulator
// shutdown. Each call blocks while its command runs: call from a worker.
namespace JobActions {

struct Context {
    SystemTools::Locations tools = SystemTools::Locations::standard();
    Uid uid = 0;

    // The real tools and the current user.
    static Context standard();
};

ActionResult bootoutJob(const QString& label, const Context& context);

// Boots a user agent out and moves its definition into the parking folder.
ActionResult disableJob(const LaunchJob& job, const Context& context);

// Moves a parked definition back and loads it again.
ActionResult reenableJob(const LaunchJob& job, const Context& context);

// Clears launchd's own disabled mark.
ActionResult enableJob(const QString& label, const Context& context);

// Kickstarts a job launchd lists; bootstraps any other from its definition.
ActionResult startJob(const LaunchJob& job, bool listedByLaunchd, const Context& context);

// Shuts down one simulator, or every booted one without a device id.
ActionResult shutdownSimulator(const std::optional<QString>& deviceID, const Context& context);

// "Disabled" beside the definition file.
QString parkingFolder(const QString& plistPath);

} // namespace JobActions
