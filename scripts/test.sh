#!/usr/bin/env bash
# Installs what the tests need, builds the release and the sanitizer builds,
# and runs every test: unit, socket library, integration. Exits non-zero on
# any failure.
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
exit $status
