#!/usr/bin/env bash
# Takes the README's screenshots of the real station under Xvfb: the scan dialog, then the main
# window after one capture with the demo's simulated cameras. Needs xdotool, ImageMagick and
# openbox, which draws the window frames.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$here/scripts/install-missing.sh" xdotool openbox
# shellcheck source=xvfb.sh
source "$here/scripts/xvfb.sh"
station="$here/build/app/sample-image-station"
out="$here/docs"
work="$(mktemp -d)"
finish() {
    local pid
    for pid in "${station_pid:-}" "${wm_pid:-}" "${xvfb_pid:-}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap finish EXIT
mkdir -p "$out" "$work/images" "$work/xdg/HPortal"

printf '%s\r\n' \
    "COMPRESS_EXE;/usr/bin/convert;ImageMagick makes the JPEG copies" \
    "COMPRESS_COMMAND_LINE_OPTIONS;-quality 85;JPEG quality" \
    "FILE_EXT_COMPRESSED;JPG;File extension of the file after compression" \
    "FILE_EXT_SAVED;BMP;File extension of the saved image file" \
    "IMAGE_SAVE_DIR;$work/images/;Directory where the files are saved" >"$work/settings.txt"
cat >"$work/xdg/HPortal/PortalCam.conf" <<'CONF'
camera0=videotestsrc pattern=ball is-live=true ! video/x-raw,width=1280,height=720,framerate=30/1
camera1=videotestsrc pattern=smpte is-live=true ! video/x-raw,width=1280,height=720,framerate=30/1
CONF

start_xvfb "$work/xvfb.log" 1024x640x24 || { echo "Xvfb did not start: $(tail -3 "$work/xvfb.log")" >&2; exit 1; }
# A window manager draws the frames and title bars, and gives the keyboard focus to new windows.
start_window_manager "$work/openbox.log" || { echo "openbox did not start: $(tail -3 "$work/openbox.log")" >&2; exit 1; }

shot() { # window-name-pattern file
    local id
    id="$(xdotool search --sync --onlyvisible --name "$1" | head -1)"; echo "window $1: $id" >&2
    sleep 0.7
    import -window "$id" -frame "$2" 2>/dev/null || import -window "$id" "$2"
}

(cd "$work" && XDG_CONFIG_HOME="$work/xdg" QT_QPA_PLATFORM=xcb "$station") &
station_pid=$!

xdotool search --sync --onlyvisible --name "Scan Wo" >/dev/null
sleep 0.5
xdotool type --delay 40 "12345678"
shot "Scan Wo" "$out/scan-dialog.png"
xdotool key alt+o; echo "sent OK" >&2
# "Take Picture": Yes is the default answer.
xdotool search --sync --onlyvisible --name "Take Picture" >/dev/null
sleep 0.5
xdotool key Return; echo "answered Yes" >&2
# The next work order is asked for at once; cancel it to show the main window.
sleep 2
xdotool search --sync --onlyvisible --name "Scan Wo" >/dev/null
xdotool key alt+c
sleep 3
shot "Sample Image Capturing" "$out/main-window.png"
echo "screenshots written to $out"
