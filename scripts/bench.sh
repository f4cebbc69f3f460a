#!/usr/bin/env bash
# Builds the benchmarks (optimised) and runs each, or the one named: scripts/bench.sh bench_queue
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
BUILD_DIR=build-bench BUILD_TYPE=Release scripts/build.sh -DZEPLOG_BUILD_BENCH=ON -DZEPLOG_BUILD_TESTS=OFF
for b in build-bench/bench/${1:-bench_*}; do
  [ -x "$b" ] || continue
  echo "== $(basename "$b")"
  "$b" --benchmark_min_time=0.5 "${@:2}"
done
