#!/bin/bash
# Nothing lost while the broker is away: an owner publishes on a pace for a
# watcher on the server and for the bridge; the broker stops for a while and
# comes back (with its sessions, so that the MQTT subscriber misses nothing of
# its own). Every value the owner published reaches the subscriber, in order,
# the bridge says how many waited, and it is back within a few seconds of the
# broker. OUTAGE_VALUES, OUTAGE_MS (between values) and OUTAGE_SECONDS change
# the run (500, 40 and 10 give the issue's scenario).
set -u
. "$(dirname "$0")/cli_common.bash"
. "$(dirname "$0")/bridge_common.bash"
cli_setup "$@"
bridge_setup
N=${OUTAGE_VALUES:-150}
PACE=${OUTAGE_MS:-40}
AWAY=${OUTAGE_SECONDS:-3}
start_server Lab
start_broker "persistence true" "persistence_location $WORK/" "autosave_interval 0"
B=toruna/Lab

# A subscriber whose session the broker keeps across its restart.
mosquitto_sub -h 127.0.0.1 -q 1 -c -i outage-sub -F '%t %p' -t "$B/Meter/Level" >"$WORK/sub.txt" 2>"$WORK/sub.err" &
PIDS+=($!)
start_bridge bridge 127.0.0.1 --queue-values 100000
for ((i = 0; i < N; i++)); do echo $((i % 256)); sleep "$(awk -v ms="$PACE" 'BEGIN { print ms / 1000 }')"; done |
  "$CLI" publish 127.0.0.1 --name Meter --event Level >"$WORK/meter.out" 2>"$WORK/meter.err" &
METER=$!; PIDS+=("$METER")
wait_for "$WORK/sub.txt" "^$B/Meter/Level 0\$" 5 || fail "no values before the outage"
# A watcher on the server too, once the bridge has the first value: the owner
# publishes for it whether or not the bridge can pass values on.
"$CLI" watch 127.0.0.1 --name Watcher --subscribe 'Meter/*' >"$WORK/watch.out" 2>"$WORK/watch.err" &
PIDS+=($!)
wait_for "$WORK/watch.out" '^server ' || fail "the watcher did not register"
wait_for "$WORK/sub.txt" "^$B/Meter/Level 9\$" 5 || fail "no values before the outage"
stop_broker
sleep "$AWAY"
start_broker "persistence true" "persistence_location $WORK/" "autosave_interval 0"
BACK=$(date +%s%N)
wait_for_count "$WORK/bridge.err" 'connected to the broker' 2 10 || fail "the bridge did not come back"
AFTER_MS=$((($(date +%s%N) - BACK) / 1000000))
[ "$AFTER_MS" -le 3000 ] || fail "the bridge took $AFTER_MS ms to reach the broker again"
wait_exit "$METER" $((N * PACE / 1000 + 20)) || fail "the owner did not publish every value"
LAST=$(((N - 1) % 256))
wait_for "$WORK/sub.txt" "^$B/Meter/Level $LAST\$" 20 || fail "the last value did not arrive"
wait_for "$WORK/bridge.err" 'delivered [0-9]+ of [0-9]+ values that waited for the broker' 10 || fail "no word on the queue"
SENT=$(grep -c '^published Level' "$WORK/meter.out")
WATCHED=$(grep -cE ' Meter/Level [0-9]+$' "$WORK/watch.out")
# Every value in order; at QoS 1 one the broker had not confirmed when it
# stopped may come again, so the values sent need only be in what came.
seq 0 $((N - 1)) | awk '{ print $1 % 256 }' >"$WORK/want"
awk '{ print $2 }' "$WORK/sub.txt" >"$WORK/got"
[ "$SENT" -eq "$N" ] || fail "the owner published $SENT of $N"
MISSING=$(awk 'NR == FNR { want[++n] = $0; next } i < n && $0 == want[i + 1] { i++ }
               END { if (i < n) print "value " i " (" want[i + 1] ") and after" }' "$WORK/want" "$WORK/got")
[ -z "$MISSING" ] || fail "the subscriber got $(wc -l <"$WORK/got") messages, missing $MISSING: $(tr '\n' ' ' <"$WORK/got")"
echo "outage of ${AWAY} s: $SENT values sent ($WATCHED seen by the watcher)," \
  "$(grep -o 'delivered [0-9]* of [0-9]* values that waited for the broker.*' "$WORK/bridge.err" | tail -1)," \
  "$(wc -l <"$WORK/got") messages for $N values at the MQTT subscriber; back $AFTER_MS ms after the broker"
kill -TERM "$BRIDGE_PID"
wait_exit "$BRIDGE_PID" || fail "the bridge did not exit 0 on SIGTERM (status $?)"
echo "passed"
