#pragma once

#include <optional>

#include <QMap>
#include <QStringList>

// Desktop entry files: "key=value" lines under "[Group]" headers, '#'
// comments. Only the [Desktop Entry] group is read, and only unlocalized keys.
namespace DesktopEntry {

// A larger file is no entry.
inline constexpr qsizetype maxSize = 1 << 20;

struct Entry {
    // With \s \n \t \r \\ decoded, bytes kept (FileNames); a key's first line wins.
    QMap<QString, QString> values;

    bool operator==(const Entry&) const = default;
};

// Where a line stands (line break included), its key and raw value, trimmed.
struct Line {
    qsizetype start = 0;
    qsizetype end = 0;
    QByteArray key;
    QByteArray value;
};

// The lines of the first [Desktop Entry] group, header first; none without one.
QList<Line> groupLines(const QByteArray& bytes);

Entry parse(const QByteArray& bytes);
// Nothing when the file is no regular file, cannot be read or is too large.
std::optional<Entry> read(const QString& path);

// True for "true", false for "false", nothing for other values or none.
std::optional<bool> boolValue(const Entry& entry, const QString& key);

// Exec= as arguments: "quoted" with \" \` \$ \\ escapes, "%%" as '%', field
// codes removed (with the argument when that was all it held).
QStringList execArguments(const QString& exec);

} // namespace DesktopEntry
