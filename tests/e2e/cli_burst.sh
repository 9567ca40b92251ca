#!/bin/bash
# Two publishers each send a burst of 5000 values at once through the real
# server; the watcher gets every value of both, in order. The server closes a
# connection that has more than 2048 bytes waiting, so this holds only when
# the client library paces what it sends.
set -u
. "$(dirname "$0")/cli_common.bash"
cli_setup "$@"
start_server "Relay Burst"

"$CLI" watch 127.0.0.1 --name Watcher --subscribe 'Burst*/Level' >"$WORK/watch.txt" 2>"$WORK/watch.err" &
W=$!; PIDS+=("$W")
wait_for "$WORK/watch.txt" '^server ' || fail "watch did not register"

seq 0 4999 | awk '{ print $1 % 256 }' >"$WORK/values"
P=()
for n in 1 2; do
  "$CLI" publish 127.0.0.1 --name "Burst$n" --event Level <"$WORK/values" >/dev/null 2>"$WORK/pub$n.err" &
  P+=($!); PIDS+=($!)
done
for p in "${P[@]}"; do
  wait_exit "$p" 60 || fail "a publisher did not finish (status $?)"
done
for n in 1 2; do
  wait_for "$WORK/watch.txt" "^left [0-9]+ Burst$n\$" 10 || fail "watch did not see Burst$n leave"
  grep -E " Burst$n/Level [0-9]+\$" "$WORK/watch.txt" | awk '{print $3}' >"$WORK/got$n"
  cmp -s "$WORK/values" "$WORK/got$n" ||
    fail "Burst$n: $(wc -l <"$WORK/got$n") of 5000 values, or out of order"
done
kill -INT $W
wait_exit $W || fail "watch did not end cleanly"
echo "passed"
