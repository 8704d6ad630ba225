#!/usr/bin/env bash
# Builds Kestrune (installing what is missing) and shows it running.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}
"$here/scripts/setup.sh" >/dev/null
"$build/engine/kestrune" -v
echo
