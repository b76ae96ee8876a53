#!/usr/bin/env bash
# One command for the station benchmarks: installs the peer tools that are missing, builds
# build-bench in Release, runs every figure next to its peer and prints one markdown table.
# BENCH_QUICK=1 makes a short smoke run (few rounds, 3 s of idling). BENCH_ONLY="f g" runs only
# the rows named (letters a-j, "control" for the camera control's benchmark, "long" for the long
# test, "records-verify" for the records verifier).
set -euo pipefail
export LC_ALL=C  # EPOCHREALTIME and awk must agree on the decimal point

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$repo/build-bench"
bench="$build/bench/bench_station"

if [[ "${BENCH_QUICK:-0}" == 1 ]]; then
    captures=5 runs=2 idle_seconds=3 idle_runs=1 memory_totals="100 500" rounds=5
else
    captures=50 runs=5 idle_seconds=20 idle_runs=3 memory_totals="1000 5000" rounds=30
fi
size=1920x1080
width=${size%x*}
height=${size#*x}

work="$(mktemp -d "${TMPDIR:-/tmp}/station-bench.XXXXXX")"
trap 'stop_genicam_camera; rm -rf "$work"' EXIT
export QT_QPA_PLATFORM=offscreen QT_LOGGING_RULES="qt.qpa.*=false"
export XDG_RUNTIME_DIR="$work/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"
export XDG_DATA_HOME="$work/data"  # the station's spool, never the user's
log="$work/log.txt"

say() { echo "$*" >&2; }

# --- set-up -------------------------------------------------------------------------------------

install_missing() {
    bash "$repo/scripts/install-missing.sh" ffmpeg gstreamer1.0-tools gstreamer1.0-libav \
        gstreamer1.0-plugins-base gstreamer1.0-plugins-good time aravis-tools aravis-tools-cli \
        gstreamer1.0-plugins-bad >&2
}

build_benchmarks() {
    say "building $build (Release)"
    if ! cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >"$log" 2>&1; then
        tail -40 "$log" >&2
        exit 1
    fi
    # The camera-control benchmark is always part of the project now; probing for it through
    # "ninja -t targets | grep -q" failed under pipefail once grep closed the pipe early.
    local targets=(bench_station bench_camera_control tst_long_run fake_uvc stall_open)
    # The records row alone needs only its own two programs.
    if [[ "${BENCH_ONLY:-}" == records-verify ]]; then
        targets=()
    fi
    targets+=(bench_records station-records)
    if ! cmake --build "$build" -j2 --target "${targets[@]}" >"$log" 2>&1; then
        tail -40 "$log" >&2
        exit 1
    fi
}

# --- measuring ----------------------------------------------------------------------------------

wanted() { [[ -z "${BENCH_ONLY:-}" || " $BENCH_ONLY " == *" $1 "* ]]; }

ms_between() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", (b - a) * 1000 }'; }

# Wall time of one command, process start to exit, in ms; its output goes to the log.
time_ms() {
    local start end
    start=$EPOCHREALTIME
    "$@" >>"$log" 2>&1
    end=$EPOCHREALTIME
    ms_between "$start" "$end"
}

# median | p95 (nearest rank) of the numbers given.
stat_of() {
    local kind=$1
    shift
    printf '%s\n' "$@" | sort -g | awk -v kind="$kind" '
        { v[NR] = $1 }
        END {
            if (NR == 0) { print "nan"; exit }
            if (kind == "median") {
                printf "%.3f", (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
            } else {
                r = int(0.95 * NR); if (r < 0.95 * NR) r++; if (r < 1) r = 1
                printf "%.3f", v[r]
            }
        }'
}

calc() { awk "BEGIN { v = $1; printf \"%.3f\", v }"; }
# calc, or nan when one of the figures in the expression is missing.
calc_known() { [[ " $1 " == *" nan "* ]] && echo nan || calc "$1"; }
sum() { calc "$1 + $2"; }

# The value of one "name value" line of a bench_station output file; nan when absent.
value_of() { awk -v key="$2" '$1 == key { print $2; found = 1 } END { if (!found) print "nan" }' "$1"; }

# Runs bench_station MODE ARGS... in its own station folder; its figures go to OUT.
station_run() {
    local out=$1 folder=$2
    shift 2
    mkdir -p "$folder"
    if ! BENCH_STATION_DIR="$folder" "${in_camera_net[@]}" "$bench" "$@" >"$out" 2>>"$log"; then
        say "bench_station $* failed:"
        tail -5 "$log" >&2
        : >"$out"
    fi
}

# The two simulated cameras at a size (of a kind: raw, mjpeg), as the station's camera
# configuration describes them.
read_cameras() {
    mapfile -t cameras < <("$bench" cameras "$@")
    read -ra camera0 <<<"${cameras[0]}"
    read -ra camera1 <<<"${cameras[1]}"
}

# --- the table ----------------------------------------------------------------------------------

rows=()
notes=()

# met | missed for "VALUE OP TARGET", where OP is <= or >=.
verdict() {
    awk -v v="$1" -v op="$2" -v t="$3" 'BEGIN {
        if (v == "nan" || v == "") { print "no figure"; exit }
        ok = (op == "<=") ? (v + 0 <= t + 0) : (v + 0 >= t + 0)
        print ok ? "met" : "missed"
    }'
}

fmt() { [[ "$1" == nan || -z "$1" ]] && echo "—" || printf '%.1f %s' "$1" "$2"; }

# figure, station median, station p95, peer median, unit, ratio, ratio text, op, target
add_row() {
    local figure=$1 median=$2 p95=$3 peer=$4 unit=$5 ratio=$6 ratio_text=$7 op=$8 target=$9
    local result="—" target_text="—" ratio_cell="—"
    if [[ -n "$op" ]]; then
        result=$(verdict "$ratio" "$op" "$target")
        target_text="$op $target"
    fi
    if [[ -n "$ratio" && "$ratio" != nan ]]; then
        ratio_cell="$(printf '%.2f' "$ratio") $ratio_text"
    fi
    rows+=("| $figure | $(fmt "$median" "$unit") | $(fmt "$p95" "$unit") | $(fmt "$peer" "$unit") | $ratio_cell | $target_text | $result |")
}

# --- a. two-view capture ------------------------------------------------------------------------

capture_row() {
    say "a. capture: station, $captures captures of $size"
    local folder="$work/capture" out="$work/capture.txt"
    station_run "$out" "$folder" capture "$captures" "$size"
    local median p95 bytes
    median=$(value_of "$out" capture.median_ms)
    p95=$(value_of "$out" capture.p95_ms)
    bytes=$(value_of "$out" capture.bytes)
    bytes=${bytes%.*}
    local cpu
    cpu=$(value_of "$out" capture.gui_thread_cpu_median_ms)
    notes+=("a. $bytes bytes per capture (two 24-bit BMP); GUI-thread CPU per capture $cpu ms (median)")

    say "a. capture: dd, $captures writes of $bytes bytes"
    local dd=() i
    for ((i = 0; i < captures; i++)); do
        dd+=("$(time_ms dd if=/dev/zero of="$folder/images/x" bs="$bytes" count=1 status=none)")
        rm -f "$folder/images/x"
    done
    local dd_median
    dd_median=$(stat_of median "${dd[@]}")
    add_row "a. two-view capture $size vs dd of the same bytes" "$median" "$p95" "$dd_median" ms \
        "$(calc "$median / $dd_median")" "× (station/dd)" "<=" 2

    # The station's pictures reach the disk before they get their names; this is the fair peer.
    dd=()
    for ((i = 0; i < captures; i++)); do
        dd+=("$(time_ms dd if=/dev/zero of="$folder/images/x" bs="$bytes" count=1 conv=fsync \
            status=none)")
        rm -f "$folder/images/x"
    done
    dd_median=$(stat_of median "${dd[@]}")
    add_row "a. two-view capture vs dd conv=fsync of the same bytes" "$median" "$p95" "$dd_median" \
        ms "$(calc "$median / $dd_median")" "× (station/dd)" "<=" 1.2

    say "a. capture: ffmpeg and gst-launch, two one-shot stills per capture, $runs runs"
    local ffmpeg=() gst=() a b
    local gst_args=(videotestsrc num-buffers=1 ! "video/x-raw,width=$width,height=$height"
        ! videoconvert ! avenc_bmp ! filesink)
    for ((i = 0; i < runs; i++)); do
        a=$(time_ms ffmpeg -nostdin -v error -y -f lavfi -i "testsrc2=size=$size" -frames:v 1 \
            "$folder/images/ffmpeg_a.bmp")
        b=$(time_ms ffmpeg -nostdin -v error -y -f lavfi -i "testsrc2=size=$size" -frames:v 1 \
            "$folder/images/ffmpeg_b.bmp")
        ffmpeg+=("$(sum "$a" "$b")")
        a=$(time_ms gst-launch-1.0 -q "${gst_args[@]}" location="$folder/images/gst_a.bmp")
        b=$(time_ms gst-launch-1.0 -q "${gst_args[@]}" location="$folder/images/gst_b.bmp")
        gst+=("$(sum "$a" "$b")")
        rm -f "$folder"/images/*.bmp
    done
    local ffmpeg_median gst_median
    ffmpeg_median=$(stat_of median "${ffmpeg[@]}")
    gst_median=$(stat_of median "${gst[@]}")
    add_row "a. two-view capture vs 2× ffmpeg testsrc2 → BMP" "$median" "$p95" "$ffmpeg_median" \
        ms "$(calc "$ffmpeg_median / $median")" "× faster" ">=" 5
    add_row "a. two-view capture vs 2× gst-launch videotestsrc → avenc_bmp" "$median" "$p95" \
        "$gst_median" ms "$(calc "$gst_median / $median")" "× faster" ">=" 5
}

# --- b. start-up --------------------------------------------------------------------------------

startup_row() {
    say "b. start-up: $runs runs each, after one warm-up run"
    read_cameras 1280x720
    local folder="$work/startup" station=() peer=() i
    local pipeline=(videotestsrc num-buffers=1 "${camera0[@]:1}" ! fakesink
        videotestsrc num-buffers=1 "${camera1[@]:1}" ! fakesink)
    mkdir -p "$folder"
    for ((i = 0; i <= runs; i++)); do
        local s p
        s=$(BENCH_STATION_DIR="$folder" time_ms "$bench" startup)
        p=$(time_ms gst-launch-1.0 -q "${pipeline[@]}")
        if ((i > 0)); then
            station+=("$s")
            peer+=("$p")
        fi
    done
    local median p95 peer_median
    median=$(stat_of median "${station[@]}")
    p95=$(stat_of p95 "${station[@]}")
    peer_median=$(stat_of median "${peer[@]}")
    add_row "b. start-up to scan dialog shown vs gst-launch first frame of both sources" \
        "$median" "$p95" "$peer_median" ms "$(calc "$median / $peer_median")" "× (station/peer)" \
        "<=" 3
}

# --- c. live view cost --------------------------------------------------------------------------

idle_row() {
    say "c. live view: $idle_runs × ${idle_seconds} s each for the station and gst-launch"
    read_cameras 1280x720
    local folder="$work/idle" out="$work/idle.txt" station=() peer=() i
    for ((i = 0; i < idle_runs; i++)); do
        station_run "$out" "$folder" idle "$idle_seconds"
        station+=("$(value_of "$out" idle.cpu_s)")
        /usr/bin/time -f "%U %S" -o "$work/time.txt" timeout -s INT "$idle_seconds" \
            gst-launch-1.0 -q -e "${camera0[@]}" ! fakesink "${camera1[@]}" ! fakesink \
            >>"$log" 2>&1 || true
        peer+=("$(tail -1 "$work/time.txt" | awk '{ printf "%.3f", $1 + $2 }')")
    done
    local median peer_median
    median=$(stat_of median "${station[@]}")
    peer_median=$(stat_of median "${peer[@]}")
    add_row "c. CPU idling ${idle_seconds} s, two 1280x720 30 fps cameras, window shown vs gst-launch → fakesink" \
        "$median" "" "$peer_median" s "$(calc "$median / $peer_median")" "× (station/peer)" "<=" 1.5
}

# --- f, g. live view cost against a naive decode -------------------------------------------------

warm_up_seconds=2

# User plus system ticks of a running process, from /proc (fields 14 and 15 of its stat line,
# counted after the parenthesised command name).
cpu_ticks() { sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | awk '{ print $12 + $13 }'; }

# CPU seconds that gst-launch with ARGS spends over SECONDS of running, measured after a warm-up
# so that, like the station's idle figure, its start-up is left out; nan when it did not last.
pipeline_cpu() {
    local seconds=$1
    shift
    "${in_camera_net[@]}" gst-launch-1.0 -q -e "$@" >>"$log" 2>&1 &
    local pid=$! before after
    sleep "$warm_up_seconds"
    before=$(cpu_ticks "$pid")
    sleep "$seconds"
    after=$(cpu_ticks "$pid")
    kill -INT "$pid" 2>/dev/null || true
    # aravissrc that receives only incomplete frames never returns to see the end of stream.
    local i
    for ((i = 0; i < 10; i++)); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.5
    done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" || true
    if [[ -z "$before" || -z "$after" ]]; then
        say "gst-launch-1.0 $* ended early"
        echo nan
        return
    fi
    awk -v a="$before" -v b="$after" -v hz="$(getconf CLK_TCK)" 'BEGIN { printf "%.3f", (b - a) / hz }'
}

# The station's own cost of the live view (its CPU less the sources') against that of a pipeline
# that decodes and converts both cameras at full size, in the same run.
live_view_row() {
    local letter=$1 kind=$2 size=$3 target=$4 title=$5
    say "$letter. live view: $idle_runs × ${idle_seconds} s each for the sources, the naive decode and the station"
    read_cameras "$kind" "$size"
    # The sources as the camera delivers them: still compressed for an MJPEG camera.
    local source0=("${camera0[@]}") source1=("${camera1[@]}") decode=()
    if [[ "$kind" == *mjpeg ]]; then
        source0=("${camera0[@]:0:${#camera0[@]}-2}")
        source1=("${camera1[@]:0:${#camera1[@]}-2}")
        decode=(! jpegdec)
    fi
    local naive=("${decode[@]}" ! videoconvert ! video/x-raw,format=BGRx ! fakesink)
    local folder="$work/live-$letter" out="$work/live-$letter.txt"
    local sources=() naives=() station=() fps=() i
    for ((i = 0; i < idle_runs; i++)); do
        sources+=("$(pipeline_cpu "$idle_seconds" "${source0[@]}" ! fakesink "${source1[@]}" ! fakesink)")
        naives+=("$(pipeline_cpu "$idle_seconds" "${source0[@]}" "${naive[@]}" "${source1[@]}" "${naive[@]}")")
        station_run "$out" "$folder" idle "$idle_seconds" "$kind" "$size"
        station+=("$(value_of "$out" idle.cpu_while_idle_s)")
        fps+=("$(value_of "$out" idle.painted_fps)")
    done
    local sources_cpu naive_cpu station_cpu fps_median
    sources_cpu=$(stat_of median "${sources[@]}")
    naive_cpu=$(stat_of median "${naives[@]}")
    station_cpu=$(stat_of median "${station[@]}")
    fps_median=$(stat_of median "${fps[@]}")
    # The fake cameras' frames are prepared ahead: the sources cost next to nothing, and the
    # station's and the naive decode's whole CPU are compared as they are.
    add_row "$letter. live-view CPU idling ${idle_seconds} s, $title, window shown: station vs naive decode" \
        "$station_cpu" "" "$naive_cpu" s "$(calc_known "$station_cpu / $naive_cpu")" \
        "× (station/naive)" "<=" "$target"
    notes+=("$letter. CPU over ${idle_seconds} s (medians): sources alone (v4l2src → fakesink) $sources_cpu s, naive decode $naive_cpu s, station $station_cpu s; live view painted $fps_median frames/s; each run: sources ${sources[*]}, naive ${naives[*]}, station ${station[*]}")
}

# --- i, j. a GenICam camera ----------------------------------------------------------------------

# Prefix that runs a command beside the simulated GigE Vision camera: in a network namespace of the
# benchmark's own (only its loopback) and without CAP_NET_RAW, whose packet socket never sees
# loopback traffic. Empty outside rows i and j.
in_camera_net=()
# BENCH_GENICAM_SIZE=256x256 shows row i at a size whose frames fit the loopback socket's default
# receive buffer, so that the camera's own rate reaches the station.
genicam_size=${BENCH_GENICAM_SIZE:-512x512}
# At 512x512 the simulated camera loses most frames on a loaded machine (its receive buffer
# overflows), too many for the station's start-up check of both cameras; its stills are timed
# at 256x256.
genicam_still_size=256x256

start_genicam_camera() {
    camera_net="station-bench-$$"
    ip netns add "$camera_net" && ip netns exec "$camera_net" ip link set lo up || return 1
    in_camera_net=(ip netns exec "$camera_net" setpriv --inh-caps=-all --bounding-set=-net_raw)
}

# A fresh simulated camera for each row: one whose last viewer was stopped keeps its acquisition
# (and its size) until its heartbeat runs out. Waits until it answers.
restart_fake_camera() {
    if [[ -n "${fake_camera:-}" ]]; then
        kill "$fake_camera" 2>/dev/null || true
        wait "$fake_camera" 2>/dev/null || true
    fi
    ip netns exec "$camera_net" arv-fake-gv-camera-0.8 -i 127.0.0.1 -s CAM01 >>"$log" 2>&1 &
    fake_camera=$!
    local i
    for ((i = 0; i < 20; i++)); do
        "${in_camera_net[@]}" arv-tool-0.8 2>/dev/null | grep -q Aravis-Fake-CAM01 && return
        sleep 0.5
    done
    say "the simulated GenICam camera does not answer"
}

stop_genicam_camera() {
    if [[ -n "${fake_camera:-}" ]]; then
        kill "$fake_camera" 2>/dev/null || true
        wait "$fake_camera" 2>/dev/null || true
    fi
    fake_camera=""
    if [[ -n "${camera_net:-}" ]]; then
        ip netns delete "$camera_net" 2>/dev/null || true
    fi
    camera_net=""
    in_camera_net=()
}

genicam_rows() {
    if ! command -v arv-fake-gv-camera-0.8 >/dev/null || ! start_genicam_camera; then
        say "i, j: skipped: needs aravis-tools and root for a network namespace"
        return
    fi
    read_cameras genicam "$genicam_size"
    local source=("${camera1[@]:0:${#camera1[@]}-2}")  # without its bayer2rgb
    if wanted i; then
        restart_fake_camera
        say "i. live view of a GenICam camera: $idle_runs × ${idle_seconds} s each"
        local naives=() station=() fps=() sources=() out="$work/live-i.txt" i
        for ((i = 0; i < idle_runs; i++)); do
            sources+=("$(pipeline_cpu "$idle_seconds" "${source[@]}" ! fakesink)")
            naives+=("$(pipeline_cpu "$idle_seconds" "${source[@]}" ! bayer2rgb ! videoconvert ! video/x-raw,format=BGRx ! fakesink)")
            station_run "$out" "$work/live-i" idle "$idle_seconds" genicam "$genicam_size"
            station+=("$(value_of "$out" idle.cpu_while_idle_s)")
            fps+=("$(value_of "$out" idle.painted_fps)")
        done
        local naive_cpu station_cpu
        naive_cpu=$(stat_of median "${naives[@]}")
        station_cpu=$(stat_of median "${station[@]}")
        add_row "i. live-view CPU idling ${idle_seconds} s, a $genicam_size Bayer 25 fps GenICam camera (aravissrc), window shown: station vs aravissrc ! bayer2rgb ! videoconvert" \
            "$station_cpu" "" "$naive_cpu" s "$(calc_known "$station_cpu / $naive_cpu")" \
            "× (station/naive)" "<=" 0.3
        notes+=("i. CPU over ${idle_seconds} s (medians): aravissrc → fakesink $(stat_of median "${sources[@]}") s, naive $naive_cpu s, station $station_cpu s; painted $(stat_of median "${fps[@]}") frames/s (the simulated camera loses frames when its receiving thread waits on a loaded machine)")
    fi
    if wanted j; then
        restart_fake_camera
        say "j. a still from a GenICam camera: $captures captures, $runs gst-launch one-shots"
        local out="$work/capture-j.txt" gst=() i
        station_run "$out" "$work/capture-j" capture "$captures" "$genicam_still_size" genicam
        read_cameras genicam "$genicam_still_size"
        source=("${camera1[@]:0:${#camera1[@]}-2}")
        for ((i = 0; i < runs; i++)); do
            gst+=("$(time_ms "${in_camera_net[@]}" gst-launch-1.0 -q "${source[@]/aravissrc/aravissrc num-buffers=1}" \
                ! bayer2rgb ! videoconvert ! avenc_bmp ! filesink location="$work/one-shot.bmp")")
        done
        local median gst_median
        median=$(value_of "$out" capture.median_ms)
        gst_median=$(stat_of median "${gst[@]}")
        add_row "j. two-view capture, colour camera a $genicam_still_size GenICam camera, vs gst-launch aravissrc one-shot → BMP" \
            "$median" "$(value_of "$out" capture.p95_ms)" "$gst_median" ms \
            "$(calc_known "$gst_median / $median")" "× faster" "" ""
    fi
    stop_genicam_camera
}

# --- d. memory ----------------------------------------------------------------------------------

memory_row() {
    local totals
    read -ra totals <<<"$memory_totals"
    say "d. memory: ${totals[-1]} full captures of $size, read at ${totals[*]}"
    local out="$work/memory.txt" total growth
    station_run "$out" "$work/memory" memory "${totals[@]}"
    local rss=()
    for total in "${totals[@]}"; do
        growth=$(value_of "$out" "memory.growth_mib.$total")
        rows+=("| d. RSS growth from 10 to $total captures | $(fmt "$growth" MiB) | — | — | — | ≤ 5 MiB | $(verdict "$growth" "<=" 5) |")
        rss+=("$(value_of "$out" "memory.rss_mib.$total") after $total")
    done
    local v=()
    for key in rss_start_mib rss_first_mib before.fds after.fds before.threads after.threads; do
        v+=("$(value_of "$out" "memory.$key")")
    done
    notes+=("d. RSS ${v[0]} MiB after start-up, ${v[1]} after 10 captures, $(printf '%s, ' "${rss[@]}" | sed 's/, $//'); descriptors ${v[2]} → ${v[3]}, threads ${v[4]} → ${v[5]}")
}

# --- e. scan to ready ---------------------------------------------------------------------------

scan_rows() {
    say "e. scan-to-ready: $rounds rounds"
    local out="$work/scan.txt"
    station_run "$out" "$work/scan" scan-to-ready "$rounds"
    add_row "e. scan dialog OK → \"Take Picture\" asked" "$(value_of "$out" scan.ok_to_question.median_ms)" \
        "$(value_of "$out" scan.ok_to_question.p95_ms)" "" ms "" "" "" ""
    add_row "e. Yes → scan dialog open again (capture and Alt+G included)" \
        "$(value_of "$out" scan.yes_to_dialog.median_ms)" \
        "$(value_of "$out" scan.yes_to_dialog.p95_ms)" "" ms "" "" "" ""
}

# --- h. scan to ready with the save folder stalled ----------------------------------------------

spool_deadline_ms=3000  # the default SPOOL_AFTER_SECONDS

stalled_scan_row() {
    local healthy="$work/scan.txt"
    if [[ ! -s "$healthy" ]]; then
        say "h. scan-to-ready, healthy folder: $rounds rounds"
        station_run "$healthy" "$work/scan" scan-to-ready "$rounds"
    fi
    local stalled_rounds=$((rounds < 10 ? rounds : 10))
    say "h. scan-to-ready, save folder stalled: $stalled_rounds rounds"
    local out="$work/scan-stalled.txt"
    LD_PRELOAD="$build/tests/libstall_open.so" BENCH_STALL_SAVE_FOLDER=1 \
        station_run "$out" "$work/scan-stalled" scan-to-ready "$stalled_rounds"
    local median base
    median=$(value_of "$out" scan.yes_to_dialog.median_ms)
    base=$(calc_known "$(value_of "$healthy" scan.yes_to_dialog.median_ms) + $spool_deadline_ms")
    add_row "h. Yes → scan dialog open again, save folder stalled (kept on this PC) vs healthy e + spool deadline" \
        "$median" "$(value_of "$out" scan.yes_to_dialog.p95_ms)" "$base" ms \
        "$(calc_known "$median / $base")" "× (e + ${spool_deadline_ms} ms)" "<=" 1.5
}

# --- records-verify ------------------------------------------------------------------------------

records_samples=1000
records_size=640x480

# station-records verify on a save folder of samples with copies and records against sha256sum
# of the same files; both read warm from the page cache, after one run each.
records_verify_row() {
    local folder="$work/records-verify"
    say "records-verify: $records_samples samples of $records_size with copies and records"
    if ! "$build/bench/bench_records" "$folder" "$records_samples" "$records_size" 2>>"$log"; then
        say "bench_records failed:"
        tail -5 "$log" >&2
        return
    fi
    local files=("$folder"/CLR_* "$folder"/BTM_*)
    local verify=() peer=() i
    for ((i = 0; i <= runs; i++)); do
        local v p
        v=$(time_ms "$build/app/station-records" verify "$folder")
        p=$(time_ms sha256sum "${files[@]}")
        if ((i > 0)); then
            verify+=("$v")
            peer+=("$p")
        fi
    done
    if ! "$build/app/station-records" verify "$folder" >>"$log" 2>&1; then
        say "records-verify: the generated folder does not verify"
        verify=(nan)
    fi
    local median p95 peer_median
    median=$(stat_of median "${verify[@]}")
    p95=$(stat_of p95 "${verify[@]}")
    peer_median=$(stat_of median "${peer[@]}")
    add_row "records-verify: station-records verify, $records_samples samples of $records_size vs sha256sum of the same files" \
        "$median" "$p95" "$peer_median" ms "$(calc_known "$median / $peer_median")" \
        "× (verify/sha256sum)" "<=" 1.2
    notes+=("records-verify: ${#files[@]} files of $(du -sh "$folder" | cut -f1) with $records_samples records; verify hashes in 2 threads, sha256sum in one")
}

camera_control_bench() {
    local program="$build/bench/bench_camera_control"
    echo
    echo "Camera control (bench_camera_control):"
    if [[ ! -x "$program" ]]; then
        echo "not built"
        return
    fi
    "$program" 2>>"$log" || echo "bench_camera_control ended with status $?"
}

# --- main ---------------------------------------------------------------------------------------

main() {
    install_missing
    build_benchmarks
    local load_before
    load_before=$(uptime)
    if wanted a; then capture_row; fi
    if wanted b; then startup_row; fi
    if wanted c; then idle_row; fi
    if wanted d; then memory_row; fi
    if wanted e; then scan_rows; fi
    if wanted f || wanted g; then
        # The userspace UVC cameras, for the station and its peers alike.
        export LD_PRELOAD="$build/tests/libfake_uvc.so"
        export FAKE_UVC_DEVICES=/dev/video0=mjpeg+yuyv,/dev/video2=mjpeg+yuyv
        unset GST_V4L2_USE_LIBV4L2
    fi
    if wanted f; then
        live_view_row f uvc-mjpeg 1920x1080 0.3 "two 1920x1080 30 fps MJPEG cameras (v4l2src)"
    fi
    if wanted g; then
        # Uncompressed 1280x720 crosses USB 2.0 at 5 frames a second, and so does the fake.
        live_view_row g uvc-raw 1280x720 0.3 "two 1280x720 5 fps YUYV cameras (v4l2src)"
    fi
    unset LD_PRELOAD FAKE_UVC_DEVICES
    if wanted h; then stalled_scan_row; fi
    if wanted i || wanted j; then genicam_rows; fi
    if wanted records-verify; then records_verify_row; fi

    echo
    echo "| figure | station median | station p95 | peer median | ratio | target | result |"
    echo "|---|---|---|---|---|---|---|"
    printf '%s\n' "${rows[@]}"
    echo
    if ((${#notes[@]} > 0)); then
        printf -- '- %s\n' "${notes[@]}"
    fi
    wanted a && echo "- a: the station is timed in-process around Save_Sample_Images (camera stills, file writes" \
        "and the two compressor starts of /bin/true); the peers are timed from exec to exit."
    if wanted f || wanted g; then
        echo "- f, g: peers' CPU read from /proc after ${warm_up_seconds} s of warm-up, the station's" \
            "in-process from after its start-up; the same seconds for all three"
    fi
    echo "- $captures captures, $runs process runs, idle $idle_runs × ${idle_seconds} s," \
        "$rounds scan rounds; $(nproc) cores"
    echo "- load before: ${load_before#*load average: }; after: $(uptime | sed 's/.*load average: //')"
    if wanted control; then camera_control_bench; fi
    if wanted long; then long_run; fi
}

# The long test: a thousand captures in one process, then the 16-bit list limit.
long_run() {
    echo
    say "long run: 1000 captures (tst_long_run)"
    (cd "$build" && QT_QPA_PLATFORM=offscreen ctest -L long --output-on-failure | tail -3)
}

# Read whole before it runs, so that an edit of this file cannot disturb a run in progress.
main "$@"; exit
