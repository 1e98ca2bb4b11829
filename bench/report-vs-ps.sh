#!/usr/bin/env bash
# Times the whole `quillmarsh --json --all` process against the pair
# `ps -eo pid,ppid,uid,rss,etimes,args` + `ss -ltnp`, run one after the other,
# on a machine topped up to about 500 processes with sleeping children. The
# report tells more than the pair (ports, working folders, origins, launchd
# jobs). The goal: the report takes at most half the pair's time. The two
# sides alternate; prints the median of each and their ratio.
#
# Usage: bench/report-vs-ps.sh [runs] [processes]   (defaults: 30, 500)
# QUILLMARSH_BINARY picks the binary (default build/src/quillmarsh, built as
# scripts/setup.sh builds it: RelWithDebInfo). Set QUILLMARSH_TOOLS_DIR to the
# stand-ins to include the launchctl runs; without it the missing system
# tools fail at once and the report measures reading, building and writing.
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${1:-30}
target=${2:-500}
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
present=$(ls -d /proc/[0-9]* | wc -l)
for _ in $(seq $((target - present))); do
    sleep 3600 &
    sleepers+=($!)
done
echo "processes on this machine: $(ls -d /proc/[0-9]* | wc -l) (${#sleepers[@]} sleepers of this script)"

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
report=()
pair=()
for _ in $(seq "$runs"); do
    start=$(now_us)
    "$binary" --json --all >/dev/null 2>&1 || true
    middle=$(now_us)
    ps_pair >/dev/null 2>&1
    end=$(now_us)
    report+=($((middle - start)))
    pair+=($((end - middle)))
done

median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
report_median=$(median "${report[@]}")
pair_median=$(median "${pair[@]}")
awk -v r="$report_median" -v p="$pair_median" -v n="$runs" 'BEGIN {
    printf "quillmarsh --json --all: %8.2f ms, median of %d runs\n", r / 1e3, n
    printf "ps + ss:                 %8.2f ms, median of %d runs\n", p / 1e3, n
    printf "report / (ps + ss): %.2f (goal <= 0.5)\n", r / p
}'
