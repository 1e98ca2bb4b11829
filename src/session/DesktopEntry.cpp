#include "session/DesktopEntry.h"

#include "os/AtomicFile.h"
#include "os/FileNames.h"

namespace DesktopEntry {

namespace {

// An unknown escape stays as it is: Exec= has its own.
QByteArray unescaped(const QByteArray& raw) {
    QByteArray text;
    for (qsizetype i = 0; i < raw.size(); ++i) {
        const qsizetype code = raw[i] == '\\' && i + 1 < raw.size()
                                   ? QByteArrayView("sntr\\").indexOf(raw[i + 1])
                                   : -1;
        text += code < 0 ? raw[i] : " \n\t\r\\"[code];
        i += code < 0 ? 0 : 1;
    }
    return text;
}

} // namespace

QList<Line> groupLines(const QByteArray& bytes) {
    QList<Line> lines;
    for (qsizetype start = 0, end = 0; start < bytes.size(); start = end) {
        end = bytes.indexOf('\n', start) + 1;
        end = end > 0 ? end : bytes.size();
        const QByteArray text = bytes.sliced(start, end - start).trimmed();
        const bool header = text.startsWith('[');
        if (header && !lines.isEmpty())
            break;
        if (header ? text != "[Desktop Entry]" : lines.isEmpty())
            continue;
        const qsizetype equals = header || text.startsWith('#') ? -1 : text.indexOf('=');
        lines.append({start, end, equals > 0 ? text.first(equals).trimmed() : "",
                      equals > 0 ? text.sliced(equals + 1).trimmed() : ""});
    }
    return lines;
}

Entry parse(const QByteArray& bytes) {
    Entry entry;
    for (const Line& line : groupLines(bytes)) {
        const QString key = FileNames::decode(line.key);
        if (!key.isEmpty() && !key.contains(u'[') && !entry.values.contains(key))
            entry.values.insert(key, FileNames::decode(unescaped(line.value)));
    }
    return entry;
}

std::optional<Entry> read(const QString& path) {
    const std::optional<QByteArray> bytes = AtomicFile::read(path, maxSize);
    return bytes ? std::optional(parse(*bytes)) : std::nullopt;
}

std::optional<bool> boolValue(const Entry& entry, const QString& key) {
    const QString value = entry.values.value(key);
    return value == u"true" || value == u"false" ? std::optional(value == u"true") : std::nullopt;
}

QStringList execArguments(const QString& exec) {
    QStringList arguments;
    // None until it holds more than field codes: text, quotes or "%%".
    std::optional<QString> argument;
    bool quoted = false;
    for (qsizetype i = 0; i < exec.size(); ++i) {
        const QChar c = exec[i];
        const QChar next = i + 1 < exec.size() ? exec[i + 1] : QChar();
        if (c == u'%' && QStringView(u"fFuUickdDnNvm%").contains(next)) {
            if (exec[++i] == u'%')
                argument = argument.value_or(QString()) + next;
        } else if (quoted && c == u'\\' && QStringView(u"\"`$\\").contains(next)) {
            *argument += exec[++i];
        } else if (quoted || (c != u' ' && c != u'\t' && c != u'\n')) {
            argument = argument.value_or(QString()) + (c == u'"' ? QString() : QString(c));
            quoted = quoted != (c == u'"');
        } else if (argument) {
            arguments.append(*argument);
            argument.reset();
        }
    }
    if (argument)
        arguments.append(*argument);
    return arguments;
}

} // namespace DesktopEntry
