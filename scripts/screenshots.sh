#!/usr/bin/env bash
# Takes docs/screenshots/list.png: the real quillmarsh window on a virtual X
# display (Xvfb, no tray, so the panel opens as an ordinary window), with the
# stand-in system tools and a few real background processes to list.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build_dir=${QUILLMARSH_BUILD_DIR:-build}
binary="$root/$build_dir/src/quillmarsh"
out="$root/docs/screenshots/list.png"
display_number=${SCREENSHOT_DISPLAY:-99}

cmake --build "$build_dir" --target quillmarsh quillmarsh_window -- -j2 >/dev/null
mkdir -p "$(dirname "$out")"

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

Xvfb ":$display_number" -screen 0 900x700x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
export DISPLAY=":$display_number"
for _ in $(seq 50); do
    xdotool getdisplaygeometry >/dev/null 2>&1 && break
    sleep 0.1
done

# Something to show: a web server on a loopback port and an idle command.
mkdir -p "$work/site"
(cd "$work/site" && exec python3 -m http.server --bind 127.0.0.1 8765 >/dev/null 2>&1) &
pids+=($!)
sleep 3600 &
pids+=($!)

# A throwaway home keeps the user's settings and agents out of the picture.
mkdir -p "$work/home"
env HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" \
    QUILLMARSH_TOOLS_DIR="$root/tests/support/standins" \
    QT_QPA_PLATFORM=xcb QT_REDUCE_MOTION=1 LANG=C.UTF-8 \
    "$binary" >"$work/quillmarsh.log" 2>&1 &
pids+=($!)

window=""
for _ in $(seq 100); do
    window=$(xdotool search --name '^Quillmarsh$' 2>/dev/null | head -n1 || true)
    [ -n "$window" ] && break
    sleep 0.1
done
if [ -z "$window" ]; then
    echo "screenshots: the window did not appear" >&2
    cat "$work/quillmarsh.log" >&2
    exit 1
fi
# The first pass and the header's counting need a moment.
sleep 3

eval "$(xdotool getwindowgeometry --shell "$window")"
import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$out"
echo "wrote $out"
