#pragma once

#include <optional>

#include <QByteArray>
#include <QString>

// Whole-file reads and writes that never show a half-written file: new bytes go
// to a synced temporary file in the same folder, which is renamed into place.
// Paths keep their bytes (FileNames). An error comes back as a message for
// people, and then every file is as it was and no temporary file remains.
namespace AtomicFile {

// Nothing when `path` names no regular file (a link counts as its target),
// cannot be read or holds more than `limit` bytes.
std::optional<QByteArray> read(const QString& path, qsizetype limit);

// Replaces the bytes `before` with `after`, unless the file changed meanwhile,
// keeping its mode. Through a symbolic link the file it points to is replaced.
std::optional<QString> replace(const QString& path, const QByteArray& before,
                               const QByteArray& after);

// Never replaces a file that exists; makes missing folders (mode 0700).
std::optional<QString> create(const QString& path, const QByteArray& bytes);

// Deletes the file when it still holds `bytes`.
std::optional<QString> remove(const QString& path, const QByteArray& bytes);

} // namespace AtomicFile
