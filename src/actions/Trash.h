#pragma once

#include <QString>

#include "actions/ActionError.h"

namespace Trash {

// Moves a file to the user's Trash. Fails with the file system's message, or
// with a clear one when the file did not arrive where the Trash keeps files.
ActionResult moveToTrash(const QString& path);

} // namespace Trash
