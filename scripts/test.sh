#!/usr/bin/env bash
# Sets everything up, builds, and runs the whole test suite headless: the normal build, then the
# same suites in an AddressSanitizer + UndefinedBehaviorSanitizer build, a bounded fuzzing run of
# the settings loader, and the format and clang-tidy checks. The normal build's suite includes the
# package checks (label packaging): lintian, the package's contents and, as root, a real
# installation with every program started under Xvfb. Extra arguments go to ctest (for example
# -L e2e). STATION_QUICK=1 runs the normal build's suite only.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export QT_QPA_PLATFORM=offscreen

# The benchmarks are built by bench/run_all.sh in a tree of their own, not here.
STATION_CMAKE_ARGS="${STATION_CMAKE_ARGS:-} -DSTATION_BUILD_BENCH=OFF" "$here/scripts/setup.sh" "$here/build"

if [[ "${STATION_QUICK:-0}" == 1 ]]; then
    (cd "$here/build" && ctest --output-on-failure -j 2 -LE long "$@")
    exit 0
fi

# The fuzzing and lint tools, before anything runs beside anything else (one apt at a time).
bash "$here/scripts/install-missing.sh" clang libclang-rt-14-dev clang-format clang-tidy-22

# The normal suite spends most of its time waiting (stalled folders, real processes, X servers),
# so the sanitizer tree is built meanwhile, at low priority so that the suite's timing is not
# disturbed. It builds what its suites run, not the benchmarks.
asan_log="$here/build-asan.log"
(
    nice -n 15 cmake -S "$here" -B "$here/build-asan" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
        -DSTATION_SANITIZE=ON -DSTATION_BUILD_BENCH=OFF &&
        nice -n 15 cmake --build "$here/build-asan" -j "$(nproc)"
) >"$asan_log" 2>&1 &
asan_build=$!

normal=0
(cd "$here/build" && ctest --output-on-failure -j 2 -LE long "$@") || normal=$?

echo "== sanitizer build =="
if ! wait "$asan_build"; then
    tail -n 60 "$asan_log"
    echo "The sanitizer build failed (log: $asan_log)" >&2
    exit 1
fi
# The sanitizer suites mostly wait on real pipelines, processes and files, so the bounded fuzzing
# run and the format and clang-tidy checks share their time (started earlier, the checks only
# slowed the sanitizer build); their reports follow the suites'.
fuzz_log="$here/build-asan/fuzz.log"
lint_log="$here/build-asan/lint.log"
(FUZZ_SECONDS="${FUZZ_SECONDS:-30}" bash "$here/scripts/fuzz.sh") >"$fuzz_log" 2>&1 &
fuzz_run=$!
(nice -n 15 bash "$here/scripts/lint.sh" "$here/build") >"$lint_log" 2>&1 &
lint_run=$!

# The package is checked once, from the normal build; the desktops once, without sanitizers.
asan=0
(cd "$here/build-asan" && ctest --output-on-failure -j 2 -LE "packaging|long|desktop" "$@") || asan=$?

fuzz=0
wait "$fuzz_run" || fuzz=$?
echo "== settings loader fuzzing =="
cat "$fuzz_log"
lint=0
wait "$lint_run" || lint=$?
echo "== format and clang-tidy =="
cat "$lint_log"

if ((normal != 0 || asan != 0 || fuzz != 0 || lint != 0)); then
    echo "Failed: normal suite $normal, sanitizer suite $asan, fuzzing $fuzz, format/tidy $lint" >&2
    exit 1
fi
