#include "support/JsonSchema.h"

#include <QProcess>

namespace JsonSchema {

QString reportSchemaPath() {
    return QStringLiteral(QUILLMARSH_SOURCE_DIR "/docs/report.schema.json");
}

QStringList reportErrors(const QByteArray& document) {
    static const QString script =
        QStringLiteral("import json, sys, jsonschema\n"
                       "schema = json.load(open(sys.argv[1], encoding='utf-8'))\n"
                       "document = json.loads(sys.stdin.buffer.read().decode('utf-8', 'strict'))\n"
                       "for e in jsonschema.Draft202012Validator(schema).iter_errors(document):\n"
                       "    print('/' + '/'.join(map(str, e.absolute_path)) + ': ' + e.message)\n");
    QProcess python;
    python.start(QStringLiteral("/usr/bin/python3"),
                 {QStringLiteral("-c"), script, reportSchemaPath()});
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
