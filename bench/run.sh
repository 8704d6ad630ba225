#!/usr/bin/env bash
# Kestrune's backups and restores side by side with the reference commands on the same bytes.
#
#   bench/run.sh [--quick] [--sizes "256 1024"] [--reps N] [--dir FOLDER] [--keep]
#
# For each database size (MiB of page-like content in an emulated instance of its own data root):
# full backups with 1, 2, 4 and 8 streams into every media kind and their restores into a second
# instance (content checksums compared), backups streamed over TCP into a restore service of the
# second instance, the reference commands on the raw backup stream, the emulator's own stream rate,
# and a 1 MiB database end to end. Prints a table of MB/s (10^6 bytes
# of raw stream per second of wall time), peak memory of the kestrune process, and the targets,
# each judged on the marginal rate between the smallest and the largest size.
# --quick: 32 and 128 MiB, one run each. Not part of the test suite; numbers are best of --reps.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}

sizes="256 1024"
reps=2
dir=""
keep=0
quick=0
while [ $# -gt 0 ]; do
  case $1 in
    --quick) quick=1; sizes="32 128"; reps=1 ;;
    --sizes) sizes=$2; shift ;;
    --reps) reps=$2; shift ;;
    --dir) dir=$2; shift ;;
    --keep) keep=1 ;;
    -h|--help) sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "run.sh: unknown argument $1" >&2; exit 2 ;;
  esac
  shift
done
streams_list="1 2 4 8"
kinds="plain L G enc G+enc"

# ---- where the files go: RAM when it has room for the largest size, else the temp folder --------
largest=0
for s in $sizes; do [ "$s" -gt "$largest" ] && largest=$s; done
need_mb=$((largest * 6 + 512))
free_mb() { df -Pm "$1" 2>/dev/null | awk 'NR==2 {print $4}'; }
if [ -z "$dir" ]; then
  dir=${TMPDIR:-/tmp}
  # Leave RAM for everything else on the machine.
  if [ -d /dev/shm ] && [ "$(free_mb /dev/shm)" -gt $((need_mb + 4096)) ]; then dir=/dev/shm; fi
fi
if [ "$(free_mb "$dir")" -lt "$need_mb" ]; then
  echo "run.sh: $dir has less than $need_mb MiB free" >&2
  exit 1
fi

# ---- build ----------------------------------------------------------------------------------------
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$here" -B "$build" -G Ninja >/dev/null
fi
cmake --build "$build" --target kestrune sqlemu sqlemu_odbc >/dev/null

box=$(mktemp -d "$dir/kestrune-bench-XXXXXX")
cleanup() {
  [ -n "${svc_pid:-}" ] && svc_stop
  [ "$keep" = 1 ] && echo "kept $box" >&2 || rm -rf "$box"
}
trap cleanup EXIT
mkdir -p "$box/bin" "$box/odbc" "$box/root" "$box/media" "$box/ref" "$box/tools"
g++ -O2 -std=c++17 -o "$box/tools/crypto_pipe" "$here/bench/crypto_pipe.cpp" \
  $(pkg-config --cflags --libs libcrypto++) -lpthread
cp "$build/engine/kestrune" "$box/bin/"
printf '[Default]\nSingleton=0\nInstance=localhost\n' > "$box/bin/config.ini"
export ODBCSYSINI="$box/odbc" SQLEMU_ROOT="$box/root" HOME="$box"
sqlemu="$build/emulator/sqlemu"
kestrune="$box/bin/kestrune"
"$sqlemu" odbc-register "$box/odbc" >/dev/null
"$sqlemu" instance create MSSQLSERVER >/dev/null
"$sqlemu" instance create SECOND >/dev/null
port=$((20000 + $$ % 20000))   # the loopback copy's port
pass="bench pass phrase"
key=000102030405060708090a0b0c0d0e0f
iv=00000000000000000000000000000000

note() { printf '%s\n' "$*" >&2; }
div() { awk -v a="$1" -v b="$2" 'BEGIN { if (a != "-" && b + 0 > 0) printf "%.2f", a / b; else printf "-" }'; }
rate() { awk -v bytes="$1" -v s="$2" 'BEGIN { if (s + 0 > 0) printf "%.0f", bytes / 1e6 / s; else printf "-" }'; }
min() { awk -v a="$1" -v b="$2" 'BEGIN { print (a == "" || b + 0 < a + 0) ? b : a }'; }
max() { awk -v a="$1" -v b="$2" 'BEGIN { print (a == "" || b + 0 > a + 0) ? b : a }'; }

