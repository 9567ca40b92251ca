#!/bin/bash
# The bridge into NATS's MQTT gateway, which takes no ' ' or '.' in a topic and
# no QoS 2: with the standard topics a server named "Lab 3" is refused at
# CONNECT and the bridge says why; with --broker-profile nats every value of
# clients named Sensor.1, Living Room and Wärme+1 arrives, in order. Under the
# standard profile a client whose name NATS refuses costs nobody else a value,
# and --qos 2 falls back to QoS 1, both said once.
set -u
. "$(dirname "$0")/cli_common.bash"
. "$(dirname "$0")/bridge_common.bash"
cli_setup "$@"
bridge_setup
start_server "Lab 3"
start_nats 1

"$BRIDGE" 127.0.0.1 >"$WORK/standard.out" 2>"$WORK/standard.err" &
STANDARD=$!; PIDS+=("$STANDARD")
wait_for "$WORK/standard.err" "no connection to the broker at 127.0.0.1:1883: the broker closed the connection before accepting it \(it may refuse the will's topic toruna/Lab 3/status: NATS takes no ' ' or '.' in topics; see --broker-profile nats\)" ||
  fail "a will NATS refuses was not said"
kill -TERM "$STANDARD"
wait_exit "$STANDARD" || fail "the refused bridge did not exit 0 on SIGTERM"

# paced NAME EVENT N: N values (i mod 256) 20 ms apart, once somebody listens.
paced() {
  local i
  for ((i = 0; i < $3; i++)); do echo $((i % 256)); sleep 0.02; done |
    "$CLI" publish 127.0.0.1 --name "$1" --event "$2" >/dev/null 2>"$WORK/pub-$1.err" &
  PIDS+=($!)
}
# got FILE TOPIC: the values that arrived on TOPIC.
got() { grep -F -- "0 $2 " "$1" | awk '{ print $NF }' | grep -E '^[0-9]+$'; }
# whole FILE TOPIC N: every one of 0..N-1 (mod 256), in order. At QoS 1 what
# the broker had not confirmed when it closed the connection comes again: a
# repeat of a value already there is no loss.
whole() {
  [ "$(got "$1" "$2" | awk '!seen[$0]++' | tr '\n' ' ')" = "$(seq 0 $(($3 - 1)) | awk '{ printf "%d ", $1 % 256 }')" ]
}

subscribe live 'toruna/#'
start_bridge nats 127.0.0.1 --broker-profile nats
B='toruna/Lab%203'
paced Sensor.1 Temp 150
paced 'Living Room' 'Temp.In' 150
paced 'Wärme+1' 'Küche/#' 150
wait_for_count "$WORK/live.txt" " $B/Wärme%2B1/Küche%2F%23 149\$" 1 20 || fail "Wärme+1's values did not all arrive"
wait_for_count "$WORK/live.txt" " $B/Living%20Room/Temp%2EIn 149\$" 1 10 || fail "Living Room's values did not all arrive"
wait_for_count "$WORK/live.txt" " $B/Sensor%2E1/Temp 149\$" 1 10 || fail "Sensor.1's values did not all arrive"
whole "$WORK/live.txt" "$B/Sensor%2E1/Temp" 150 || fail "Sensor.1: $(got "$WORK/live.txt" "$B/Sensor%2E1/Temp" | wc -l) of 150"
whole "$WORK/live.txt" "$B/Living%20Room/Temp%2EIn" 150 || fail "Living Room: not 150 in order"
whole "$WORK/live.txt" "$B/Wärme%2B1/Küche%2F%23" 150 || fail "Wärme+1: not 150 in order"
grep -q "^0 $B/Sensor%2E1/Temp/meta {\"id\":[0-9]*,\"name\":\"Temp\",.*\"owner\":\"Sensor.1\"" "$WORK/live.txt" ||
  fail "no meta for Sensor.1"
grep -q "^0 $B/status online\$" "$WORK/live.txt" || fail "no status online"
grep -q 'no connection to the broker' "$WORK/nats.err" && fail "the bridge lost the broker"
echo "NATS, server \"Lab 3\": Sensor.1 $(got "$WORK/live.txt" "$B/Sensor%2E1/Temp" | wc -l)/150," \
  "Living Room $(got "$WORK/live.txt" "$B/Living%20Room/Temp%2EIn" | wc -l)/150," \
  "Wärme+1 $(got "$WORK/live.txt" "$B/Wärme%2B1/Küche%2F%23" | wc -l)/150 values"
kill -TERM "$BRIDGE_PID"
wait_exit "$BRIDGE_PID" || fail "the bridge did not exit 0 on SIGTERM (status $?)"

# The standard topics on a server whose name NATS takes, at QoS 2: a client
# named with a dot is refused topic by topic, everybody else's values arrive.
kill "$SERVER_PID"
wait_exit "$SERVER_PID" || fail "the server did not stop"
start_server Lab
start_bridge standard2 127.0.0.1 --qos 2
paced Plain Level 200
sleep 0.5
"$CLI" publish 127.0.0.1 --name Sensor.1 --event Temp 1 2 3 >/dev/null 2>&1 &
PIDS+=($!)
wait_for "$WORK/standard2.err" "it refuses that topic" 20 || fail "the refused topic was not said"
wait_for_count "$WORK/live.txt" " toruna/Lab/Plain/Level 199\$" 1 30 || fail "Plain's values did not all arrive"
whole "$WORK/live.txt" "toruna/Lab/Plain/Level" 200 ||
  fail "Plain: $(got "$WORK/live.txt" toruna/Lab/Plain/Level | sort -un | wc -l) of 200 (in order?)"
grep -q "the broker closes the connection at every QoS 2 publication: publishing at QoS 1 from now on" \
  "$WORK/standard2.err" || fail "QoS 2 not given up"
grep -q "the broker closed the connection at each publication on toruna/Lab/Sensor.1/Temp/meta: it refuses that topic" \
  "$WORK/standard2.err" || fail "the refused meta topic not named"
echo "NATS, --qos 2 and a refused client: Plain $(got "$WORK/live.txt" toruna/Lab/Plain/Level | wc -l)/200 values," \
  "$(grep -c 'no connection to the broker' "$WORK/standard2.err") reconnections"
kill -TERM "$BRIDGE_PID"
wait_exit "$BRIDGE_PID" || fail "the bridge did not exit 0 on SIGTERM (status $?)"
echo "passed"
