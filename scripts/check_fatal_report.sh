#!/usr/bin/env bash
# Starts the real station under Xvfb where start-up cannot go on: settings.txt cannot be read (it
# is a folder), and the working folder has been removed. The report must name what failed and
# why, show a message box, and end with exit status 1 once the box is closed; no main window or
# scan dialog appears and no settings file is created anywhere else.
set -euo pipefail

station="$(cd "$(dirname "${1:?usage: check_fatal_report.sh STATION-PROGRAM}")" && pwd)/$(basename "$1")"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# run_case NAME FOLDER EXPECTED-REPORT: runs the station with FOLDER as its working folder.
run_case() {
    local name="$1" folder="$2" expected="$3" out="$work/out-$1"
    mkdir -p "$out"
    local root_had_settings=0
    [[ -e /settings.txt ]] && root_had_settings=1
    (
        cd "$folder"
        [[ "$name" == removed-folder ]] && rmdir "$folder"
        xvfb-run -a -s "-screen 0 800x600x24" bash -c '
            out="$2"
            QT_QPA_PLATFORM=xcb "$1" 2>"$out/stderr.txt" &
            pid=$!
            box="$(timeout 30 xdotool search --sync --onlyvisible --name "Sample Image Capturing" | head -1)"
            xdotool search --onlyvisible --name "." getwindowname %@ >"$out/windows.txt" 2>/dev/null || true
            sleep 0.5
            xdotool windowfocus --sync "$box" 2>/dev/null || true
            for attempt in 1 2 3 4 5; do
                kill -0 "$pid" 2>/dev/null || break
                xdotool key Return 2>/dev/null || true
                sleep 1
            done
            # A station that went on instead of ending is stopped, so the check fails, not hangs.
            if kill -0 "$pid" 2>/dev/null; then kill "$pid"; fi
            status=0
            wait "$pid" || status=$?
            echo "$status" >"$out/status.txt"
        ' _ "$station" "$out" 2>/dev/null
    )

    local status
    status="$(cat "$out/status.txt")"
    echo "[$name] exit status: $status"
    echo "[$name] report: $(grep -v XDG_RUNTIME_DIR "$out/stderr.txt" || true)"
    [[ "$status" == 1 ]] || { echo "[$name] expected exit status 1"; exit 1; }
    grep -qF "$expected" "$out/stderr.txt" || { echo "[$name] expected the report: $expected"; exit 1; }
    if grep -q "Scan Wo" "$out/windows.txt"; then
        echo "[$name] the scan dialog opened although start-up failed"
        exit 1
    fi
    if [[ "$root_had_settings" == 0 && -e /settings.txt ]]; then
        echo "[$name] a settings file was created at the file-system root"
        exit 1
    fi
}

mkdir -p "$work/unreadable/settings.txt"
run_case unreadable-settings "$work/unreadable" \
    "Cannot read the settings file $work/unreadable/settings.txt: it is a folder"

mkdir "$work/removed"
run_case removed-folder "$work/removed" \
    "the working folder cannot be determined (No such file or directory)"

echo "fatal report checks passed"
