#!/usr/bin/env bash
# Runs every benchmark that carries a speed goal and prints each goal's ratio:
# the report against ps + ss, one steady refresh with the panel open against
# a bare /proc/PID/stat loop, the builder at 2,000 processes against its 5 ms
# budget, and a list refresh at 1,000 items against 16 ms.
# Usage: bench/goals.sh   (after scripts/setup.sh; the build lives in build/)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${QUILLMARSH_BUILD_DIR:-build}

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "== report (bench/report-vs-ps.sh)"
QUILLMARSH_BINARY="$build/src/quillmarsh" bench/report-vs-ps.sh
echo "== panel refresh ($build/bench/PanelRefreshBench)"
"$build/bench/PanelRefreshBench" 2>/dev/null
echo "== builder ($build/bench/InventoryBuilderBench)"
"$build/bench/InventoryBuilderBench" 2>/dev/null | grep -E '^(sample|build)'
echo "== list ($build/bench/ListModelBench)"
"$build/bench/ListModelBench" 2>/dev/null
