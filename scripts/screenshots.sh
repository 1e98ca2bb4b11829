#!/usr/bin/env bash
# Takes docs/screenshots/*.png: the real quillmarsh window on a virtual X
# display (Xvfb, no tray, so the panel opens as an ordinary window), with the
# stand-in system tools and a few real background processes to list: the list,
# the detail of a web server with its port, the detail of a parked job, and
# the settings.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build_dir=${QUILLMARSH_BUILD_DIR:-build}
binary="$root/$build_dir/src/quillmarsh"
shots="$root/docs/screenshots"
out="$shots/list.png"
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
# The server runs from a copy of python3 outside the system folders, as a
# developer's own server would.
mkdir -p "$work/webshop" "$work/bin"
# (the interpreter itself: python3 on the PATH may be a launcher script)
cp "$(python3 -c 'import os, sys; print(os.path.realpath(sys.executable))')" "$work/bin/webshop-server"
(cd "$work/webshop" && exec "$work/bin/webshop-server" -m http.server --bind 127.0.0.1 8765) >"$work/http.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do
    grep -q "Serving HTTP" "$work/http.log" 2>/dev/null && break
    sleep 0.1
done
sleep 3600 &
pids+=($!)

# A throwaway home keeps the user's settings and agents out of the picture.
# It holds one parked agent, as Disable auto-start leaves it.
mkdir -p "$work/home/Library/LaunchAgents/Disabled"
cat >"$work/home/Library/LaunchAgents/Disabled/com.example.photosync.plist" <<'PLIST'
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
    <key>Label</key>
    <string>com.example.photosync</string>
    <key>ProgramArguments</key>
    <array>
        <string>/usr/local/bin/photosync</string>
        <string>--watch</string>
        <string>/home/me/Pictures</string>
    </array>
    <key>RunAtLoad</key>
    <true/>
</dict>
</plist>
PLIST
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

shoot() {
    eval "$(xdotool getwindowgeometry --shell "$window")"
    import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$1"
    echo "wrote $1"
}
# Types into the search field (it has the focus on the list) and opens the
# first match.
open_item() {
    xdotool key --window "$window" ctrl+a BackSpace
    xdotool type --window "$window" --delay 20 "$1"
    sleep 0.5
    xdotool key --window "$window" Return
    sleep 1.5
}
back_to_list() {
    xdotool key --window "$window" Escape
    sleep 1
}

xdotool windowactivate --sync "$window" 2>/dev/null || xdotool windowfocus "$window"
shoot "$out"
open_item 8765
shoot "$shots/detail-running.png"
back_to_list
open_item photosync
shoot "$shots/detail-parked.png"
back_to_list
xdotool key --window "$window" ctrl+comma
sleep 1
shoot "$shots/settings.png"
