#!/bin/bash
# watch prints the roster it is given and sees clients and events come and go.
set -u
. "$(dirname "$0")/cli_common.bash"
cli_setup "$@"
start_server "Roster Lab"

# A client with an event, registered before the watcher: it waits for a
# subscriber that never comes, so it stays.
"$CLI" publish 127.0.0.1 --name Early --event Pressure --unit hPa --max 1100 1 \
  >"$WORK/early.out" 2>"$WORK/early.err" &
E=$!; PIDS+=("$E")
wait_for "$WORK/early.err" 'waiting for a subscriber' || fail "early publisher did not start"

"$CLI" watch 127.0.0.1 --name Observer >"$WORK/watch.out" 2>"$WORK/watch.err" &
W=$!; PIDS+=("$W")
wait_for "$WORK/watch.out" '^server ' || fail "no roster"
head -3 "$WORK/watch.out" > "$WORK/roster"
grep -qx 'client [0-9]* Early' "$WORK/roster" || fail "roster lacks the client"
grep -qx 'event [0-9]* Early/Pressure unit=hPa interval=0 max=1100' "$WORK/roster" || fail "roster lacks the event"
grep -qx 'server Roster Lab (1 other clients)' "$WORK/roster" || fail "roster lacks the server line"

# A visitor comes and goes.
"$CLI" watch 127.0.0.1 --name Visitor >"$WORK/visitor.out" 2>"$WORK/visitor.err" &
V=$!; PIDS+=("$V")
wait_for "$WORK/watch.out" '^joined [0-9]+ Visitor$' || fail "watch did not see the visitor come"
grep -qx 'client [0-9]* Early' "$WORK/visitor.out" || fail "visitor's roster lacks Early"
kill -INT $V
wait_exit $V || fail "visitor did not leave cleanly"
wait_for "$WORK/watch.out" '^left [0-9]+ Visitor$' || fail "watch did not see the visitor go"

# The early client goes, and its event with it.
kill -INT $E
wait_exit $E
[ $? -eq 130 ] || fail "an interrupted publish should end with status 130"
wait_for "$WORK/watch.out" '^left [0-9]+ Early$' || fail "watch did not see Early go"

# When the server ends, the watcher says so and ends with status 1.
kill -TERM $SERVER_PID
wait_exit $W
[ $? -eq 1 ] || fail "watch status after the server ended"
grep -q 'closed the connection' "$WORK/watch.err" || fail "no 'closed the connection'"
echo "passed"
