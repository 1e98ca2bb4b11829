// How much the explanation cache saves: the same refresh's worth of lookups
// answered from the cache against the same lookups matched afresh, and the
// cost of a refresh whose keys are all new (random ports, temporary paths).
// Prints times per lookup and their ratios from one run.

#include <chrono>
#include <cstdio>

#include <QStringList>

#include <benchmark/benchmark.h>

#include "inventory/Explanations.h"

namespace {

// One refresh's worth of lookups: a few hundred items of a busy machine.
QStringList refreshKeys(int generation) {
    const QStringList paths = {
        QStringLiteral("/opt/homebrew/opt/redis/bin/redis-server"),
        QStringLiteral("/Applications/Visual Studio Code.app/Contents/Frameworks/Code Helper"),
        QStringLiteral("/usr/libexec/trustd"),
        QStringLiteral("/Users/me/Projects/site/node_modules/.bin/vite"),
        QStringLiteral("/System/Library/CoreServices/Finder.app/Contents/MacOS/Finder"),
        QStringLiteral("/Users/me/.local/bin/unknown-tool"),
    };
    QStringList keys;
    for (int i = 0; i < 300; ++i)
        keys.append(paths[i % paths.size()] +
                    QStringLiteral(" --port=%1").arg(generation * 1000 + i));
    return keys;
}

double secondsFor(const QStringList& keys, bool clearFirst, int rounds) {
    const auto start = std::chrono::steady_clock::now();
    for (int round = 0; round < rounds; ++round) {
        if (clearFirst)
            Explanations::clearExplanationCache();
        for (const QString& key : keys)
            benchmark::DoNotOptimize(
                Explanations::explain(std::nullopt, QStringLiteral("proc"), key));
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

int main() {
    constexpr int rounds = 200;
    const QStringList keys = refreshKeys(0);
    const double lookups = double(keys.size()) * rounds;

    secondsFor(keys, false, 5); // warm up the table and the cache
    const double cached = secondsFor(keys, false, rounds);
    const double matched = secondsFor(keys, true, rounds);

    // Every refresh brings new keys: the cache keeps growing and starts over
    // after 4000 entries.
    Explanations::clearExplanationCache();
    const auto start = std::chrono::steady_clock::now();
    for (int round = 0; round < rounds; ++round) {
        for (const QString& key : refreshKeys(round + 1))
            benchmark::DoNotOptimize(
                Explanations::explain(std::nullopt, QStringLiteral("proc"), key));
    }
    const double fresh =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    std::printf("explain, cached:          %8.1f ns per lookup\n", cached / lookups * 1e9);
    std::printf("explain, matched afresh:  %8.1f ns per lookup\n", matched / lookups * 1e9);
    std::printf("explain, all keys new:    %8.1f ns per lookup (cache size now %lld)\n",
                fresh / lookups * 1e9,
                static_cast<long long>(Explanations::explanationCacheSize()));
    std::printf("ratio matched / cached:   %8.2f\n", matched / cached);
    return 0;
}
