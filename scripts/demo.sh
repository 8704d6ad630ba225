#!/usr/bin/env bash
# Builds Kestrune and shows it at work against two emulated instances in a private folder:
# a 4-stream gzip + AES full backup of a database of a few hundred MiB, a verify of its media,
# and a restore under another name into the second instance, its files relocated through the
# operation-options file; then the two content checksums side by side.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}
size_mb=${DEMO_DB_MB:-300}

if [ ! -f "$build/CMakeCache.txt" ] || ! command -v cmake >/dev/null || ! pkg-config --exists libcrypto++ odbc; then
  "$here/scripts/setup.sh"
fi
cmake --build "$build" -j "$(nproc)" --target kestrune sqlemu sqlemu_odbc >/dev/null

box=$(mktemp -d /tmp/kestrune-demo-XXXXXX)
trap '[ -n "${DEMO_KEEP:-}" ] || rm -rf "$box"' EXIT
mkdir -p "$box/bin" "$box/odbc" "$box/root" "$box/media"
cp "$build/engine/kestrune" "$box/bin/"
printf '[Default]\nSingleton=0\nInstance=localhost\n' > "$box/bin/config.ini"
export ODBCSYSINI="$box/odbc" SQLEMU_ROOT="$box/root" HOME="$box"
sqlemu="$build/emulator/sqlemu"
kestrune="$box/bin/kestrune"
pass="demo pass phrase"

step() { printf '\n== %s\n' "$*"; }
timed() {  # timed NAME command...: runs it, keeps its seconds in secs_NAME
  local name=$1; shift
  local t0 t1 st=0
  t0=$EPOCHREALTIME
  "$@" || st=$?
  t1=$EPOCHREALTIME
  printf -v "secs_$name" '%s' "$(awk "BEGIN { printf \"%.1f\", $t1 - $t0 }")"
  if [ "$st" -ne 0 ]; then echo "demo: $name ended with status $st" >&2; exit 1; fi
}

step "Emulated instances MSSQLSERVER and SECOND, database Sales of $size_mb MiB"
"$sqlemu" odbc-register "$box/odbc" >/dev/null
"$sqlemu" instance create MSSQLSERVER >/dev/null
"$sqlemu" instance create SECOND >/dev/null
"$sqlemu" db create MSSQLSERVER Sales --data-mb "$size_mb" --log-mb 16 --data-files 2 --seed 2026 >/dev/null
"$sqlemu" db show MSSQLSERVER Sales | grep '^file:'

step "Full backup: 4 streams, gzip + AES-128-CTR"
timed backup "$kestrune" -a=B -b=F -d=Sales -f="4@$box/media" -z=G -Z=1 -P="$pass"

step "Verify the media"
timed verify "$kestrune" -a=V -b=F -f="4@$box/media" -z=G -P="$pass"

step "Restore as SalesCopy into SECOND, files moved to its default folders"
timed restore "$kestrune" -a=R -b=F -d=SalesCopy -i='localhost\SECOND' -f="4@$box/media" -z=G -P="$pass" -O=R
"$sqlemu" db show SECOND SalesCopy | grep '^file:'

step "Summary"
media_bytes=$(cat "$box"/media/Sales_*.bak | wc -c)
db_bytes=$("$sqlemu" db show MSSQLSERVER Sales | awk -F'\t' '/^file:/ {s += $4} END {print s}')
printf 'database files   %12d bytes\n' "$db_bytes"
printf 'media (4 files)  %12d bytes, options file %d bytes\n' "$media_bytes" "$(wc -c < "$box/media/Sales_1.bak_opts")"
printf 'seconds          backup %s, verify %s, restore %s\n' "$secs_backup" "$secs_verify" "$secs_restore"
src=$("$sqlemu" db checksum MSSQLSERVER Sales)
dst=$("$sqlemu" db checksum SECOND SalesCopy)
printf '%-26s %-26s\n' "MSSQLSERVER.Sales" "SECOND.SalesCopy"
printf '%-26s %-26s\n' "${src:0:24}.." "${dst:0:24}.."
if [ "$src" = "$dst" ]; then echo "checksums match"; else echo "checksums DIFFER"; exit 1; fi
