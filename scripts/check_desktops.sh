#!/usr/bin/env bash
# Runs the real station through 10 samples on each desktop operators use, typing as they do:
#   x11   Xvfb with the openbox window manager, keys typed with XTEST (xdotool)
#   sway  sway headless, the station native on Wayland, keys typed with wtype
#   cage  the kiosk compositor headless, the station through XWayland, keys typed with xdotool
# Each sample: the scan dialog has the focus, the number and Enter ask "Take Picture", Enter takes
# both pictures and the scan dialog comes back focused. At the end: 10 colour pictures from the
# colour camera, 10 bottom pictures from the bottom camera, their JPEG copies, Exit ends the
# program with status 0 and nothing was written to its stderr. A desktop whose compositor cannot
# start here is skipped with a message; exit status 77 when all were skipped.
# Usage: check_desktops.sh STATION-PROGRAM [x11|sway|cage ...]
# STATION_KIOSK_SCREENSHOT=FILE also saves the station full screen at 1920x1080 under sway.
set -uo pipefail

usage="usage: check_desktops.sh STATION-PROGRAM [x11|sway|cage ...]"
station="$(cd "$(dirname "${1:?$usage}")" && pwd)/$(basename "$1")"
shift
desktops=("${@:-x11 sway cage}")
read -ra desktops <<<"${desktops[*]}"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# shellcheck source=xvfb.sh
source "$here/xvfb.sh"
samples=10
top="$(mktemp -d)"
chmod 755 "$top"
pids=()
finish() {
    stop_all
    rm -rf "$top"
}
trap finish EXIT

# Wayland compositors refuse root: as root everything of theirs runs as an unprivileged account.
user="$(id -un)"
if ((EUID == 0)); then
    user="station-desktop-check"
    id "$user" >/dev/null 2>&1 ||
        useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin "$user"
fi
runas=()
((EUID == 0)) && runas=(sudo -u "$user")
as_user() { "${runas[@]}" env "$@"; }
# Starts a program as that account in a process group of its own, ended with the desktop.
launch() {
    setsid "${runas[@]}" env "$@" &
    pids+=($!)
}
stop_all() {
    local pid
    for pid in "${pids[@]}"; do kill -- "-$pid" 2>/dev/null || kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    pids=()
}

# A working folder for one desktop: settings, two simulated cameras, a private runtime folder.
prepare() {
    work="$top/$1"
    mkdir -p "$work/images" "$work/xdg/HPortal" "$work/run"
    printf '%s\r\n' "COMPRESS_EXE;/usr/bin/convert;x" "COMPRESS_COMMAND_LINE_OPTIONS;-quality 85;x" \
        "IMAGE_SAVE_DIR;$work/images/;x" >"$work/settings.txt"
    cat >"$work/xdg/HPortal/PortalCam.conf" <<'CONF'
camera0=videotestsrc pattern=ball is-live=true ! video/x-raw,width=320,height=240,framerate=30/1
camera1=videotestsrc pattern=smpte is-live=true ! video/x-raw,width=320,height=240,framerate=30/1
CONF
    # The program under the name the launcher starts, keeping its stderr, its status and the
    # X display it was given.
    mkdir -p "$work/bin"
    cat >"$work/bin/sample-image-station" <<EOF
#!/bin/sh
echo "\$DISPLAY" >"$work/display"
cd "$work" || exit 1
XDG_CONFIG_HOME="$work/xdg" "$station" 2>"$work/stderr.txt"
echo \$? >"$work/status"
EOF
    chmod 755 "$work/bin/sample-image-station"
    chown -R "$user" "$work"
    chmod 700 "$work/run"
    env_base=(PATH=/usr/bin:/bin HOME="$work" XDG_RUNTIME_DIR="$work/run")
}

# Waits up to 20 s until "$@" succeeds.
await() {
    local _
    for _ in $(seq 200); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}
has_status() { [[ -s "$work/status" ]]; }
# Gone, or only waiting to be reaped.
ended() { [[ "$(ps -o stat= -p "$1")" == Z* || -z "$(ps -o stat= -p "$1")" ]]; }
# ready_or_ended PID CHECK...: CHECK succeeds, or PID (a compositor starting) has given up.
ready_or_ended() {
    local pid=$1
    shift
    "$@" >/dev/null 2>&1 || ended "$pid"
}
focused_is() { [[ "$(focused)" == "$1" ]]; }

