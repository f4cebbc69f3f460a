#!/bin/sh
# Runs a test program against a development collector of its own on a free loopback port,
# then checks that the program's message is among the events the collector stored.
#   with_collector.sh COLLECTOR PROGRAM
set -eu
collector=$1
program=$2
work=$(mktemp -d)
pid=""
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

"$collector" --quiet --port 0 --port-file "$work/port" --db "$work/events.sqlite" &
pid=$!
tries=0
until [ -s "$work/port" ]; do
  tries=$((tries + 1))
  [ "$tries" -lt 150 ] || { echo "the collector did not start" >&2; exit 1; }
  sleep 0.2
done
message="hello collector from C $$"
"$program" "http://127.0.0.1:$(cat "$work/port")" "$work/data" "$message"
found=$(sqlite3 "$work/events.sqlite" "SELECT count(*) FROM events WHERE json LIKE '%$message%'")
[ "$found" = "1" ] || { echo "the collector stored $found events with the message" >&2; exit 1; }
echo "the collector stored the event"
