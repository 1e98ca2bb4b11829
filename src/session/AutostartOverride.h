#pragma once

#include "session/AutostartScanner.h"

// Switching an autostart entry off and on again for the user alone, without
// root: Hidden=true in the user's file of the entry's name. A file the user
// wrote gains or loses that one line and keeps every other byte. A call that
// could not do its work gives a message for people and changed nothing.
namespace AutostartOverride {

// Adds the line, or creates a small file that hides the system entry.
std::optional<QString> hide(const SessionJob& entry, const AutostartScanner::Folders& folders);

// Removes the line, or the whole file when it is exactly the one hide() makes.
std::optional<QString> unhide(const SessionJob& entry, const AutostartScanner::Folders& folders);

} // namespace AutostartOverride
