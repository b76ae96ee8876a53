#!/usr/bin/env bash
# Starts the real station where settings.txt cannot be read (it is a folder) under Xvfb: the
# report must name the path and the reason, show a message box, and end with exit status 1
# once the box is closed; no main window appears.
set -euo pipefail

station="$(cd "$(dirname "${1:?usage: check_fatal_report.sh STATION-PROGRAM}")" && pwd)/$(basename "$1")"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir "$work/settings.txt"
cd "$work"

xvfb-run -a -s "-screen 0 800x600x24" bash -c '
    QT_QPA_PLATFORM=xcb "$1" 2>stderr.txt &
    pid=$!
    box="$(timeout 30 xdotool search --sync --onlyvisible --name "Sample Image Capturing" | head -1)"
    xdotool search --onlyvisible --name "." getwindowname %@ >windows.txt 2>/dev/null || true
    sleep 0.5
    xdotool windowfocus --sync "$box" 2>/dev/null || true
    for attempt in 1 2 3 4 5; do
        kill -0 "$pid" 2>/dev/null || break
        xdotool key Return 2>/dev/null || true
        sleep 1
    done
    status=0
    wait "$pid" || status=$?
    echo "$status" >status.txt
' _ "$station"

status="$(cat status.txt)"
expected="Cannot read the settings file $work/settings.txt: it is a folder"
echo "exit status: $status"
echo "report: $(cat stderr.txt | grep -v XDG_RUNTIME_DIR || true)"
[[ "$status" == 1 ]] || { echo "expected exit status 1"; exit 1; }
grep -qF "$expected" stderr.txt || { echo "expected the report: $expected"; exit 1; }
if grep -q "Scan Wo" windows.txt; then
    echo "the scan dialog opened although start-up failed"
    exit 1
fi
echo "fatal report checks passed"
