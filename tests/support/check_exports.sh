#!/usr/bin/env bash
# Every member of Log is in the executable's dynamic symbol table.
set -euo pipefail
exe=$1
symbols=$(nm -D --defined-only "$exe" | c++filt)
missing=0
for member in \
  'Log::Initialize(char*)' 'Log::SetLogLevel(Log::LOG_LEVEL)' \
  'Log::WFatal(char const*, ...)' 'Log::WError(char const*, ...)' 'Log::WWarn(char const*, ...)' \
  'Log::WInfo(char const*, ...)' 'Log::WTrace(char const*, ...)' 'Log::WDebug(char const*, ...)' \
  'Log::Close()' 'Log::WriteLog(char const*, Log::LOG_LEVEL)' 'Log::GetLogFile(char*)' \
  'Log::operator=(Log const&)' 'Log::operator=(Log&&)'; do
  if ! grep -qF " T $member" <<<"$symbols"; then
    echo "not exported: $member"
    missing=1
  fi
done
exit $missing
