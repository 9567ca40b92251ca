#!/bin/bash
# The bridge across failures on either side: killed, the broker publishes its
# will (offline), and a bridge started again clears the meta of an event that
# went meanwhile; the broker restarted (forgetting everything), the bridge
# comes back with its status, metas and a value that waited at its owner;
# the server restarted, it comes back to the new roster.
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
start_bridge bridge2 127.0.0.1 --retain-values
wait_for "$WORK/live.txt" "^0 $B/Short/Gone/meta \$" || fail "stale meta not cleared"
subscribe late 'toruna/#'
grep -q "Short/Gone" "$WORK/late.txt" && fail "stale meta still retained"
grep -q "^1 $B/Sensor/Temp/meta {" "$WORK/late.txt" || fail "live meta not retained"
grep -q "^1 $B/Sensor/Temp 1\$" "$WORK/late.txt" || fail "value not retained with --retain-values"

# The broker restarts without what it held. Meanwhile the bridge no longer
# listens on the server, so the owner holds its next value until it does again.
stop_broker
wait_for "$WORK/bridge2.err" 'no connection to the broker' || fail "bridge did not notice the broker leave"
wait_for "$WORK/Sensor.out" '^no subscriber left for Temp$' || fail "bridge still subscribed without a broker"
echo 3 >&4
start_broker
wait_for_count "$WORK/bridge2.err" 'connected to the broker' 2 10 || fail "bridge did not reconnect to the broker"
subscribe again 'toruna/#'
wait_for "$WORK/again.txt" "^[01] $B/Sensor/Temp 3\$" || fail "the value held during the outage did not arrive"
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
wait_for "$WORK/again.txt" "^0 $B/Sensor/Temp \$" || fail "retained value of the departed owner not cleared"
exec 4>&-
sensor Sensor2 Temp 6
echo 8 >&6
wait_for "$WORK/again.txt" "^0 $B/Sensor2/Temp 8\$" || fail "no value after the server restart"
exec 6>&-

kill -TERM "$BRIDGE_PID"
wait_exit "$BRIDGE_PID" || fail "the bridge did not exit 0 on SIGTERM (status $?)"
echo "passed"
