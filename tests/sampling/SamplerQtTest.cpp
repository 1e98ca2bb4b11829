// The sampler over a scripted process table, the stand-in launchctl and a
// temporary home: passes in order, CPU shares, which external commands a pass
// runs; and the serial executor beneath it.

#include <sys/time.h>

#include <atomic>
#include <thread>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QTest>

#include "os/SerialExecutor.h"
#include "sampling/Sampler.h"
#include "support/FakeProcPlatform.h"
#include "support/StandIns.h"

using namespace std::chrono_literals;

namespace {

// Written in place, so an edit leaves the folder's listing as it was.
bool writePlist(const QString& path, const QString& label, const QString& program) {
    QFile file(path);
    const QByteArray xml = QStringLiteral("<plist version=\"1.0\"><dict><key>Label</key><string>%1"
                                          "</string><key>ProgramArguments</key><array><string>%2"
                                          "</string></array></dict></plist>")
                               .arg(label, program)
                               .toUtf8();
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(xml) == xml.size();
}

// Moves a folder's time an hour back, so any change to its listing gives it a
// new stamp however quickly it follows.
bool ageFolder(const QString& path) {
    struct timeval now {};
    ::gettimeofday(&now, nullptr);
    const struct timeval times[2] = {{now.tv_sec - 3600, 0}, {now.tv_sec - 3600, 0}};
    return ::utimes(QFile::encodeName(path).constData(), times) == 0;
}

QString programOf(const SampleInput& input, const QString& label) {
    for (const LaunchJob& job : input.jobs) {
        if (job.label == label)
            return job.arguments.value(0);
    }
    return {};
}

} // namespace

class SamplerQtTest : public QObject {
    Q_OBJECT

private Q_SLOTS:

    void init() {
        m_home = std::make_unique<QTemporaryDir>();
        QVERIFY(QDir().mkpath(agents()));
        QVERIFY(ageFolder(agents()));
        m_standIns = std::make_unique<StandIns>();
        QVERIFY(m_standIns->isValid());
        m_platform = std::make_unique<FakeProcPlatform>();
        m_platform->uid = Sampler::Environment::currentUid();
        m_passes = 0;
        // Pid 99's CPU ticks count the passes that read it, so a result tells which pass made it.
        setProcess(99, 1);
        m_platform->onOpen = [this](Pid pid) {
            if (m_gateClosed)
                m_gate.acquire();
            if (pid == 99)
                m_platform->processes[99].cpuTicks = quint64(++m_passes);
        };
    }

    void cleanup() {
        m_gateClosed = false;
        m_gate.release(1000);
        m_platform.reset();
        m_standIns.reset();
        m_home.reset();
    }

    // A one-thread pool under QtConcurrent::run lets a caller that waits on a
    // still-queued task run it on its own thread; a serial executor must not.
    void executorRunsTasksInOrderOnItsThreadEvenWhenOneIsAwaited() {
        QSemaphore releaseFirst;
        QSemaphore lastStarted;
        std::vector<int> order;
        QFuture<bool> last;
        {
            SerialExecutor executor;
            executor.submit([&] {
                releaseFirst.acquire();
                order.push_back(0);
            });
            for (int i = 1; i < 20; ++i)
                executor.submit([&order, i] { order.push_back(i); });
            last = executor.submit([&] {
                lastStarted.release();
                return executor.isCurrentThread() && order.size() == 20;
            });
            std::thread waiter([&] { last.waitForFinished(); });
            QVERIFY(!lastStarted.tryAcquire(1, 200));
            releaseFirst.release();
            waiter.join();
        }
        QVERIFY(last.result());
        for (int i = 0; i < 20; ++i)
            QCOMPARE(order[size_t(i)], i);
    }

    void passesRunInOrderAndReachTheMainThreadWithoutBlockingIt() {
        const Sampler::LoginItems items{{QStringLiteral("/Applications/Notes.app")}, {}};
        QFuture<SampleInput> first;
        QFuture<SampleInput> second;
        QFuture<Inventory> last;
        bool continued = false;
        {
            Sampler sampler(environment());
            m_gateClosed = true;
            first = sampler.collect(false);
            sampler.setLoginItems(items);
            second = sampler.collect(true);
            last = sampler.sample(false);
            last.then(this, [&](const Inventory&) {
                QCOMPARE(QThread::currentThread(), thread());
                continued = true;
            });
            QCoreApplication::processEvents(); // the event loop runs while the pass is held
            QVERIFY(!first.isFinished() && !continued);
            m_gateClosed = false;
            m_gate.release(1000);
            QTRY_VERIFY(continued);
        } // destruction finishes whatever is queued
        QCOMPARE(first.result().processes.at(99).cpuNanos, std::optional<quint64>(1));
        QCOMPARE(second.result().processes.at(99).cpuNanos, std::optional<quint64>(2));
        QVERIFY(first.result().loginItems == Sampler::LoginItems{});
        QVERIFY(second.result().loginItems == items);
        QVERIFY(second.result().includeApple);
    }

