#!/bin/bash
# The bridge across failures on either side: killed, the broker publishes its
# will (offline), and a bridge started again clears the meta of an event that
# went meanwhile; the broker restarted (forgetting everything), the bridge
# comes back with its status, metas and a value that waited in its queue;
# the server restarted, it comes back to the new roster, and Home Assistant
# keeps every entity (no config is cleared), unavailable until its owner is back.
set -u
. "$(dirname "$0")/cli_common.bash"
. "$(dirname "$0")/bridge_common.bash"
cli_setup "$@"
bridge_setup
start_server Lab
start_broker
B=toruna/Lab

# An owner that publishes what the test writes, once somebody listens.
sensor() {
  mkfifo "$WORK/$1.in"
  "$CLI" publish 127.0.0.1 --name "$1" --event "$2" <"$WORK/$1.in" >"$WORK/$1.out" 2>"$WORK/$1.err" &
  SENSOR_PID=$!
  PIDS+=("$SENSOR_PID")
  eval "exec $3>\"\$WORK/$1.in\""
}

subscribe live 'toruna/#'
sensor Sensor Temp 4
sensor Short Gone 5
SHORT_PID=$SENSOR_PID
start_bridge bridge1 127.0.0.1 --retain-values
echo 1 >&4
wait_for "$WORK/live.txt" "^0 $B/Sensor/Temp 1\$" || fail "first value missing"
wait_for "$WORK/live.txt" "^0 $B/Short/Gone/meta {" || fail "no meta for Short/Gone"

# Killed: the broker says offline for it.
{ kill -9 "$BRIDGE_PID"; wait "$BRIDGE_PID"; } 2>/dev/null
wait_for "$WORK/live.txt" "^0 $B/status offline\$" || fail "no last will"
# An event goes while no bridge runs; the next one clears what is left of it.
exec 5>&-
wait_exit "$SHORT_PID" || fail "Short did not leave"
start_bridge bridge2 127.0.0.1 --homeassistant
wait_for "$WORK/live.txt" "^0 $B/Short/Gone/meta \$" || fail "stale meta not cleared"
subscribe late 'toruna/#'
grep -q "Short/Gone/meta" "$WORK/late.txt" && fail "stale meta still retained"
grep -q "^1 $B/Short/Gone/available offline$" "$WORK/late.txt" || fail "stale event not unavailable"
grep -q "^1 $B/Sensor/Temp/meta {" "$WORK/late.txt" || fail "live meta not retained"
grep -q "^1 $B/Sensor/Temp 1\$" "$WORK/late.txt" || fail "value not retained with --retain-values"

# The broker restarts without what it held. Meanwhile the bridge keeps what
# comes from the server, and hands it over once the broker is back.
stop_broker
wait_for "$WORK/bridge2.err" 'no connection to the broker' || fail "bridge did not notice the broker leave"
echo 3 >&4
wait_for "$WORK/Sensor.out" 'published Temp 3' || fail "the owner did not publish during the outage"
start_broker
wait_for_count "$WORK/bridge2.err" 'connected to the broker' 2 5 || fail "bridge did not reconnect to the broker"
wait_for "$WORK/bridge2.err" 'delivered 1 of 1 values that waited for the broker' || fail "the queued value not said"
subscribe again 'toruna/#' 'homeassistant/#'
wait_for "$WORK/again.txt" "^1 $B/Sensor/Temp 3\$" || fail "the value queued during the outage did not arrive"
grep -q "^1 $B/status online\$" "$WORK/again.txt" || fail "status not republished"
grep -q "^1 $B/Sensor/Temp/meta {" "$WORK/again.txt" || fail "meta not republished"

# The server restarts: offline while it is away, then the new roster. The
# owner went with it, so its meta and retained value are cleared; a new owner
# gets a new meta.
kill "$SERVER_PID"
wait_for "$WORK/again.txt" "^0 $B/status offline\$" || fail "no offline while the server is away"
start_server Lab
wait_for_count "$WORK/bridge2.err" 'connected to server "Lab"' 2 10 || fail "bridge did not reconnect to the server"
wait_for "$WORK/again.txt" "^0 $B/status online\$" || fail "no online after the server came back"
wait_for "$WORK/again.txt" "^0 $B/Sensor/Temp/meta \$" || fail "meta of the departed owner not cleared"
wait_for "$WORK/again.txt" "^0 $B/Sensor/Temp/available offline\$" || fail "the departed owner's entity not unavailable"
exec 4>&-
sensor Sensor Temp 6
echo 8 >&6
wait_for "$WORK/again.txt" "^0 $B/Sensor/Temp 8\$" || fail "no value after the server restart"
wait_for "$WORK/again.txt" "^0 $B/Sensor/Temp/available online\$" || fail "the owner's entity not available again"
exec 6>&-
grep -q "^0 homeassistant/.* \$" "$WORK/again.txt" "$WORK/live.txt" && fail "a Home Assistant config was cleared"
echo "server restart under --homeassistant: $(grep -c '^[01] homeassistant/.*/config {' "$WORK/again.txt") configs" \
  "seen, $(grep -c '^0 homeassistant/.* $' "$WORK/again.txt" "$WORK/live.txt" | awk -F: '{ n += $2 } END { print n }') cleared"

kill -TERM "$BRIDGE_PID"
wait_exit "$BRIDGE_PID" || fail "the bridge did not exit 0 on SIGTERM (status $?)"
echo "passed"
