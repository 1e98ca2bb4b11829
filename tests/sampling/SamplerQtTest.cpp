#include <sys/time.h>

#include <atomic>
#include <csignal>
#include <memory>
#include <thread>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QTest>

#include "sampling/Sampler.h"
#include "support/FakeProcPlatform.h"
#include "support/StandIns.h"

using namespace std::chrono_literals;

namespace {

// The fake process table with a gate: while closed, a pass stops at its first
// process until the gate opens. Pid 99's CPU time counts the passes that read
// it, so a result tells which pass made it.
class GatedPlatform {
public:
    struct Process {
        Pid ppid = 1;
        quint64 cpuTicks = 0;
        Timestamp start = 1000.0;
    };

    GatedPlatform() {
        fake.uid = Sampler::Environment::currentUid();
        set(99, {1, 0, 1.0});
        fake.onOpen = [this](Pid pid) {
            if (m_gateClosed)
                m_gate.acquire();
            if (pid == 99)
                fake.processes[99].cpuTicks = quint64(++m_passes);
        };
    }

    void set(Pid pid, Process process) {
        FakeProcess entry;
        entry.basics = {process.ppid, fake.uid, QStringLiteral("fake%1").arg(pid), process.start};
        entry.cpuTicks = process.cpuTicks;
        entry.memory = 4096;
        entry.path = QStringLiteral("/opt/fake/bin/fake%1").arg(pid);
        if (fake.processes.contains(pid))
            fake.processes[pid] = entry;
        else
            fake.add(pid, entry);
    }
    void remove(Pid pid) { fake.remove(pid); }
    void closeGate() {
        m_gate.tryAcquire(m_gate.available());
        m_gateClosed = true;
    }
    void openGate() {
        m_gateClosed = false;
        m_gate.release(1000);
    }
    int passes() const { return m_passes; }

    FakeProcPlatform fake;

private:
    std::atomic<int> m_passes = 0;
    std::atomic<bool> m_gateClosed = false;
    QSemaphore m_gate;
};

QByteArray plist(const QString& label, const QString& program) {
    return QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                          "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                          "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                          "<plist version=\"1.0\"><dict>\n"
                          "<key>Label</key><string>%1</string>\n"
                          "<key>ProgramArguments</key><array><string>%2</string></array>\n"
                          "</dict></plist>\n")
        .arg(label, program)
        .toUtf8();
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

// Moves a folder's modification time an hour back, so that any change to its
// listing gives it a new stamp however quickly it follows.
bool ageFolder(const QString& path) {
    struct timeval now {};
    ::gettimeofday(&now, nullptr);
    const struct timeval times[2] = {{now.tv_sec - 3600, 0}, {now.tv_sec - 3600, 0}};
    return ::utimes(QFile::encodeName(path).constData(), times) == 0;
}

QStringList labelsOf(const QList<LaunchJob>& jobs) {
    QStringList labels;
    for (const LaunchJob& job : jobs)
        labels.append(job.label);
    return labels;
}

std::optional<QString> programOf(const QList<LaunchJob>& jobs, const QString& label) {
    for (const LaunchJob& job : jobs) {
        if (job.label == label)
            return job.arguments.value(0);
    }
    return std::nullopt;
}

} // namespace

class SamplerQtTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void operationsRunOneAtATimeInSubmissionOrder();
    void destructionFinishesQueuedOperations();
    void resultsReachTheMainThreadWithoutBlockingIt();
    void cpuHistoryAcrossPasses();
    void launchctlListRunsOnlyWhenLaunchdChildrenChange();
    void disabledLabelsAreReadOnce();
    void newPlistTriggersRescanButInPlaceEditDoesNot();
    void forgetLaunchdStateRereadsAllThree();
    void resetCachesStartsAFreshHistory();
    void loginItemsReachTheInput();
    void sampleBuildsAnInventory();
    void realLaunchdChildTriggersList();
    void readLoginItemsThroughTheTool();
    void readLoginItemsDoesNotWaitForTheSampler();

