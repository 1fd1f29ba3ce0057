#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test: the plain build,
# the whole suite again under AddressSanitizer + UndefinedBehaviorSanitizer, the
# threaded parts under ThreadSanitizer, every fuzz target for a bounded
# time, and the Debian package (built, inspected, and where the machine
# allows installed, upgraded, removed and purged). Warnings are errors here;
# any failure or sanitizer report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install_deps.sh

jobs=$(nproc)
fuzz_seconds=${PELLIRO_FUZZ_SECONDS:-20}
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

step() { printf '\n=== %s ===\n' "$*"; }

step "build and test"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELLIRO_WERROR=ON
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs" --timeout 300

step "full-cycle benchmark at a tiny size (keeps the script working)"
bash bench/full_cycle.sh --build build --tiny

step "Debian package"
bash packaging/check_package.sh build

step "AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPELLIRO_SANITIZE=address -DPELLIRO_WERROR=ON \
  -DPELLIRO_BUILD_BENCH=OFF
cmake --build build-asan -j"$jobs"
ctest --test-dir build-asan --output-on-failure -j"$jobs" --timeout 600

step "ThreadSanitizer (threaded parts)"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPELLIRO_SANITIZE=thread -DPELLIRO_WERROR=ON \
  -DPELLIRO_BUILD_BENCH=OFF
cmake --build build-tsan -j"$jobs"
ctest --test-dir build-tsan --output-on-failure -j"$jobs" --timeout 600 -L threaded

if [ -f fuzz/run_all.sh ]; then
  step "fuzzing (${fuzz_seconds}s per target)"
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPELLIRO_BUILD_FUZZ=ON -DPELLIRO_SANITIZE=address -DPELLIRO_BUILD_TESTS=OFF -DPELLIRO_WERROR=ON \
    -DPELLIRO_BUILD_BENCH=OFF
  cmake --build build-fuzz -j"$jobs"
  bash fuzz/run_all.sh build-fuzz "$fuzz_seconds"
fi

step "all tests passed"
