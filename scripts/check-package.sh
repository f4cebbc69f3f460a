#!/usr/bin/env bash
# Installs the built library into a temporary prefix and builds a program against it three
# ways: the CMake package's shared and static targets, and pkg-config.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$BUILD_DIR" --prefix "$work/prefix" >/dev/null
cmake -S tests/package -B "$work/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
# A public function that is not exported fails this link; its error is shown.
cmake --build "$work/consumer" >"$work/consumer.log" 2>&1 || { cat "$work/consumer.log"; exit 1; }
export ZEPLOG_PACKAGE_DATA_DIR="$work/data"
LD_LIBRARY_PATH="$work/prefix/lib" "$work/consumer/app"
"$work/consumer/app_static"
# The spdlog and glog sink targets and the integration calls.
LD_LIBRARY_PATH="$work/prefix/lib" "$work/consumer/sinks_app"
export PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig"
g++ -std=c++20 tests/package/main.cpp $(pkg-config --cflags --libs zeplog) -o "$work/pc_app"
LD_LIBRARY_PATH="$work/prefix/lib" "$work/pc_app"
# The C interface: the example compiled as C, warnings as errors, against the installed
# shared library.
cc -std=c11 -Wall -Wextra -Wpedantic -Werror examples/hello_c.c \
  $(pkg-config --cflags --libs zeplog) -o "$work/c_app"
LD_LIBRARY_PATH="$work/prefix/lib" "$work/c_app" http://127.0.0.1:9/ 2>/dev/null
# The integrations' C forms, compiled as C the same way; the data directory comes from the
# environment (ZEPLOG_DATA_DIR).
cc -std=c11 -Wall -Wextra -Wpedantic -Werror tests/package/c_integrations.c \
  $(pkg-config --cflags --libs zeplog) -o "$work/c_integrations"
ZEPLOG_DATA_DIR="$work/c_data" LD_LIBRARY_PATH="$work/prefix/lib" "$work/c_integrations"
echo "package check passed"
