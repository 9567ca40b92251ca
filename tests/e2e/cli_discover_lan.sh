#!/bin/bash
# discover on a LAN without a default route (a switch and a few machines): the
# limited broadcast has no way out there, so the request also goes to each
# network's own broadcast address; the unreachable one counts as not
# answering, without a word. Each server is listed once, this machine's own
# too when asked by broadcast and by two of its addresses. Nobody answering is
# an empty list, not an error.
set -u
. "$(dirname "$0")/cli_common.bash"
cli_setup "$@"

# The far machine, a namespace of its own behind a veth pair; no default route
# on either side.
unshare -n sleep 600 &
FAR=$!; PIDS+=("$FAR")
sleep 0.1
ip link add v0 type veth peer name v1 netns "$FAR" || fail "no veth pair"
ip addr add 10.97.0.1/24 brd + dev v0 && ip link set v0 up || fail "near end of the link"
far() { nsenter -t "$FAR" -n "$@"; }
far ip link set lo up && far ip addr add 10.97.0.2/24 brd + dev v1 && far ip link set v1 up ||
  fail "far end of the link"
ip route | grep -q '^default' && fail "a default route"

"$CLI" discover --timeout 0.3 >"$WORK/none.out" 2>"$WORK/none.err"
[ $? -eq 1 ] || fail "discover without a server: status not 1"
[ "$(cat "$WORK/none.err")" = "toruna-cli: no server answered" ] || fail "more than 'no server answered'"
[ ! -s "$WORK/none.out" ] || fail "output without a server"

start_server "Near Lab"
mkdir -p "$WORK/far"
printf '[Toruna]\nServername=Far Lab\n' >"$WORK/far/Velmor Software.conf"
# nsenter, not the shell function: $! must be the server itself, which the
# clean-up kills (a function would run in a subshell and leave the server behind).
XDG_CONFIG_HOME="$WORK/far" nsenter -t "$FAR" -n "$SERVER" --headless >"$WORK/farserver.out" 2>"$WORK/farserver.err" &
PIDS+=("$!")
wait_for "$WORK/farserver.err" 'running headless' || fail "the far server did not start"

"$CLI" discover --timeout 0.5 >"$WORK/both.out" 2>"$WORK/both.err" || fail "discover by broadcast: status $?"
[ ! -s "$WORK/both.err" ] || fail "discover by broadcast complained"
[ "$(sort "$WORK/both.out")" = "$(printf '10.97.0.1\tNear Lab\t0 clients\n10.97.0.2\tFar Lab\t0 clients')" ] ||
  fail "servers found by broadcast"

# Asked by broadcast and at two of its addresses, this machine's server is listed once.
"$CLI" discover --to 127.0.0.1 --to 10.97.0.1 --timeout 0.5 --json >"$WORK/to.out" 2>"$WORK/to.err" ||
  fail "discover --to: status $?"
[ ! -s "$WORK/to.err" ] || fail "discover --to complained"
[ "$(grep -c '"name":"Near Lab"' "$WORK/to.out")" -eq 1 ] || fail "this machine's server not listed once"
grep -qE '"address":"(127\.0\.0\.1|10\.97\.0\.1)","name":"Near Lab"' "$WORK/to.out" || fail "near address"
[ "$(grep -c '"address":"10.97.0.2","name":"Far Lab"' "$WORK/to.out")" -eq 1 ] || fail "far server not listed once"
[ "$(wc -l <"$WORK/to.out")" -eq 2 ] || fail "more than two servers"
echo "passed"
