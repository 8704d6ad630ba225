#!/usr/bin/env bash
# Builds Kestrune and shows it running.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}
if [ ! -x "$build/engine/kestrune" ]; then
  "$here/scripts/setup.sh"
fi
"$build/engine/kestrune" -v
echo
