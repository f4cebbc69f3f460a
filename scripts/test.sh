#!/usr/bin/env bash
# Builds and runs the test suite, every test in a process of its own; the long stress cases
# (CTest label `slow`) are left to CI: ctest --test-dir build -L slow.
#   scripts/test.sh              the normal build (build/)
#   scripts/test.sh --sanitize   AddressSanitizer + UndefinedBehaviorSanitizer (build-asan/)
#   scripts/test.sh --tsan       ThreadSanitizer (build-tsan/)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
case "${1:-}" in
  --sanitize) export BUILD_DIR=build-asan; extra=(-DZEPLOG_SANITIZE=address,undefined -DZEPLOG_BUILD_EXAMPLES=OFF) ;;
  --tsan) export BUILD_DIR=build-tsan; extra=(-DZEPLOG_SANITIZE=thread -DZEPLOG_BUILD_EXAMPLES=OFF) ;;
  *) export BUILD_DIR=build; extra=() ;;
esac
scripts/build.sh "${extra[@]}"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export TSAN_OPTIONS="suppressions=$PWD/scripts/tsan.supp ${TSAN_OPTIONS:-}"
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$(nproc)" -LE slow
