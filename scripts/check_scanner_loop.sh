#!/usr/bin/env bash
# Drives the real station under Xvfb without a window manager, as a USB barcode scanner does: the
# code typed 1 ms per character and Enter. Checks: Enter accepts, Yes captures and the scan dialog
# comes back by itself, a second Enter typed ahead does not answer "Take Picture", an over-long
# code is refused with a message and gives no pictures.
set -euo pipefail

station="$(cd "$(dirname "${1:?usage: check_scanner_loop.sh STATION-PROGRAM [RECORDS-PROGRAM]}")" && pwd)/$(basename "$1")"
verifier="${2:-$(dirname "$station")/station-records}"
# shellcheck source=xvfb.sh
source "$(dirname "${BASH_SOURCE[0]}")/xvfb.sh"
work="$(mktemp -d)"
finish() {
    kill "${pid:-}" 2>/dev/null || true
    wait "${pid:-}" 2>/dev/null || true
    kill "${xvfb_pid:-}" 2>/dev/null || true
    wait "${xvfb_pid:-}" 2>/dev/null || true
    rm -rf "$work"
}
trap finish EXIT
mkdir -p "$work/images" "$work/xdg/HPortal"
printf '%s\r\n' \
    "COMPRESS_EXE;/usr/bin/convert;x" \
    "COMPRESS_COMMAND_LINE_OPTIONS;-quality 85;x" \
    "IMAGE_SAVE_DIR;$work/images/;x" >"$work/settings.txt"
cat >"$work/xdg/HPortal/PortalCam.conf" <<'CONF'
camera0=videotestsrc pattern=ball is-live=true ! video/x-raw,width=320,height=240,framerate=30/1
camera1=videotestsrc pattern=smpte is-live=true ! video/x-raw,width=320,height=240,framerate=30/1
CONF
cd "$work"

log() { echo "$*"; }
fail() {
    echo "FAILED: $*"
    grep -v XDG_RUNTIME_DIR stderr.txt 2>/dev/null || true
    exit 1
}
visible() { xdotool search --onlyvisible --name "$1" >/dev/null 2>&1; }
# Waits up to 20 s for a window whose title matches.
await() { for _ in $(seq 200); do visible "$1" && return 0; sleep 0.1; done; return 1; }
awaitFile() { for _ in $(seq 200); do [[ -f "$1" ]] && return 0; sleep 0.1; done; return 1; }
scan() { xdotool type --delay 1 "$1"; xdotool key Return; }

# No window manager on purpose: the loop must go on with no window made active by anyone.
start_xvfb xvfb.log 1024x640x24 || fail "Xvfb did not start: $(tail -3 xvfb.log)"
XDG_CONFIG_HOME="$PWD/xdg" QT_QPA_PLATFORM=xcb "$station" 2>stderr.txt &
pid=$!

await "^Scan Wo$" || fail "the scan dialog did not open at start-up"
sleep 0.5
scan 12345678
await "^Take Picture$" || fail "Enter after the code did not ask Take Picture"
log "code and Enter: Take Picture"
sleep 0.5
xdotool key Return
awaitFile images/CLR_12345678_01.BMP || fail "Yes took no picture"
awaitFile images/BTM_12345678_01.BMP || fail "Yes took no bottom picture"
log "Yes: both pictures written"
cp images/CLR_12345678_01.BMP first-colour.bmp
await "^Scan Wo$" || fail "the scan dialog did not come back after the capture"
log "scan dialog open again"

# Enter pressed twice in quick succession: the second one, reaching the question as it
# appears, must not answer it.
sleep 0.5
xdotool type --delay 1 87654321
xdotool key --delay 30 Return Return
await "^Take Picture$" || fail "the second code did not ask Take Picture"
sleep 1.5
[[ ! -e images/CLR_87654321_01.BMP ]] || fail "an Enter typed ahead answered Take Picture"
visible "^Take Picture$" || fail "Take Picture closed without an answer"
log "Enter typed ahead: Take Picture still waits"
xdotool key Return
awaitFile images/CLR_87654321_01.BMP || fail "Return after the question was shown took no picture"
log "Return once shown: pictures written"

await "^Scan Wo$" || fail "the scan dialog did not come back after the second capture"
# The first code scanned again: the new pair takes the names, the earlier one is kept, and the
# auditor's verifier finds the folder whole.
sleep 0.5
scan 12345678
await "^Take Picture$" || fail "the code scanned again did not ask Take Picture"
sleep 0.5
xdotool key Return
for _ in $(seq 200); do ! cmp -s images/CLR_12345678_01.BMP first-colour.bmp && break; sleep 0.1; done
! cmp -s images/CLR_12345678_01.BMP first-colour.bmp || fail "the code scanned again took no new picture"
kept=$(find images/superseded -name '*_CLR_12345678_01.BMP' | head -1)
[[ -n "$kept" ]] && cmp -s "$kept" first-colour.bmp || fail "the replaced picture was not kept"
log "scanned again: new pair, the earlier one kept as $kept"
await "^Scan Wo$" || fail "the scan dialog did not come back after the second capture of a code"
# Until the new copies have replaced those of the earlier pair, those are copies of no live picture.
for _ in $(seq 100); do "$verifier" verify images >verify.txt 2>&1 && break; sleep 0.1; done
"$verifier" verify images >verify.txt 2>&1 || fail "the verifier found problems: $(cat verify.txt)"
log "station-records verify: $(tail -1 verify.txt)"

sleep 0.5
scan 5555555512
# The message box carries the program name without the main window title's trailing blank.
await "^Sample Image Capturing$" || fail "no message for an over-long code"
! visible "^Take Picture$" || fail "an over-long code was asked about"
! compgen -G "images/*55555555*" >/dev/null || fail "an over-long code gave pictures"
log "over-long code: message, no question, no pictures"
sleep 0.5
xdotool key Return
for _ in $(seq 50); do visible "^Sample Image Capturing$" || break; sleep 0.1; done
! visible "^Sample Image Capturing$" || fail "Return did not close the message"

echo "scanner loop checks passed"
