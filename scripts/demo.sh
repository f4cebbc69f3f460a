#!/usr/bin/env bash
# The main job: builds the library, the development collector and the demo (nothing else),
# starts the collector on a free loopback port, runs the demo application against it until
# its events have arrived, prints what arrived as a table read back from the collector's
# SQLite file, shows durable delivery through a restart of the collector, and stops it.
# apt's and the compiler's output go to $BUILD_DIR/demo-setup.log, shown only on a failure.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build-demo}
COLLECTOR="$BUILD_DIR/tools/collector/zeplog-collector"
DEMO="$BUILD_DIR/examples/demo"
mkdir -p "$BUILD_DIR"
log="$BUILD_DIR/demo-setup.log"
: >"$log"
logged() {
  "$@" >>"$log" 2>&1 || {
    echo "demo: failed: $*; its output ($log):" >&2
    cat "$log" >&2
    exit 1
  }
}

echo "demo: installing the Debian packages it needs, if missing (output in $log)"
logged scripts/install-deps.sh demo
# Optimised, without debug information and without the test suite: only what the demo runs.
echo "demo: building the library, the development collector and the demo into $BUILD_DIR/"
logged cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DZEPLOG_BUILD_TESTS=OFF -DZEPLOG_BUILD_EXAMPLES=ON
logged cmake --build "$BUILD_DIR" -j "$(nproc)" --target demo zeplog-collector
echo "demo: running the demo against the collector"

work=$(mktemp -d "${TMPDIR:-/tmp}/zeplog-demo.XXXXXX")
collector_pid=""
demo_pid=""
cleanup() {
  [ -n "$demo_pid" ] && kill "$demo_pid" 2>/dev/null || true
  [ -n "$collector_pid" ] && kill "$collector_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Polls a condition every 0.2 s for at most $1 seconds.
wait_for() {
  local seconds=$1
  shift
  local tries=$((seconds * 5))
  until "$@"; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || return 1
    sleep 0.2
  done
}

echo "== Development collector"
"$COLLECTOR" --port 0 --port-file "$work/port" --db "$work/collector.sqlite" \
  --settings "$work/settings.json" &
collector_pid=$!
wait_for 10 test -s "$work/port" || { echo "the collector did not start" >&2; exit 1; }
port=$(cat "$work/port")
base="http://127.0.0.1:$port"

# Every switch on; two latency probes: the collector itself, and an ftp URL that the
# library refuses to request (its result says Status 0).
cat > "$work/settings.json" <<JSON
{"status":200,"result":{"log":{"enable":true},"session":{"enable":true},
 "crash":{"enable":true},
 "networkpulses":{"enable":true,"urls":["$base/probe/ping","ftp://127.0.0.1:$port/file"]}}}
JSON

echo "== Demo application"
"$DEMO" "$base" "$work/data" 40 &
demo_pid=$!

# The demo's last log call marks the end of its events; the probes run on their own.
arrived() {
  [ "$(sqlite3 "$work/collector.sqlite" \
    "SELECT count(*) FROM events WHERE json LIKE '%demo finished%'" 2>/dev/null)" = "1" ] &&
    [ "$(sqlite3 "$work/collector.sqlite" \
      "SELECT count(*) FROM events WHERE json LIKE '%NETWORKPULSES%'" 2>/dev/null)" -ge 2 ]
}
if wait_for 30 arrived; then
  status=0
else
  echo "demo: not every event arrived within 30 s" >&2
  status=1
fi
kill -TERM "$demo_pid" 2>/dev/null || true
wait "$demo_pid" 2>/dev/null || true
demo_pid=""

echo
echo "== What the collector stored ($work/collector.sqlite)"
"$COLLECTOR" --dump --db "$work/collector.sqlite"

# Durable delivery: the collector is stopped while the demo logs, and started again on the
# same port; the events logged meanwhile wait in the demo's spool and arrive once it is back.
durable_count() {
  sqlite3 "$work/collector.sqlite" \
    "SELECT count(*) FROM events WHERE json LIKE '%durable event %'" 2>/dev/null || echo 0
}
echo
echo "== Durable delivery through a collector restart"
"$DEMO" "$base" "$work/data-durable" durable 40 &
demo_pid=$!
durable_arrived() { [ "$(durable_count)" -ge 5 ]; }
wait_for 30 durable_arrived || { echo "no durable event arrived" >&2; status=1; }
kill -TERM "$collector_pid" 2>/dev/null || true
wait "$collector_pid" 2>/dev/null || true
echo "demo: collector stopped with $(durable_count) durable events stored; restarting it in 2 s"
sleep 2
"$COLLECTOR" --port "$port" --db "$work/collector.sqlite" --settings "$work/settings.json" &
collector_pid=$!
if ! wait "$demo_pid"; then
  echo "demo: durable delivery did not empty its spool" >&2
  status=1
fi
demo_pid=""
distinct=$(sqlite3 "$work/collector.sqlite" \
  "SELECT count(DISTINCT json_extract(json, '$.body')) FROM events WHERE json LIKE '%durable event %'")
echo "demo: $(durable_count) durable events stored, $distinct distinct, of 40 logged"
[ "$distinct" = "40" ] || status=1
kill -TERM "$collector_pid" 2>/dev/null || true
wait "$collector_pid" 2>/dev/null || true
collector_pid=""
exit $status
