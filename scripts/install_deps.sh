#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those missing.
set -euo pipefail
packages=(
  g++ cmake ninja-build git pkg-config
  nlohmann-json3-dev libcurl4-openssl-dev libssl-dev libcrypt-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  curl wrk apache2-utils libnet-smpp-perl haproxy
  libsystemd-dev dpkg-dev systemd prometheus
)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}"
fi
# The independent SMSC the end-to-end tests bind to: the npm smpp package,
# pinned by its lock file.
if ! command -v npm >/dev/null 2>&1; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq nodejs npm
fi
npm_dir="$(cd "$(dirname "$0")/.." && pwd)/tests/support/npm_smpp"
if [ ! -d "$npm_dir/node_modules/smpp" ]; then
  (cd "$npm_dir" && npm ci --no-audit --no-fund --loglevel=error)
fi