private:
    Sampler::Environment environment();
    void advance(std::chrono::milliseconds step) { m_clock->fetch_add(step.count()); }
    int launchctlCalls(const QString& verb) const;

    std::unique_ptr<QTemporaryDir> m_home;
    std::unique_ptr<StandIns> m_standIns;
    std::unique_ptr<GatedPlatform> m_platform;
    std::shared_ptr<std::atomic<qint64>> m_clock;
};

void SamplerQtTest::init() {
    m_home = std::make_unique<QTemporaryDir>();
    QVERIFY(m_home->isValid());
    QVERIFY(QDir(m_home->path()).mkpath(QStringLiteral("Library/LaunchAgents")));
    QVERIFY(ageFolder(m_home->path() + QStringLiteral("/Library/LaunchAgents")));
    m_standIns = std::make_unique<StandIns>();
    QVERIFY(m_standIns->isValid());
    m_clock = std::make_shared<std::atomic<qint64>>(1'000'000);
    m_platform = std::make_unique<GatedPlatform>();
}

void SamplerQtTest::cleanup() {
    m_platform.reset();
    m_standIns.reset();
    m_home.reset();
}

Sampler::Environment SamplerQtTest::environment() {
    Sampler::Environment env;
    env.tools = m_standIns->locations();
    env.folders.home = m_home->path();
    env.folders.globalAgents = m_home->path() + QStringLiteral("/Global/LaunchAgents");
    env.folders.globalDaemons = m_home->path() + QStringLiteral("/Global/LaunchDaemons");
    env.uid = m_platform->fake.uid;
    env.ownPid = 7;
    env.platform = &m_platform->fake;
    env.now = [clock = m_clock] {
        return Sampler::Clock::time_point(std::chrono::milliseconds(clock->load()));
    };
    return env;
}

int SamplerQtTest::launchctlCalls(const QString& verb) const {
    return m_standIns->callCount({QStringLiteral("launchctl"), verb});
}

void SamplerQtTest::operationsRunOneAtATimeInSubmissionOrder() {
    Sampler sampler(environment());
    const Sampler::LoginItems items{{QStringLiteral("/Applications/Notes.app")}, {}};

    m_platform->closeGate();
    QFuture<SampleInput> first = sampler.collect(false);
    QFuture<void> handOver = sampler.setLoginItems(items);
    QFuture<SampleInput> second = sampler.collect(true);
    QFuture<void> reset = sampler.resetCaches();
    QFuture<SampleInput> third = sampler.collect(false);

    // Waiting on the last one elsewhere must not run it while the first is held.
    QSemaphore waited;
    std::thread waiter([&] {
        third.waitForFinished();
        waited.release();
    });
    QVERIFY(!waited.tryAcquire(1, 300));
    QVERIFY(!first.isFinished());
    QVERIFY(!third.isFinished());
    QCOMPARE(m_platform->passes(), 0);
    m_platform->openGate();
    waiter.join();

    QVERIFY(first.isFinished() && handOver.isFinished() && second.isFinished() &&
            reset.isFinished());
    // Pid 99's CPU time is the number of the listing that saw it.
    QCOMPARE(first.result().processes.at(99).cpuNanos, std::optional<quint64>(1));
    QCOMPARE(second.result().processes.at(99).cpuNanos, std::optional<quint64>(2));
    QCOMPARE(third.result().processes.at(99).cpuNanos, std::optional<quint64>(3));
    QVERIFY(first.result().loginItems == Sampler::LoginItems{});
    QVERIFY(second.result().loginItems == items);
    QVERIFY(third.result().loginItems == items);
    QVERIFY(!first.result().includeApple);
    QVERIFY(second.result().includeApple);
}

