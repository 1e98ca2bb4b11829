#include "launchd/CommandParsers.h"

#include <algorithm>
#include <limits>
#include <map>
#include <type_traits>
#include <utility>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QStringList>
#include <QUrl>

namespace CommandParsers {

namespace {

bool isBlank(QChar c) {
    return c == u' ' || c == u'\t';
}

// Spaces and tabs off both ends; line feeds and other white space stay.
QStringView trimmed(QStringView text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isBlank(text[begin]))
        ++begin;
    while (end > begin && isBlank(text[end - 1]))
        --end;
    return text.sliced(begin, end - begin);
}

// One optional sign, then one or more ASCII digits and nothing else; absent
// when the value does not fit in T.
template <typename T> std::optional<T> readInteger(QStringView field) {
    static_assert(std::is_signed_v<T>);
    qsizetype at = 0;
    bool negative = false;
    if (at < field.size() && (field[at] == u'+' || field[at] == u'-')) {
        negative = field[at] == u'-';
        ++at;
    }
    if (at == field.size())
        return std::nullopt;
    // Accumulate towards the sign so that the most negative value fits too.
    T value = 0;
    for (; at < field.size(); ++at) {
        const char16_t c = field[at].unicode();
        if (c < u'0' || c > u'9')
            return std::nullopt;
        const T digit = static_cast<T>(c - u'0');
        if (negative) {
            if (value < (std::numeric_limits<T>::min() + digit) / 10)
                return std::nullopt;
            value = static_cast<T>(value * 10 - digit);
        } else {
            if (value > (std::numeric_limits<T>::max() - digit) / 10)
                return std::nullopt;
            value = static_cast<T>(value * 10 + digit);
        }
    }
    return value;
}

// The login-item record being read: key to value, later keys replacing
// earlier ones.
using Record = std::map<QString, QString>;

std::optional<QString> valueOf(const Record& record, const QString& key) {
    const auto found = record.find(key);
    if (found == record.end())
        return std::nullopt;
    return found->second;
}

// The application a login-item location belongs to: the outermost ".app"
// folder, without a trailing slash.
std::optional<QString> appPathOf(const QString& location) {
    QString text = location;
    if (text.startsWith(u"file://")) {
        const QUrl url(text, QUrl::StrictMode);
        if (url.isValid()) {
            text = url.path(QUrl::FullyDecoded);
            while (text.size() > 1 && text.endsWith(u'/'))
                text.chop(1);
        }
    }
    if (!text.endsWith(u'/'))
        text.append(u'/');
    const qsizetype app = text.indexOf(u".app/");
    if (app < 0)
        return std::nullopt;
    // Keep everything up to ".app", dropping the slash after it.
    return text.left(app + 4);
}

struct LoginItemsReader {
    Uid uid;
    Record record;
    bool inSection = false;
    LoginItems result;

    void complete() {
        const Record done = std::exchange(record, {});
        if (!inSection)
            return;
        const auto type = valueOf(done, QStringLiteral("Type"));
        if (!type || !(type->startsWith(u"app") || type->startsWith(u"login item")))
            return;
        const auto disposition = valueOf(done, QStringLiteral("Disposition"));
        if (!disposition || !disposition->contains(u"[enabled"))
            return;
        if (const auto bundle = valueOf(done, QStringLiteral("Bundle Identifier")))
            result.bundleIDs.insert(*bundle);
        const auto url = valueOf(done, QStringLiteral("URL"));
        if (url && (url->startsWith(u'/') || url->startsWith(u"file://"))) {
            if (const auto path = appPathOf(*url))
                result.appPaths.insert(*path);
        }
    }

    void read(QStringView line) {
        static constexpr QStringView sectionPrefix = u"Records for UID ";
        if (line.startsWith(sectionPrefix)) {
            complete();
            const QStringView rest = line.sliced(sectionPrefix.size());
            qsizetype digits = 0;
            while (digits < rest.size() && rest[digits] >= u'0' && rest[digits] <= u'9')
                ++digits;
            inSection = digits > 0 && rest.first(digits) == QString::number(uid);
            return;
        }
        if (line.startsWith(u'#') && line.endsWith(u':')) {
            complete();
            return;
        }
        const qsizetype colon = line.indexOf(u':');
        if (colon < 0)
            return;
        record[line.first(colon).toString()] = trimmed(line.sliced(colon + 1)).toString();
    }
};

QJsonArray sortedArray(const QSet<QString>& values) {
    QStringList list(values.begin(), values.end());
    list.sort();
    return QJsonArray::fromStringList(list);
}

std::optional<QSet<QString>> stringSet(const QJsonValue& value) {
    if (!value.isArray())
        return std::nullopt;
    QSet<QString> set;
    for (const QJsonValue& element : value.toArray()) {
        if (!element.isString())
            return std::nullopt;
        set.insert(element.toString());
    }
    return set;
}

} // namespace

LaunchctlTable parseLaunchctlList(const QString& output) {
    const QStringList lines = output.split(u'\n', Qt::SkipEmptyParts);
    LaunchctlTable table;
    if (lines.size() < 2)
        return table;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QList<QStringView> fields = QStringView(lines[i]).split(u'\t');
        if (fields.size() < 3)
            continue;
        table[fields[2].toString()] =
            LaunchctlEntry{readInteger<Pid>(fields[0]), readInteger<qint64>(fields[1])};
    }
    return table;
}

QSet<QString> parseDisabled(const QString& output) {
    QSet<QString> labels;
    const QStringList lines = output.split(u'\n', Qt::SkipEmptyParts);
    for (const QString& line : lines) {
        const QList<QStringView> pieces = QStringView(line).split(u"=>", Qt::SkipEmptyParts);
        if (pieces.size() != 2)
            continue;
        const QStringView state = trimmed(pieces[1]);
        if (state != u"disabled" && state != u"true")
            continue;
        QStringView label = trimmed(pieces[0]);
        while (label.startsWith(u'"'))
            label = label.sliced(1);
        while (label.endsWith(u'"'))
            label.chop(1);
        labels.insert(label.toString());
    }
    return labels;
}

LoginItems parseLoginItems(const QString& output, Uid uid) {
    LoginItemsReader reader{uid, {}, false, {}};
    for (const QStringView line : QStringView(output).split(u'\n'))
        reader.read(trimmed(line));
    reader.complete();
    return reader.result;
}

QByteArray encodeLoginItems(const LoginItems& items) {
    // QJsonObject orders its keys, and "appPaths" sorts before "bundleIDs".
    QJsonObject object;
    object.insert(QStringLiteral("appPaths"), sortedArray(items.appPaths));
    object.insert(QStringLiteral("bundleIDs"), sortedArray(items.bundleIDs));
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

std::optional<LoginItems> decodeLoginItems(QByteArrayView json) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(json.toByteArray(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();
    auto appPaths = stringSet(object.value(QStringLiteral("appPaths")));
    auto bundleIDs = stringSet(object.value(QStringLiteral("bundleIDs")));
    if (!appPaths || !bundleIDs)
        return std::nullopt;
    return LoginItems{std::move(*appPaths), std::move(*bundleIDs)};
}

} // namespace CommandParsers
