#include "session/UnitFile.h"

#include <algorithm>
#include <cctype>
#include <utility>

#include "os/FileNames.h"

namespace UnitFile {

namespace {

void assign(QList<Assignment>& result, QString& section, QByteArrayView text) {
    if (text.startsWith('[')) {
        const bool valid = text.size() > 2 && text.endsWith(']');
        section = valid ? QString::fromUtf8(text.sliced(1, text.size() - 2)) : QString();
        return;
    }
    const qsizetype equals = text.indexOf('=');
    if (!section.isEmpty() && equals > 0)
        result.append({section, QString::fromUtf8(text.first(equals).trimmed()),
                       QString::fromUtf8(text.sliced(equals + 1).trimmed())});
}

bool isHex(char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

} // namespace

QList<Assignment> parse(QByteArrayView bytes) {
    if (bytes.startsWith("\xEF\xBB\xBF"))
        bytes = bytes.sliced(3);
    QList<Assignment> result;
    QString section;
    QByteArray logical; // a line continued by a trailing backslash, so far
    for (QByteArray line : bytes.toByteArray().split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.trimmed().startsWith('#') || line.trimmed().startsWith(';'))
            continue;
        // An escaped backslash at the end does not continue the line.
        const auto end = std::find_if(line.rbegin(), line.rend(), [](char c) { return c != '\\'; });
        if ((end - line.rbegin()) % 2 == 1) {
            logical.append(line.chopped(1)).append(' ');
            continue;
        }
        assign(result, section, QByteArrayView(logical.append(line)).trimmed());
        logical.clear();
    }
    assign(result, section, QByteArrayView(logical).trimmed());
    return result;
}

QString expandSpecifiers(const QString& value, const QString& home) {
    QStringList parts = value.split(QStringLiteral("%%"));
    for (QString& part : parts)
        part.replace(QStringLiteral("%h"), home);
    return parts.join(u'%');
}

QStringList splitCommand(const QString& value, const QString& home) {
    const QByteArray text = FileNames::encode(expandSpecifiers(value, home));
    QStringList words;
    QByteArray word;
    bool inWord = false;
    char quote = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quote == 0 && QByteArrayView(" \t\n\r").contains(c)) {
            if (std::exchange(inWord, false))
                words.append(FileNames::decode(std::exchange(word, {})));
            continue;
        }
        inWord = true;
        if (c == quote)
            quote = 0;
        else if (quote == 0 && (c == '"' || c == '\''))
            quote = c;
        else if (c != '\\')
            word += c;
        else if (++i == text.size())
            return {};
        else if (const qsizetype k = QByteArrayView("abfnrtvs\\\"'").indexOf(text[i]); k >= 0)
            word += "\a\b\f\n\r\t\v \\\"'"[k];
        else if (text[i] == 'x' && i + 2 < text.size() && isHex(text[i + 1]) && isHex(text[i + 2]))
            word += static_cast<char>(text.mid(std::exchange(i, i + 2) + 1, 2).toInt(nullptr, 16));
        else // unknown escapes stay as written
            word.append('\\').append(text[i]);
    }
    if (quote != 0)
        return {};
    if (inWord)
        words.append(FileNames::decode(word));
    if (words.isEmpty())
        return {};
    qsizetype prefix = 0;
    while (prefix < words[0].size() && QStringView(u"@-:+!").contains(words[0][prefix]))
        ++prefix;
    const bool separateArgv0 = QStringView(words[0]).first(prefix).contains(u'@');
    words[0].remove(0, prefix);
    if (words[0].isEmpty() || (separateArgv0 && words.size() < 2))
        return {};
    if (separateArgv0)
        words.removeAt(1);
    return words;
}

} // namespace UnitFile
