#!/bin/bash
# toruna-cli discover finds the server by address and by broadcast, with its
# name and its number of registered clients; without a server it says so.
set -u
. "$(dirname "$0")/cli_common.bash"
cli_setup "$@"

# Nobody answers yet.
"$CLI" discover --to 127.0.0.1 --timeout 0.3 >"$WORK/none.out" 2>"$WORK/none.err"
[ $? -eq 1 ] || fail "discover without a server: status not 1"
grep -q "no server answered" "$WORK/none.err" || fail "no 'no server answered'"
[ ! -s "$WORK/none.out" ] || fail "output without a server"

start_server "Disco Lab"
"$CLI" discover --to 127.0.0.1 --timeout 0.5 >"$WORK/d1.out" 2>"$WORK/d1.err" || fail "discover status"
[ "$(cat "$WORK/d1.out")" = "$(printf '127.0.0.1\tDisco Lab\t0 clients')" ] || fail "first answer"

# A registered client is counted.
"$CLI" watch 127.0.0.1 --name Counted >"$WORK/w.out" 2>"$WORK/w.err" &
W=$!; PIDS+=("$W")
wait_for "$WORK/w.out" '^server ' || fail "watch did not register"
"$CLI" discover --to 127.0.0.1 --timeout 0.5 --json >"$WORK/d2.out" 2>"$WORK/d2.err" || fail "discover --json status"
[ "$(cat "$WORK/d2.out")" = '{"type":"server","address":"127.0.0.1","name":"Disco Lab","clients":1}' ] ||
  fail "json answer with one client"

# The broadcast, on a network of this namespace's own.
broadcast_net
"$CLI" discover --timeout 0.5 >"$WORK/d3.out" 2>"$WORK/d3.err" || fail "broadcast discover status"
grep -qP '^[0-9.]+\tDisco Lab\t1 client$' "$WORK/d3.out" || fail "no answer to the broadcast"

kill -INT $W
wait_exit $W || fail "watch did not end on Ctrl-C"
echo "passed"
