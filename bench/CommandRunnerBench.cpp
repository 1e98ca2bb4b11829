// What the runner adds to starting a tool: temporary files, waiting on a
// process descriptor, reading and decoding. Prints the cost of one
// runCommand of /bin/true relative to a bare posix_spawn and waitpid of it,
// measured in the same run.

#include <chrono>
#include <cstdio>

#include <spawn.h>
#include <sys/wait.h>

#include <benchmark/benchmark.h>

#include "os/CommandRunner.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr char tool[] = "/bin/true";

void bareSpawn() {
    char* argv[] = {const_cast<char*>(tool), nullptr};
    pid_t pid = 0;
    if (::posix_spawn(&pid, tool, nullptr, nullptr, argv, environ) != 0)
        return;
    int status = 0;
    ::waitpid(pid, &status, 0);
}

void viaRunner() {
    const CommandResult result =
        CommandRunner::runCommand(QString::fromLatin1(tool), {}, std::chrono::seconds(10));
    benchmark::DoNotOptimize(result);
}

void BM_BareSpawn(benchmark::State& state) {
    for (auto _ : state)
        bareSpawn();
}
BENCHMARK(BM_BareSpawn)->Unit(benchmark::kMicrosecond);

void BM_RunCommand(benchmark::State& state) {
    for (auto _ : state)
        viaRunner();
}
BENCHMARK(BM_RunCommand)->Unit(benchmark::kMicrosecond);

template <typename F> double secondsFor(int rounds, F&& run) {
    const auto start = Clock::now();
    for (int i = 0; i < rounds; ++i)
        run();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    constexpr int rounds = 200;
    secondsFor(10, viaRunner); // warm up
    const double bare = secondsFor(rounds, bareSpawn);
    const double runner = secondsFor(rounds, viaRunner);
    std::printf("runCommand / bare spawn: %.2f (%.0f us vs %.0f us per call)\n", runner / bare,
                runner / rounds * 1e6, bare / rounds * 1e6);
    return 0;
}
