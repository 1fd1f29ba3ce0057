#!/usr/bin/env bash
# Installs what is missing, builds, and runs the daemon in ./run with the
# example configuration (a demo customer routed to the internal simulator).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install_deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)" --target pelliro
mkdir -p run
[ -f run/pelliro.conf ] || cp examples/pelliro.conf run/pelliro.conf
cd run
exec ../build/pelliro