void SamplerQtTest::destructionFinishesQueuedOperations() {
    QFuture<SampleInput> first;
    QFuture<void> reset;
    QFuture<Inventory> last;
    {
        Sampler sampler(environment());
        m_platform->closeGate();
        first = sampler.collect(false);
        reset = sampler.resetCaches();
        last = sampler.sample(false);
        m_platform->openGate();
    }
    QVERIFY(first.isFinished() && reset.isFinished() && last.isFinished());
    QVERIFY(!first.isCanceled() && !last.isCanceled());
    QCOMPARE(first.result().processes.at(99).cpuNanos, std::optional<quint64>(1));
    QCOMPARE(m_platform->passes(), 2);
}

// The way the model awaits a pass: a continuation on the main thread's event
// loop, which keeps running meanwhile.
void SamplerQtTest::resultsReachTheMainThreadWithoutBlockingIt() {
    Sampler sampler(environment());
    QThread* continuedOn = nullptr;
    bool done = false;
    m_platform->closeGate();
    sampler.sample(false).then(this, [&](const Inventory&) {
        continuedOn = QThread::currentThread();
        done = true;
    });
    QCoreApplication::processEvents(); // the event loop runs while the pass is held
    QVERIFY(!done);
    m_platform->openGate();
    QTRY_VERIFY(done);
    QCOMPARE(continuedOn, QThread::currentThread());
}

