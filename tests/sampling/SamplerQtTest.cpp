// Catches: launchctl or sfltool run when nothing changed (or not run when
// something did, or run at all where there is no launchd), job folders read
// without launchd, passes out of order or blocking the main thread, CPU shares
// computed over too short a span or across a reused pid.
//
// The sampler over a scripted process table, stand-in tools, a temporary home; its executor.

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <thread>

#include <QCoreApplication>
#include <QDir>
#include <QScopeGuard>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QTest>

#include "os/SerialExecutor.h"
#include "sampling/Sampler.h"
#include "support/FakeProcPlatform.h"
#include "support/StandIns.h"

namespace {

bool writePlist(const QString& path, const QString& program) {
    QFile file(path); // written in place, so an edit leaves the folder's listing as it was
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(QStringLiteral("<plist><dict><key>Label</key><string>%1</string><key>"
                                     "ProgramArguments</key><array><string>%2</string></array>"
                                     "</dict></plist>")
                          .arg(QFileInfo(path).completeBaseName(), program)
                          .toUtf8()) > 0;
}

// A temporary home, the stand-in tools, a clock and a scripted process table.
struct Fixture {
    QTemporaryDir home;
    StandIns tools;
    FakeProcPlatform platform;
    std::atomic<qint64> clockMs = 1'000'000;
    std::atomic<quint64> passes = 0;

    Fixture() {
        QDir().mkpath(agents());
        platform.uid = Sampler::Environment::currentUid();
        set(99, 1); // its CPU ticks count the passes that read it
        platform.onOpen = [this](Pid pid) {
            if (pid == 99)
                platform.processes[99].cpuTicks = ++passes;
        };
    }
    QString agents() const { return home.path() + QStringLiteral("/Library/LaunchAgents"); }
    void set(Pid pid, Pid ppid, quint64 cpuTicks = 0, Timestamp start = 1.0) {
        if (!platform.processes.contains(pid))
            platform.pidList.push_back(pid);
        FakeProcess& process = platform.processes[pid];
        process.basics = {ppid, platform.uid, QStringLiteral("fake%1").arg(pid), start};
        process.cpuTicks = cpuTicks;
    }
    Sampler::Environment environment() {
        Sampler::Environment env;
        env.tools = tools.locations();
        env.folders = {home.path(), home.path() + QStringLiteral("/Global/LaunchAgents"),
                       home.path() + QStringLiteral("/Global/LaunchDaemons")};
        env.platform = &platform;
        env.host = Hosts::macosRules();
        env.now = [this] { return Sampler::Clock::time_point(std::chrono::milliseconds(clockMs)); };
        return env;
    }
    int launchctl(const char* verb) const {
        return tools.callCount({QStringLiteral("launchctl"), QString::fromUtf8(verb)});
    }
};

} // namespace