kind_args() {  # the options of a media kind
  case $1 in
    plain) ;;
    L) echo "-z=L" ;;
    G) echo "-z=G" ;;
    enc) echo "-P=$pass" ;;
    G+enc) echo "-z=G -P=$pass" ;;
  esac
}

# kes LABEL ARGS...: one kestrune run; sets wall (s), server (s, from the server's closing
# message), rss (KiB, peak of the process). A failed run ends the benchmark.
kes() {
  local label=$1; shift
  local t0 t1 st=0
  t0=$EPOCHREALTIME
  /usr/bin/time -f %M -o "$box/rss" "$kestrune" -M "$@" > "$box/last.log" 2>&1 || st=$?
  t1=$EPOCHREALTIME
  if [ "$st" -ne 0 ]; then
    note "run.sh: $label ended with status $st:"; tail -5 "$box/last.log" >&2
    exit 1
  fi
  wall=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')
  server=$(sed -n 's/.*successfully processed .* in \([0-9.]*\) seconds.*/\1/p' "$box/last.log" | tail -1)
  rss=$(tail -1 "$box/rss")
}

# best LABEL ARGS...: kes, best wall of $reps runs; the peak memory is the highest seen; spread =
# the slowest wall less the best (0 for one run).
best() {
  local bw="" ww="" bs="" br=0 i
  for ((i = 0; i < reps; i++)); do
    kes "$@"
    bw=$(min "$bw" "$wall"); ww=$(max "$ww" "$wall"); bs=$(min "$bs" "${server:-0}")
    [ "$rss" -gt "$br" ] && br=$rss
  done
  spread=$(awk -v a="$ww" -v b="$bw" 'BEGIN { printf "%.3f", a - b }')
  wall=$bw; server=$bs; rss=$br
}

# timed_best CMD: seconds of the best of $reps runs of a shell command.
timed_best() {
  local b="" i t0 t1
  for ((i = 0; i < reps; i++)); do
    t0=$EPOCHREALTIME
    bash -c "$1" || { note "run.sh: reference command failed: $1"; exit 1; }
    t1=$EPOCHREALTIME
    b=$(min "$b" "$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')")
  done
  echo "$b"
}

media_files() {  # the comma list of a run's media files
  local n=$1 out="" i
  for ((i = 1; i <= n; i++)); do out+="$box/media/Bench_$i.bak,"; done
  echo "${out%,}"
}

# ---- the restore service: a kestrune of its own restoring into SECOND ---------------------------
svc_dir=$box/svc
svc_pid=""
svc_port=""
mkdir -p "$svc_dir"
cp "$build/engine/kestrune" "$svc_dir/"
printf '[Default]\nSingleton=0\nInstance=localhost\\SECOND\nValidIPs=127.0.0.1\n' > "$svc_dir/config.ini"
free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
svc_stop() {
  [ -n "$svc_pid" ] || return 0
  kill "$svc_pid" 2>/dev/null || true
  wait "$svc_pid" 2>/dev/null || true
  svc_pid=""
}
svc_start() {  # a fresh service on a free port, its console in $svc_dir/console.txt
  svc_stop
  svc_port=$(free_port)
  : > "$svc_dir/console.txt"
  "$svc_dir/kestrune" -M -l="$svc_port" -b=F -O=RP > "$svc_dir/console.txt" 2>&1 &
  svc_pid=$!
  for _ in $(seq 100); do grep -q "Start Restore Service on TCP-$svc_port" "$svc_dir/console.txt" && return 0; sleep 0.05; done
  note "run.sh: the restore service did not start:"; tail -5 "$svc_dir/console.txt" >&2
  exit 1
}
# A restore is done once the service has let go of its database: the next backup is taken then.
svc_done() { grep -c 'The restore of the database \[Bench\] has ended' "$svc_dir/console.txt" || true; }
svc_ok() { grep -c 'RESTORE DATABASE successfully processed' "$svc_dir/console.txt" || true; }

