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

# Microseconds from bash itself, so no timing process adds to either side.
now_us() { local t=${EPOCHREALTIME/./}; echo "$t"; }

ps_pair() {
    ps -eo pid,ppid,uid,rss,etimes,args
    ss -ltnp
}

# Warm-up, then the two sides alternate so that other load on the machine
# falls on both alike.
"$binary" --json --all >/dev/null 2>&1 || true
ps_pair >/dev/null 2>&1
report_us=0
pair_us=0
for _ in $(seq "$runs"); do
    start=$(now_us)
    "$binary" --json --all >/dev/null 2>&1 || true
    middle=$(now_us)
    ps_pair >/dev/null 2>&1
    end=$(now_us)
    report_us=$((report_us + middle - start))
    pair_us=$((pair_us + end - middle))
done

awk -v r="$report_us" -v p="$pair_us" -v n="$runs" 'BEGIN {
    printf "quillmarsh --json --all: %8.2f ms per run (%d runs)\n", r / n / 1e3, n
    printf "ps + ss:                 %8.2f ms per run (%d runs)\n", p / n / 1e3, n
    printf "ratio report / (ps + ss): %.2f (goal: below 1)\n", r / p
}'
