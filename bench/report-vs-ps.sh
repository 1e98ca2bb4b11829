#!/usr/bin/env bash
# Times the whole `quillmarsh --json --all` process against the pair
# `ps -eo pid,ppid,uid,rss,etimes,args` + `ss -ltnp`, run one after the other,
# on a machine with a few hundred processes. The goal: the report takes less
# time than the pair. Prints the mean time of each and their ratio.
#
# Usage: bench/report-vs-ps.sh [runs] [extra processes]   (defaults: 20, 300)
# QUILLMARSH_BINARY picks the binary (default build/src/quillmarsh). Set
# QUILLMARSH_TOOLS_DIR to the stand-ins to include the launchctl runs; without
# it the missing system tools fail at once and the report measures reading,
# building and writing only.
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${1:-20}
extra=${2:-300}
binary=${QUILLMARSH_BINARY:-build/src/quillmarsh}
[ -x "$binary" ] || { echo "no binary at $binary; build first (scripts/setup.sh)" >&2; exit 1; }

sleepers=()
cleanup() {
    if [ ${#sleepers[@]} -gt 0 ]; then
        kill "${sleepers[@]}" 2>/dev/null || true
        wait "${sleepers[@]}" 2>/dev/null || true
    fi
}
trap cleanup EXIT
for _ in $(seq "$extra"); do
    sleep 3600 &
    sleepers+=($!)
done
echo "processes on this machine: $(ls -d /proc/[0-9]* | wc -l)"

now_ns() { date +%s%N; }

time_runs() { # name, command...
    local start end
    "$@" >/dev/null 2>&1 # warm-up
    start=$(now_ns)
    for _ in $(seq "$runs"); do
        "$@" >/dev/null 2>&1
    done
    end=$(now_ns)
    echo $(((end - start) / runs))
}

ps_pair() {
    ps -eo pid,ppid,uid,rss,etimes,args
    ss -ltnp
}

report_ns=$(time_runs "$binary" --json --all)
pair_ns=$(time_runs ps_pair)

awk -v r="$report_ns" -v p="$pair_ns" -v n="$runs" 'BEGIN {
    printf "quillmarsh --json --all: %8.2f ms per run (%d runs)\n", r / 1e6, n
    printf "ps + ss:                 %8.2f ms per run (%d runs)\n", p / 1e6, n
    printf "ratio report / (ps + ss): %.2f (goal: below 1)\n", r / p
}'
