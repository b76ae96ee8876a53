#!/usr/bin/env bash
# A station crashed at each step of one capture's file work (every rename, link, unlink and sync
# in its save folder, one run per step), then started again: each sample must have its earlier
# pair or its new pair, never one of each, every compressed copy must be whole, and no temporary
# may be left.  Usage: check_crash_points.sh CRASH_VICTIM CRASH_AT_LIBRARY
set -euo pipefail
# A check that stops the script names itself rather than ending it without a word.
trap 'echo "FAIL: line $LINENO: $BASH_COMMAND"' ERR
victim=$1
library=$2
work="$(mktemp -d "${TMPDIR:-/tmp}/crash-points.XXXXXX")"
trap 'rm -rf "$work"' EXIT
export XDG_RUNTIME_DIR="$work/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"
log="$work/log.txt"
earlier=(0xff0000ff 0xffff0000)
new=(0xff00ff00 0xffffff00)

fail() {
    echo "FAIL: $*"
    tail -20 "$log"
    exit 1
}

# The two pairs and their copies as whole captures make them.
"$victim" "$work/earlier" capture "${earlier[@]}" 2>>"$log" || fail "a capture without a crash"
"$victim" "$work/new" capture "${new[@]}" 2>>"$log" || fail "a capture without a crash"

# Which capture FILE comes from: earlier, new, absent, or something else.
origin() {
    local name
    name=$(basename "$1")
    if [[ ! -e "$1" ]]; then
        echo absent
    elif cmp -s "$1" "$work/earlier/images/$name"; then
        echo earlier
    elif cmp -s "$1" "$work/new/images/$name"; then
        echo new
    else
        echo "neither"
    fi
}

# A capture that replaces an earlier pair, and the first capture of a sample.
crashes=0
for before in earlier none; do
    for step in $(seq 1 200); do
        run="$work/run"
        rm -rf "$run"
        mkdir -p "$run/images"
        if [[ $before == earlier ]]; then
            cp -r "$work/earlier/images/"* "$run/images/"  # with the earlier pair's records
        fi
        status=0
        CRASH_AT_FOLDER="$run/images" CRASH_AT_CALL=$step LD_PRELOAD="$library" \
            "$victim" "$run" capture "${new[@]}" 2>>"$log" || status=$?
        if ((status == 0)); then
            break  # past the last step: the capture ended without a crash
        fi
        ((status == 137)) || fail "step $step: the capture ended with status $status, not killed"
        crashes=$((crashes + 1))
        sleep 0.3  # the compressors the crashed station started run on for a moment
        "$victim" "$run" start 2>>"$log" || fail "step $step: the start after the crash failed"

        colour=$(origin "$run/images/CLR_12345678_01.BMP")
        bottom=$(origin "$run/images/BTM_12345678_01.BMP")
        [[ "$colour" == "$bottom" && "$colour" != neither ]] ||
            fail "$before, step $step: colour picture $colour, bottom picture $bottom"
        for copy in CLR BTM; do
            [[ $(origin "$run/images/${copy}_12345678_01.JPG") != neither ]] ||
                fail "$before, step $step: the $copy copy is not whole"
        done
        # The pair under the final names has its record: the newest names the new pictures'
        # digest, or says that the capture whose record went in before the crash did not land.
        # None at all when the crash came before the first record (the stills are written on
        # threads of their own, so which call comes first varies).
        newest=$({ find "$run/images/records" -name '*.json' ! -name '.*' 2>/dev/null || true; } |
            sort | tail -1)
        digest=$(sha256sum "$work/new/images/CLR_12345678_01.BMP" | cut -d' ' -f1)
        if [[ $colour == new ]]; then
            grep -q "$digest" "$newest" || fail "$before, step $step: the new pair has no record"
        elif grep -lq "$digest" "$run/images/records"/*/*.json 2>/dev/null; then
            [[ $newest == *-repaired-* ]] ||
                fail "$before, step $step: a record of a pair that did not land stands: $newest"
        fi
        # A replaced pair is kept whole before the new one takes its names.
        if [[ $before == earlier && $colour == new ]]; then
            for picture in CLR_12345678_01.BMP BTM_12345678_01.BMP; do
                kept=$({ find "$run/images/superseded" -name "*_$picture" 2>/dev/null || true; } |
                    head -1)
                [[ -n "$kept" ]] && cmp -s "$kept" "$work/earlier/images/$picture" ||
                    fail "$before, step $step: the replaced $picture was not kept"
            done
        fi
        left=$(find "$run/images" -name '.*' -printf '%f ')
        [[ -z "$left" ]] || fail "$before, step $step: temporaries left: $left"
        echo "$before, step $step: $colour pair"
    done
done
((crashes >= 20)) || fail "only $crashes steps were found; is the helper preloaded?"
echo "PASS: $crashes crash points, each left one whole pair"
