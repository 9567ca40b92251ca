#!/bin/bash
# MQTT into the server: messages on PREFIX/SERVER/NAME/EVENT/set become values
# of the bridge's own event EVENT, created on first use; a burst arrives whole
# and in order, also the part sent before anybody on the server listened;
# values set while nobody listens wait for the next subscriber; bad payloads
# and names are refused with a message; a restarted bridge brings its events
# back, and Home Assistant sees them as numbers.
set -u
. "$(dirname "$0")/cli_common.bash"
. "$(dirname "$0")/bridge_common.bash"
cli_setup "$@"
bridge_setup
start_server Lab
start_broker
B=toruna/Lab

watch() {
  "$CLI" watch 127.0.0.1 --name "$1" --subscribe 'bridge/*' >"$WORK/$1.out" 2>"$WORK/$1.err" &
  WATCH_PID=$!
  PIDS+=("$WATCH_PID")
  wait_for "$WORK/$1.out" '^server ' || fail "$1 did not register"
}
values() { grep -E "^[0-9T:.-]+ bridge/$2 [0-9]+\$" "$WORK/$1.out" | awk '{ print $3 }'; }

subscribe live "$B/#" 'homeassistant/#'
start_bridge bridge 127.0.0.1 --accept-set --homeassistant
watch w1
seq 0 499 | awk '{ print $1 % 256 }' >"$WORK/burst"
mosquitto_pub -h 127.0.0.1 -q 1 -t "$B/bridge/Lamp/set" -l <"$WORK/burst" || fail "mosquitto_pub failed"
# 243 is the last value, and the 244th.
wait_for_count "$WORK/w1.out" ' bridge/Lamp 243$' 2 10 || fail "the burst did not arrive"
values w1 Lamp >"$WORK/got"
cmp -s "$WORK/burst" "$WORK/got" || fail "burst: $(wc -l <"$WORK/got") of 500 values, or out of order"
grep -q 'created event Lamp for toruna/Lab/bridge/Lamp/set' "$WORK/bridge.err" || fail "creation not said"
# The event's own topic carries its values, and it is described like any other.
wait_for "$WORK/live.txt" "^0 $B/bridge/Lamp 243\$" || fail "values not on the event's topic"
grep -q "^0 $B/bridge/Lamp/meta {\"id\":[0-9]*,\"name\":\"Lamp\",\"unit\":\"\",\"interval\":0,\"max\":255,\"owner\":\"bridge\",\"owner_id\":null}\$" \
  "$WORK/live.txt" || fail "no meta for the bridge's event"
grep -q "^0 homeassistant/number/toruna_lab/toruna_lab_bridge_lamp_[0-9a-f]*/config {.*\"command_topic\":\"$B/bridge/Lamp/set\"" \
  "$WORK/live.txt" || fail "no Home Assistant number"

# Refused: a payload that is no value, a name the server cannot take, a broken escape.
mosquitto_pub -h 127.0.0.1 -t "$B/bridge/Lamp/set" -m 'bright'
mosquitto_pub -h 127.0.0.1 -t "$B/bridge/Lamp/set" -m 256
mosquitto_pub -h 127.0.0.1 -t "$B/bridge/a%00b/set" -m 1
mosquitto_pub -h 127.0.0.1 -t "$B/bridge/a%zz/set" -m 1
# A name with a '/' in it; also the mark that the refusals above are through.
mosquitto_pub -h 127.0.0.1 -t "$B/bridge/Hall%2FLight/set" -m ' 42 '
wait_for "$WORK/w1.out" ' bridge/Hall/Light 42$' || fail "escaped name not taken"
grep -q "ignored 'bright' on $B/bridge/Lamp/set: not a value from 0 to 255" "$WORK/bridge.err" || fail "no word on 'bright'"
grep -q "ignored '256' on" "$WORK/bridge.err" || fail "no word on 256"
grep -q "ignored $B/bridge/a%00b/set: " "$WORK/bridge.err" || fail "no word on a name with NUL"
grep -q "ignored $B/bridge/a%zz/set: not an event name" "$WORK/bridge.err" || fail "no word on a broken escape"
[ "$(values w1 Lamp | tail -1)" = 243 ] || fail "a refused payload became a value"

# Nobody listens: the values wait, and the next subscriber gets them in order.
kill -INT "$WATCH_PID"
wait_exit "$WATCH_PID" || fail "w1 did not leave"
for v in 1 2 3; do mosquitto_pub -h 127.0.0.1 -q 1 -t "$B/bridge/Lamp/set" -m $v; done
wait_for "$WORK/live.txt" "^0 $B/bridge/Lamp 3\$" || fail "the bridge did not take the values"
watch w2
wait_for "$WORK/w2.out" ' bridge/Lamp 3$' || fail "held values did not arrive"
[ "$(values w2 Lamp | tr '\n' ' ')" = "1 2 3 " ] || fail "held values: '$(values w2 Lamp | tr '\n' ' ')'"

# A new bridge finds its events retained and creates them again.
kill -TERM "$BRIDGE_PID"
wait_exit "$BRIDGE_PID" || fail "the bridge did not exit 0 on SIGTERM (status $?)"
start_bridge bridge2 127.0.0.1 --accept-set
wait_for "$WORK/w2.out" '^created [0-9]+ bridge/Lamp ' || fail "Lamp not created again"
wait_for "$WORK/w2.out" '^created [0-9]+ bridge/Hall/Light ' || fail "Hall/Light not created again"
mosquitto_pub -h 127.0.0.1 -q 1 -t "$B/bridge/Lamp/set" -m 77
wait_for "$WORK/w2.out" ' bridge/Lamp 77$' || fail "no value through the new bridge"
echo "passed"