class SamplerQtTest : public QObject {
    Q_OBJECT

private Q_SLOTS:

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
        QVERIFY(last.result() && std::is_sorted(order.begin(), order.end()));
    }

    void passesRunInOrderAndReachTheMainThreadWithoutBlockingIt() {
        Fixture f;
        QSemaphore gate; // held shut, a pass waits at its first process
        f.platform.onOpen = [&gate, count = f.platform.onOpen](Pid pid) {
            gate.acquire();
            gate.release();
            count(pid);
        };
        const Sampler::LoginItems items{{QStringLiteral("/Applications/Notes.app")}, {}};
        QFuture<SampleInput> first, second;
        bool continued = false;
        {
            Sampler sampler(f.environment());
            const auto open = qScopeGuard([&] { gate.release(); });
            first = sampler.collect(false);
            sampler.setLoginItems(items);
            second = sampler.collect(true);
            sampler.sample(false).then(this, [&](const Inventory&) {
                QCOMPARE(QThread::currentThread(), thread());
                continued = true;
            });
            QCoreApplication::processEvents(); // the event loop runs while the pass is held
            QVERIFY(!first.isFinished() && !continued);
            gate.release();
            QTRY_VERIFY(continued);
        } // destruction finishes whatever is queued
        QCOMPARE(first.result().processes.at(99).cpuNanos, std::optional<quint64>(1));
        QCOMPARE(second.result().processes.at(99).cpuNanos, std::optional<quint64>(2));
        QVERIFY(first.result().loginItems == Sampler::LoginItems{} &&
                second.result().loginItems == items && second.result().includeApple);
    }

    void cpuSharesAcrossPasses() {
        Fixture f;
        f.set(500, 1, 1'000'000'000, 10);
        f.set(501, 1, 5'000'000'000, 20);
        Sampler sampler(f.environment());
        QVERIFY(!sampler.collect(false).result().cpu);
        f.clockMs += 500; // less than a second later nothing is computed
        QVERIFY(!sampler.collect(false).result().cpu);
        // Two seconds after the first pass 0.5 s of CPU is 25 percent. Pid 501 now
        // belongs to a new process with less CPU time: no share, never a negative one.
        f.clockMs += 1500;
        f.set(500, 1, 1'500'000'000, 10);
        f.set(501, 1, 1'000, 30);
        const SampleInput second = sampler.collect(false).result();
        QVERIFY(second.cpu);
        QCOMPARE(second.cpu->at(500), 25.0);
        QVERIFY(!second.cpu->contains(501));
    }

    // launchctl list runs again only when launchd's children changed; print-disabled
    // and the folder scan only when asked to forget or the folder's listing changed;
    // nothing where there is no launchd.
    void externalCommandsRunOnlyWhenSomethingChanged() {
        Fixture f;
        const QString first = f.agents() + QStringLiteral("/org.example.first.plist");
        QVERIFY(writePlist(first, QStringLiteral("/a")));
        // An hour back, so any change to the listing gives a new stamp however quickly.
        const std::filesystem::path folder = QFile::encodeName(f.agents()).toStdString();
        std::filesystem::last_write_time(folder, std::filesystem::last_write_time(folder) -
                                                     std::chrono::hours(1));
        f.set(600, 1);
        f.set(601, 600);
        // Without launchd no tool runs and no job folder is read, not even in a
        // first pass, which asks for everything where launchd exists.
        Sampler::Environment linux = f.environment();
        linux.host = Hosts::linuxRules();
        QVERIFY(Sampler(linux).collect(false).result().jobs.isEmpty());
        QVERIFY(!Sampler::readLoginItems(linux.tools, linux.uid, linux.host).result());
        QCOMPARE(f.tools.callCount({}), 0);
        Sampler sampler(f.environment());
        const auto pass = [&](int lists, int disabled) {
            QStringList programs;
            for (const LaunchJob& job : sampler.collect(false).result().jobs)
                programs.append(job.label + u'=' + job.arguments.value(0));
            programs.sort();
            const std::pair counts(f.launchctl("list"), f.launchctl("print-disabled"));
            [&] { QCOMPARE(counts, std::pair(lists, disabled)); }();
            return programs;
        };
        pass(1, 1);
        // A grandchild of launchd is no job; an edit in place leaves the folder's stamp.
        f.set(602, 600);
        QVERIFY(writePlist(first, QStringLiteral("/b")));
        QCOMPARE(pass(1, 1), QStringList{QStringLiteral("org.example.first=/a")});
        f.set(603, 1); // a job started
        pass(2, 1);
        f.platform.remove(600); // a job ended
        pass(3, 1);
        QVERIFY(writePlist(f.agents() + QStringLiteral("/org.example.second.plist"),
                           QStringLiteral("/c")));
        QCOMPARE(pass(3, 1), (QStringList{QStringLiteral("org.example.first=/b"),
                                          QStringLiteral("org.example.second=/c")}));
        QVERIFY(writePlist(first, QStringLiteral("/d")));
        sampler.forgetLaunchdState();
        QCOMPARE(pass(4, 2).value(0), QStringLiteral("org.example.first=/d"));
        pass(4, 2);
    }
};

QTEST_GUILESS_MAIN(SamplerQtTest)
#include "SamplerQtTest.moc"
