// The executable loads the window library only in window mode, and says so
// clearly when it cannot.

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include "support/TestPaths.h"

class WindowLoadQtTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void reportModeNeverLoadsTheWindow() {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        // The dynamic loader names every library it opens.
        environment.insert(QStringLiteral("LD_DEBUG"), QStringLiteral("files"));
        process.setProcessEnvironment(environment);
        process.start(TestPaths::binary(), {QStringLiteral("--json")});
        QVERIFY(process.waitForFinished(60000));
        const QByteArray loaded = process.readAllStandardError();
        QVERIFY2(loaded.contains("libQt6Core"), "the loader trace is missing");
        QVERIFY(!loaded.contains("libquillmarsh_window"));
        QVERIFY(!loaded.contains("libQt6Widgets"));
        QVERIFY(!loaded.contains("libQt6Gui"));
    }

    void windowModeWithoutTheLibraryFailsWithOneLine() {
        QTemporaryDir dir;
        const QString lonely = dir.filePath(QStringLiteral("quillmarsh"));
        QVERIFY(QFile::copy(TestPaths::binary(), lonely));
        QProcess process;
        process.start(lonely, {});
        QVERIFY(process.waitForFinished(60000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 1);
        const QList<QByteArray> lines = process.readAllStandardError().trimmed().split('\n');
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines.first().startsWith("quillmarsh: cannot load the window"),
                 lines.first().constData());
        QVERIFY(process.readAllStandardOutput().isEmpty());
    }
};

QTEST_GUILESS_MAIN(WindowLoadQtTest)
#include "WindowLoadQtTest.moc"