# The loop, through the desktop's own focused(), type_number(), answer() and leave().
run_loop() {
    local desktop=$1 i number
    for ((i = 1; i <= samples; i++)); do
        number=$(printf '2412%04d' "$i")
        await focused_is "Scan Wo" || { echo "sample $i: the scan dialog has no focus (focus: $(focused))"; return 1; }
        type_number "$number"
        await focused_is "Take Picture" || { echo "sample $i: no focused Take Picture after $number (focus: $(focused))"; return 1; }
        # An operator answers well after the question appeared (keys typed ahead are dropped).
        sleep 0.3
        answer
        await test -f "$work/images/BTM_${number}_01.BMP" -a -f "$work/images/CLR_${number}_01.BMP" ||
            { echo "sample $i: Yes took no pictures"; return 1; }
    done
    await focused_is "Scan Wo" || { echo "the scan dialog did not come back after the last sample"; return 1; }
    await test "$(find "$work/images" -name '*.JPG' | wc -l)" -eq $((2 * samples)) ||
        { echo "the compressor made $(find "$work/images" -name '*.JPG' | wc -l) JPEG copies, not $((2 * samples))"; return 1; }
    leave
    await has_status || { echo "Exit did not end the program"; return 1; }
    [[ "$(cat "$work/status")" == 0 ]] || { echo "the program ended with status $(cat "$work/status")"; return 1; }
    [[ ! -s "$work/stderr.txt" ]] || { echo "the program wrote to stderr:"; cat "$work/stderr.txt"; return 1; }
    check_pictures
}

