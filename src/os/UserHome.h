#pragma once

#include <QString>

// The current user's home folder.
namespace UserHome {

// $HOME when it is set and not empty, else the home folder of the user's
// account entry; empty when neither is known. Bytes that are not UTF-8 are
// kept (FileNames).
QString path();

// Sets $HOME from the account entry when it is unset or empty, so that every
// part of the program (and the tools it starts) sees the same home instead of
// "/". Call at start, before any thread exists.
void fillEnvironment();

} // namespace UserHome
