#!/usr/bin/env bash
# Takes docs/screenshots/*.png from the real quillmarsh on a virtual X display
# (Xvfb), under the rules of the machine it runs on, with a throwaway home and
# two real commands of the user's to list: a web server started from a shell
# in its project folder, and a script run by bash.
#   list.png, detail-running.png, settings.png: the panel as an ordinary
#     window (no tray yet, so it opens at once);
#   autostart.png, detail-unit.png: the Auto-start filter over the user's
#     systemd units and autostart entries, and one unit's detail. These
#     machines are not booted with systemd, so the stand-in user manager of
#     the tests serves the units on a private session bus (dbus-daemon).
#   tray-dark.png, tray-light.png: the tray icon with its count on a dark and
#     on a light 22-pixel panel (trayer), enlarged three times pixel for pixel.
# Needs Xvfb, xdotool, ImageMagick and trayer (scripts/setup.sh installs them).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build_dir=${QUILLMARSH_BUILD_DIR:-build}
binary="$root/$build_dir/src/quillmarsh"
shots="$root/docs/screenshots"

for tool in Xvfb xdotool xwininfo import convert trayer python3 setsid dbus-daemon; do
    if ! command -v "$tool" >/dev/null; then
        echo "screenshots: $tool is missing (scripts/setup.sh installs it)" >&2
        exit 1
    fi
done
cmake --build "$build_dir" --target quillmarsh quillmarsh_window user-manager-standin -- -j2 >/dev/null
mkdir -p "$shots"

work=$(mktemp -d)
# Each started program leads its own process group, ended whole.
groups=()
xvfb=""
cleanup() {
    for group in "${groups[@]}"; do
        kill -- "-$group" 2>/dev/null || true
    done
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
start() {
    setsid "$@" &
    groups+=($!)
}
stop_last() {
    local group=${groups[-1]}
    kill -- "-$group" 2>/dev/null || true
    wait "$group" 2>/dev/null || true
    unset 'groups[-1]'
}

# A display nobody uses.
display_number=${SCREENSHOT_DISPLAY:-}
if [ -z "$display_number" ]; then
    for n in $(seq 90 140); do
        if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then
            display_number=$n
            break
        fi
    done
fi
Xvfb ":$display_number" -screen 0 900x700x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb=$!
export DISPLAY=":$display_number"
for _ in $(seq 50); do
    xdotool getdisplaygeometry >/dev/null 2>&1 && break
    sleep 0.1
done

# The user's commands, in a throwaway home.
home="$work/home"
mkdir -p "$home/projects/chat-api" "$home/projects/photo-sync" "$work/runtime"
chmod 700 "$work/runtime"
cat >"$home/projects/photo-sync/sync.sh" <<'SCRIPT'
#!/bin/sh
# Stands in for a sync loop.
while :; do sleep 600; done
SCRIPT
start env -C "$home/projects/chat-api" \
    bash -c 'python3 -m http.server 8765 --bind 127.0.0.1; true' >"$work/http.log" 2>&1
start env -C "$home/projects/photo-sync" bash sync.sh
for _ in $(seq 50); do
    grep -q "Serving HTTP" "$work/http.log" 2>/dev/null && break
    sleep 0.1
done

# The user's units and entries: a backup service that runs, a mail fetcher
# that failed, a tunnel in a crash loop, a daily timer, and an entry.
units="$home/.config/systemd/user"
mkdir -p "$units/default.target.wants" "$units/timers.target.wants" "$home/.config/autostart"
unit() { # NAME DESCRIPTION SECTION-LINES [TARGET]
    printf '[Unit]\nDescription=%s\n%b\n[Install]\nWantedBy=%s\n' "$2" "$3" "${4:-default.target}" \
        >"$units/$1"
    ln -s "../$1" "$units/${4:-default.target}.wants/$1"
}
unit photo-backup.service "Photo backup to the NAS" \
    '[Service]\nExecStart=/usr/bin/sleep 86400\nRestart=on-failure'
unit mail-fetch.service "Fetch mail" '[Service]\nExecStart=%h/bin/fetch-mail'
unit dev-tunnel.service "Tunnel to the dev server" \
    '[Service]\nExecStart=/usr/bin/ssh -N dev-tunnel\nRestart=always'
unit notes-sync.timer "Sync notes every day" '[Timer]\nOnCalendar=daily' timers.target
printf '[Service]\nType=oneshot\nExecStart=%%h/bin/sync-notes\n' >"$units/notes-sync.service"
printf '[Desktop Entry]\nType=Application\nName=Clipboard history\nExec=clipboard-history --tray\n' \
    >"$home/.config/autostart/clipboard-history.desktop"
cat >"$work/manager.json" <<'STATE'
{"units": {
  "photo-backup.service": {"activeState": "active", "subState": "running",
                           "command": ["/usr/bin/sleep", "86400"]},
  "mail-fetch.service": {"activeState": "failed", "subState": "failed", "exitStatus": 1},
  "dev-tunnel.service": {"activeState": "activating", "subState": "auto-restart", "restarts": 3},
  "notes-sync.timer": {"activeState": "active", "subState": "waiting"}
}}
STATE
start dbus-daemon --session --nofork --print-address=1 --address="unix:dir=$work" \
    >"$work/bus.address"
for _ in $(seq 50); do
    [ -s "$work/bus.address" ] && break
    sleep 0.1
done
bus_address=$(head -n1 "$work/bus.address")
start env DBUS_SESSION_BUS_ADDRESS="$bus_address" HOME="$home" \
    "$root/$build_dir/tests/user-manager-standin" "$work/manager.json" "$work/calls.log" \
    >"$work/standin.log" 2>&1
for _ in $(seq 50); do
    grep -q ready "$work/standin.log" 2>/dev/null && break
    sleep 0.1
done

# quillmarsh as a user would start it: the session bus of the units (it has
# no tray service, so the tray is the display's), no theme of the desktop
# this script runs from.
launch() {
    start env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORMTHEME -u XDG_CURRENT_DESKTOP \
        -u QT_STYLE_OVERRIDE -u QUILLMARSH_HOST -u XDG_CONFIG_DIRS -u XDG_DATA_DIRS \
        DBUS_SESSION_BUS_ADDRESS="$bus_address" \
        HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_RUNTIME_DIR="$work/runtime" \
        QT_QPA_PLATFORM=xcb QT_REDUCE_MOTION=1 QT_SCALE_FACTOR=1 LANG=C.UTF-8 \
        "$binary" >>"$work/quillmarsh.log" 2>&1
}

# The screens, the panel as a window.
launch
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
    import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$shots/$1"
    echo "wrote docs/screenshots/$1"
}
xdotool windowfocus "$window" 2>/dev/null || true
shoot list.png
# The search field has the focus: find the web server by its port and open it.
xdotool type --window "$window" --delay 20 8765
sleep 0.5
xdotool key --window "$window" Return
sleep 1.5
shoot detail-running.png
xdotool key --window "$window" Escape
sleep 1
# The search field still holds the port.
xdotool key --window "$window" ctrl+a BackSpace
xdotool key --window "$window" ctrl+2
sleep 1
shoot autostart.png
xdotool type --window "$window" --delay 20 "photo backup"
sleep 0.5
xdotool key --window "$window" Return
sleep 1.5
# Down to the unit's own rows.
eval "$(xdotool getwindowgeometry --shell "$window")"
xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT / 2)) click 5 click 5
sleep 0.5
shoot detail-unit.png
xdotool key --window "$window" Escape
sleep 1
xdotool key --window "$window" ctrl+comma
sleep 1
shoot settings.png
stop_last

