#!/usr/bin/env bash
# Builds Kestrune and runs the whole suite; the last lines are ctest's summary.
# BUILD_DIR and CMAKE_ARGS select another build (the sanitizer build of .ci/run uses them).
# The set-up runs every time: it installs only what is missing, then configures and builds.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}
"$here/scripts/setup.sh"
cd "$build"
ctest -j "$(nproc)" --output-on-failure --timeout 900 ${CTEST_ARGS:-}