void SamplerQtTest::cpuHistoryAcrossPasses() {
    m_platform->set(500, {1, 1'000'000'000, 10.0});
    m_platform->set(501, {1, 5'000'000'000, 20.0});
    Sampler sampler(environment());

    const SampleInput first = sampler.collect(false).result();
    QVERIFY(!first.cpu);

    // Half a second later: nothing computed yet.
    advance(500ms);
    m_platform->set(500, {1, 1'400'000'000, 10.0});
    QVERIFY(!sampler.collect(false).result().cpu);

    // Two seconds after the first pass: 0.5 s of CPU is 25 percent. Pid 501
    // now belongs to a new process with less CPU time; pid 502 is new.
    advance(1500ms);
    m_platform->set(500, {1, 1'500'000'000, 10.0});
    m_platform->set(501, {1, 1'000, 30.0});
    m_platform->set(502, {1, 9'000'000'000, 31.0});
    const SampleInput second = sampler.collect(false).result();
    QVERIFY(second.cpu);
    QCOMPARE(second.cpu->at(500), 25.0);
    QVERIFY(!second.cpu->contains(501));
    QVERIFY(!second.cpu->contains(502));
    for (const auto& [pid, share] : *second.cpu)
        QVERIFY2(share >= 0.0 && share <= 100.0, qPrintable(QString::number(pid)));

    // A close pass reuses the last shares.
    advance(200ms);
    m_platform->set(500, {1, 9'000'000'000, 10.0});
    QCOMPARE(sampler.collect(false).result().cpu, second.cpu);

    // The new processes get shares on their second pass.
    advance(1800ms);
    m_platform->set(500, {1, 2'500'000'000, 10.0});
    m_platform->set(501, {1, 1'000'001'000, 30.0});
    m_platform->set(502, {1, 9'000'000'000, 31.0});
    const SampleInput third = sampler.collect(false).result();
    QVERIFY(third.cpu);
    QCOMPARE(third.cpu->at(500), 50.0);
    QCOMPARE(third.cpu->at(501), 50.0);
    QCOMPARE(third.cpu->at(502), 0.0);
}

void SamplerQtTest::launchctlListRunsOnlyWhenLaunchdChildrenChange() {
    m_platform->set(600, {1, 0, 1.0});
    m_platform->set(601, {600, 0, 1.0});
    Sampler sampler(environment());

    sampler.collect(false).waitForFinished();
    QCOMPARE(launchctlCalls(QStringLiteral("list")), 1);

    sampler.collect(false).waitForFinished();
    QCOMPARE(launchctlCalls(QStringLiteral("list")), 1);

    // A grandchild of launchd is no job.
    m_platform->set(602, {600, 0, 1.0});
    sampler.collect(false).waitForFinished();
    QCOMPARE(launchctlCalls(QStringLiteral("list")), 1);

    // A job started.
    m_platform->set(603, {1, 0, 1.0});
    sampler.collect(false).waitForFinished();
    QCOMPARE(launchctlCalls(QStringLiteral("list")), 2);
    sampler.collect(false).waitForFinished();
    QCOMPARE(launchctlCalls(QStringLiteral("list")), 2);

    // A job ended.
    m_platform->remove(600);
    sampler.collect(false).waitForFinished();
    QCOMPARE(launchctlCalls(QStringLiteral("list")), 3);
}

void SamplerQtTest::disabledLabelsAreReadOnce() {
    Sampler sampler(environment());
    for (int i = 0; i < 3; ++i) {
        m_platform->set(700 + i, {1, 0, 1.0}); // the job table is re-read each time
        sampler.collect(false).waitForFinished();
    }
    QCOMPARE(launchctlCalls(QStringLiteral("list")), 3);
    QCOMPARE(launchctlCalls(QStringLiteral("print-disabled")), 1);
    const QStringList call = m_standIns->calls().value(1);
    QCOMPARE(call, (QStringList{QStringLiteral("launchctl"), QStringLiteral("print-disabled"),
                                QStringLiteral("gui/%1").arg(m_platform->fake.uid)}));
}

void SamplerQtTest::newPlistTriggersRescanButInPlaceEditDoesNot() {
    const QString agents = m_home->path() + QStringLiteral("/Library/LaunchAgents");
    const QString first = agents + QStringLiteral("/org.example.first.plist");
    QVERIFY(writeFile(first, plist(QStringLiteral("org.example.first"), QStringLiteral("/a"))));
    QVERIFY(ageFolder(agents));
    Sampler sampler(environment());

    QCOMPARE(labelsOf(sampler.collect(false).result().jobs),
             QStringList{QStringLiteral("org.example.first")});

    // Editing a definition in place leaves the folder's stamp: no rescan.
    QVERIFY(writeFile(first, plist(QStringLiteral("org.example.first"), QStringLiteral("/b"))));
    QCOMPARE(programOf(sampler.collect(false).result().jobs, QStringLiteral("org.example.first")),
             std::optional<QString>(QStringLiteral("/a")));

    // A new definition changes it.
    QVERIFY(writeFile(agents + QStringLiteral("/org.example.second.plist"),
                      plist(QStringLiteral("org.example.second"), QStringLiteral("/c"))));
    const QList<LaunchJob> jobs = sampler.collect(false).result().jobs;
    QVERIFY(labelsOf(jobs).contains(QStringLiteral("org.example.second")));
    QCOMPARE(programOf(jobs, QStringLiteral("org.example.first")),
             std::optional<QString>(QStringLiteral("/b")));
}

void SamplerQtTest::forgetLaunchdStateRereadsAllThree() {
    const QString agents = m_home->path() + QStringLiteral("/Library/LaunchAgents");
    const QString job = agents + QStringLiteral("/org.example.job.plist");
    QVERIFY(writeFile(job, plist(QStringLiteral("org.example.job"), QStringLiteral("/a"))));
    QVERIFY(ageFolder(agents));
    Sampler sampler(environment());
    sampler.collect(false).waitForFinished();
    sampler.collect(false).waitForFinished();
    QCOMPARE(launchctlCalls(QStringLiteral("list")), 1);
    QCOMPARE(launchctlCalls(QStringLiteral("print-disabled")), 1);

    QVERIFY(writeFile(job, plist(QStringLiteral("org.example.job"), QStringLiteral("/b"))));
    sampler.forgetLaunchdState().waitForFinished();
    const SampleInput after = sampler.collect(false).result();
    QCOMPARE(launchctlCalls(QStringLiteral("list")), 2);
    QCOMPARE(launchctlCalls(QStringLiteral("print-disabled")), 2);
    QCOMPARE(programOf(after.jobs, QStringLiteral("org.example.job")),
             std::optional<QString>(QStringLiteral("/b")));

    // And only once.
    sampler.collect(false).waitForFinished();
    QCOMPARE(launchctlCalls(QStringLiteral("list")), 2);
    QCOMPARE(launchctlCalls(QStringLiteral("print-disabled")), 2);
}

void SamplerQtTest::resetCachesStartsAFreshHistory() {
    const QString agents = m_home->path() + QStringLiteral("/Library/LaunchAgents");
    const QString job = agents + QStringLiteral("/org.example.job.plist");
    QVERIFY(writeFile(job, plist(QStringLiteral("org.example.job"), QStringLiteral("/a"))));
    QVERIFY(ageFolder(agents));
    m_platform->set(800, {1, 0, 1.0});
    Sampler sampler(environment());
    const Sampler::LoginItems items{{}, {QStringLiteral("org.example.app")}};
    sampler.setLoginItems(items).waitForFinished();
    sampler.collect(false).waitForFinished();
    advance(2s);
    QVERIFY(sampler.collect(false).result().cpu);
    // The static information is kept between passes: arguments are read once.
    QCOMPARE(m_platform->fake.argumentReads[800], 1);

    QVERIFY(writeFile(job, plist(QStringLiteral("org.example.job"), QStringLiteral("/b"))));
    sampler.resetCaches().waitForFinished();
    advance(2s);
    const SampleInput after = sampler.collect(false).result();
    QVERIFY(!after.cpu);
    QCOMPARE(m_platform->fake.argumentReads[800], 2);
    QCOMPARE(launchctlCalls(QStringLiteral("list")), 2);
    QCOMPARE(launchctlCalls(QStringLiteral("print-disabled")), 2);
    QCOMPARE(programOf(after.jobs, QStringLiteral("org.example.job")),
             std::optional<QString>(QStringLiteral("/b")));
    // Login items are the model's and survive.
    QVERIFY(after.loginItems == items);

    advance(2s);
    QVERIFY(sampler.collect(false).result().cpu);
}

void SamplerQtTest::loginItemsReachTheInput() {
    Sampler sampler(environment());
    const Sampler::LoginItems first{{QStringLiteral("/Applications/A.app")}, {}};
    const Sampler::LoginItems second{{}, {QStringLiteral("org.example.b")}};
    sampler.setLoginItems(first);
    QVERIFY(sampler.collect(false).result().loginItems == first);
    sampler.setLoginItems(second);
    QVERIFY(sampler.collect(false).result().loginItems == second);
}

void SamplerQtTest::sampleBuildsAnInventory() {
    const QString agents = m_home->path() + QStringLiteral("/Library/LaunchAgents");
    QVERIFY(writeFile(agents + QStringLiteral("/org.example.idle.plist"),
                      plist(QStringLiteral("org.example.idle"), QStringLiteral("/opt/idle"))));
    Sampler sampler(environment());
    const SampleInput input = sampler.collect(false).result();
    QCOMPARE(input.ownPid, 7);
    QCOMPARE(input.uid, m_platform->fake.uid);
    QCOMPARE(input.resolvePath(QStringLiteral("/Volumes/X/y")), QStringLiteral("/Volumes/X/y"));

    const Inventory inventory = sampler.sample(false).result();
    bool idleShown = false;
    for (const BackgroundItem& item : inventory.notRunning)
        idleShown =
            idleShown || (item.job && item.job->label == QStringLiteral("org.example.idle"));
    QVERIFY(idleShown);
}

// The real process table: a detached process becomes launchd's (pid 1's)
// child, and the job table is read again.
void SamplerQtTest::realLaunchdChildTriggersList() {
    Sampler::Environment env = environment();
    env.platform = &ProcReader::systemPlatform();
    env.uid = Sampler::Environment::currentUid();
    env.ownPid = Sampler::Environment::currentPid();
    env.now = [] { return Sampler::Clock::now(); };
    Sampler sampler(env);

    // Other programs on this machine start and end children of pid 1 too, so
    // each pass is checked against what the process table showed.
    QSet<Pid> children = Sampler::launchdChildrenOf(sampler.collect(false).result().processes);
    int calls = launchctlCalls(QStringLiteral("list"));
    QCOMPARE(calls, 1);
    for (int i = 0; i < 3; ++i) {
        const QSet<Pid> now = Sampler::launchdChildrenOf(sampler.collect(false).result().processes);
        const int expected = now == children ? calls : calls + 1;
        QCOMPARE(launchctlCalls(QStringLiteral("list")), expected);
        children = now;
        calls = expected;
    }

    qint64 pid = 0;
    QVERIFY(QProcess::startDetached(QStringLiteral("/bin/sleep"), {QStringLiteral("300")},
                                    QString(), &pid));
    const auto stop = qScopeGuard([pid] {
        ::kill(pid_t(pid), SIGKILL);
        StandIns::waitGone(Pid(pid), 5s);
    });
    const SampleInput input = sampler.collect(false).result();
    const auto found = input.processes.find(Pid(pid));
    QVERIFY(found != input.processes.end());
    if (found->second.ppid != 1)
        QSKIP("Orphans are not adopted by pid 1 here");
    QCOMPARE(launchctlCalls(QStringLiteral("list")), calls + 1);
}

namespace {

// A dump in the layout sfltool prints: one section per user, one record per item.
QByteArray loginItemsDump(Uid uid) {
    const QByteArray header = "========================\n Records for UID " +
                              QByteArray::number(uid) + " : 5E3C29B4-0000-4E7F-9B1D-2C1A4A8E0F11\n";
    return header +
           QByteArray("========================\n"
                      "\n"
                      " ServiceManagement migrated: true\n"
                      " SharedFileList migrated: true\n"
                      "\n"
                      " Items:\n"
                      "\n"
                      " #1:\n"
                      "                 UUID: 8A0D2E3F-1111-4C55-8E2B-7D6A9C0B1E22\n"
                      "                 Name: Notes Pro\n"
                      "                 Type: app (0x2)\n"
                      "          Disposition: [enabled, allowed, visible, notified] (0xb)\n"
                      "           Identifier: 2.com.example.notes\n"
                      "                  URL: file:///Applications/Notes%20Pro.app/\n"
                      "    Bundle Identifier: com.example.notes\n");
}

} // namespace

void SamplerQtTest::readLoginItemsThroughTheTool() {
    SystemTools::Locations tools = m_standIns->locations();
    const Uid uid = Sampler::Environment::currentUid();

    m_standIns->setLoginItemsDump(loginItemsDump(uid), 0);
    const std::optional<Sampler::LoginItems> read = Sampler::readLoginItems(tools, uid).result();
    QVERIFY(read);
    QCOMPARE(read->appPaths, QSet<QString>{QStringLiteral("/Applications/Notes Pro.app")});
    QCOMPARE(read->bundleIDs, QSet<QString>{QStringLiteral("com.example.notes")});
    QCOMPARE(m_standIns->callCount({QStringLiteral("sfltool"), QStringLiteral("dumpbtm")}), 1);

    // The password prompt cancelled.
    m_standIns->setLoginItemsDump(loginItemsDump(uid), 1);
    QVERIFY(!Sampler::readLoginItems(tools, uid).result());

    // Status 0, but no dump.
    m_standIns->setLoginItemsDump("Error: not authorized\n", 0);
    QVERIFY(!Sampler::readLoginItems(tools, uid).result());

    // No tool at all.
    tools.sfltool = m_home->path() + QStringLiteral("/missing/sfltool");
    QVERIFY(!Sampler::readLoginItems(tools, uid).result());
}

void SamplerQtTest::readLoginItemsDoesNotWaitForTheSampler() {
    Sampler sampler(environment());
    m_platform->closeGate();
    QFuture<SampleInput> held = sampler.collect(false);
    const std::optional<Sampler::LoginItems> read =
        Sampler::readLoginItems(m_standIns->locations(), m_platform->fake.uid).result();
    QVERIFY(!held.isFinished());
    m_platform->openGate();
    held.waitForFinished();
    Q_UNUSED(read);
}

QTEST_GUILESS_MAIN(SamplerQtTest)
#include "SamplerQtTest.moc"