    void cpuSharesAcrossPasses() {
        setProcess(500, 1, 1'000'000'000, 10);
        setProcess(501, 1, 5'000'000'000, 20);
        Sampler sampler(environment());
        QVERIFY(!sampler.collect(false).result().cpu);

        m_clockMs += 500; // less than a second later nothing is computed
        QVERIFY(!sampler.collect(false).result().cpu);

        // Two seconds after the first pass 0.5 s of CPU is 25 percent. Pid 501 now
        // belongs to a new process with less CPU time: no share, never a negative one.
        m_clockMs += 1500;
        setProcess(500, 1, 1'500'000'000, 10);
        setProcess(501, 1, 1'000, 30);
        const SampleInput second = sampler.collect(false).result();
        QVERIFY(second.cpu);
        QCOMPARE(second.cpu->at(500), 25.0);
        QVERIFY(!second.cpu->contains(501));

        sampler.resetCaches().waitForFinished();
        m_clockMs += 2000;
        QVERIFY(!sampler.collect(false).result().cpu);
        m_clockMs += 2000;
        setProcess(501, 1, 1'000'001'000, 30);
        QCOMPARE(sampler.collect(false).result().cpu->at(501), 50.0);
    }

    void externalCommandsRunOnlyWhenSomethingChanged() {
        const QString first = agents() + QStringLiteral("/org.example.first.plist");
        QVERIFY(writePlist(first, QStringLiteral("org.example.first"), QStringLiteral("/a")));
        QVERIFY(ageFolder(agents()));
        setProcess(600, 1);
        setProcess(601, 600);
        Sampler sampler(environment());
        const auto pass = [&] { return sampler.collect(false).result(); };
        pass();
        QCOMPARE(launchctl("list"), 1);
        QCOMPARE(launchctl("print-disabled"), 1);

        // Nothing changed; a grandchild of launchd is no job; an edit in place
        // leaves the folder's stamp.
        pass();
        setProcess(602, 600);
        QVERIFY(writePlist(first, QStringLiteral("org.example.first"), QStringLiteral("/b")));
        QCOMPARE(programOf(pass(), QStringLiteral("org.example.first")), QStringLiteral("/a"));
        QCOMPARE(launchctl("list"), 1);

        // A job started, a job ended: the table is read again, the disabled set is not.
        setProcess(603, 1);
        pass();
        QCOMPARE(launchctl("list"), 2);
        m_platform->remove(600);
        pass();
        QCOMPARE(launchctl("list"), 3);
        QCOMPARE(launchctl("print-disabled"), 1);

        // A new definition makes the folder rescanned.
        QVERIFY(writePlist(agents() + QStringLiteral("/org.example.second.plist"),
                           QStringLiteral("org.example.second"), QStringLiteral("/c")));
        const SampleInput rescanned = pass();
        QCOMPARE(programOf(rescanned, QStringLiteral("org.example.second")), QStringLiteral("/c"));
        QCOMPARE(programOf(rescanned, QStringLiteral("org.example.first")), QStringLiteral("/b"));

        // Forgetting the launchd state rereads all three, once.
        QVERIFY(writePlist(first, QStringLiteral("org.example.first"), QStringLiteral("/d")));
        sampler.forgetLaunchdState();
        QCOMPARE(programOf(pass(), QStringLiteral("org.example.first")), QStringLiteral("/d"));
        pass();
        QCOMPARE(launchctl("list"), 4);
        QCOMPARE(launchctl("print-disabled"), 2);
    }

    void loginItemsComeOnlyFromACompleteDump() {
        const QString dump = QStringLiteral(" Records for UID %1 : 0\n #1:\n Type: app\n"
                                            " Disposition: [enabled]\n Bundle Identifier: a.b\n")
                                 .arg(m_platform->uid);
        m_standIns->setLoginItemsDump(dump.toUtf8());
        const auto items = Sampler::readLoginItems(m_standIns->locations()).result();
        QVERIFY(items && items->bundleIDs.contains(QStringLiteral("a.b")));

        const Uid uid = 501;
        for (const CommandResult& partial :
             {CommandResult{1, dump, QStringLiteral("cancelled")},
              CommandResult{-2, dump, QStringLiteral("Timed out")},
              CommandResult{0, QStringLiteral("usage: sfltool"), {}}})
            QVERIFY(!Sampler::loginItemsFrom(partial, uid));
    }

private:
    void setProcess(Pid pid, Pid ppid, quint64 cpuTicks = 0, Timestamp start = 1.0) {
        FakeProcess process;
        process.basics = {ppid, m_platform->uid, QStringLiteral("fake%1").arg(pid), start};
        process.cpuTicks = cpuTicks;
        process.path = QStringLiteral("/opt/fake/bin/fake%1").arg(pid);
        if (!m_platform->processes.contains(pid))
            m_platform->pidList.push_back(pid);
        m_platform->processes[pid] = process;
    }

    Sampler::Environment environment() {
        Sampler::Environment env;
        env.tools = m_standIns->locations();
        env.folders.home = m_home->path();
        env.folders.globalAgents = m_home->path() + QStringLiteral("/Global/LaunchAgents");
        env.folders.globalDaemons = m_home->path() + QStringLiteral("/Global/LaunchDaemons");
        env.uid = m_platform->uid;
        env.ownPid = 7;
        env.platform = m_platform.get();
        env.now = [this] {
            return Sampler::Clock::time_point(std::chrono::milliseconds(m_clockMs));
        };
        return env;
    }

    int launchctl(const char* verb) const {
        return m_standIns->callCount({QStringLiteral("launchctl"), QString::fromUtf8(verb)});
    }
    QString agents() const { return m_home->path() + QStringLiteral("/Library/LaunchAgents"); }

    std::unique_ptr<QTemporaryDir> m_home;
    std::unique_ptr<StandIns> m_standIns;
    std::unique_ptr<FakeProcPlatform> m_platform;
    std::atomic<qint64> m_clockMs = 1'000'000;
    std::atomic<bool> m_gateClosed = false; // while closed, a pass stops at its first process
    QSemaphore m_gate;
    std::atomic<int> m_passes = 0;
};

QTEST_GUILESS_MAIN(SamplerQtTest)
#include "SamplerQtTest.moc"
