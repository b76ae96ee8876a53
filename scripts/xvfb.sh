# shellcheck shell=bash
# Sourced by the scripts that need a private X server. start_xvfb LOG [SCREEN] starts Xvfb on a
# free display with one screen of SCREEN (WIDTHxHEIGHTxDEPTH, 1280x800x24 by default) and exports
# DISPLAY; the server's pid is in $xvfb_pid. It starts no window manager: start_window_manager
# does, for the scripts that want frames and focus handed to new windows.
# Display numbers from 300 up: a second server started on a display in use (xvfb-run, :0)
# deletes the first one's socket as it fails, and those usually take the low numbers.
start_xvfb() {
    local log=$1 screen=${2:-1280x800x24} display deadline
    for ((display = 300 + RANDOM % 100; display < 500; display++)); do
        [[ -e /tmp/.X$display-lock || -e /tmp/.X11-unix/X$display ]] && continue
        # -noreset: the readiness probe below is a client, and the server resetting after it
        # leaves could refuse the next program that connects.
        Xvfb ":$display" -screen 0 "$screen" -nolisten tcp -noreset >"$log" 2>&1 &
        xvfb_pid=$!
        deadline=$((SECONDS + 30))
        while kill -0 "$xvfb_pid" 2>/dev/null && ((SECONDS < deadline)); do
            if [[ -S /tmp/.X11-unix/X$display ]] && DISPLAY=":$display" xprop -root >/dev/null 2>&1; then
                export DISPLAY=":$display"
                return 0
            fi
            sleep 0.2
        done
        kill "$xvfb_pid" 2>/dev/null || true
        wait "$xvfb_pid" 2>/dev/null || true
    done
    return 1
}

# start_window_manager LOG starts openbox on $DISPLAY and returns once it manages the screen,
# since a window mapped before that is never shown by it; its pid is in $wm_pid. Returns 1, with
# openbox ended, when it has not taken over the screen within 60 s.
start_window_manager() {
    local log=$1 deadline=$((SECONDS + 60))
    openbox >"$log" 2>&1 &
    wm_pid=$!
    until xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; do
        if ! kill -0 "$wm_pid" 2>/dev/null || ((SECONDS >= deadline)); then
            kill "$wm_pid" 2>/dev/null || true
            wait "$wm_pid" 2>/dev/null || true
            return 1
        fi
        sleep 0.2
    done
}
