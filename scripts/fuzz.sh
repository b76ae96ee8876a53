#!/usr/bin/env bash
# Builds the settings-loader fuzz target with clang, libFuzzer and the sanitizers, and runs it for
# a bounded time on a copy of the seed corpus. Exits non-zero on a crash, leak, timeout or memory
# overrun. Expects the station's build packages (scripts/setup.sh); adds only the clang ones.
# Environment: FUZZ_SECONDS (default 60), FUZZ_BUILD_DIR (default build-fuzz),
#              FUZZ_CMAKE_ARGS (extra configure arguments).
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${FUZZ_BUILD_DIR:-$here/build-fuzz}"
seconds="${FUZZ_SECONDS:-60}"

bash "$here/scripts/install-missing.sh" clang libclang-rt-14-dev

# The settings library is built with the same sanitizers; only the fuzz target and what it links.
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++ -DSTATION_SANITIZE=ON -DSTATION_FUZZ=ON \
    -DSTATION_BUILD_TESTS=OFF ${FUZZ_CMAKE_ARGS:-}
cmake --build "$build" --target fuzz_settings_loader -j 2

# The fuzzer adds inputs to its corpus folder: work on a copy so the repository stays as it is.
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cp -r "$here/fuzz/corpus/settings" "$work/corpus"
artifacts="$build/fuzz-artifacts"
mkdir -p "$artifacts"
log="$build/fuzz_settings_loader.log"

echo "Fuzzing the settings loader for ${seconds} s (log: $log)"
status=0
(cd "$work" && "$build/fuzz/fuzz_settings_loader" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=2048 -max_len=1100000 -print_final_stats=1 -artifact_prefix="$artifacts/" \
    corpus) >"$log" 2>&1 || status=$?

if ((status != 0)); then
    tail -n 80 "$log"
    echo "fuzz_settings_loader failed (exit $status); inputs that fail are in $artifacts" >&2
    exit "$status"
fi
grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)|^stat::' "$log"
echo "Corpus after the run: $(find "$work/corpus" -type f | wc -l) files"
