#!/bin/bash
# Clients that vanish without closing their connections (a machine that loses
# power, a cable pulled: no FIN, no RST) are noticed by the server and depart
# the usual way: ClientGone to the others, the owner told that its event lost
# its subscriber. The two clients sit on a machine of their own (a second
# network namespace behind a veth pair) whose link goes down. One is idle (the
# keepalive finds it), the other has values relayed to it (the user timeout
# finds it). The settings are small, so it takes seconds; the times are printed.
set -u
. "$(dirname "$0")/cli_common.bash"
cli_setup "$@"

mkdir -p "$WORK/config"
printf '[Toruna]\nServername=Keep Lab\nKeepAliveIdle=2\nKeepAliveInterval=1\nKeepAliveCount=2\nUserTimeout=4\n' \
  >"$WORK/config/Velmor Software.conf"
XDG_CONFIG_HOME="$WORK/config" "$SERVER" --headless >"$WORK/server.out" 2>"$WORK/server.err" &
SERVER_PID=$!; PIDS+=("$SERVER_PID")
wait_for "$WORK/server.err" 'running headless' || fail "the server did not start"
grep -q 'settings file' "$WORK/server.err" && fail "the server refused a setting"

# The far machine: a namespace of its own, reached over a veth pair.
unshare -n sleep 600 &
FAR=$!; PIDS+=("$FAR")
sleep 0.1
ip link add v0 type veth peer name v1 netns "$FAR" || fail "no veth pair"
ip addr add 10.98.0.1/24 dev v0 && ip link set v0 up || fail "near end of the link"
far() { nsenter -t "$FAR" -n "$@"; }
far ip link set lo up && far ip addr add 10.98.0.2/24 dev v1 && far ip link set v1 up ||
  fail "far end of the link"

"$CLI" watch 127.0.0.1 --name Observer >"$WORK/observer.out" 2>"$WORK/observer.err" &
PIDS+=("$!")
wait_for "$WORK/observer.out" '^server ' || fail "the observer did not register"
mkfifo "$WORK/values"
"$CLI" publish 127.0.0.1 --name Owner --event Temp <"$WORK/values" >"$WORK/owner.out" 2>"$WORK/owner.err" &
PIDS+=("$!")
exec 3>"$WORK/values"
wait_for "$WORK/observer.out" '^created [0-9]+ Owner/Temp' || fail "the owner's event did not come"

# nsenter, not far: $! must be the watcher itself, which the clean-up kills.
nsenter -t "$FAR" -n "$CLI" watch 10.98.0.1 --name Idle >"$WORK/idle.out" 2>"$WORK/idle.err" &
PIDS+=("$!")
nsenter -t "$FAR" -n "$CLI" watch 10.98.0.1 --name Busy --subscribe 'Owner/*' >"$WORK/busy.out" 2>"$WORK/busy.err" &
PIDS+=("$!")
wait_for "$WORK/owner.out" '^subscriber present for Temp$' || fail "Busy did not subscribe"
wait_for "$WORK/observer.out" '^joined [0-9]+ Idle$' || fail "Idle did not register"
echo 1 >&3
wait_for "$WORK/busy.out" ' Owner/Temp 1$' || fail "Busy did not get the first value"

# The far machine goes dark. Values keep coming for Busy; nothing for Idle.
far ip link set v1 down
T0=$(date +%s%N)
declare -A GONE=()
for ((i = 0; i < 300 && ${#GONE[@]} < 2; i++)); do
  ((i % 5 == 0)) && echo $((i / 5 % 200 + 2)) >&3
  for who in Idle Busy; do
    if [ -z "${GONE[$who]:-}" ] && grep -qE "^left [0-9]+ $who\$" "$WORK/observer.out"; then
      GONE[$who]=$(( ($(date +%s%N) - T0) / 1000000 ))
    fi
  done
  sleep 0.05
done
[ -n "${GONE[Idle]:-}" ] || fail "the idle client was never noticed"
[ -n "${GONE[Busy]:-}" ] || fail "the client with values on the way was never noticed"
echo "gone after: idle ${GONE[Idle]} ms, busy ${GONE[Busy]} ms (keepalive 2+2x1 s, user timeout 4 s)"
# Not before the timers allow it, and not much after.
for who in Idle Busy; do
  ((GONE[$who] >= 2500 && GONE[$who] <= 9000)) || fail "$who gone after ${GONE[$who]} ms"
done
wait_for "$WORK/owner.out" '^no subscriber left for Temp$' || fail "the owner was not told"
grep -q 'Lost protocol sync' "$WORK/server.out" && fail "the server lost sync"
exec 3>&-
echo "passed"
