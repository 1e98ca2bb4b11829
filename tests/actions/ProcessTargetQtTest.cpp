#include "actions/ProcessTarget.h"

#include <csignal>

#include <sys/wait.h>

#include <QTest>

#include <qcoro/qcorotask.h>

#include "os/ProcReader.h"
#include "support/ChildProcess.h"

using namespace std::chrono_literals;

namespace {

ProcessTarget targetOf(const ChildProcess& child) {
    const auto basics = ProcReader::basics(child.pid());
    return ProcessTarget{child.pid(), basics ? basics->start : std::nullopt};
}

template <typename T> T await(QCoro::Task<T> task) {
    return QCoro::waitFor(std::move(task));
}

} // namespace

class ProcessTargetQtTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // A pid whose start time differs by a second or more now belongs to
    // another process: it is neither alive as the target nor signalled. An
    // exited child not reaped yet has stopped all the same.
    void onlyTheSampledInstanceIsAliveAndSignalled_data() {
        QTest::addColumn<double>("offset");
        QTest::addColumn<bool>("same");
        QTest::newRow("exact") << 0.0 << true;
        QTest::newRow("0.9 s later") << 0.9 << true;
        QTest::newRow("0.9 s earlier") << -0.9 << true;
        QTest::newRow("1.1 s later") << 1.1 << false;
        QTest::newRow("reused 5 s later") << -5.0 << false;
    }
    void onlyTheSampledInstanceIsAliveAndSignalled() {
        QFETCH(double, offset);
        QFETCH(bool, same);
        ChildProcess child({"sleep", "30"});
        ProcessTarget target = targetOf(child);
        QVERIFY(target.start);
        *target.start += offset;
        QCOMPARE(ProcessActions::isAlive(target), same);
        QCOMPARE(ProcessActions::survivors({target, ProcessTarget{0, std::nullopt}}).size(),
                 same ? 1 : 0);
        QVERIFY(ProcessActions::isAlive(ProcessTarget{child.pid(), std::nullopt}));
        // A SIGKILL that got through to another instance would end the child.
        ProcessActions::sendSignal({target}, same ? SIGTERM : SIGKILL);
        QVERIFY(await(ProcessActions::awaitExit({target}, 10s)).isEmpty());
        ::kill(child.pid(), SIGTERM);
        const int status = child.reap();
        QVERIFY(WIFSIGNALED(status));
        QCOMPARE(WTERMSIG(status), SIGTERM);
    }

    void aProcessIgnoringSigtermSurvivesUntilSigkill() {
        // The shell ignores SIGTERM and hands that on to the program it becomes.
        ChildProcess child({"sh", "-c", "trap '' TERM; exec sleep 30"});
        QVERIFY(QTest::qWaitFor(
            [&] {
                const auto basics = ProcReader::basics(child.pid());
                return basics && basics->name == QStringLiteral("sleep");
            },
            10000));
        const ProcessTarget target = targetOf(child);
        const QList<ProcessTarget> left = await(ProcessActions::quitApp(target, 5s));
        QCOMPARE(left, QList<ProcessTarget>{target});
        ProcessActions::sendSignal(left, SIGKILL);
        QVERIFY(await(ProcessActions::awaitExit(left, 10s)).isEmpty());
        const int status = child.reap();
        QVERIFY(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    }
};

QTEST_GUILESS_MAIN(ProcessTargetQtTest)
#include "ProcessTargetQtTest.moc"
