// The sampler over a scripted process table, the stand-in launchctl and a
// temporary home, and the serial executor beneath it.

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

namespace {

// Written in place, so an edit leaves the folder's listing as it was.
bool writePlist(const QString& path, const QString& program) {
    QFile file(path);
    const QByteArray xml = QStringLiteral("<plist version=\"1.0\"><dict><key>Label</key><string>%1"
                                          "</string><key>ProgramArguments</key><array><string>%2"
                                          "</string></array></dict></plist>")
                               .arg(QFileInfo(path).completeBaseName(), program)
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

// The first program of each job as "label=program", sorted.
QStringList programs(const SampleInput& input) {
    QStringList result;
    for (const LaunchJob& job : input.jobs)
        result.append(job.label + u'=' + job.arguments.value(0));
    result.sort();
    return result;
}

} // namespace

class SamplerQtTest : public QObject {
    Q_OBJECT

private Q_SLOTS:

    void init() {
        m_home = std::make_unique<QTemporaryDir>();
        QVERIFY(QDir().mkpath(agents()));
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
        QSemaphore releaseFirst, lastStarted;
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
        QFuture<SampleInput> first, second;
        bool continued = false;
        {
            Sampler sampler(environment());
            m_gateClosed = true;
            first = sampler.collect(false);
            sampler.setLoginItems(items);
            second = sampler.collect(true);
            sampler.sample(false).then(this, [&](const Inventory&) {
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
        QVERIFY(second.result().loginItems == items && second.result().includeApple);
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
    }

    // launchctl list runs again only when launchd's children changed, print-disabled
    // and the folder scan only when asked to forget or the folder's listing changed.
    void externalCommandsRunOnlyWhenSomethingChanged() {
        const QString first = agents() + QStringLiteral("/org.example.first.plist");
        QVERIFY(writePlist(first, QStringLiteral("/a")) && ageFolder(agents()));
        setProcess(600, 1);
        setProcess(601, 600);
        Sampler sampler(environment());
        const auto pass = [&](int lists, int disabled) {
            const SampleInput input = sampler.collect(false).result();
            [&] {
                QCOMPARE(std::pair(launchctl("list"), launchctl("print-disabled")),
                         std::pair(lists, disabled));
            }();
            return programs(input);
        };
        pass(1, 1);
        // A grandchild of launchd is no job; an edit in place leaves the folder's stamp.
        setProcess(602, 600);
        QVERIFY(writePlist(first, QStringLiteral("/b")));
        QCOMPARE(pass(1, 1), QStringList{QStringLiteral("org.example.first=/a")});
        setProcess(603, 1); // a job started
        pass(2, 1);
        m_platform->remove(600); // a job ended
        pass(3, 1);
        QVERIFY(writePlist(agents() + QStringLiteral("/org.example.second.plist"),
                           QStringLiteral("/c")));
        QCOMPARE(pass(3, 1), (QStringList{QStringLiteral("org.example.first=/b"),
                                          QStringLiteral("org.example.second=/c")}));
        QVERIFY(writePlist(first, QStringLiteral("/d")));
        sampler.forgetLaunchdState();
        QCOMPARE(pass(4, 2).value(0), QStringLiteral("org.example.first=/d"));
        pass(4, 2);
    }

    // A cancelled, timed-out or foreign dump must not read as "no login items".
    void loginItemsComeOnlyFromACompleteDump() {
        const QString dump = QStringLiteral(" Records for UID 501 : 0\n #1:\n Type: app\n"
                                            " Disposition: [enabled]\n Bundle Identifier: a.b\n");
        QVERIFY(
            Sampler::loginItemsFrom({0, dump, {}}, 501)->bundleIDs.contains(QStringLiteral("a.b")));
        for (const CommandResult& partial :
             {CommandResult{1, dump, QStringLiteral("cancelled")},
              CommandResult{-2, dump, QStringLiteral("Timed out")},
              CommandResult{0, QStringLiteral("usage: sfltool"), {}}})
            QVERIFY(!Sampler::loginItemsFrom(partial, 501));
    }

private:
    void setProcess(Pid pid, Pid ppid, quint64 cpuTicks = 0, Timestamp start = 1.0) {
        if (!m_platform->processes.contains(pid))
            m_platform->pidList.push_back(pid);
        FakeProcess& process = m_platform->processes[pid];
        process.basics = {ppid, m_platform->uid, QStringLiteral("fake%1").arg(pid), start};
        process.cpuTicks = cpuTicks;
        process.path = QStringLiteral("/opt/fake/bin/fake%1").arg(pid);
    }

    Sampler::Environment environment() {
        Sampler::Environment env;
        env.tools = m_standIns->locations();
        env.folders = {m_home->path(), m_home->path() + QStringLiteral("/Global/LaunchAgents"),
                       m_home->path() + QStringLiteral("/Global/LaunchDaemons")};
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
