#!/usr/bin/env bash
# The order of one capture's system calls under strace: the data of each picture and each
# compressed copy, and of a pair forwarded from the spool, is synced before the rename that gives
# it its final name, and its folder is synced after that rename.
# Usage: check_commit_order.sh CRASH_VICTIM
set -euo pipefail
victim=$1
if ! command -v strace >/dev/null; then
    echo "SKIP: strace is not installed (Debian package strace)"
    exit 77
fi
work="$(mktemp -d "${TMPDIR:-/tmp}/commit-order.XXXXXX")"
trap 'rm -rf "$work"' EXIT
export XDG_RUNTIME_DIR="$work/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"
# An earlier pair first, so that the capture replaces one.
"$victim" "$work/earlier" capture 0xff0000ff 0xffff0000 2>/dev/null
mkdir -p "$work/run/images"
# Its pictures only: an earlier copy under a final name would let the capture count as ended
# before its compressors have.
cp "$work/earlier/images/"*.BMP "$work/run/images/"
# And a pair kept on this PC while the folder was out of reach, forwarded at the start.
spool="$work/run/data/SampleImageStation/spool"
mkdir -p "$spool"
for view in CLR BTM; do
    cp "$work/earlier/images/${view}_12345678_01.BMP" "$spool/${view}_55555555_01.BMP"
done
trace="$work/trace.txt"
if ! strace -f -y -qq -o "$trace" -e trace=fsync,fdatasync,link,linkat,rename,renameat,renameat2 \
    "$victim" "$work/run" capture 0xff00ff00 0xffffff00 2>"$work/log.txt"; then
    if grep -q "PTRACE\|ptrace" "$work/log.txt"; then
        echo "SKIP: strace cannot trace here: $(head -1 "$work/log.txt")"
        exit 77
    fi
    echo "FAIL: the capture under strace failed"
    cat "$work/log.txt"
    exit 1
fi

folder="$work/run/images"
failed=0
for name in CLR_12345678_01.BMP BTM_12345678_01.BMP CLR_12345678_01.JPG BTM_12345678_01.JPG \
    CLR_55555555_01.BMP BTM_55555555_01.BMP; do
    final="$folder/$name"
    # A sync counts where it ends: on its own line, or on the line its call resumes.
    if ! awk -v final="$final" -v folder="$folder" -v inode="$(stat -c %i "$final")" '
        { line[NR] = $0; pid[NR] = $1 }
        END {
            for (i = 1; i <= NR; i++) {
                if (line[i] ~ /rename/ && index(line[i], ", \"" final "\"")) { renamed = i; break }
            }
            if (!renamed) { print final ": no rename to it"; exit 1 }
            split(line[renamed], quoted, "\"")
            temporary = quoted[2]
            for (i = 1; i < renamed && !synced; i++) {
                if (line[i] !~ /^[0-9]+ +f(data)?sync\(/) continue
                if (!index(line[i], "<" temporary ">") && !index(line[i], "/#" inode ">")) continue
                end = i
                if (line[i] ~ /<unfinished/) {
                    for (end = i + 1; end <= NR && !(pid[end] == pid[i] && line[end] ~ /sync resumed>/); end++) {}
                }
                if (end < renamed) synced = i
            }
            if (!synced) { print final ": its data is not synced before its rename"; exit 1 }
            for (i = renamed + 1; i <= NR; i++) {
                if (pid[i] == pid[renamed] && line[i] ~ /fsync\(/ && index(line[i], "<" folder ">")) {
                    print final ": synced, renamed, folder synced"; exit 0
                }
            }
            print final ": the folder is not synced after its rename"; exit 1
        }' "$trace"; then
        failed=1
    fi
done
if ((failed)); then
    echo "FAIL; the calls traced:"
    grep -F "$folder" "$trace"
    exit 1
fi
echo "PASS"
