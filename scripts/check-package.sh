#!/usr/bin/env bash
# Installs the built library into a temporary prefix and builds against it as a user would,
# with the compiler's default C++ standard (the package itself must ask for C++20):
#  - the CMake package: its shared and static targets, the sink targets and a C program;
#  - pkg-config: zeplog for C++, zeplog-c for C;
#  - every example and every C++ and C snippet of README.md, with -Wall -Wextra -Werror;
# then runs examples/hello_c.c against the development collector: its events must arrive.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
COLLECTOR="$BUILD_DIR/tools/collector/zeplog-collector"
work=$(mktemp -d)
collector_pid=""
cleanup() {
  [ -n "$collector_pid" ] && kill "$collector_pid" 2>/dev/null && wait "$collector_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
strict=(-Wall -Wextra -Werror)

cmake --install "$BUILD_DIR" --prefix "$work/prefix" >/dev/null
prefix_lib="$work/prefix/lib"
cmake -S tests/package -B "$work/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" \
  -DZEPLOG_EXAMPLES_DIR="$PWD/examples" >/dev/null
# A public function that is not exported fails this link; its error is shown.
cmake --build "$work/consumer" >"$work/consumer.log" 2>&1 || { cat "$work/consumer.log"; exit 1; }
export ZEPLOG_PACKAGE_DATA_DIR="$work/data"
LD_LIBRARY_PATH="$prefix_lib" "$work/consumer/app"
"$work/consumer/app_static"
# The spdlog and glog sink targets and the integration calls.
LD_LIBRARY_PATH="$prefix_lib" "$work/consumer/sinks_app"

# pkg-config, without a -std flag of the consumer's own.
export PKG_CONFIG_PATH="$prefix_lib/pkgconfig"
g++ "${strict[@]}" tests/package/main.cpp $(pkg-config --cflags --libs zeplog) -o "$work/pc_app"
LD_LIBRARY_PATH="$prefix_lib" "$work/pc_app"
# The integrations' C forms, compiled as C; the data directory comes from the environment
# (ZEPLOG_DATA_DIR).
cc -std=c11 -Wpedantic "${strict[@]}" tests/package/c_integrations.c \
  $(pkg-config --cflags --libs zeplog-c) -o "$work/c_integrations"
ZEPLOG_DATA_DIR="$work/c_data" LD_LIBRARY_PATH="$prefix_lib" "$work/c_integrations"

# Every example.
for src in examples/*.cpp; do
  g++ "${strict[@]}" "$src" $(pkg-config --cflags --libs zeplog) -o "$work/$(basename "$src" .cpp)"
done
for src in examples/*.c; do
  cc -std=c11 -Wpedantic "${strict[@]}" "$src" $(pkg-config --cflags --libs zeplog-c) \
    -o "$work/$(basename "$src" .c)"
done

# Every fenced cpp and c block of the README, as written. A block without main() is a
# fragment of a function: it becomes the body of one, after the headers it may use.
mkdir -p "$work/snippets"
awk -v dir="$work/snippets" '
  /^```(cpp|c)$/ { n++; ext = substr($0, 4); file = sprintf("%s/%02d.%s", dir, n, ext); next }
  /^```/ { file = ""; next }
  file != "" { print > file }' README.md
snippets=0
for snippet in "$work"/snippets/*; do
  [ -f "$snippet" ] || continue
  snippets=$((snippets + 1))
  unit="$work/unit_$(basename "$snippet")"
  case "$snippet" in
    *.cpp)
      printf '%s\n' '#include <spdlog/spdlog.h>' '#include <zeplog/glog_sink.hpp>' \
        '#include <zeplog/spdlog_sink.hpp>' '#include <zeplog/zeplog.hpp>' '#include <memory>' \
        'using zeplog::ZEPLog;' >"$unit"
      compile=(g++ "${strict[@]}" $(pkg-config --cflags zeplog spdlog))
      ;;
    *.c)
      printf '%s\n' '#include <stddef.h>' '#include <stdio.h>' '#include <zeplog/zeplog.h>' >"$unit"
      compile=(cc -std=c11 -Wpedantic "${strict[@]}" $(pkg-config --cflags zeplog-c))
      ;;
  esac
  if grep -q 'int main(' "$snippet"; then
    cat "$snippet" >>"$unit"
  else
    { echo "int snippet(void) {"; cat "$snippet"; echo "return 0; }"; } >>"$unit"
  fi
  "${compile[@]}" -c "$unit" -o "$work/snippet.o" ||
    { echo "README.md snippet $(basename "$snippet") does not compile cleanly" >&2; exit 1; }
done
[ "$snippets" -gt 0 ] || { echo "no cpp or c block found in README.md" >&2; exit 1; }

# The C example delivers its events to a development collector (not installed: the build's).
"$COLLECTOR" --quiet --port 0 --port-file "$work/port" --db "$work/events.sqlite" &
collector_pid=$!
for _ in $(seq 50); do [ -s "$work/port" ] && break; sleep 0.2; done
[ -s "$work/port" ] || { echo "the development collector did not start" >&2; exit 1; }
ZEPLOG_DATA_DIR="$work/hello_data" LD_LIBRARY_PATH="$prefix_lib" \
  "$work/hello_c" "http://127.0.0.1:$(cat "$work/port")/" 2>/dev/null
arrived=$(sqlite3 "$work/events.sqlite" "SELECT count(*) FROM events WHERE json LIKE '%hello from C%'")
[ "$arrived" = "1" ] || { echo "hello_c: $arrived of its events arrived" >&2; exit 1; }
echo "package check passed ($snippets README snippets)"
