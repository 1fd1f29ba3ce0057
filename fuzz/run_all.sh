#!/usr/bin/env bash
# Runs every libFuzzer target of a fuzz build for a bounded time, starting
# from the checked-in seeds (the seeds themselves are never modified).
# Usage: fuzz/run_all.sh <build-dir> <seconds-per-target>
# Fails on any crash, leak, timeout or sanitizer report.
set -uo pipefail
build=${1:?usage: run_all.sh <build-dir> <seconds-per-target>}
seconds=${2:?usage: run_all.sh <build-dir> <seconds-per-target>}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

status=0
summary=""
found=0
for bin in "$build"/fuzz/*_fuzz; do
  [ -x "$bin" ] || continue
  found=$((found + 1))
  name=$(basename "$bin" _fuzz)
  corpus="$work/$name"
  mkdir -p "$corpus" "$work/artifacts-$name"
  [ -d "$here/corpus/$name" ] && cp "$here/corpus/$name"/* "$corpus"/ 2>/dev/null
  log="$work/$name.log"
  echo "--- fuzzing $name for ${seconds}s"
  "$bin" "$corpus" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$work/artifacts-$name/" >"$log" 2>&1
  rc=$?
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -1)
  if [ $rc -ne 0 ]; then
    status=1
    echo "FAILED: $name (exit $rc)"
    tail -n 60 "$log"
    ls -l "$work/artifacts-$name"
    for a in "$work/artifacts-$name"/*; do
      [ -f "$a" ] && { echo "reproducer $a:"; od -A x -t x1z "$a" | head -20; }
    done
  fi
  summary+=$(printf '%-12s %12s executions  exit %d' "$name" "${execs:-?}" "$rc")$'\n'
done
echo
echo "=== fuzz summary ==="
printf '%s' "$summary"
if [ "$found" -eq 0 ]; then
  echo "no fuzz targets found in $build/fuzz"
  exit 1
fi
exit $status
