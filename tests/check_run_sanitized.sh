#!/usr/bin/env bash
# The sanitizer build's runner repeats a program only when LeakSanitizer itself crashed after every
# case passed; a leak, a failed case or a second crash still fails.
set -euo pipefail
runner="$(dirname "${BASH_SOURCE[0]}")/run_sanitized.sh"
dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT
passed="Totals: 3 passed, 0 failed, 0 skipped, 0 blacklisted, 9ms"
crashed="$passed
==1==LeakSanitizer has encountered a fatal error."
leaked="$passed
==1==ERROR: LeakSanitizer: detected memory leaks"
failed="FAIL!  : T::f() 'x' returned FALSE.
Totals: 2 passed, 1 failed, 0 skipped, 0 blacklisted, 9ms
==1==LeakSanitizer has encountered a fatal error."

# check EXPECTED_STATUS EXPECTED_RUNS OUTPUT1 STATUS1 [OUTPUT2 STATUS2]: a fake program answers
# its n-th run with OUTPUTn and STATUSn.
check() {
    local expected_status=$1 expected_runs=$2
    shift 2
    rm -f "$dir"/*
    local n=1
    while (($# > 0)); do
        printf '%s\n' "$1" >"$dir/out$n" && echo "$2" >"$dir/status$n"
        shift 2 && n=$((n + 1))
    done
    printf '#!/usr/bin/env bash\nn=$(($(cat %s/runs 2>/dev/null || echo 0) + 1)); echo $n >%s/runs\ncat %s/out$n; exit $(cat %s/status$n)\n' \
        "$dir" "$dir" "$dir" "$dir" >"$dir/program"
    chmod +x "$dir/program"
    local status=0
    bash "$runner" "$dir/program" >/dev/null || status=$?
    if [[ $status != "$expected_status" || $(cat "$dir/runs") != "$expected_runs" ]]; then
        echo "FAIL: expected status $expected_status after $expected_runs run(s)," \
            "got $status after $(cat "$dir/runs") (line ${BASH_LINENO[0]})"
        exit 1
    fi
}

check 0 1 "$passed" 0
check 0 2 "$crashed" 1 "$passed" 0
check 1 2 "$crashed" 1 "$crashed" 1 "$passed" 0
check 1 1 "$leaked" 1 "$passed" 0
check 1 1 "$failed" 1 "$passed" 0
echo "runner checks passed"
