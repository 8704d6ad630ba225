#!/usr/bin/env bash
# Builds Kestrune and runs the whole suite; the last lines are ctest's summary.
# BUILD_DIR and CMAKE_ARGS select another build (the sanitizer build of .ci/run uses them).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}
if [ ! -f "$build/CMakeCache.txt" ] || ! command -v cmake >/dev/null || ! pkg-config --exists libcrypto++ odbc; then
  "$here/scripts/setup.sh"
fi
cmake -S "$here" -B "$build" ${CMAKE_ARGS:-} >/dev/null
cmake --build "$build" -j "$(nproc)"
cd "$build"
ctest -j "$(nproc)" --output-on-failure --timeout 900 ${CTEST_ARGS:-}
