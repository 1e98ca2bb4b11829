#pragma once

#include <optional>

#include <QByteArray>
#include <QByteArrayView>
#include <QSet>
#include <QString>

#include "launchd/LaunchctlState.h"

// Pure parsers for the text that launchctl and sfltool print.
namespace CommandParsers {

LaunchctlTable parseLaunchctlList(const QString& output);
QSet<QString> parseDisabled(const QString& output);
LoginItems parseLoginItems(const QString& output, Uid uid);

// The stored form: {"appPaths": [...], "bundleIDs": [...]}.
QByteArray encodeLoginItems(const LoginItems& items);
std::optional<LoginItems> decodeLoginItems(QByteArrayView json);

} // namespace CommandParsers
