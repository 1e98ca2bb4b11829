#include "session/DesktopEntry.h"

#include <string_view>

#include "os/AtomicFile.h"
#include "os/FileNames.h"

namespace DesktopEntry {

namespace {

QByteArrayView trimmed(QByteArrayView text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text = text.sliced(1);
    while (!text.empty() && std::string_view(" \t\r\n").find(text.back()) != std::string_view::npos)
        text.chop(1);
    return text;
}

// An unknown escape stays as it is: Exec= has its own.
QByteArray unescaped(QByteArrayView raw) {
    QByteArray text;
    for (qsizetype i = 0; i < raw.size(); ++i) {
        const size_t code = raw[i] == '\\' && i + 1 < raw.size()
                                ? std::string_view("sntr\\").find(raw[i + 1])
                                : std::string_view::npos;
        text += code == std::string_view::npos ? raw[i] : " \n\t\r\\"[code];
        i += code == std::string_view::npos ? 0 : 1;
    }
    return text;
}

} // namespace

QList<Line> groupLines(QByteArrayView bytes) {
    QList<Line> lines;
    for (qsizetype start = 0, end = 0; start < bytes.size(); start = end) {
        end = bytes.indexOf('\n', start) + 1;
        end = end > 0 ? end : bytes.size();
        const QByteArrayView text = trimmed(bytes.sliced(start, end - start));
        const bool header = text.startsWith('[');
        if (header && !lines.isEmpty())
            break;
        if (header ? text != "[Desktop Entry]" : lines.isEmpty())
            continue;
        const qsizetype equals = header || text.startsWith('#') ? -1 : text.indexOf('=');
        lines.append({start, end, equals > 0 ? trimmed(text.first(equals)).toByteArray() : "",
                      equals > 0 ? trimmed(text.sliced(equals + 1)).toByteArray() : ""});
    }
    return lines;
}

std::optional<Entry> parse(QByteArrayView bytes) {
    if (bytes.size() > maxSize)
        return std::nullopt;
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
    return bytes ? parse(*bytes) : std::nullopt;
}

std::optional<bool> boolValue(const Entry& entry, const QString& key) {
    const QString value = entry.values.value(key);
    if (value != u"true" && value != u"false")
        return std::nullopt;
    return value == u"true";
}

QStringList execArguments(const QString& exec) {
    QStringList arguments;
    QString argument;
    // The argument holds more than field codes: text, quotes or "%%".
    bool started = false;
    bool quoted = false;
    for (qsizetype i = 0; i < exec.size(); ++i) {
        const QChar c = exec[i];
        const QChar next = i + 1 < exec.size() ? exec[i + 1] : QChar();
        if (c == u'%' && QStringView(u"fFuUickdDnNvm%").contains(next)) {
            argument += next == u'%' ? QString(next) : QString();
            started = started || next == u'%';
            ++i;
        } else if (quoted && c == u'\\' && QStringView(u"\"`$\\").contains(next)) {
            argument += exec[++i];
        } else if (quoted || (c != u' ' && c != u'\t' && c != u'\n')) {
            started = true;
            quoted = quoted != (c == u'"');
            argument += c == u'"' ? QString() : QString(c);
        } else if (started) {
            arguments.append(argument);
            argument.clear();
            started = false;
        }
    }
    if (started)
        arguments.append(argument);
    return arguments;
}

} // namespace DesktopEntry
