#!/usr/bin/env bash
# Every header of the tree compiles on its own, and all of them compile together in two opposite
# orders (the driver manager's headers first in one, last in the other), so that no header needs
# another one before it and no two of them clash. Warnings count as failures: a macro defined
# twice with different texts is only a warning.
#
# Usage: check_headers.sh MODE SOURCE_DIR COMPILER [FLAG...]
#   MODE alone: each header in a translation unit of its own; together: all of them in one.
set -euo pipefail
mode=$1 src=$2 cxx=$3
shift 3
flags=(-std=c++17 -fsyntax-only -Wall -Wextra -Wno-unused-parameter -Werror -I"$src" "$@")

cd "$src"
mapfile -t headers < <(find platform support config media sql engine emulator tests -name '*.h' | LC_ALL=C sort)
if [ ${#headers[@]} -eq 0 ]; then
  echo "no headers found under $src"
  exit 1
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/kes-headers.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Compiles a translation unit of the given #include lines; prints its errors under its name.
compile() {
  local name=$1
  shift
  printf '%s\n' "$@" >"$work/$name.cpp"
  if ! "$cxx" "${flags[@]}" "$work/$name.cpp" >"$work/$name.log" 2>&1; then
    echo "FAILED: $name"
    sed 's/^/  /' "$work/$name.cpp"
    head -n 40 "$work/$name.log"
    return 1
  fi
}

includes=()
for h in "${headers[@]}"; do includes+=("#include \"$h\""); done
odbc=("#include <sql.h>" "#include <sqlext.h>")

failed=0
case $mode in
  alone)
    # In parallel, a few at a time; each unit is named after its header.
    jobs=$(nproc)
    for i in "${!headers[@]}"; do
      while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || failed=1; done
      compile "$(tr '/.' '__' <<<"${headers[$i]}")" "${includes[$i]}" &
    done
    while [ "$(jobs -rp | wc -l)" -gt 0 ]; do wait -n || failed=1; done
    ;;
  together)
    reversed=()
    for ((i = ${#includes[@]} - 1; i >= 0; i--)); do reversed+=("${includes[$i]}"); done
    compile forward "${includes[@]}" "${odbc[@]}" || failed=1
    compile reverse "${odbc[@]}" "${reversed[@]}" || failed=1
    ;;
  *)
    echo "unknown mode: $mode"
    exit 2
    ;;
esac
[ $failed -eq 0 ] && echo "${#headers[@]} headers: $mode, no errors"
exit $failed
