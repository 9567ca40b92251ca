#!/bin/bash
# The server's events in MQTT: values in order on the documented topics (names
# escaped), each event's meta retained while it exists and cleared when it is
# removed or its owner leaves, only the events the patterns select, Home
# Assistant configs alongside that stay (unavailable) when the owner leaves,
# status online, and a burst passed on whole.
set -u
. "$(dirname "$0")/cli_common.bash"
. "$(dirname "$0")/bridge_common.bash"
cli_setup "$@"
bridge_setup
start_server "Lab Ä/1"
start_broker
B='toruna/Lab Ä%2F1'   # the server's name as a topic level

subscribe live 'toruna/#' 'homeassistant/#'
start_bridge bridge 127.0.0.1 --subscribe 'Wärme*' --subscribe 'Py*' --homeassistant
wait_for "$WORK/live.txt" "^0 $B/status online\$" || fail "no status online"

# A client that stays, and removes its event when told to.
mkfifo "$WORK/py.ctl"
PYTHONPATH="$(dirname "$0")/../../clients/python" python3 - "$WORK/py.ctl" >"$WORK/py.out" 2>"$WORK/py.err" <<'PY' &
import asyncio, sys, toruna
async def main() -> None:
    ctl = open(sys.argv[1])
    async with toruna.connect("127.0.0.1", name="Py") as c:
        ev = await c.create_event("Level", unit="l", interval=500, maximum=90)
        await ev.wait_for_subscriber(timeout=10)
        await ev.publish(7)
        print("published", flush=True)
        await asyncio.get_running_loop().run_in_executor(None, ctl.readline)
        await ev.remove()
        print("removed", flush=True)
        await asyncio.get_running_loop().run_in_executor(None, ctl.readline)
asyncio.run(main())
PY
PY_PID=$!; PIDS+=("$PY_PID")
exec 3>"$WORK/py.ctl"

# Names with what MQTT reserves, a dot and a blank; an event the patterns leave out.
"$CLI" publish 127.0.0.1 --name 'Wärme+1' --event 'Küche/#' --unit '°C' 3 1 4 1 5 >/dev/null 2>"$WORK/pub.err" ||
  fail "publish: status $?"
"$CLI" publish 127.0.0.1 --name Other --event Hidden --always 9 >/dev/null 2>&1 || fail "publish Other"
T="$B/Wärme%2B1/Küche%2F%23"
wait_for "$WORK/live.txt" "^0 $T/meta \$" || fail "meta not cleared when the owner left"
[ "$(grep "^0 $T [0-9]*\$" "$WORK/live.txt" | awk '{ print $NF }' | tr '\n' ' ')" = "3 1 4 1 5 " ] ||
  fail "values not 3 1 4 1 5"
grep -q "^0 $T/meta {\"id\":[0-9]*,\"name\":\"Küche/#\",\"unit\":\"°C\",\"interval\":0,\"max\":255,\"owner\":\"Wärme+1\",\"owner_id\":[0-9]*}\$" \
  "$WORK/live.txt" || fail "no meta for Küche/#"
# The meta came before the first value.
grep "^0 $T" "$WORK/live.txt" | head -1 | grep -q "^0 $T/meta {" || fail "a value before the meta"
grep -q 'Hidden' "$WORK/live.txt" && fail "an event the patterns leave out was bridged"
grep -q "^0 homeassistant/sensor/toruna_lab_1/toruna_lab_1_w_rme_1_k_che_[0-9a-f]*/config {.*\"state_topic\":\"$T\".*\"unit_of_measurement\":\"°C\"" \
  "$WORK/live.txt" || fail "no Home Assistant config"
# The owner left: its entity stays, unavailable.
grep -q "^0 homeassistant/sensor/toruna_lab_1/toruna_lab_1_w_rme_1_k_che_[0-9a-f]*/config \$" "$WORK/live.txt" &&
  fail "Home Assistant config cleared when the owner left"
grep -q "^0 $T/available offline\$" "$WORK/live.txt" || fail "no availability offline when the owner left"
"$CLI" publish 127.0.0.1 --name 'Py.2 x' --event 'Wärme.Level' 6 >/dev/null 2>&1 || fail "publish Py.2 x"
wait_for "$WORK/live.txt" "^0 $B/Py.2 x/Wärme.Level 6\$" || fail "a name with a dot and a blank"

# What a subscriber that comes later finds: the status and the meta of the
# event that exists, retained; nothing of the one that has gone.
wait_for "$WORK/py.out" '^published$' || fail "Py did not publish"
wait_for "$WORK/live.txt" "^0 $B/Py/Level 7\$" || fail "Py's value missing"
subscribe late 'toruna/#'
grep -q "^1 $B/status online\$" "$WORK/late.txt" || fail "status not retained"
grep -q "^1 $B/Py/Level/meta {\"id\":[0-9]*,\"name\":\"Level\",\"unit\":\"l\",\"interval\":500,\"max\":90,\"owner\":\"Py\",\"owner_id\":[0-9]*}\$" \
  "$WORK/late.txt" || fail "meta not retained"
grep -q "Küche.*/meta" "$WORK/late.txt" && fail "the meta of a departed owner's event is still retained"
grep -q "^1 $B/Py/Level 7\$" "$WORK/late.txt" || fail "a value not retained with --homeassistant"

echo remove >&3
wait_for "$WORK/live.txt" "^0 $B/Py/Level/meta \$" || fail "meta not cleared when the event was removed"
subscribe later 'toruna/#'
grep -q "Py/Level/meta" "$WORK/later.txt" && fail "the meta of a removed event is still retained"
grep -q "^1 $B/Py/Level/available offline\$" "$WORK/later.txt" || fail "a removed event not unavailable"

# A burst: 2000 values as fast as the publisher can hand them over.
seq 0 1999 | awk '{ print $1 % 256 }' >"$WORK/values"
"$CLI" publish 127.0.0.1 --name Wärme2 --event Burst <"$WORK/values" >/dev/null 2>"$WORK/burst.err" ||
  fail "burst publish: status $?"
wait_for "$WORK/live.txt" "^0 $B/Wärme2/Burst/meta \$" 10 || fail "burst: the owner's departure not seen"
grep "^0 $B/Wärme2/Burst [0-9]*\$" "$WORK/live.txt" | awk '{ print $NF }' >"$WORK/got"
cmp -s "$WORK/values" "$WORK/got" || fail "burst: $(wc -l <"$WORK/got") of 2000 values, or out of order"

echo leave >&3
exec 3>&-
wait_exit "$PY_PID" || fail "Py did not finish"
kill -TERM "$BRIDGE_PID"
wait_exit "$BRIDGE_PID" || fail "the bridge did not exit 0 on SIGTERM (status $?)"
wait_for "$WORK/live.txt" "^0 $B/status offline\$" || fail "no status offline after SIGTERM"
echo "passed"
