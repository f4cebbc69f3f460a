#!/usr/bin/env bash
# Builds (build-bench/) and runs the JSON reader benchmark: the library's reader next to
# RapidJSON's DOM, nlohmann::json::parse and simdjson's DOM parser, on a 1000-event batch
# and a generated twitter-like document. Extra arguments go to the benchmark program.
#   scripts/bench-json-reader.sh --benchmark_repetitions=3
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DZEPLOG_BUILD_BENCH=ON \
  -DZEPLOG_BUILD_TESTS=OFF -DZEPLOG_BUILD_EXAMPLES=OFF >/dev/null
cmake --build build-bench --target bench_json_reader -j 2
build-bench/bench/bench_json_reader "$@"
