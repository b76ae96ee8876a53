#!/usr/bin/env bash
# Sets everything up, builds, and runs the whole test suite headless.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$here/scripts/setup.sh" "$here/build"
cd "$here/build"
export QT_QPA_PLATFORM=offscreen
ctest --output-on-failure -j 2 "$@"
