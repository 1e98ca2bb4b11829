// A steady sampling pass (warm caches, nothing changed) against a cold one
// (caches dropped) over this machine's real process table. The system tools
// are the stand-ins unless QUILLMARSH_TOOLS_DIR already names others; their
// call log shows whether the steady passes ran any command.

#include <cstdio>
#include <map>
#include <string>

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>

#include "sampling/Sampler.h"

namespace {

// Records the mean time per iteration of each benchmark while printing as usual.
class RecordingReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> milliseconds;

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration)
                milliseconds[run.benchmark_name()] = run.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

// How many commands the stand-ins have logged so far.
int loggedCalls(const QString& stateFolder) {
    QFile log(stateFolder + QStringLiteral("/calls.log"));
    if (!log.open(QIODevice::ReadOnly))
        return 0;
    int count = 0;
    while (!log.atEnd()) {
        if (QJsonDocument::fromJson(log.readLine()).isArray())
            ++count;
    }
    return count;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir state;
    if (!state.isValid()) {
        std::fprintf(stderr, "Could not create a temporary folder\n");
        return 1;
    }
    if (qEnvironmentVariableIsEmpty("QUILLMARSH_TOOLS_DIR"))
        qputenv("QUILLMARSH_TOOLS_DIR", QUILLMARSH_STANDINS_DIR);
    qputenv("QUILLMARSH_STANDIN_STATE", QFile::encodeName(state.path()));

    Sampler sampler;
    int steadyCalls = 0;
    int steadyPasses = 0;

    benchmark::RegisterBenchmark("cold pass", [&](benchmark::State& bench) {
        for (auto _ : bench) {
            sampler.resetCaches().waitForFinished();
            benchmark::DoNotOptimize(sampler.sample(false).result());
        }
    })->Unit(benchmark::kMillisecond);

    benchmark::RegisterBenchmark("steady pass", [&](benchmark::State& bench) {
        sampler.resetCaches().waitForFinished();
        sampler.sample(false).waitForFinished();
        sampler.sample(false).waitForFinished();
        const int before = loggedCalls(state.path());
        for (auto _ : bench)
            benchmark::DoNotOptimize(sampler.sample(false).result());
        steadyCalls += loggedCalls(state.path()) - before;
        steadyPasses += int(bench.iterations());
    })->Unit(benchmark::kMillisecond);

    benchmark::Initialize(&argc, argv);
    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const double cold = reporter.milliseconds["cold pass"];
    const double steady = reporter.milliseconds["steady pass"];
    if (cold > 0 && steady > 0) {
        std::printf("\ncold pass:   %.2f ms\nsteady pass: %.2f ms\nsteady/cold: %.3f (goal <= "
                    "0.333)\n",
                    cold, steady, steady / cold);
    }
    std::printf("commands run during %d steady passes: %d (goal 0; other programs starting or "
                "ending children of pid 1 make launchctl list run again)\n",
                steadyPasses, steadyCalls);
    return 0;
}