# tcp_run N: one backup streamed in N streams into the service (kes times the backup process);
# sets e2e (s, until the backup has ended and the service's restore has finished) and rserver
# (s, the service's statement as its server timed it).
tcp_run() {
  local n=$1 t0 t2 before ok_before files="" i
  if [ -z "$svc_pid" ] || ! kill -0 "$svc_pid" 2>/dev/null; then svc_start; fi
  "$sqlemu" db drop SECOND Bench >/dev/null 2>&1 || true
  before=$(svc_done)
  ok_before=$(svc_ok)
  for ((i = 0; i < n; i++)); do files+="tcp://127.0.0.1:$svc_port,"; done
  t0=$EPOCHREALTIME
  kes "TCP backup, $n stream(s)" -a=B -b=F -d=Bench -f="${files%,}"
  t2=$EPOCHREALTIME
  for _ in $(seq 6000); do
    [ "$(svc_done)" -gt "$before" ] && break
    if ! kill -0 "$svc_pid" 2>/dev/null; then
      note "run.sh: the restore service ended during a $n-stream restore:"; tail -5 "$svc_dir/console.txt" >&2
      svc_pid=""
      exit 1
    fi
    sleep 0.02
    t2=$EPOCHREALTIME
  done
  if [ "$(svc_done)" -le "$before" ] || [ "$(svc_ok)" -le "$ok_before" ]; then
    note "run.sh: the service's $n-stream restore did not finish:"; tail -5 "$svc_dir/console.txt" >&2
    exit 1
  fi
  e2e=$(awk -v a="$t0" -v b="$t2" 'BEGIN { printf "%.3f", b - a }')
  rserver=$(sed -n 's/.*RESTORE DATABASE successfully processed .* in \([0-9.]*\) seconds.*/\1/p' \
    "$svc_dir/console.txt" | tail -1)
}

declare -A R   # results: R[size,what] = value
table=()       # rows of the kestrune table
refs=()        # rows of the reference table
tcp=()         # rows of the TCP table
failed=0

loopback() {  # seconds of one copy of $1 through a loopback TCP connection
  local src=$1 out=$box/ref/loop.out t0 t1 pid
  socat -u TCP-LISTEN:$port,reuseaddr,bind=127.0.0.1 "OPEN:$out,creat,trunc" &
  pid=$!
  for _ in $(seq 50); do ss -ltn 2>/dev/null | grep -q ":$port " && break; sleep 0.05; done
  t0=$EPOCHREALTIME
  socat -u "OPEN:$src" TCP:127.0.0.1:$port
  wait "$pid"
  t1=$EPOCHREALTIME
  awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }'
}

