#!/usr/bin/env bash
# The executable's dynamic symbol table names every member of Log and its two assignment
# operators, as functions of the executable, and nothing else that the executable defines.
# Needs nm, readelf and c++filt (binutils).
set -euo pipefail
exe=$1
expected=(
  'Log::Initialize(char*)' 'Log::SetLogLevel(Log::LOG_LEVEL)'
  'Log::WFatal(char const*, ...)' 'Log::WError(char const*, ...)' 'Log::WWarn(char const*, ...)'
  'Log::WInfo(char const*, ...)' 'Log::WTrace(char const*, ...)' 'Log::WDebug(char const*, ...)'
  'Log::Close()' 'Log::WriteLog(char const*, Log::LOG_LEVEL)' 'Log::GetLogFile(char*)'
  'Log::operator=(Log const&)' 'Log::operator=(Log&&)'
)
# Data of a shared library that the executable holds a copy of (a copy relocation, such as a
# sanitizer runtime's option) is that library's, not the executable's own.
copies=$(readelf -rW "$exe" | awk '$3 == "R_X86_64_COPY" {print $5}' | c++filt)
# "<type> <name>" per defined symbol, the address dropped.
symbols=$(nm -D --defined-only "$exe" | c++filt | cut -d' ' -f2-)
failed=0
for member in "${expected[@]}"; do
  if ! grep -qxF "T $member" <<<"$symbols"; then
    echo "not exported: $member"
    failed=1
  fi
done
while IFS= read -r line; do
  [ -n "$line" ] || continue
  name=${line#* }
  grep -qxF -- "$name" <<<"$copies" && continue
  known=0
  for member in "${expected[@]}"; do [ "$name" = "$member" ] && known=1; done
  if [ $known -eq 0 ]; then
    echo "exported but not one of Log's: $line"
    failed=1
  fi
done <<<"$symbols"
exit $failed
