#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include <QList>
#include <QSemaphore>
#include <QTest>
#include <QThread>

#include "os/SerialExecutor.h"

using namespace std::chrono_literals;

class SerialExecutorQtTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void runsTasksInSubmissionOrderOnItsOwnThread();
    void waitingOnAQueuedTaskDoesNotRunItOnTheWaitingThread();
    void destructionFinishesQueuedTasks();
    void keepsOneThreadAcrossTasks();
};

void SerialExecutorQtTest::runsTasksInSubmissionOrderOnItsOwnThread() {
    SerialExecutor executor;
    std::vector<int> order; // only touched by the tasks
    std::atomic<int> running = 0;
    std::atomic<bool> overlapped = false;
    QList<QFuture<int>> futures;
    for (int i = 0; i < 50; ++i) {
        futures.append(executor.submit([&, i] {
            if (running.fetch_add(1) != 0)
                overlapped = true;
            order.push_back(i);
            const bool onExecutor = executor.isCurrentThread();
            running.fetch_sub(1);
            return onExecutor ? i : -1;
        }));
    }
    for (int i = 0; i < futures.size(); ++i)
        QCOMPARE(futures[i].result(), i);
    QVERIFY(!overlapped);
    QCOMPARE(order.size(), 50u);
    for (int i = 0; i < 50; ++i)
        QCOMPARE(order[std::size_t(i)], i);
    QVERIFY(!executor.isCurrentThread());
}

// A one-thread pool under QtConcurrent::run lets a caller that waits on a
// still-queued task run that task on its own thread, beside the pool's. Here the
// last task must still wait for the first, however it is waited on.
void SerialExecutorQtTest::waitingOnAQueuedTaskDoesNotRunItOnTheWaitingThread() {
    SerialExecutor executor;
    QSemaphore releaseFirst;
    QSemaphore lastStarted;
    std::atomic<bool> firstDone = false;
    std::atomic<bool> lastSawFirstDone = false;
    std::atomic<bool> lastOnExecutor = false;

    QFuture<void> first = executor.submit([&] {
        releaseFirst.acquire();
        firstDone = true;
    });
    QFuture<void> second = executor.submit([] {});
    QFuture<void> last = executor.submit([&] {
        lastSawFirstDone = firstDone.load();
        lastOnExecutor = executor.isCurrentThread();
        lastStarted.release();
    });

    std::thread waiter([&] { last.waitForFinished(); });
    // The last task must not start while the first is held; a faulty executor
    // would start it on the waiter thread at once.
    QVERIFY(!lastStarted.tryAcquire(1, 300));
    QVERIFY(!last.isFinished());
    releaseFirst.release();
    waiter.join();

    QVERIFY(first.isFinished());
    QVERIFY(second.isFinished());
    QVERIFY(lastSawFirstDone);
    QVERIFY(lastOnExecutor);
}

void SerialExecutorQtTest::destructionFinishesQueuedTasks() {
    QSemaphore releaseFirst;
    QList<QFuture<int>> futures;
    {
        SerialExecutor executor;
        futures.append(executor.submit([&] {
            releaseFirst.acquire();
            return 0;
        }));
        for (int i = 1; i < 5; ++i)
            futures.append(executor.submit([i] { return i; }));
        releaseFirst.release();
    }
    for (int i = 0; i < futures.size(); ++i) {
        QVERIFY(futures[i].isFinished());
        QVERIFY(!futures[i].isCanceled());
        QCOMPARE(futures[i].result(), i);
    }
}

void SerialExecutorQtTest::keepsOneThreadAcrossTasks() {
    SerialExecutor executor;
    const QThread* first = executor.submit([] { return QThread::currentThread(); }).result();
    const QThread* second = executor.submit([] { return QThread::currentThread(); }).result();
    QCOMPARE(first, second);
    QVERIFY(first != QThread::currentThread());
}

QTEST_GUILESS_MAIN(SerialExecutorQtTest)
#include "SerialExecutorQtTest.moc"
