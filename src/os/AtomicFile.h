#pragma once

#include <optional>

#include <QString>

// Whole files, read at once or changed atomically (a synced temporary file in
// the same folder, renamed into place); paths keep their bytes (FileNames).
namespace AtomicFile {

// None for what is no regular file (after links), unreadable or over `limit`.
std::optional<QByteArray> read(const QString& path, qsizetype limit);

// Turns the file from `before` into `after`, none meaning no file: creates it
// and missing folders (mode 0700) never replacing a file, replaces its bytes
// keeping its mode (through a link, the target's) or deletes it; leaves alone a
// file that changed meanwhile. An error is a message for people, and no change.
std::optional<QString> change(const QString& path, const std::optional<QByteArray>& before,
                              const std::optional<QByteArray>& after);

} // namespace AtomicFile