for size in $sizes; do
  note "== $size MiB"
  "$sqlemu" db drop MSSQLSERVER Bench >/dev/null 2>&1 || true
  "$sqlemu" db create MSSQLSERVER Bench --data-mb "$size" --log-mb 16 --seed 2026 >/dev/null
  want=$("$sqlemu" db checksum MSSQLSERVER Bench)

  # The raw stream: a 1-stream plain backup's media file holds exactly the server's bytes.
  rm -f "$box"/media/*
  kes raw -a=B -b=F -d=Bench -f="$box/media/Bench_1.bak"
  raw=$box/ref/raw
  mv "$box/media/Bench_1.bak" "$raw"
  bytes=$(stat -c %s "$raw")
  R[$size,bytes]=$bytes

  # ---- reference commands on the raw stream ----
  ref() {  # ref NAME CMD
    local s
    s=$(timed_best "$2")
    R[$size,ref:$1]=$(rate "$bytes" "$s")
    refs+=("$(printf '%6s  %-34s %8s' "$size" "$1" "${R[$size,ref:$1]}")")
    rm -f "$box"/ref/out*
  }
  ctr="openssl enc -aes-128-ctr -K $key -iv $iv"
  note "   reference commands"
  ref "cat" "cat '$raw' > '$box/ref/out'"
  ref "gzip -4" "gzip -4 < '$raw' > '$box/ref/out'"
  for n in $streams_list; do ref "pigz -4 -p $n" "pigz -4 -p $n < '$raw' > '$box/ref/out'"; done
  ref "openssl enc -aes-128-ctr" "$ctr < '$raw' > '$box/ref/out'"
  ref "gzip -4 | openssl enc" "gzip -4 < '$raw' | $ctr > '$box/ref/out'"
  ref "pigz -4 -p 8 | openssl enc" "pigz -4 -p 8 < '$raw' | $ctr > '$box/ref/out'"
  ref "Crypto++ gzip+aes, 1 thread" "'$box/tools/crypto_pipe' --gzip --aes --level 4 '$raw' '$box/ref/out' >/dev/null"
  ref "Crypto++ gzip+aes, 8 threads" "'$box/tools/crypto_pipe' --gzip --aes --level 4 --threads 8 '$raw' '$box/ref/out' >/dev/null"
  ref "Crypto++ gzip, 1 thread" "'$box/tools/crypto_pipe' --gzip --level 4 '$raw' '$box/ref/out' >/dev/null"
  s=""
  for ((i = 0; i < reps; i++)); do s=$(min "$s" "$(loopback "$raw")"); done
  R[$size,ref:loopback]=$(rate "$bytes" "$s")
  refs+=("$(printf '%6s  %-34s %8s' "$size" "socat loopback copy" "${R[$size,ref:loopback]}")")
  rm -f "$box"/ref/loop.out

  # ---- the emulator's own stream rate: plain backups into /dev/null ----
  for n in 1 8; do
    rm -f "$box"/media/*
    for ((i = 1; i <= n; i++)); do ln -s /dev/null "$box/media/Bench_$i.bak"; done
    best "null sink" -a=B -b=F -d=Bench -f="$(media_files "$n")"
    R[$size,null$n]=$(rate "$bytes" "$server")
    R[$size,nullwall$n]=$(rate "$bytes" "$wall")
  done
  rm -f "$box"/media/*

  # ---- kestrune: every kind and stream count, backup then restore ----
  for kind in $kinds; do
    for n in $streams_list; do
      note "   $kind, $n stream(s)"
      rm -f "$box"/media/*
      # shellcheck disable=SC2046
      best "backup $kind $n" -a=B -b=F -d=Bench -f="$n@$box/media" $(kind_args "$kind")
      bw=$wall bs=$server brss=$rss bd=$spread
      stored=$(cat "$box"/media/Bench_*.bak | wc -c)
      # shellcheck disable=SC2046
      best "restore $kind $n" -a=R -b=F -d=Bench -i='localhost\SECOND' -f="$(media_files "$n")" -O=RP \
        $(kind_args "$kind")
      rw=$wall rs=$server rrss=$rss
      got=$("$sqlemu" db checksum SECOND Bench)
      check=ok
      if [ "$got" != "$want" ]; then check=DIFFERS; failed=1; fi
      R[$size,$kind,$n]=$(rate "$bytes" "$bw"); R[$size,$kind,$n,s]=$bw; R[$size,$kind,$n,d]=$bd
      [ "$kind,$n" = "plain,1" ] && R[$size,plain1srv]=$bs
      R[$size,$kind,$n,rss]=$brss
      R[$size,rss]=$(( ${R[$size,rss]:-0} > brss ? ${R[$size,rss]:-0} : brss ))
      [ "$rrss" -gt "${R[$size,rss]}" ] && R[$size,rss]=$rrss
      R[$size,$kind,rss]=$(( ${R[$size,$kind,rss]:-0} > brss ? ${R[$size,$kind,rss]:-0} : brss ))
      [ "$rrss" -gt "${R[$size,$kind,rss]}" ] && R[$size,$kind,rss]=$rrss
      table+=("$(printf '%6s  %-6s %3s  %8s %8s %6.1f  %8s %8s %6.1f  %7.1f  %6d %6d  %s' \
        "$size" "$kind" "$n" "$(rate "$bytes" "$bw")" "$(rate "$bytes" "$bs")" "$bw" \
        "$(rate "$bytes" "$rw")" "$(rate "$bytes" "$rs")" "$rw" \
        "$(awk -v s="$stored" 'BEGIN { printf "%.1f", s / 1e6 }')" $((brss / 1024)) $((rrss / 1024)) "$check")")
    done
  done
  # ---- kestrune over TCP: the backup streamed into the restore service, no media ----
  for n in $streams_list; do
    note "   TCP, $n stream(s)"
    bw="" be="" we="" bs="" brs="" brss=0 check=ok
    for ((i = 0; i < reps; i++)); do
      tcp_run "$n"
      got=$("$sqlemu" db checksum SECOND Bench)
      if [ "$got" != "$want" ]; then check=DIFFERS; failed=1; fi
      bw=$(min "$bw" "$wall"); be=$(min "$be" "$e2e"); bs=$(min "$bs" "${server:-0}"); brs=$(min "$brs" "${rserver:-0}")
      we=$(max "$we" "$e2e")
      [ "$rss" -gt "$brss" ] && brss=$rss
    done
    R[$size,tcp,$n]=$(rate "$bytes" "$be"); R[$size,tcp,$n,s]=$be
    R[$size,tcp,$n,d]=$(awk -v a="$we" -v b="$be" 'BEGIN { printf "%.3f", a - b }')
    table_tcp_row=$(printf '%6s  %3s  %8s %6.2f  %8s %6.2f  %8s %8s  %6d  %s' "$size" "$n" \
      "$(rate "$bytes" "$be")" "$be" "$(rate "$bytes" "$bw")" "$bw" \
      "$(rate "$bytes" "$bs")" "$(rate "$bytes" "$brs")" $((brss / 1024)) "$check")
    tcp+=("$table_tcp_row")
  done
  rm -f "$box"/media/* "$raw"
  "$sqlemu" db drop SECOND Bench >/dev/null 2>&1 || true
done
svc_stop

# ---- a 1 MiB database end to end ----
note "== 1 MiB database"
"$sqlemu" db drop MSSQLSERVER Tiny >/dev/null 2>&1 || true
"$sqlemu" db create MSSQLSERVER Tiny --data-mb 1 --log-mb 1 --seed 7 >/dev/null
tiny=()
worst_tiny=0
for kind in $kinds; do
  rm -f "$box"/media/*
  # shellcheck disable=SC2046
  best "tiny $kind" -a=B -b=F -d=Tiny -f="1@$box/media" $(kind_args "$kind")
  tiny+=("$(printf '  %-6s %6.2f s wall (server %s s)' "$kind" "$wall" "$server")")
  worst_tiny=$(awk -v a="$worst_tiny" -v b="$wall" 'BEGIN { print (b > a) ? b : a }')
  R[tiny,$kind]=$wall
done
rm -f "$box"/media/*

# ---- report ----
echo
echo "Kestrune $(git -C "$here" describe --always --dirty 2>/dev/null || echo '?'), $(nproc) CPUs, files in $dir, best of $reps"
echo "MB/s = 10^6 bytes of the raw backup stream per second of wall time (whole process: start-up,"
echo "the statement, the closing pauses); 'server' = per second of the statement as the server timed it."
echo "RSS = peak resident memory of the kestrune process (MiB; the emulated server runs inside it)."
echo
printf '%6s  %-6s %3s  %8s %8s %6s  %8s %8s %6s  %7s  %6s %6s  %s\n' \
  MiB kind n "backup" "server" "s" "restore" "server" "s" "stored" "RSS-b" "RSS-r" content
for row in "${table[@]}"; do echo "$row"; done
echo
echo "Over TCP into the restore service (no media): e2e = from the backup's start until the backup"
echo "process has ended and the service's restore has finished; backup = the backup process alone."
printf '%6s  %3s  %8s %6s  %8s %6s  %8s %8s  %6s  %s\n' MiB n "e2e" "s" "backup" "s" "b-server" "r-server" "RSS-b" content
for row in "${tcp[@]}"; do echo "$row"; done
echo
printf '%6s  %-34s %8s\n' MiB "reference on the same bytes" "MB/s"
for row in "${refs[@]}"; do echo "$row"; done
echo
echo "Emulator's own stream rate (plain backup into /dev/null, server-timed / wall MB/s):"
for size in $sizes; do
  printf '  %5s MiB: 1 stream %s / %s, 8 streams %s / %s\n' "$size" "${R[$size,null1]}" "${R[$size,nullwall1]}" \
    "${R[$size,null8]}" "${R[$size,nullwall8]}"
done
echo
echo "1 MiB database, full backup end to end (1 stream):"
for row in "${tiny[@]}"; do echo "$row"; done
echo
# ---- targets ----
# A run's fixed pauses (start-up, the pause before the device threads are awaited, during which
# the stream already moves, the flush, 250 ms per accepted connection) hide its throughput at small
# sizes, so every throughput target is judged on the marginal rate between the smallest and the
# largest size: extra bytes per extra second of the same run, where the pauses cancel out. A row is
# judged only when
#   - the smaller size's run takes a tenth longer than the 1 MiB database's (the pauses alone):
#     a stream that ends within a pause moves the run's end not at all;
#   - the two sizes' times differ by at least twice the run's fixed part (the time the line through
#     both points gives at no bytes: a jitter of a tenth of it then moves the rate by a tenth) and
#     by at least 20 times the spread between repetitions.
# Otherwise it says so, and which sizes would judge it.
lo=""; hi=""
for s in $sizes; do lo=$(min "$lo" "$s"); hi=$(max "$hi" "$s"); done
# marg KEY: "rate dt fixed judged need s1 floor hidden" of the row KEY between lo and hi: rate "-"
# when the larger size took no longer; need = MiB between the sizes that would judge the row;
# floor = the 1 MiB run of the kind (plain for TCP); hidden = 1 when the smaller run ends within it.
marg() {
  local kind=${1%%,*}
  [ "$kind" = tcp ] && kind=plain
  awk -v b1="${R[$lo,bytes]:-0}" -v b2="${R[$hi,bytes]:-0}" -v s1="${R[$lo,$1,s]:-0}" -v s2="${R[$hi,$1,s]:-0}" \
    -v d1="${R[$lo,$1,d]:-0}" -v d2="${R[$hi,$1,d]:-0}" -v floor="${R[tiny,$kind]:-0}" 'BEGIN {
      dt = s2 - s1; db = b2 - b1; hidden = (s1 < 1.1 * floor) ? 1 : 0
      if (db <= 0 || dt <= 0) { printf "- %.3f - 0 - %.3f %.3f %d", dt, s1, floor, hidden; exit }
      m = db / 1e6 / dt; fixed = s1 - b1 / 1e6 / m; if (fixed < 0) fixed = 0
      noise = (d1 > d2) ? d1 : d2
      want = (2 * fixed > 20 * noise) ? 2 * fixed : 20 * noise
      printf "%.0f %.3f %.3f %d %.0f %.3f %.3f %d", m, dt, fixed, (dt >= want && !hidden) ? 1 : 0,
        want * m * 1e6 / 1048576, s1, floor, hidden }'
}
# target LABEL RATIO THRESHOLD WHY: one line; WHY, when not empty, says why the ratio is not judged.
target() {
  if [ -n "$4" ]; then
    printf '  %-48s %6s  >= %-4s not judged: %s\n' "$1" "-" "$3" "$4"
  else
    printf '  %-48s %6s  >= %-4s %s\n' "$1" "$2" "$3" \
      "$(awk -v v="$2" -v t="$3" 'BEGIN { print (v + 0 >= t + 0) ? "met" : "MISSED" }')"
  fi
}
# why KEY: empty when the row KEY can be judged between lo and hi, else the reason.
why() {
  local m dt fixed ok need s1 floor hidden
  if [ "$lo" = "$hi" ]; then echo "one size only; give two (--sizes)"; return; fi
  read -r m dt fixed ok need s1 floor hidden <<< "$(marg "$1")"
  if [ "$hidden" = 1 ]; then
    echo "the $lo MiB run ($s1 s) ends within the pauses of a run ($floor s for 1 MiB); use larger sizes"
    return
  fi
  if [ "$m" = - ]; then echo "the $hi MiB run took no longer than the $lo MiB one (both within the pauses, or noise); larger sizes or more --reps"; return; fi
  [ "$ok" = 1 ] && return
  echo "$dt s between $lo and $hi MiB against $fixed s of fixed pauses; sizes ~$need MiB apart would judge it"
}
mrate() { local m rest; read -r m rest <<< "$(marg "$1")"; echo "$m"; }
# against LABEL KEY REF THRESHOLD: the marginal rate of KEY over the reference REF at the largest size.
against() {
  local w; w=$(why "$2")
  target "$1" "$(div "$(mrate "$2")" "${R[$hi,ref:$3]}")" "$4" "$w"
}

echo "Targets, judged on the marginal rates between $lo and $hi MiB against the references at $hi MiB"
echo "(ratio, target, verdict):"
[ "$reps" -gt 1 ] || echo "  (one run each: the spread between repetitions is not known; --reps 2 or more measures it)"
against "gzip+AES 1 stream / Crypto++ pipeline" "G+enc,1" "Crypto++ gzip+aes, 1 thread" 0.95
w=$(why "G+enc,8"); [ -z "$w" ] && w=$(why "G+enc,1")
target "gzip+AES 8 streams / 1 stream" "$(div "$(mrate "G+enc,8")" "$(mrate "G+enc,1")")" 6 "$w"
against "gzip+AES 8 streams / pigz -p8 | openssl" "G+enc,8" "pigz -4 -p 8 | openssl enc" 0.8
against "plain 1 stream / cat" "plain,1" "cat" 0.8
for n in 1 8; do against "TCP backup -> restore, $n stream(s) / loopback" "tcp,$n" "loopback" 0.8; done
echo "Marginal rates (MB/s; seconds between the sizes; fixed part of a run in s):"
for key in plain,1 G+enc,1 G+enc,8 tcp,1 tcp,2 tcp,4 tcp,8; do
  read -r m dt fixed ok need rest <<< "$(marg "$key")"
  printf '  %-10s %6s MB/s  %7s s  fixed %6s s%s\n' "$key" "$m" "$dt" "$fixed" "$([ "$ok" = 1 ] || echo '  (not judged)')"
done
echo "Whole runs, pauses included (context, not judged):"
for size in $sizes; do
  one=${R[$size,G+enc,1]}; eight=${R[$size,G+enc,8]}
  printf '  %5s MiB  gzip+AES 1 stream / Crypto++ %s, 8 / 1 streams %s, 8 streams / pigz|openssl %s, plain / cat %s\n' \
    "$size" "$(div "$one" "${R[$size,ref:Crypto++ gzip+aes, 1 thread]}")" "$(div "$eight" "$one")" \
    "$(div "$eight" "${R[$size,ref:pigz -4 -p 8 | openssl enc]}")" "$(div "${R[$size,plain,1]}" "${R[$size,ref:cat]}")"
  printf '  %5s MiB  TCP 1 stream / loopback %s, 8 streams / loopback %s\n' "$size" \
    "$(div "${R[$size,tcp,1]}" "${R[$size,ref:loopback]}")" "$(div "${R[$size,tcp,8]}" "${R[$size,ref:loopback]}")"
  # What bounds the ratios: the server's own rate, and what the machine's cores give.
  srv=$(awk -v b="${R[$size,bytes]}" -v s="${R[$size,plain1srv]}" 'BEGIN { printf "%.0f", b / 1e6 / s }')
  printf '  %5s MiB  plain 1 stream server-timed / cat %s; Crypto++ 8 threads / 1 %s; pigz -p8 / -p1 %s; Crypto++ 8 threads / pigz -p8 | openssl %s\n' \
    "$size" "$(div "$srv" "${R[$size,ref:cat]}")" \
    "$(div "${R[$size,ref:Crypto++ gzip+aes, 8 threads]}" "${R[$size,ref:Crypto++ gzip+aes, 1 thread]}")" \
    "$(div "${R[$size,ref:pigz -4 -p 8]}" "${R[$size,ref:pigz -4 -p 1]}")" \
    "$(div "${R[$size,ref:Crypto++ gzip+aes, 8 threads]}" "${R[$size,ref:pigz -4 -p 8 | openssl enc]}")"
done
echo "Fixed costs:"
printf '  1 MiB database, slowest kind                   %5.2f s  <= 1.5 s %s\n' "$worst_tiny" \
  "$(awk -v w="$worst_tiny" 'BEGIN { print (w <= 1.5) ? "met" : "MISSED" }')"
for kind in $kinds; do
  a=${R[$lo,$kind,rss]}; b=${R[$hi,$kind,rss]}
  printf '  peak RSS %-6s %5s MiB: %4d MiB, %5s MiB: %4d MiB  (x%s, flat when below 1.10)\n' "$kind" "$lo" \
    $((a / 1024)) "$hi" $((b / 1024)) "$(div "$b" "$a")"
done
if [ "$failed" != 0 ]; then echo "A restored database's content DIFFERS from its source."; exit 1; fi
