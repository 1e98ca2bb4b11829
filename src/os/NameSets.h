#pragma once

#include <QSet>
#include <QString>

// The fixed name sets the inventory's naming rules share on every system (the
// sets that differ between systems live in HostRules). Built once; all
// comparisons are exact and case-sensitive.
namespace NameSets {

const QSet<QString>& genericScriptNames();
const QSet<QString>& labelNoiseComponents();

} // namespace NameSets
