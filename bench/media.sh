#!/usr/bin/env bash
# Media throughput: every CryptoMedia chain against the bare Crypto++ stages, gzip and openssl.
# Arguments go to media_bench (--mib N, --buffer BYTES, --level L, --reps R, --dir FOLDER).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$here" -B "$build" -G Ninja >/dev/null
fi
cmake --build "$build" --target media_bench >/dev/null
exec "$build/bench/media_bench" "$@"
