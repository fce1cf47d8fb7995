#!/usr/bin/env bash
# Builds Zevra in release mode and runs its worker on the bundled site
# (build/release/Zevra/WebRoot) at http://127.0.0.1:8080/. Ctrl-C stops it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh --run-only
cmake --preset release -DZEVRA_BUILD_TESTS=OFF >/dev/null
cmake --build --preset release -j"$(nproc)"
echo "Serving build/release/Zevra/WebRoot on http://127.0.0.1:8080/"
exec build/release/Zevra/Zevra /worker
