#pragma once

#include <optional>

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

// Desktop entry files: "key=value" lines under "[Group]" headers, '#'
// comments. Only the [Desktop Entry] group is read, and only unlocalized keys.
namespace DesktopEntry {

// A larger file is no entry.
inline constexpr qsizetype maxSize = 1 << 20;

struct Entry {
    // Values with their escapes (\s \n \t \r \\) decoded; the first occurrence
    // of a key wins. Bytes that are not UTF-8 are kept (FileNames).
    QMap<QString, QString> values;

    bool operator==(const Entry&) const = default;
};

// A line of the group where it stands in the file (line break included), with
// its key and raw value trimmed: empty for the header, comments and the like.
struct Line {
    qsizetype start = 0;
    qsizetype end = 0;
    QByteArray key;
    QByteArray value;
};

// The lines of the first [Desktop Entry] group, header first; none without one.
QList<Line> groupLines(QByteArrayView bytes);

std::optional<Entry> parse(QByteArrayView bytes);
// Nothing when the file is no regular file, cannot be read or is too large.
std::optional<Entry> read(const QString& path);

// True for "true", false for "false", nothing for other values or none.
std::optional<bool> boolValue(const Entry& entry, const QString& key);

// The argument vector of an Exec= value: double-quoted arguments with \" \`
// \$ \\ escapes; field codes removed (an argument that was only a field code
// disappears), "%%" read as '%'.
QStringList execArguments(const QString& exec);

} // namespace DesktopEntry
