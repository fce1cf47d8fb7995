#!/usr/bin/env bash
# Installs what the tests need, builds the release and the sanitizer builds,
# and runs every test: unit, socket library (also under TSan), integration.
# Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh

jobs=$(nproc)
status=0
for preset in release asan; do
  echo "== ${preset}: build"
  cmake --preset "$preset" -DZEVRA_BUILD_TESTS=ON >/dev/null
  cmake --build --preset "$preset" -j"$jobs"
  echo "== ${preset}: test"
  if ! ctest --preset "$preset" -j"$jobs"; then
    status=1
  fi
done
# The socket library's threading also runs under ThreadSanitizer.
echo "== tsan: socket library"
cmake --preset tsan -DZEVRA_BUILD_TESTS=ON >/dev/null
cmake --build --preset tsan -j"$jobs" --target zevra_socket_tests
if ! ctest --preset tsan -R '^Socket'; then
  status=1
fi
exit $status