# Colour bars are bright on average, the bottom camera's ball on black is dark: each picture came
# from its own camera.
check_pictures() {
    local file mean
    for file in "$work"/images/*.BMP; do
        mean=$(convert "$file" -format '%[fx:int(100*mean)]' info:)
        case "$(basename "$file")" in
        CLR_*) ((mean > 30)) || { echo "$(basename "$file") is not the colour camera's (mean $mean%)"; return 1; } ;;
        BTM_*) ((mean < 20)) || { echo "$(basename "$file") is not the bottom camera's (mean $mean%)"; return 1; } ;;
        esac
    done
    [[ $(find "$work/images" -name '*.BMP' | wc -l) -eq $((2 * samples)) ]] ||
        { echo "not $((2 * samples)) pictures"; return 1; }
}

# --- X with a window manager ------------------------------------------------------------------
x_focused() { xdotool getactivewindow getwindowname 2>/dev/null; }
x11() {
    prepare x11
    start_xvfb "$work/xvfb.log" 1280x800x24 || { skip="Xvfb did not start"; return 2; }
    pids+=("$xvfb_pid")
    start_window_manager "$work/openbox.log" || { skip="openbox did not start"; return 2; }
    pids+=("$wm_pid")
    launch "${env_base[@]}" DISPLAY="$DISPLAY" QT_QPA_PLATFORM=xcb "$work/bin/sample-image-station"
    focused() { x_focused; }
    type_number() { xdotool type --delay 5 "$1" && xdotool key Return; }
    answer() { xdotool key Return; }
    leave() { xdotool key alt+x; }
    run_loop x11
}

# --- sway, natively on Wayland ------------------------------------------------------------------
sway_desktop() {
    prepare sway
    local size=1280x800
    [[ -n "${STATION_KIOSK_SCREENSHOT:-}" ]] && size=1920x1080
    echo "output HEADLESS-1 resolution $size" >"$work/sway.conf"
    launch "${env_base[@]}" WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 \
        sway -c "$work/sway.conf" >"$work/sway.log" 2>&1
    local compositor=${pids[-1]}
    await ready_or_ended "$compositor" compgen -G "$work/run/wayland-*[0-9]"
    compgen -G "$work/run/wayland-*[0-9]" >/dev/null || { skip="sway did not start: $(tail -1 "$work/sway.log")"; return 2; }
    local socket ipc
    socket="$(basename "$(compgen -G "$work/run/wayland-*[0-9]" | head -1)")"
    await compgen -G "$work/run/sway-ipc.*" >/dev/null || { skip="sway gives no IPC socket"; return 2; }
    ipc="$(compgen -G "$work/run/sway-ipc.*" | head -1)"
    wl=("${env_base[@]}" WAYLAND_DISPLAY="$socket")
    launch "${wl[@]}" QT_QPA_PLATFORM=wayland "$work/bin/sample-image-station"
    sway_window() { as_user "${wl[@]}" SWAYSOCK="$ipc" swaymsg "[title=\"^Sample Image Capturing \$\"] $*" >/dev/null; }
    focused() { as_user "${wl[@]}" SWAYSOCK="$ipc" swaymsg -t get_tree | jq -r '.. | objects | select(.focused? == true) | .name'; }
    # The first key of each call can be lost in a Qt window: a Shift goes first.
    type_number() { as_user "${wl[@]}" wtype -k shift_l "$1" -k Return; }
    answer() { as_user "${wl[@]}" wtype -k shift_l -k Return; }
    leave() {
        if [[ -n "${STATION_KIOSK_SCREENSHOT:-}" ]]; then
            # The main window full screen as in a kiosk, the scan dialog over it: opened again
            # (Cancel, then Get Wo) so that it opens over the scaled-up window, as in a kiosk.
            sway_window fullscreen enable && sleep 1 &&
                as_user "${wl[@]}" SWAYSOCK="$ipc" swaymsg '[title="^Scan Wo$"] focus' >/dev/null &&
                await focused_is "Scan Wo" &&
                as_user "${wl[@]}" wtype -k shift_l -M alt -k c -m alt && sleep 0.5 &&
                as_user "${wl[@]}" wtype -k shift_l -M alt -k g -m alt && sleep 1 &&
                as_user "${wl[@]}" SWAYSOCK="$ipc" swaymsg '[title="^Scan Wo$"] focus' >/dev/null &&
                await focused_is "Scan Wo" && sleep 1 &&
                as_user "${wl[@]}" grim "$work/kiosk.png" && cp "$work/kiosk.png" "$STATION_KIOSK_SCREENSHOT" ||
                echo "no kiosk screenshot (focus: $(focused))" >&2
            sway_window fullscreen disable
            as_user "${wl[@]}" SWAYSOCK="$ipc" swaymsg '[title="^Scan Wo$"] focus' >/dev/null
        fi
        as_user "${wl[@]}" wtype -k shift_l -M alt -k x -m alt
    }
    run_loop sway
}

# --- cage, the kiosk compositor, through XWayland -------------------------------------------------
cage_desktop() {
    prepare cage
    # Started as the kiosk session starts it; cage hands its X display to the station.
    local packaging
    packaging="$(cd "$here/../packaging" && pwd)"
    launch "${env_base[@]}" PATH="$work/bin:$packaging:/usr/bin:/bin" WLR_BACKENDS=headless \
        WLR_LIBINPUT_NO_DEVICES=1 "$packaging/sample-image-station-kiosk" "$work" >"$work/cage.log" 2>&1
    local session=${pids[-1]}
    await ready_or_ended "$session" test -s "$work/display"
    [[ -s "$work/display" ]] || { skip="cage did not start: $(tail -1 "$work/cage.log")"; return 2; }
    x=("${env_base[@]}" DISPLAY="$(cat "$work/display")")
    focused() { as_user "${x[@]}" xdotool getactivewindow getwindowname 2>/dev/null; }
    type_number() { as_user "${x[@]}" xdotool type --delay 5 "$1" && as_user "${x[@]}" xdotool key Return; }
    answer() { as_user "${x[@]}" xdotool key Return; }
    leave() { as_user "${x[@]}" xdotool key alt+x; }
    run_loop cage || return 1
    await ended "$session" || { echo "the kiosk session did not end with the station"; return 1; }
}

failed=0
ran=0
for desktop in "${desktops[@]}"; do
    skip=""
    started=$SECONDS
    case "$desktop" in
    x11) x11 ;;
    sway) sway_desktop ;;
    cage) cage_desktop ;;
    *) echo "$usage" && exit 2 ;;
    esac
    status=$?
    if ((status == 2)) && [[ -n "$skip" ]]; then
        echo "$desktop: SKIPPED: $skip"
    elif ((status == 0)); then
        echo "$desktop: $samples samples, pictures from the right cameras, focus back each time ($((SECONDS - started)) s)"
        ran=$((ran + 1))
    else
        echo "$desktop: FAILED"
        failed=1
        ran=$((ran + 1))
    fi
    # This desktop's programs end before the next one starts.
    stop_all
    unset DISPLAY
done
((failed == 0)) || exit 1
((ran > 0)) || exit 77
