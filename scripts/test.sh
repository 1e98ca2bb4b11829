#!/usr/bin/env bash
# Builds Quillmarsh and runs the whole test suite. When clang is present, a
# short smoke run of each fuzz target comes first, so ctest's summary is the
# last thing printed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
if [ -x scripts/fuzz-smoke.sh ] && command -v clang++ >/dev/null; then
    scripts/fuzz-smoke.sh
fi
cd "${QUILLMARSH_BUILD_DIR:-build}"
ctest --output-on-failure -j"$(nproc)"
