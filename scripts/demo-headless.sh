#!/usr/bin/env bash
# The demo on a machine without a display: starts the station under Xvfb with openbox as the
# window manager, takes one sample as an operator would (types the number into the scan dialog,
# Alt+O, Yes), lists the four files it wrote, saves a screenshot of the station after the capture
# and ends the program with Exit. Exits non-zero with the reason when a step fails.
# Usage: demo-headless.sh STATION-PROGRAM DEMO-FOLDER (run from the folder with settings.txt)
set -euo pipefail

station="${1:?usage: demo-headless.sh STATION-PROGRAM DEMO-FOLDER}"
demo="$(cd "${2:?usage: demo-headless.sh STATION-PROGRAM DEMO-FOLDER}" && pwd)"
sample=12345678
screenshot="$demo/screenshot.png"
step_timeout=60 # s; generous, the machine may be loaded

work="$(mktemp -d)"
pids=()
finish() {
    local pid
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        pid=${pids[i]}
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap finish EXIT

fail() {
    echo "demo failed: $*" >&2
    if [[ -n "${DISPLAY:-}" ]] && import -window root "$work/failed.png" 2>/dev/null; then
        cp "$work/failed.png" "$demo/failed.png"
        echo "the screen at that moment: $demo/failed.png" >&2
    fi
    if [[ -n "${DEMO_DEBUG:-}" ]]; then # the window tree, for finding why a window is missing
        xwininfo -root -tree >&2 || true
    fi
    if [[ -s "$work/station.log" ]]; then
        echo "station output:" >&2
        tail -20 "$work/station.log" >&2
    fi
    exit 1
}

for tool in Xvfb openbox xdotool xwininfo xprop import; do
    command -v "$tool" >/dev/null || fail "$tool is not installed (bash scripts/setup.sh installs it)"
done

# The value of one setting of settings.txt, without the line's carriage return.
setting() { awk -F';' -v name="$1" 'toupper($1) == name { v = $2 } END { print v }' settings.txt | tr -d '\r'; }
save_dir="$(setting IMAGE_SAVE_DIR)"
saved_ext="$(setting FILE_EXT_SAVED)"
compressed_ext="$(setting FILE_EXT_COMPRESSED)"
[[ -n "$save_dir" && -n "$saved_ext" && -n "$compressed_ext" ]] \
    || fail "settings.txt lacks IMAGE_SAVE_DIR, FILE_EXT_SAVED or FILE_EXT_COMPRESSED"
files=()
for prefix in BTM CLR; do
    for ext in "$saved_ext" "$compressed_ext"; do
        files+=("${save_dir}${prefix}_${sample}_01.$ext")
    done
done
rm -f "${files[@]}" "$demo/failed.png"

# Waits until a visible window whose title matches REGEX exists and puts its id in $window;
# fails naming WHAT when the station shows a message box instead, ends or nothing comes.
window=""
wait_for_window() {
    local regex=$1 what=$2 deadline=$((SECONDS + step_timeout))
    window=""
    while ((SECONDS < deadline)); do
        window="$(xdotool search --onlyvisible --name "$regex" 2>/dev/null | head -1)" || true
        [[ -z "$window" ]] || return 0
        no_message_box "instead of $what"
        kill -0 "$station_pid" 2>/dev/null || fail "the station ended before $what"
        sleep 0.3
    done
    fail "no $what within $step_timeout s"
}

# Fails when the station shows a message box (titled with the bare program name) instead.
no_message_box() {
    if xdotool search --onlyvisible --name '^Sample Image Capturing$' >/dev/null 2>&1; then
        fail "the station shows a message box $1"
    fi
}

# Gives WINDOW the keyboard focus, then sends the keys.
keys_to() {
    local window=$1
    shift
    xdotool windowactivate --sync "$window" >/dev/null 2>&1 || xdotool windowfocus --sync "$window"
    "$@"
}

echo "No display found: running one sample through the station under Xvfb."
# shellcheck source=xvfb.sh
source "$(dirname "${BASH_SOURCE[0]}")/xvfb.sh"
start_xvfb "$work/xvfb.log" || fail "Xvfb did not start: $(tail -3 "$work/xvfb.log")"
pids+=("$xvfb_pid")
start_window_manager "$work/openbox.log" || fail "openbox did not start: $(tail -3 "$work/openbox.log")"
pids+=("$wm_pid")

QT_QPA_PLATFORM=xcb "$station" >"$work/station.log" 2>&1 &
station_pid=$!
pids+=("$station_pid")

echo "1. the station asks for a work order"
wait_for_window '^Scan Wo$' "the scan dialog"
dialog=$window
echo "2. scan $sample, OK (Alt+O)"
keys_to "$dialog" xdotool type --delay 40 "$sample"
xdotool key alt+o
echo "3. \"Take Picture\": Yes (Alt+Y)"
wait_for_window '^Take Picture$' 'the "Take Picture" question after OK'
keys_to "$window" xdotool key alt+y

echo "4. the pictures and their compressed copies"
deadline=$((SECONDS + step_timeout))
for file in "${files[@]}"; do
    # A copy is complete once the compressor has ended and its size no longer changes.
    until [[ -s "$file" ]] && ! pgrep -f -- "$file" >/dev/null; do
        no_message_box "after Yes"
        kill -0 "$station_pid" 2>/dev/null || fail "the station ended during the capture"
        ((SECONDS < deadline)) || fail "$file was not written"
        sleep 0.3
    done
done
wait_for_window '^Scan Wo$' "the scan dialog for the next sample"
for file in "${files[@]}"; do
    printf '   %-40s %10d bytes\n' "$file" "$(stat -c %s "$file")"
done

# The thumbnails load once the copies exist; give the window a moment to repaint.
sleep 2
wait_for_window '^Sample Image Capturing $' "the main window"
# From the screen, so that the scan dialog on top of the window shows as the operator sees it.
geometry="$(xwininfo -id "$window" | awk '/Absolute upper-left X/ { x = $NF }
    /Absolute upper-left Y/ { y = $NF } /Width:/ { w = $NF } /Height:/ { h = $NF }
    END { printf "%dx%d+%d+%d", w, h, x, y }')"
import -window root -crop "$geometry" +repage "$screenshot" \
    2>"$work/import.log" || fail "no screenshot: $(cat "$work/import.log")"
echo "5. screenshot of the station after the capture: $screenshot"

echo "6. Exit (Alt+X) in the scan dialog"
wait_for_window '^Scan Wo$' "the scan dialog"
keys_to "$window" xdotool key alt+x
deadline=$((SECONDS + step_timeout))
while kill -0 "$station_pid" 2>/dev/null; do
    ((SECONDS < deadline)) || fail "the station did not end after Exit"
    sleep 0.3
done
wait "$station_pid" || fail "the station ended with status $?"
echo "demo done"
