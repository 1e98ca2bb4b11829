// One inventory pass over a synthetic machine: 2,000 processes in realistic
// parent chains (apps with helpers, terminals with shells and dev servers,
// agent sessions, a booted simulator, system daemons, deep build chains),
// 300 plist jobs and 500 `launchctl list` entries. Prints the time per pass
// against the 5 ms budget and against copying the sample once.

#include <chrono>
#include <cstdio>
#include <ctime>
#include <vector>

#include <QString>
#include <QStringList>

#include <benchmark/benchmark.h>

#include "inventory/InventoryBuilder.h"

namespace {

constexpr int processTarget = 2000;
constexpr int jobTarget = 300;
constexpr int launchctlTarget = 500;
constexpr Uid user = 501;

class SyntheticMachine {
public:
    SampleInput build() {
        input.uid = user;
        input.ownPid = 99999;
        add(0, 0, QString(), {}, 0);
        add(1, 0, QStringLiteral("/sbin/launchd"), {}, 0);

        addApps();
        addTerminals();
        addAgentSessions();
        addSimulator();
        addDaemons();
        addBuildChains();
        addJobs();
        while (int(input.processes.size()) < processTarget)
            add(nextPid, 1, QStringLiteral("/usr/libexec/misc%1").arg(nextPid), {}, 0);
        addCpu();
        return input;
    }

private:
    Pid add(Pid pid, Pid ppid, const QString& path, QStringList arguments, Uid uid,
            std::optional<QString> folder = std::nullopt) {
        ProcSnapshot process;
        process.pid = pid;
        process.ppid = ppid;
        process.uid = uid;
        process.path = path;
        process.name = path.section(u'/', -1);
        process.arguments = arguments.isEmpty() ? QStringList{path} : arguments;
        process.workingDirectory = std::move(folder);
        process.memory = quint64(1 + (pid * 7919) % 4000) * 65536;
        process.startDate = 1.7e9 + pid;
        input.processes[pid] = process;
        if (pid >= nextPid)
            nextPid = pid + 1;
        return pid;
    }

    Pid add(Pid ppid, const QString& path, QStringList arguments = {},
            std::optional<QString> folder = std::nullopt, Uid uid = user) {
        return add(nextPid, ppid, path, std::move(arguments), uid, std::move(folder));
    }

    void label(const QString& name, std::optional<Pid> pid, std::optional<qint64> status = 0) {
        input.launchctl[name] = CommandParsers::LaunchctlEntry{pid, status};
    }

    // 40 apps, each with a main executable, helpers and XPC services; about 450 processes.
    void addApps() {
        for (int app = 0; app < 40; ++app) {
            const QString bundle = app < 10
                                       ? QStringLiteral("/System/Applications/Sys%1.app").arg(app)
                                       : QStringLiteral("/Applications/App %1.app").arg(app);
            const Pid main = add(1, bundle + QStringLiteral("/Contents/MacOS/App"));
            label(QStringLiteral("application.com.vendor.app%1.%2.%3")
                      .arg(app)
                      .arg(main)
                      .arg(main + 1),
                  main);
            for (int helper = 0; helper < 3 + app % 12; ++helper) {
                add(main,
                    bundle + QStringLiteral("/Contents/Frameworks/App Helper.app/Contents/MacOS/"
                                            "App Helper"),
                    {QStringLiteral("App Helper"), QStringLiteral("--type=renderer"),
                     QStringLiteral("--id=%1").arg(helper)});
            }
            add(1, bundle + QStringLiteral("/Contents/XPCServices/Net.xpc/Contents/MacOS/Net"));
            if (app % 5 == 0) // started by the launch services outside its bundle
                add(main, QStringLiteral("/Applications/Shared Updater.app/Contents/MacOS/upd"));
        }
    }

