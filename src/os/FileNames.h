#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>

// File names as the system gives them: any bytes but '/' and NUL, not
// necessarily UTF-8. A name goes through QString and back unchanged: valid
// UTF-8 decodes as usual, and each byte that is not part of valid UTF-8
// becomes one unpaired low surrogate U+DC80 + byte, which encodes back to
// that byte. Text that never came from the system (no unpaired surrogates)
// encodes to plain UTF-8.
namespace FileNames {

QString decode(QByteArrayView bytes);
QByteArray encode(const QString& name);

// `name` with every byte that was not UTF-8 shown as U+FFFD, for people.
QString displayText(const QString& name);

// The folder's entry names in the order the system lists them ("." and ".."
// left out), each keeping its bytes; nothing when it cannot be listed.
QStringList listFolder(const QString& folder);

// Gives the file at `from` the name `to`, never replacing what `to` names
// already. False with errno set when it could not.
bool renameWithoutReplacing(const QString& from, const QString& to);

} // namespace FileNames
