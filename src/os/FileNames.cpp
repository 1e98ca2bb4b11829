#include "os/FileNames.h"

#include <cerrno>
#include <cstdio>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace FileNames {

namespace {

constexpr char16_t escapeBase = 0xDC80;

bool isEscape(QChar c) {
    return c.unicode() >= escapeBase && c.unicode() <= escapeBase + 0x7F;
}

// An escaped byte, as opposed to the low half of a surrogate pair.
bool isLoneEscape(const QString& name, qsizetype at) {
    return isEscape(name[at]) && !(at > 0 && name[at - 1].isHighSurrogate());
}

bool isContinuation(uchar byte) {
    return (byte & 0xC0) == 0x80;
}

// The length of the well-formed UTF-8 sequence at the start of `bytes`, or 0.
// Follows the table of well-formed sequences in the Unicode standard, so that
// overlong forms and encoded surrogates count as malformed.
qsizetype sequenceLength(QByteArrayView bytes) {
    const auto at = [&](qsizetype i) { return static_cast<uchar>(bytes[i]); };
    const uchar lead = at(0);
    if (lead < 0x80)
        return 1;
    qsizetype length = 0;
    uchar low = 0x80;
    uchar high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0;
        else if (lead == 0xED)
            high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;
        else if (lead == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    if (bytes.size() < length || at(1) < low || at(1) > high)
        return 0;
    for (qsizetype i = 2; i < length; ++i) {
        if (!isContinuation(at(i)))
            return 0;
    }
    return length;
}

} // namespace

QString decode(QByteArrayView bytes) {
    QString name;
    name.reserve(bytes.size());
    qsizetype runStart = 0;
    qsizetype at = 0;
    while (at < bytes.size()) {
        const qsizetype length = sequenceLength(bytes.sliced(at));
        if (length > 0) {
            at += length;
            continue;
        }
        name += QString::fromUtf8(bytes.sliced(runStart, at - runStart));
        name += QChar(static_cast<char16_t>(escapeBase + (static_cast<uchar>(bytes[at]) & 0x7F)));
        ++at;
        runStart = at;
    }
    name += QString::fromUtf8(bytes.sliced(runStart));
    return name;
}

QByteArray encode(const QString& name) {
    QByteArray bytes;
    bytes.reserve(name.size());
    qsizetype runStart = 0;
    for (qsizetype at = 0; at < name.size(); ++at) {
        if (!isLoneEscape(name, at))
            continue;
        bytes += QStringView(name).sliced(runStart, at - runStart).toUtf8();
        bytes += static_cast<char>(0x80 | (name[at].unicode() - escapeBase));
        runStart = at + 1;
    }
    bytes += QStringView(name).sliced(runStart).toUtf8();
    return bytes;
}

QString displayText(const QString& name) {
    QString text = name;
    for (qsizetype at = 0; at < text.size(); ++at) {
        if (isLoneEscape(name, at))
            text[at] = QChar::ReplacementCharacter;
    }
    return text;
}

bool renameWithoutReplacing(const QString& from, const QString& to) {
    const QByteArray source = encode(from);
    const QByteArray target = encode(to);
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) ==
        0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // A file system without the no-replace flag: link, then drop the old name.
    if (::link(source.constData(), target.constData()) != 0)
        return false;
    ::unlink(source.constData());
    return true;
}

QStringList listFolder(const QString& folder) {
    QStringList names;
    DIR* dir = ::opendir(encode(folder).constData());
    if (dir == nullptr)
        return names;
    while (const dirent* entry = ::readdir(dir)) {
        const QByteArrayView name(entry->d_name);
        if (name != "." && name != "..")
            names.append(decode(name));
    }
    ::closedir(dir);
    return names;
}

} // namespace FileNames
