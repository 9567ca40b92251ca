#!/bin/bash
# publish waits until watch subscribes; watch then prints the published values
# in order, with the client's and the event's names and the unit, non-ASCII
# text included; values can also come from standard input.
set -u
. "$(dirname "$0")/cli_common.bash"
cli_setup "$@"
start_server "Relay Lab"

# The publisher comes first and must wait: nobody subscribes yet.
"$CLI" publish 127.0.0.1 --name "Wärme" --event "Küche" --unit "°C" --interval 10 --max 40 \
  3 1 4 1 5 >"$WORK/pub.out" 2>"$WORK/pub.err" &
P=$!; PIDS+=("$P")
wait_for "$WORK/pub.err" 'waiting for a subscriber to Küche' || fail "publish did not say it waits"
sleep 0.3
grep -q '^published' "$WORK/pub.out" && fail "published before anybody subscribed"
kill -0 $P 2>/dev/null || fail "publish ended without a subscriber"

"$CLI" watch 127.0.0.1 --name Watcher --subscribe '*/Küche' --subscribe 'Nobody/*' \
  >"$WORK/watch.out" 2>"$WORK/watch.err" &
W=$!; PIDS+=("$W")
wait_exit $P || fail "publish did not finish once subscribed (status $?)"

wait_for "$WORK/watch.out" ' Wärme/Küche 5 °C$' || fail "watch did not print the last value"
grep -qx 'client [0-9]* Wärme' "$WORK/watch.out" || fail "roster without the publisher"
grep -qx 'event [0-9]* Wärme/Küche unit=°C interval=10 max=40' "$WORK/watch.out" ||
  fail "roster without the event"
grep -qx 'subscribed [0-9]* Wärme/Küche' "$WORK/watch.out" || fail "no subscription"
VALUES="$(grep -E '^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:.]+ Wärme/Küche [0-9]+ °C$' "$WORK/watch.out" |
  awk '{print $3}' | tr '\n' ' ')"
[ "$VALUES" = "3 1 4 1 5 " ] || fail "values in watch: '$VALUES'"
[ "$(grep -c '^published Küche' "$WORK/pub.out")" -eq 5 ] || fail "publish did not report five values"
# The publisher has gone; the watcher saw it leave.
wait_for "$WORK/watch.out" '^left [0-9]+ Wärme$' || fail "watch did not see the publisher leave"

# Values from standard input, seen by a JSON watcher. It is the event's only
# subscriber: with two, publish could start at the first one's subscription and
# the second would miss the first value.
"$CLI" watch 127.0.0.1 --name JsonWatcher --subscribe 'Feeder/*' --json \
  >"$WORK/json.out" 2>"$WORK/json.err" &
J=$!; PIDS+=("$J")
wait_for "$WORK/json.out" '"type":"server"' || fail "json watcher did not register"
printf '7\n\n200\r\n9' | "$CLI" publish 127.0.0.1 --name Feeder --event Level --unit l \
  >"$WORK/stdin.out" 2>"$WORK/stdin.err" &
S=$!; PIDS+=("$S")
wait_exit $S || fail "publish from standard input: status $?"
wait_for "$WORK/json.out" '"event":"Level","value":9,"unit":"l"' || fail "json watcher missed the last value"
[ "$(grep -o '"event":"Level","value":[0-9]*' "$WORK/json.out" | cut -d: -f3 | tr '\n' ' ')" = "7 200 9 " ] ||
  fail "json values out of order"
grep -qE ' Feeder/Level [0-9]+ l$' "$WORK/watch.out" && fail "first watcher printed values it did not subscribe to"

# A bad line on standard input stops publish with status 2.
printf '1\nlots\n' | "$CLI" publish 127.0.0.1 --name Bad --event E --always >"$WORK/bad.out" 2>"$WORK/bad.err"
[ $? -eq 2 ] || fail "bad input line: status not 2"
grep -q "'lots' is not a value" "$WORK/bad.err" || fail "bad input line: no message"

kill -INT $W $J
wait_exit $W || fail "watch did not end cleanly on Ctrl-C"
wait_exit $J || fail "json watch did not end cleanly on Ctrl-C"
echo "passed"