# The tray icon on a dark and on a light panel along the top of the screen.
for panel in dark:0x202124 light:0xf2f2f2; do
    name=${panel%%:*}
    start trayer --edge top --align right --widthtype pixel --width 120 --height 22 \
        --heighttype pixel --tint "${panel#*:}" --transparent true --alpha 0 \
        --SetDockType true >"$work/trayer.log" 2>&1
    trayer_group=${groups[-1]}
    sleep 1
    launch
    # The first pass, then the count.
    sleep 4
    # The icon's window sits in the panel: "Quillmarsh": (...)  22x20+0+0  +377+1
    icon_x=$(xwininfo -root -tree | awk '/"Quillmarsh": \("quillmarsh"/ && $(NF-1) ~ /^[1-6]?[0-9]x/ {
        split($NF, at, "+"); print at[2]; exit }')
    if [ -z "$icon_x" ]; then
        echo "screenshots: the tray icon did not appear" >&2
        cat "$work/quillmarsh.log" "$work/trayer.log" >&2
        exit 1
    fi
    # The icon at the end of its panel, enlarged pixel for pixel.
    import -window root -crop "90x22+$((icon_x + 23 - 90))+0" +repage png:- |
        convert png:- -scale 300% "$shots/tray-$name.png"
    echo "wrote docs/screenshots/tray-$name.png"
    stop_last
    kill -- "-$trayer_group" 2>/dev/null || true
    wait "$trayer_group" 2>/dev/null || true
    unset 'groups[-1]'
done
