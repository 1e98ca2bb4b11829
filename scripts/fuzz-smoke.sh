#!/usr/bin/env bash
# Builds the libFuzzer targets into build-fuzz/ (clang with AddressSanitizer
# and UndefinedBehaviorSanitizer) and runs each one for a few seconds over a
# seed corpus. Any crash, hang, leak or sanitizer report fails the run; the
# input that caused it is left in build-fuzz/fuzz-artifacts/.
#
#   QUILLMARSH_FUZZ_SECONDS   seconds per target (default 5)
#   QUILLMARSH_FUZZ_BUILD_DIR build folder (default build-fuzz)
#   QUILLMARSH_SHARED_DIR     shared samples next to the checkout (default ../shared)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${QUILLMARSH_FUZZ_BUILD_DIR:-build-fuzz}
seconds=${QUILLMARSH_FUZZ_SECONDS:-5}
shared=${QUILLMARSH_SHARED_DIR:-$root/../shared}
samples=$shared/samples/launchd

if [ ! -f "$build/build.ninja" ]; then
    CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DQUILLMARSH_FUZZ=ON -DQUILLMARSH_TESTS=OFF -DQUILLMARSH_BENCH=OFF >/dev/null
fi
cmake --build "$build" --target quillmarsh_fuzz -- -j"$(nproc)"

# Seeds: the small examples in fuzz/seeds/, plus the shared real-world samples
# when they are present. Copied fresh into the build folder each run; what the
# fuzzer finds on top stays there between runs.
corpus=$build/fuzz-corpus
artifacts=$build/fuzz-artifacts
mkdir -p "$corpus" "$artifacts"
seed() { # target, files...
    local target=$1
    shift
    mkdir -p "$corpus/$target"
    local file
    for file in "$@"; do
        [ -f "$file" ] && cp -f "$file" "$corpus/$target/seed-$(basename "$(dirname "$file")")-$(basename "$file")"
    done
    return 0
}
for folder in fuzz/seeds/*/; do
    target=$(basename "$folder")
    seed "$target" "$folder"*
done
if [ -d "$samples" ]; then
    seed LaunchctlListFuzz "$samples"/outputs/launchctl-list-*.txt
    seed DisabledFuzz "$samples"/outputs/print-disabled-*.txt
    seed LoginItemsFuzz "$samples"/outputs/*.txt
    seed JobFuzz "$samples"/plists/*.plist "$samples"/plists-binary/*.plist
fi
# Binary twins of the XML seeds, written by Python's plistlib when present.
if command -v python3 >/dev/null; then
    python3 -c '
import plistlib, sys
for path in sys.argv[1:]:
    try:
        with open(path, "rb") as f:
            value = plistlib.load(f)
        with open(path + ".bin", "wb") as f:
            plistlib.dump(value, f, fmt=plistlib.FMT_BINARY)
    except Exception:
        pass
' fuzz/seeds/JobFuzz/*.plist
    for file in fuzz/seeds/JobFuzz/*.plist.bin; do
        [ -f "$file" ] && mv -f "$file" "$corpus/JobFuzz/seed-binary-$(basename "$file")"
    done
fi

failed=0
for target in LaunchctlListFuzz DisabledFuzz LoginItemsFuzz JobFuzz UnitFileFuzz DesktopEntryFuzz; do
    binary=$build/fuzz/$target
    [ -x "$binary" ] || continue
    log=$build/fuzz-$target.log
    options=(-max_total_time="$seconds" -timeout=2 -rss_limit_mb=2048 -artifact_prefix="$artifacts/$target-")
    [ -f "fuzz/$target.dict" ] && options+=(-dict="fuzz/$target.dict")
    if "$binary" "${options[@]}" "$corpus/$target" >"$log" 2>&1; then
        echo "fuzz $target: ok ($(grep -o 'Done [0-9]* runs' "$log" | tail -1 || true))"
    else
        echo "fuzz $target: FAILED, see $log"
        tail -n 40 "$log"
        failed=1
    fi
done
exit $failed
