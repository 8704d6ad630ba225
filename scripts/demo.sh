#!/usr/bin/env bash
# Builds Kestrune and shows it at work against two emulated instances in a private folder:
# a 4-stream gzip + AES full backup of a database of a few hundred MiB, a verify of its media,
# and a restore under another name into the second instance, its files relocated through the
# operation-options file; then the two content checksums side by side.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}
size_mb=${DEMO_DB_MB:-300}

step() { printf '\n== %s\n' "$*"; }
since() { awk -v a="$1" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }'; }
started=$EPOCHREALTIME

# The set-up is idempotent: it installs what is missing and builds. On a fresh machine that takes
# a few minutes, so its progress (package downloads, the build's [n/total] lines) is shown as it comes.
step "Set-up: packages and build (a few minutes on a fresh machine, seconds afterwards)"
"$here/scripts/setup.sh" 2>&1 | sed -u 's/^/  /'
secs_setup=$(since "$started")

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

step "Restore service: SECOND listens; a 3-stream full backup of Sales streams into it over TCP"
# SalesCopy holds the files in SECOND's default folders that the streamed restore moves Sales into.
"$sqlemu" db drop SECOND SalesCopy >/dev/null
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkdir -p "$box/svc"
cp "$build/engine/kestrune" "$box/svc/"
printf '[Default]\nSingleton=0\nInstance=localhost\\SECOND\nValidIPs=127.0.0.1\n' > "$box/svc/config.ini"
"$box/svc/kestrune" -D -l="$port" -O=R > "$box/svc/console.txt" 2>&1 &
svc_pid=$!
for _ in $(seq 100); do grep -q "Start Restore Service on TCP-$port" "$box/svc/console.txt" && break; sleep 0.1; done
timed stream kes -a=B -b=F -d=Sales -f="3@tcp://127.0.0.1:$port"
for _ in $(seq 600); do
  [ "$(grep -c 'is finished\.' "$box/svc/console.txt")" -ge 3 ] && "$sqlemu" db show SECOND Sales 2>/dev/null | grep -q 'state: ONLINE' && break
  sleep 0.2
done
kill "$svc_pid" 2>/dev/null || true
wait "$svc_pid" 2>/dev/null || true
grep -E 'Connection from|Incompetible|Invalid Requested' "$box/svc/console.txt" | sed 's/^/  service: /'
printf 'seconds          backup streamed and restored in %s\n' "$secs_stream"
src=$("$sqlemu" db checksum MSSQLSERVER Sales)
dst=$("$sqlemu" db checksum SECOND Sales)
printf '%-26s %-26s\n' "MSSQLSERVER.Sales" "SECOND.Sales (service)"
printf '%-26s %-26s\n' "${src:0:24}.." "${dst:0:24}.."
if [ "$src" = "$dst" ]; then echo "checksums match"; else echo "checksums DIFFER"; exit 1; fi

total=$(since "$started")
step "Done in $total s: set-up $secs_setup s, demo $(awk -v t="$total" -v s="$secs_setup" 'BEGIN { printf "%.1f", t - s }') s"
