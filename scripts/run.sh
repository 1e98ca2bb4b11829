#!/usr/bin/env bash
# Builds Quillmarsh (installing missing packages first) and runs it with the
# given arguments, for example: scripts/run.sh --json
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh >&2
exec "${QUILLMARSH_BUILD_DIR:-build}/src/quillmarsh" "$@"
