#!/usr/bin/env bash
# Fuzzes the JSON reader with libFuzzer (clang, ASan + UBSan) for FUZZ_SECONDS seconds
# (default 600). Builds into build-fuzz/, starts from the seeds in fuzz/corpus/ and keeps
# what it learns in build-fuzz/corpus/. Exits non-zero on a finding; the input that
# triggered it is left in build-fuzz/ as crash-*, leak-*, timeout-* or oom-*.
#   scripts/fuzz.sh
#   FUZZ_SECONDS=60 scripts/fuzz.sh
set -euo pipefail
cd "$(dirname "$0")/.."
FUZZ_SECONDS=${FUZZ_SECONDS:-600}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZEPLOG_BUILD_FUZZ=ON -DZEPLOG_BUILD_TESTS=OFF -DZEPLOG_BUILD_EXAMPLES=OFF >/dev/null
cmake --build build-fuzz --target json_reader_fuzzer -j 2
mkdir -p build-fuzz/corpus
build-fuzz/fuzz/json_reader_fuzzer -max_total_time="$FUZZ_SECONDS" -max_len=16384 \
  -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 -dict=fuzz/json.dict \
  -artifact_prefix=build-fuzz/ build-fuzz/corpus fuzz/corpus
