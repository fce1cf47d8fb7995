#!/bin/sh
# Zevra.exe /v and /? under Wine: exact texts (no line break after them)
# and the whole exit code 10000, read by a Windows-side runner.
# Usage: check-commands.sh wine-run ExitCodeRunner.exe Zevra.exe
set -u
run=$1 runner=$2 zevra=$3
fail() { echo "FAIL: $*"; exit 1; }
dir=$(dirname "$zevra")
out=$(cd "$dir" && timeout 120 "$run" "$runner" Zevra.exe /v) || fail "runner failed: $out"
[ "$out" = "Zevra/0.2.9
exit code: 10000" ] || fail "/v gave: $out"
out=$(cd "$dir" && timeout 120 "$run" "$runner" Zevra.exe "/?") || fail "runner failed: $out"
case "$out" in
  "Zevra/0.2.9, "*"Usage: Zevra.exe [options]"*"/v Print Zevra version.
exit code: 10000") ;;
  *) fail "/? gave: $out" ;;
esac
# The logs are opened before the command is looked at.
[ -f "$dir/error.log" ] || fail "no error.log after /v"
echo "Zevra.exe /v and /? print their texts and end with 10000"
