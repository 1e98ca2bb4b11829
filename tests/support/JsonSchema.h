#pragma once

#include <QByteArray>
#include <QStringList>

// Checks documents against docs/report.schema.json with Debian's
// python3-jsonschema (draft 2020-12), run as a child process.
namespace JsonSchema {

QString reportSchemaPath();

// Every violation as "<path>: <message>", or why the document could not be
// checked; empty when `document` conforms.
QStringList reportErrors(const QByteArray& document);

} // namespace JsonSchema
