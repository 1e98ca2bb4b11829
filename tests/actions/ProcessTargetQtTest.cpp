#include "actions/ProcessTarget.h"

#include <csignal>

#include <sys/wait.h>

#include <QElapsedTimer>
#include <QTest>

#include <qcoro/qcorotask.h>

#include "os/ProcReader.h"
#include "support/ChildProcess.h"

using namespace std::chrono_literals;

namespace {

QStringList sleeper() {
    return {QStringLiteral("sleep"), QStringLiteral("30")};
}

// A child that ignores SIGTERM: the shell ignores it, and exec keeps that
// disposition for sleep.
QStringList termIgnorer() {
    return {QStringLiteral("sh"), QStringLiteral("-c"),
            QStringLiteral("trap '' TERM; exec sleep 30")};
}

ProcessTarget targetOf(const ChildProcess& child) {
    const auto basics = ProcReader::basics(child.pid());
    return ProcessTarget{child.pid(), basics ? basics->start : std::nullopt};
}

// Runs a coroutine to completion on this thread's event loop.
template <typename T> T await(QCoro::Task<T> task) {
    return QCoro::waitFor(std::move(task));
}

// The shell must have set its trap before the test sends SIGTERM: wait until
// it has exec'd sleep.
bool waitForName(pid_t pid, const QString& name) {
    return QTest::qWaitFor(
        [&] {
            const auto basics = ProcReader::basics(pid);
            return basics && basics->name == name;
        },
        5000);
}

} // namespace

class ProcessTargetQtTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void aLiveChildIsAliveWithOrWithoutItsStartTime() {
        ChildProcess child(sleeper());
        const ProcessTarget target = targetOf(child);
        QVERIFY(target.start.has_value());
        QVERIFY(ProcessActions::isAlive(target));
        QVERIFY(ProcessActions::isAlive(ProcessTarget{child.pid(), std::nullopt}));
    }

    void aReusedPidIsNeitherSignalledNorASurvivor() {
        ChildProcess child(sleeper());
        ProcessTarget stale = targetOf(child);
        *stale.start -= 5.0;
        QVERIFY(!ProcessActions::isAlive(stale));
        ProcessActions::sendSignal({stale}, SIGKILL);
        QVERIFY(ProcessActions::isAlive(targetOf(child)));
        QVERIFY(await(ProcessActions::awaitExit({stale}, 3s)).isEmpty());
    }

    void aStartTimeWithinOneSecondIsTheSameProcess() {
        ChildProcess child(sleeper());
        ProcessTarget close = targetOf(child);
        *close.start += 0.9;
        QVERIFY(ProcessActions::isAlive(close));
        *close.start += 0.2;
        QVERIFY(!ProcessActions::isAlive(close));
    }

    void anExitedButUnreapedChildCountsAsGone() {
        ChildProcess child(sleeper());
        const ProcessTarget target = targetOf(child);
        ProcessActions::sendSignal({target}, SIGTERM);
        // The child is a zombie until reaped below; it has stopped all the same.
        QElapsedTimer timer;
        timer.start();
        const QList<ProcessTarget> left = await(ProcessActions::awaitExit({target}, 3s));
        QVERIFY(left.isEmpty());
        QVERIFY(timer.elapsed() < 1000);
        QVERIFY(WIFSIGNALED(child.reap()));
    }

    void awaitExitReturnsAtOnceWhenEverythingIsGone() {
        ChildProcess child({QStringLiteral("true")});
        const ProcessTarget target{child.pid(), std::nullopt};
        child.reap();
        QElapsedTimer timer;
        timer.start();
        QVERIFY(await(ProcessActions::awaitExit({target, ProcessTarget{0, std::nullopt}}, 3s))
                    .isEmpty());
        QVERIFY(timer.elapsed() < 150);
    }

    void aProcessIgnoringSigtermSurvivesTheWaitThenSigkillEndsIt() {
        ChildProcess child(termIgnorer());
        QVERIFY(waitForName(child.pid(), QStringLiteral("sleep")));
        const ProcessTarget target = targetOf(child);

        QElapsedTimer timer;
        timer.start();
        const QList<ProcessTarget> left = await(ProcessActions::quitApp(target, 5s));
        const qint64 waited = timer.elapsed();
        QCOMPARE(left, QList<ProcessTarget>{target});
        QVERIFY2(waited >= 3000 && waited < 3600, qPrintable(QString::number(waited)));

        ProcessActions::sendSignal(left, SIGKILL);
        QVERIFY(await(ProcessActions::awaitExit(left, 1s)).isEmpty());
    }

    void survivorsKeepInputOrder() {
        ChildProcess first(sleeper());
        ChildProcess second(sleeper());
        const QList<ProcessTarget> targets{targetOf(second), ProcessTarget{0, std::nullopt},
                                           targetOf(first)};
        QCOMPARE(ProcessActions::survivors(targets),
                 (QList<ProcessTarget>{targets[0], targets[2]}));
    }
};

QTEST_GUILESS_MAIN(ProcessTargetQtTest)
#include "ProcessTargetQtTest.moc"
