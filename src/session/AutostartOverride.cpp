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

// The first line of the group that sets `key`, or none.
const DesktopEntry::Line* lineOf(const Lines& lines, const char* key) {
    const auto line =
        std::find_if(lines.begin(), lines.end(), [&](auto& it) { return it.key == key; });
    return line == lines.end() ? nullptr : &*line;
}

// What hide() writes over a system entry, whose Name= it copies as it is.
QByteArray overrideFile(const Lines& lines) {
    return "# This file switches off the system's autostart entry of the same name; delete it "
           "to switch that entry on again.\n[Desktop Entry]\nType=Application\nName=" +
           (lineOf(lines, "Name") ? lineOf(lines, "Name")->value : QByteArray()) +
           "\nHidden=true\n";
}

} // namespace

std::optional<QString> hide(const SessionJob& entry, const AutostartScanner::Folders& folders) {
    if (entry.hidden || folders.user.isEmpty())
        return tr("%1 is switched off already, or there is no home folder.", entry.name);
    const QString path = folders.user + u'/' + entry.name;
    const std::optional<QByteArray> before = AtomicFile::read(path, DesktopEntry::maxSize);
    const Lines lines = DesktopEntry::groupLines(before.value_or(""));
    if (!before && entry.owner == SessionJob::Owner::system)
        return AtomicFile::change(
            path, std::nullopt,
            overrideFile(DesktopEntry::groupLines(
                AtomicFile::read(entry.file, DesktopEntry::maxSize).value_or(""))));
    if (lines.isEmpty())
        return tr("%1 could not be read as an autostart entry.", path);
    // Before a Hidden= the group has already, since the first one counts. A
    // last line without a line break gets one.
    const qsizetype at =
        lineOf(lines, "Hidden") ? lineOf(lines, "Hidden")->start : lines.last().end;
    const bool unended = at == before->size() && !before->endsWith('\n');
    return AtomicFile::change(
        path, before, QByteArray(*before).insert(at, unended ? "\nHidden=true" : "Hidden=true\n"));
}

std::optional<QString> unhide(const SessionJob& entry, const AutostartScanner::Folders& folders) {
    const QString path = folders.user + u'/' + entry.name;
    const std::optional<QByteArray> before = AtomicFile::read(path, DesktopEntry::maxSize);
    const Lines lines = DesktopEntry::groupLines(before.value_or(""));
    const bool userHides =
        entry.hidden && entry.owner == SessionJob::Owner::user && !lines.isEmpty();
    if (userHides && before == overrideFile(lines))
        return AtomicFile::change(path, before, std::nullopt);
    QByteArray after = before.value_or("");
    // From the end, so that earlier lines stay in place. A last line without a
    // line break goes with the one before it, which hide() added.
    for (auto line = lines.crbegin(); line != lines.crend(); ++line) {
        const bool unended = line->end == before->size() && !before->endsWith('\n');
        if (line->key == "Hidden" && line->value == "true")
            after.remove(line->start - unended, line->end - line->start + unended);
    }
    if (!userHides || after == before)
        return tr("%1 is not switched off by the user's own file.", entry.name);
    return AtomicFile::change(path, before, after);
}

} // namespace AutostartOverride
