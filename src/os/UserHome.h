#pragma once

#include <QString>

#include "os/ProcSnapshot.h"

// The current user's home folder, and the names of accounts.
namespace UserHome {

// $HOME when it is set and not empty, else the home folder of the user's
// account entry; empty when neither is known. Bytes that are not UTF-8 are
// kept (FileNames).
QString path();

// Sets $HOME from the account entry when it is unset or empty, so that every
// part of the program (and the tools it starts) sees the same home instead of
// "/". Call at start, before any thread exists.
void fillEnvironment();

// The name of the account `uid` ("postgres"), or the uid in decimal when the
// account database has no entry for it.
QString accountName(Uid uid);

} // namespace UserHome
