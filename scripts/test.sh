#!/usr/bin/env bash
# Installs what the tests need, checks the include direction of the layers,
# builds the release and the sanitizer builds, and runs every test: unit,
# socket library and integration (the threaded parts of both also under TSan).
# Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh

jobs=$(nproc)
status=0
# What failed, in order; printed again at the very end, with the failed
# tests' output, because a long log is often read from its tail.
failures=()
failed() {
  failures+=("$1")
  status=1
}

# Every include points down the layers, and only platform/<os>/ includes
# OS headers. Cheap, so it runs first.
echo "== layers"
if ! /usr/bin/python3 tools/check_layers.py; then
  failed "layers"
fi
for preset in release asan; do
  echo "== ${preset}: build"
  cmake --preset "$preset" -DZEVRA_BUILD_TESTS=ON >/dev/null
  cmake --build --preset "$preset" -j"$jobs"
  echo "== ${preset}: test"
  if ! ctest --preset "$preset" -j"$jobs"; then
    failed "ctest:${preset}"
  fi
done

# Fuzzers (libFuzzer under ASan + UBSan, clang): each listed target runs for
# a bounded time from a copy of its seed corpus, so the checked-in corpus
# stays as it is. A crash, leak, sanitizer report or timeout fails the run.
fuzz_seconds=${ZEVRA_FUZZ_SECONDS:-30}
echo "== fuzz: build"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$jobs"
echo "== fuzz: run (${fuzz_seconds}s each)"
while read -r fuzzer corpus; do
  [ -n "${fuzzer}" ] || continue
  name=$(basename "$fuzzer")
  work="build/fuzz/work/${name}"
  rm -rf "$work"
  mkdir -p "$work/corpus" "$work/artifacts"
  if timeout $((fuzz_seconds + 120)) "$fuzzer" -max_total_time="$fuzz_seconds" -timeout=10 -rss_limit_mb=2048 \
       -print_final_stats=1 -artifact_prefix="$work/artifacts/" "$work/corpus" "$corpus" >"$work/log" 2>&1; then
    echo "fuzz: ${name} ok ($(grep -c . "$work/log") log lines)"
  else
    echo "fuzz: ${name} FAILED; log: $work/log"
    tail -n 40 "$work/log"
    failed "fuzz:${name}"
  fi
done < build/fuzz/fuzzers.txt

# The threaded parts also run under ThreadSanitizer: the socket library's
# own tests, and the worker built whole with it under the integration tests
# marked "threads" (the test registration selects them for this preset).
echo "== tsan: socket library and the worker's threads"
cmake --preset tsan -DZEVRA_BUILD_TESTS=ON >/dev/null
cmake --build --preset tsan -j"$jobs" --target zevra_socket_tests Zevra
if ! ctest --preset tsan -R '^(Socket|integration$)'; then
  failed "ctest:tsan"
fi

# The Windows build (mingw-w64) and its tests under Wine, in a prefix of
# this run's own, removed afterwards: the unit tests (also under code page
# 936), the socket library's tests, the integration suite against Zevra.exe,
# and the service, crash and zip tests. Budget: the Linux stages take about
# 14 minutes on two cores; the build gets at most 10 more minutes and the
# tests under Wine 8 (about 2.5 with one Wine server for the stage; each
# test also has a ctest time-out, so a runaway is named and its output
# shown), so the whole run stays under 30 on an ordinary day.
echo "== windows: build, then the tests under Wine"
wine_prefix=$(mktemp -d /tmp/zevra-wine.XXXXXX)
end_wine() {
  WINEPREFIX="$wine_prefix" wineserver -k >/dev/null 2>&1 || true
  rm -rf "$wine_prefix"
}
trap end_wine EXIT
export WINEPREFIX="$wine_prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if ! timeout 600 bash -c '
    set -e
    cmake --preset windows >/dev/null
    cmake --build --preset windows -j"$1"' _ "$jobs"; then
  echo "windows: the build FAILED (or took over its 10 minutes)"
  failed "windows build"
elif ! timeout 480 bash -c '
    set -e
    wineboot -i >/dev/null 2>&1
    # One server for the whole stage: the one wineboot started ends with
    # its last program, and every later program start would then boot
    # Wine again (seconds each). The trap above ends it.
    wineserver -w >/dev/null 2>&1
    wineserver -p >/dev/null 2>&1
    ctest --preset windows -j1 --output-on-failure'; then
  echo "windows: FAILED (or the tests took over their 8 minutes)"
  failed "ctest:windows"
fi

echo "== summary"
if [ "$status" -eq 0 ]; then
  echo "every stage passed"
  exit 0
fi
for what in "${failures[@]}"; do
  echo "FAILED: ${what}"
  case "$what" in
    ctest:*) /usr/bin/python3 tools/failed_tests.py "build/${what#ctest:}" 80 || true ;;
    fuzz:*) tail -n 30 "build/fuzz/work/${what#fuzz:}/log" | sed 's/^/    /' ;;
  esac
done
exit $status
