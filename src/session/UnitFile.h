#pragma once

#include <QByteArrayView>
#include <QList>
#include <QString>
#include <QStringList>

#include "os/UserHome.h"

// The syntax of systemd unit files.
namespace UnitFile {

struct Assignment {
    QString section;
    QString key;
    QString value;

    bool operator==(const Assignment&) const = default;
};

// Every "Key=value" in a section, in file order, trimmed. Comment lines ('#',
// ';') are skipped, also inside a line continued by a trailing backslash;
// assignments outside a section (or a broken one) are left out.
QList<Assignment> parse(QByteArrayView bytes);

// `value` with %h replaced by `home` and %% by %; other specifiers stay.
QString expandSpecifiers(const QString& value, const QString& home = UserHome::path());

// The argument vector of an ExecStart= value, program first: prefixes "@-:+!"
// dropped (with '@' so is the argv[0] after the program), quotes and escapes
// resolved, %h and %% expanded. Empty when empty or malformed.
QStringList splitCommand(const QString& value, const QString& home = UserHome::path());

} // namespace UnitFile