    // 4 terminals, 6 shells each, each shell running a dev-server chain.
    void addTerminals() {
        const QStringList terminals = {QStringLiteral("iTerm"), QStringLiteral("Terminal"),
                                       QStringLiteral("Ghostty"), QStringLiteral("WezTerm")};
        for (const QString& terminal : terminals) {
            const Pid app =
                add(1, QStringLiteral("/Applications/%1.app/Contents/MacOS/%1").arg(terminal));
            for (int shell = 0; shell < 6; ++shell) {
                const QString folder = QStringLiteral("/Users/dev/src/project%1").arg(shell);
                const Pid login =
                    add(app, QStringLiteral("/usr/bin/login"),
                        {QStringLiteral("login"), QStringLiteral("-fp"), QStringLiteral("dev")});
                const Pid zsh =
                    add(login, QStringLiteral("/bin/zsh"), {QStringLiteral("-zsh")}, folder);
                add(zsh, QStringLiteral("/Users/dev/.cache/gitstatus/gitstatusd"), {}, folder);
                const Pid npm =
                    add(zsh, QStringLiteral("/opt/homebrew/bin/node"),
                        {QStringLiteral("node"), QStringLiteral("/opt/homebrew/bin/npm"),
                         QStringLiteral("run"), QStringLiteral("dev")},
                        folder);
                const Pid vite = add(
                    npm, QStringLiteral("/opt/homebrew/bin/node"),
                    {QStringLiteral("node"), folder + QStringLiteral("/node_modules/.bin/vite")},
                    folder);
                input.ports[vite] = {5173 + shell};
                for (int worker = 0; worker < 3; ++worker)
                    add(vite, folder + QStringLiteral("/node_modules/esbuild/bin/esbuild"),
                        {QStringLiteral("esbuild"), QStringLiteral("--service=0.19")}, folder);
                add(zsh, QStringLiteral("/usr/bin/python3"),
                    {QStringLiteral("python3"), QStringLiteral("-m"),
                     QStringLiteral("http.server")},
                    folder);
            }
        }
    }

    // 5 agent sessions with language and MCP servers.
    void addAgentSessions() {
        for (int session = 0; session < 5; ++session) {
            const QString folder = QStringLiteral("/Users/dev/src/agent%1").arg(session);
            const Pid claude = add(1, QStringLiteral("/Users/dev/.local/bin/claude"),
                                   {QStringLiteral("claude")}, folder);
            for (int server = 0; server < 8; ++server) {
                add(claude, QStringLiteral("/opt/homebrew/bin/node"),
                    {QStringLiteral("node"),
                     QStringLiteral("/Users/dev/mcp/server%1/index.js").arg(server)},
                    folder);
            }
        }
    }

    // A booted simulator with 150 processes under its launchd_sim.
    void addSimulator() {
        const Pid sim = add(1, QStringLiteral("/Library/Developer/PrivateFrameworks/"
                                              "CoreSimulator.framework/Resources/bin/launchd_sim"));
        label(QStringLiteral("com.apple.CoreSimulator.SimDevice.0000-1111"), sim);
        Pid parent = sim;
        for (int i = 0; i < 150; ++i) {
            const Pid child =
                add(i % 10 == 0 ? sim : parent,
                    QStringLiteral("/Library/Developer/CoreSimulator/Volumes/iOS/usr/libexec/d%1")
                        .arg(i));
            parent = child;
        }
    }

    // System daemons and user agents directly under launchd; many listed with a pid.
    void addDaemons() {
        for (int i = 0; i < 350; ++i) {
            const Pid pid = add(1, QStringLiteral("/usr/libexec/daemon%1").arg(i), {}, std::nullopt,
                                i % 3 == 0 ? user : 0);
            if (i < 250)
                label(QStringLiteral("com.apple.daemon%1").arg(i), pid);
            if (i % 25 == 0) {
                for (int child = 0; child < 4; ++child)
                    add(pid, QStringLiteral("/usr/libexec/worker"));
            }
        }
    }

    // Two builds whose compiler processes sit 25 deep.
    void addBuildChains() {
        for (int chain = 0; chain < 2; ++chain) {
            Pid parent = add(1, QStringLiteral("/usr/bin/make"), {QStringLiteral("make")},
                             QStringLiteral("/Users/dev/src/big"));
            for (int depth = 0; depth < 25; ++depth)
                parent = add(parent, QStringLiteral("/usr/bin/make"),
                             {QStringLiteral("make"), QStringLiteral("-C"),
                              QStringLiteral("sub%1").arg(depth)},
                             QStringLiteral("/Users/dev/src/big"));
            for (int unit = 0; unit < 8; ++unit)
                add(parent, QStringLiteral("/usr/bin/clang"),
                    {QStringLiteral("clang"), QStringLiteral("-c"),
                     QStringLiteral("u%1.c").arg(unit)},
                    QStringLiteral("/Users/dev/src/big"));
        }
    }

