#!/usr/bin/env bash
# Sets everything up, builds, and runs the whole test suite headless: the normal build, then the
# same suites in an AddressSanitizer + UndefinedBehaviorSanitizer build, then a bounded fuzzing
# run of the settings loader. The normal build's suite includes the package checks (label
# packaging): lintian, the package's contents and, as root, a real installation with every program
# started under Xvfb. Extra arguments go to ctest (for example -L e2e).
# STATION_QUICK=1 runs the normal build's suite only.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export QT_QPA_PLATFORM=offscreen

"$here/scripts/setup.sh" "$here/build"
(cd "$here/build" && ctest --output-on-failure -j 2 -LE long "$@")

if [[ "${STATION_QUICK:-0}" == 1 ]]; then
    exit 0
fi

echo "== sanitizer build =="
cmake -S "$here" -B "$here/build-asan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSTATION_SANITIZE=ON
cmake --build "$here/build-asan" -j "$(nproc)"
# The package is checked once, from the normal build.
(cd "$here/build-asan" && ctest --output-on-failure -j 2 -LE "packaging|long|desktop" "$@")

if [[ -f "$here/scripts/fuzz.sh" ]]; then
    echo "== settings loader fuzzing =="
    FUZZ_SECONDS="${FUZZ_SECONDS:-60}" bash "$here/scripts/fuzz.sh"
fi
