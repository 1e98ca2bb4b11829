#pragma once

#include <QProcess>
#include <QStringList>

// Checks a document against docs/report.schema.json with Debian's
// python3-jsonschema, run as a child process: every violation as
// "<path>: <message>", or why it could not be checked; empty when it conforms.
namespace JsonSchema {

inline QStringList reportErrors(const QByteArray& document) {
    QProcess python;
    python.start(
        QStringLiteral("/usr/bin/python3"),
        {QStringLiteral("-c"),
         QStringLiteral("import json, sys, jsonschema\n"
                        "schema = json.load(open(sys.argv[1], encoding='utf-8'))\n"
                        "doc = json.loads(sys.stdin.buffer.read().decode('utf-8'))\n"
                        "for e in jsonschema.Draft202012Validator(schema).iter_errors(doc):\n"
                        "    print('/' + '/'.join(map(str, e.absolute_path)) + ': ' + "
                        "e.message)\n"),
         QStringLiteral(QUILLMARSH_SOURCE_DIR "/docs/report.schema.json")});
    python.write(document);
    python.closeWriteChannel();
    if (!python.waitForFinished(60000))
        return {QStringLiteral("the schema check did not finish")};
    QStringList errors =
        QString::fromUtf8(python.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
    if (python.exitStatus() != QProcess::NormalExit || python.exitCode() != 0)
        errors.append(QString::fromUtf8(python.readAllStandardError()).trimmed());
    return errors;
}

} // namespace JsonSchema
