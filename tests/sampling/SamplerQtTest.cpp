// Catches: launchctl or sfltool run when nothing changed (or not run when
// something did, or run at all where there is no launchd), job folders read
// without launchd, passes out of order, blocking the main thread or dropped
// when the sampler ends, CPU shares over too short a span or a reused pid.
// The sampler over a scripted process table, stand-in tools, a temporary home.

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

// Written in place, so an edit leaves the folder's listing as it was.
bool writePlist(const QString& path, const QString& program) {
    const QString xml = "<plist><dict><key>Label</key><string>%1</string><key>ProgramArguments"
                        "</key><array><string>%2</string></array></dict></plist>";
    QFile file(path);
    return file.open(QIODevice::WriteOnly) &&
           file.write(xml.arg(QFileInfo(path).completeBaseName(), program).toUtf8()) > 0;
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
        env.folders = {home.path(), home.path() + "/Global/LaunchAgents",
                       home.path() + "/Global/LaunchDaemons"};
        env.platform = &platform;
        env.host = Hosts::macosRules();
        env.now = [this] { return Sampler::Clock::time_point(std::chrono::milliseconds(clockMs)); };
        return env;
    }
};

} // namespace

class SamplerQtTest : public QObject {
    Q_OBJECT

private Q_SLOTS:

    // Waiting on a task still queued behind another never runs it on the
    // waiting thread, as a one-thread pool under QtConcurrent::run would.
    void anAwaitedTaskRunsInTurnOnTheExecutorsThread() {
        QSemaphore releaseFirst, secondStarted;
        SerialExecutor executor;
        executor.submit([&] { releaseFirst.acquire(); });
        QFuture<bool> second = executor.submit([&] {
            secondStarted.release();
            return executor.isCurrentThread();
        });
        std::thread waiter([&] { second.waitForFinished(); });
        const bool early = secondStarted.tryAcquire(1, 200); // run by the waiter
        releaseFirst.release();
        waiter.join();
        QVERIFY(!early && second.result());
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
        } // the gate opens, and destruction finishes whatever is queued
        QTRY_VERIFY(continued);
        QVERIFY(first.result().processes.at(99).cpuNanos == 1u &&
                first.result().loginItems == Sampler::LoginItems{});
        QVERIFY(second.result().processes.at(99).cpuNanos == 2u &&
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
        const std::optional<std::map<Pid, double>> shares = sampler.collect(false).result().cpu;
        QVERIFY(shares && shares->at(500) == 25.0 && !shares->contains(501));
    }

    // launchctl list runs again when launchd's children changed, print-disabled when
    // asked to forget, the folder scan then or when the listing changed; none without launchd.
    void externalCommandsRunOnlyWhenSomethingChanged() {
        Fixture f;
        const QString first = f.agents() + "/org.example.first.plist";
        QVERIFY(writePlist(first, "/a"));
        // An hour back, so any change to the listing gives a new stamp however quickly.
        const std::filesystem::path folder = QFile::encodeName(f.agents()).toStdString();
        std::filesystem::last_write_time(folder, std::filesystem::last_write_time(folder) -
                                                     std::chrono::hours(1));
        f.set(600, 1);
        // Without launchd no tool runs and no job folder is read, even in a first pass.
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
            const std::pair counts(f.tools.callCount({"launchctl", "list"}),
                                   f.tools.callCount({"launchctl", "print-disabled"}));
            [&] { QCOMPARE(counts, std::pair(lists, disabled)); }();
            return programs;
        };
        pass(1, 1);
        // A grandchild of launchd is no job; an edit in place leaves the folder's stamp.
        f.set(602, 600);
        QVERIFY(writePlist(first, "/b"));
        QCOMPARE(pass(1, 1), QStringList{"org.example.first=/a"});
        f.set(603, 1); // a job started
        pass(2, 1);
        f.platform.remove(600); // a job ended
        pass(3, 1);
        QVERIFY(writePlist(f.agents() + "/org.example.second.plist", "/c"));
        QCOMPARE(pass(3, 1), (QStringList{"org.example.first=/b", "org.example.second=/c"}));
        QVERIFY(writePlist(first, "/d"));
        sampler.forgetLaunchdState();
        QCOMPARE(pass(4, 2).value(0), "org.example.first=/d");
    }
};

QTEST_GUILESS_MAIN(SamplerQtTest)
#include "SamplerQtTest.moc"
