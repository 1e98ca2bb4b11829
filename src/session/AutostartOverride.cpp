#include "session/AutostartOverride.h"

#include <algorithm>

#include <QCoreApplication>

#include "os/AtomicFile.h"
#include "os/FileNames.h"
#include "session/DesktopEntry.h"

namespace AutostartOverride {

namespace {

using Lines = QList<DesktopEntry::Line>;

QString tr(const char* text, const QString& name) {
    return QCoreApplication::translate("AutostartOverride", text).arg(FileNames::displayText(name));
}

// The file that hide() writes over a system entry whose Name= is `name`, as written there.
QByteArray overrideFile(const QByteArray& name) {
    return "# This file switches off the system's autostart entry of the same name; delete it "
           "to switch that entry on again.\n[Desktop Entry]\nType=Application\nName=" +
           name + "\nHidden=true\n";
}

QByteArray rawValue(const Lines& lines, const char* key) {
    const auto line = std::find_if(lines.begin(), lines.end(),
                                   [&](const DesktopEntry::Line& l) { return l.key == key; });
    return line == lines.end() ? QByteArray() : line->value;
}

// The line break after the group header, which an added line ends with.
QByteArray lineBreak(const QByteArray& bytes, const Lines& lines) {
    return bytes.first(lines.first().end).endsWith("\r\n") ? "\r\n" : "\n";
}

} // namespace

std::optional<QString> hide(const SessionJob& entry, const AutostartScanner::Folders& folders) {
    if (entry.hidden || folders.user.isEmpty())
        return tr("%1 is switched off already, or there is no home folder.", entry.name);
    const QString path = folders.user + u'/' + entry.name;
    const std::optional<QByteArray> before = AtomicFile::read(path, DesktopEntry::maxSize);
    if (!before && entry.owner == SessionJob::Owner::system) {
        const std::optional<QByteArray> system =
            AtomicFile::read(entry.file, DesktopEntry::maxSize);
        return AtomicFile::create(
            path, overrideFile(rawValue(DesktopEntry::groupLines(system.value_or("")), "Name")));
    }
    const Lines lines = DesktopEntry::groupLines(before.value_or(""));
    if (lines.isEmpty())
        return tr("%1 could not be read as an autostart entry.", path);
    // Before a Hidden key the group has already, since the first one counts.
    const auto hiddenKey =
        std::find_if(lines.begin(), lines.end(),
                     [](const DesktopEntry::Line& line) { return line.key == "Hidden"; });
    const qsizetype at = hiddenKey == lines.end() ? lines.last().end : hiddenKey->start;
    QByteArray after = *before;
    if (at == after.size() && !after.endsWith('\n'))
        after.append(lineBreak(after, lines) + "Hidden=true");
    else
        after.insert(at, "Hidden=true" + lineBreak(after, lines));
    return AtomicFile::replace(path, *before, after);
}

std::optional<QString> unhide(const SessionJob& entry, const AutostartScanner::Folders& folders) {
    if (!entry.hidden || entry.owner != SessionJob::Owner::user)
        return tr("%1 is not switched off by the user.", entry.name);
    const QString path = folders.user + u'/' + entry.name;
    const std::optional<QByteArray> before = AtomicFile::read(path, DesktopEntry::maxSize);
    const Lines lines = DesktopEntry::groupLines(before.value_or(""));
    if (lines.isEmpty())
        return tr("%1 could not be read as an autostart entry.", path);
    if (*before == overrideFile(rawValue(lines, "Name")))
        return AtomicFile::remove(path, *before);
    QByteArray after = *before;
    // From the end, so that the earlier lines stay where they are.
    for (auto line = lines.crbegin(); line != lines.crend(); ++line) {
        if (line->key != "Hidden" || line->value != "true")
            continue;
        // A last line without a break goes with the break before it, as hide() added it.
        const QByteArray added = lineBreak(*before, lines);
        const bool last = line->end == before->size() && !before->endsWith('\n');
        const qsizetype start =
            line->start - (!last                                        ? 0
                           : before->first(line->start).endsWith(added) ? added.size()
                                                                        : 1);
        after.remove(start, line->end - start);
    }
    if (after == *before)
        return tr("%1 is not switched off by the user.", entry.name);
    return AtomicFile::replace(path, *before, after);
}

} // namespace AutostartOverride
