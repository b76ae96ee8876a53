# Sourced by the scripts that need a private X server. start_xvfb LOG starts Xvfb on a free
# display and exports DISPLAY; the server's pid is in $xvfb_pid.
# Display numbers from 300 up: a second server started on a display in use (xvfb-run, :0)
# deletes the first one's socket as it fails, and those usually take the low numbers.
start_xvfb() {
    local log=$1 display deadline
    for ((display = 300 + RANDOM % 100; display < 500; display++)); do
        [[ -e /tmp/.X$display-lock || -e /tmp/.X11-unix/X$display ]] && continue
        Xvfb ":$display" -screen 0 1280x800x24 -nolisten tcp >"$log" 2>&1 &
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
