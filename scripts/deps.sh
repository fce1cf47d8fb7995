#!/usr/bin/env bash
# Installs the Debian packages that building and testing Zevra need. Run as
# root on Debian 12; packages already present are left alone.
set -euo pipefail

PACKAGES=(
  build-essential cmake g++ pkg-config
  libasio-dev zlib1g-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  python3 python3-pytest curl wget gzip php-cgi wrk
  qt6-base-dev libxcb1-dev xvfb xauth fonts-wqy-microhei pkexec
)
if [ "${1:-}" = "--run-only" ]; then
  PACKAGES=(build-essential cmake g++ libasio-dev zlib1g-dev)
fi

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}"
fi
