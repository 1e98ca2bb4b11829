#include "sampling/SessionReads.h"

#include <algorithm>

#include <QSet>

#include "session/Cgroups.h"
#include "session/UserManager.h"

namespace SessionReads {

Units withStates(QList<SessionJob> units, const Sources& sources, bool bootedWithSystemd,
                 bool mainPids) {
    Units result;
    if (units.isEmpty())
        return result;
    QSet<QString> wanted;
    for (const SessionJob& unit : units)
        wanted.insert(unit.name);
    const QDBusConnection bus = sources.bus();
    UserManager::Reading reading = UserManager::readStates(bus, wanted, mainPids);
    if (reading.error) {
        // Nothing runs these units here: say nothing of them.
        if (!bootedWithSystemd && !UserManager::isAvailable(bus))
            return result;
        result.warning = SourceWarning{SourceWarning::Source::userManager, 0, *reading.error};
    }
    result.units = std::move(units);
    result.states = std::move(reading.states);
    return result;
}

bool cgroupsTellUnits(const ProcessTable& processes) {
    return std::any_of(processes.begin(), processes.end(), [](const auto& entry) {
        return entry.second.cgroup && Cgroups::userUnitOf(*entry.second.cgroup);
    });
}

} // namespace SessionReads