    void addJobs() {
        for (int i = 0; i < jobTarget; ++i) {
            LaunchJob job;
            job.domain = LaunchJob::Domain(i % 3);
            job.label = QStringLiteral("com.vendor%1.job%2").arg(i % 17).arg(i);
            job.plistPath =
                QStringLiteral("/Library/LaunchAgents/") + job.label + QStringLiteral(".plist");
            if (i % 4 == 0)
                job.arguments = {QStringLiteral("/usr/bin/python3"),
                                 QStringLiteral("/opt/vendor/job%1.py").arg(i)};
            else
                job.program = QStringLiteral("/opt/vendor/bin/tool%1").arg(i);
            job.runAtLoad = i % 2 == 0;
            job.startInterval = i % 5 == 0 ? std::optional<qint64>(3600) : std::nullopt;
            job.isParkedByQuillmarsh = i % 29 == 0;
            if (job.domain == LaunchJob::Domain::globalDaemon && i % 6 == 2) {
                // Running, found by its executable since launchctl does not list it.
                add(1, job.program.value_or(job.arguments.value(0)), job.arguments, std::nullopt,
                    0);
            } else if (i % 7 == 1) {
                const Pid pid = add(1, job.program.value_or(job.arguments.value(0)), job.arguments);
                label(job.label, pid);
            } else if (i % 3 == 1) {
                label(job.label, std::nullopt, i % 11 == 0 ? 78 : 0);
            }
            input.jobs.append(job);
            if (i % 13 == 0)
                input.disabled.insert(job.label);
        }
        for (int i = 0; int(input.launchctl.size()) < launchctlTarget; ++i)
            label(QStringLiteral("com.registered.helper%1").arg(i), std::nullopt, i % 4);
        input.loginItems.bundleIDs = {QStringLiteral("com.vendor.app12"),
                                      QStringLiteral("com.vendor3.job3")};
        input.loginItems.appPaths = {QStringLiteral("/Applications/App 20.app")};
    }

    void addCpu() {
        std::map<Pid, double> cpu;
        for (const auto& [pid, process] : input.processes)
            cpu[pid] = double(pid % 50) / 10.0;
        input.cpu = std::move(cpu);
    }

    SampleInput input;
    Pid nextPid = 100;
};

const SampleInput& sample() {
    static const SampleInput input = SyntheticMachine().build();
    return input;
}

void BM_Build(benchmark::State& state) {
    const SampleInput& input = sample();
    for (auto _ : state)
        benchmark::DoNotOptimize(InventoryBuilder::build(input));
}
BENCHMARK(BM_Build)->Unit(benchmark::kMillisecond);

void BM_BuildWithApple(benchmark::State& state) {
    SampleInput input = sample();
    input.includeApple = true;
    for (auto _ : state)
        benchmark::DoNotOptimize(InventoryBuilder::build(input));
}
BENCHMARK(BM_BuildWithApple)->Unit(benchmark::kMillisecond);

void BM_CopySample(benchmark::State& state) {
    const SampleInput& input = sample();
    for (auto _ : state) {
        SampleInput copy = input;
        benchmark::DoNotOptimize(copy);
    }
}
BENCHMARK(BM_CopySample)->Unit(benchmark::kMillisecond);

struct Timing {
    double wall = 0; // milliseconds per run
    double cpu = 0;  // milliseconds of this thread's processor time per run
};

double threadCpuMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

// Processor time is printed beside wall time because the machine may be busy
// with other work; the ratios use processor time.
template <typename Work> Timing timePerRun(int runs, Work&& work) {
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = threadCpuMilliseconds();
    for (int run = 0; run < runs; ++run)
        work();
    const std::chrono::duration<double, std::milli> elapsed =
        std::chrono::steady_clock::now() - start;
    return {elapsed.count() / runs, (threadCpuMilliseconds() - cpuStart) / runs};
}

} // namespace

int main(int argc, char** argv) {
    const SampleInput& input = sample();
    SampleInput withApple = input;
    withApple.includeApple = true;
    const Inventory first = InventoryBuilder::build(input); // fills the explanation cache
    const Inventory all = InventoryBuilder::build(withApple);
    std::printf("sample: %zu processes, %lld jobs, %zu launchctl entries -> %lld running (%lld "
                "with Apple's), %lld not running\n",
                input.processes.size(), static_cast<long long>(input.jobs.size()),
                input.launchctl.size(), static_cast<long long>(first.running.size()),
                static_cast<long long>(all.running.size()),
                static_cast<long long>(first.notRunning.size()));

    constexpr int runs = 50;
    const Timing build = timePerRun(runs, [&] {
        const Inventory inventory = InventoryBuilder::build(input);
        benchmark::DoNotOptimize(inventory);
    });
    const Timing buildAll = timePerRun(runs, [&] {
        const Inventory inventory = InventoryBuilder::build(withApple);
        benchmark::DoNotOptimize(inventory);
    });
    const Timing copy = timePerRun(runs, [&] {
        SampleInput duplicate = input;
        benchmark::DoNotOptimize(duplicate);
    });
    std::printf("build: %.3f ms processor time per pass (%.3f ms wall); %.2f of the 5 ms budget; "
                "%.1fx one copy of the sample\n",
                build.cpu, build.wall, build.cpu / 5.0, build.cpu / copy.cpu);
    std::printf("build with Apple's items: %.3f ms processor time per pass (%.3f ms wall); %.2f "
                "of the 5 ms budget\n",
                buildAll.cpu, buildAll.wall, buildAll.cpu / 5.0);

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
