// Catches: a signal that reaches a process reusing the sampled pid (start time
// not compared, or compared with the wrong tolerance); a zombie taken as alive.

#include "actions/ProcessTarget.h"

#include <csignal>

#include <sys/wait.h>

#include <QTest>

#include <qcoro/qcorotask.h>

#include "os/ProcReader.h"
#include "support/ChildProcess.h"

using namespace std::chrono_literals;

class ProcessTargetQtTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // A pid whose start time differs by a second or more now belongs to
    // another process: it is neither alive as the target nor signalled.
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
        const auto basics = ProcReader::basics(child.pid());
        QVERIFY(basics && basics->start);
        const ProcessTarget target{child.pid(), *basics->start + offset};
        QCOMPARE(ProcessActions::isAlive(target), same);
        QCOMPARE(ProcessActions::survivors({target, ProcessTarget{0, std::nullopt}}).size(),
                 same ? 1 : 0);
        QVERIFY(ProcessActions::isAlive(ProcessTarget{child.pid(), std::nullopt}));
        // A SIGKILL that got through to another instance would end the child.
        ProcessActions::sendSignal({target}, same ? SIGTERM : SIGKILL);
        QVERIFY(QCoro::waitFor(ProcessActions::awaitExit({target}, 10s)).isEmpty());
        ::kill(child.pid(), SIGTERM);
        const int status = child.reap();
        QVERIFY(WIFSIGNALED(status));
        QCOMPARE(WTERMSIG(status), SIGTERM);
    }
};

QTEST_GUILESS_MAIN(ProcessTargetQtTest)
#include "ProcessTargetQtTest.moc"
