#!/usr/bin/env bash
# Installs what Kestrune needs on a Debian 12 machine (as root), then configures and builds into build/.
# Safe to run again: packages already present are not fetched twice.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

packages=(
  build-essential cmake pkg-config ninja-build
  googletest libgtest-dev
  libcrypto++-dev unixodbc-dev unixodbc odbcinst zlib1g-dev
  openssl gzip pigz socat netcat-openbsd util-linux bsdutils binutils libfaketime python3 procps time iproute2
  clang libclang-rt-14-dev clang-format
)
echo "setup: checking ${#packages[@]} packages"
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: these packages are missing and installing them needs root: ${missing[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  echo "setup: updating the package lists"
  apt-get update
  echo "setup: installing ${#missing[@]} packages: ${missing[*]}"
  apt-get install -y --no-install-recommends "${missing[@]}"
else
  echo "setup: every package is installed"
fi

build=${BUILD_DIR:-$here/build}
generator=()
[ -f "$build/CMakeCache.txt" ] || generator=(-G Ninja)  # an existing build keeps its generator
echo "setup: configuring $build"
cmake -S "$here" -B "$build" "${generator[@]}" ${CMAKE_ARGS:-}
echo "setup: building with $(nproc) jobs (nothing to do when it is up to date)"
cmake --build "$build" -j "$(nproc)"
echo "setup: built"
