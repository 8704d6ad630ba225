#!/usr/bin/env bash
# Builds Kestrune and shows it at work against two emulated instances in a private folder:
# a 4-stream gzip + AES full backup of a database of a few hundred MiB, a verify of its media,
# and a restore under another name into the second instance, its files relocated through the
# operation-options file; then the two content checksums side by side.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}
size_mb=${DEMO_DB_MB:-300}

# The set-up is idempotent: it installs what is missing and builds.
"$here/scripts/setup.sh" >/dev/null

box=$(mktemp -d /tmp/kestrune-demo-XXXXXX)
trap '[ -n "${DEMO_KEEP:-}" ] || rm -rf "$box"' EXIT
mkdir -p "$box/bin" "$box/odbc" "$box/root" "$box/media"
cp "$build/engine/kestrune" "$box/bin/"
printf '[Default]\nSingleton=0\nInstance=localhost\n' > "$box/bin/config.ini"
export ODBCSYSINI="$box/odbc" SQLEMU_ROOT="$box/root" HOME="$box"
sqlemu="$build/emulator/sqlemu"
kestrune="$box/bin/kestrune"
pass="demo pass phrase"

# kestrune without its banner: the progress lines are what the demo is about.
kes() { "$kestrune" "$@" | grep -v -e '^\*\*' -e '^$'; }
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
timed backup kes -a=B -b=F -d=Sales -f="4@$box/media" -z=G -Z=1 -P="$pass"

step "Verify the media"
timed verify kes -a=V -b=F -d=Sales -f="4@$box/media" -z=G -P="$pass"

step "Restore as SalesCopy into SECOND, files moved to its default folders"
media=$(printf "$box/media/Sales_%d.bak," 1 2 3 4)
timed restore kes -a=R -b=F -d=SalesCopy -i='localhost\SECOND' -f="${media%,}" -z=G -P="$pass" -O=R
"$sqlemu" db show SECOND SalesCopy | grep '^file:'

step "Summary"
media_bytes=$(cat "$box"/media/Sales_*.bak | wc -c)
db_bytes=$("$sqlemu" db show MSSQLSERVER Sales | awk -F'\t' '/^file:/ {s += $4} END {print s}')
printf 'database files   %12d bytes\n' "$db_bytes"
printf 'media (4 files)  %12d bytes, options file %d bytes\n' "$media_bytes" "$(wc -c < "$box/media/Sales_1.bak_opts")"
printf 'seconds          backup %s, verify %s, restore %s\n' "$secs_backup" "$secs_verify" "$secs_restore"
src=$("$sqlemu" db checksum MSSQLSERVER Sales)
dst=$("$sqlemu" db checksum SECOND SalesCopy)
printf 'content checksum MSSQLSERVER.Sales  %s\n' "$src"
printf 'content checksum SECOND.SalesCopy   %s\n' "$dst"
if [ "$src" = "$dst" ]; then echo "checksums match"; else echo "checksums DIFFER"; exit 1; fi
