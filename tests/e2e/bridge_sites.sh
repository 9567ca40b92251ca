#!/bin/bash
# Two sites in one topic tree: servers "Site A" and "Site B", each in a network
# namespace of its own (joined by a veth pair), each with its bridge into a
# different node of a NATS cluster of three (JetStream, MQTT on every node).
# A subscriber on the third node sees both sites' values, each under its
# server's name, and a value published there to Site B's set topic reaches
# Site B's server, and not Site A's.
set -u
. "$(dirname "$0")/cli_common.bash"
. "$(dirname "$0")/bridge_common.bash"
cli_setup "$@"
bridge_setup
start_nats 3
start_server "Site A"

# Site B: its own namespace, at 10.77.0.2, reaching the brokers at 10.77.0.1.
unshare -n sleep 600 &
NSB=$!; PIDS+=("$NSB")
sleep 0.2
ip link add sa type veth peer name sb || fail "no veth pair"
ip link set sb netns "$NSB"
ip addr add 10.77.0.1/24 dev sa
ip link set sa up
in_b() { nsenter -t "$NSB" -n "$@"; }
in_b sh -c 'ip link set lo up && ip addr add 10.77.0.2/24 dev sb && ip link set sb up' || fail "site B's network"
mkdir -p "$WORK/b"
printf '[Toruna]\nServername=Site B\n' >"$WORK/b/Velmor Software.conf"
# nsenter, not in_b: $! must be the server itself, which the clean-up kills.
XDG_CONFIG_HOME="$WORK/b" nsenter -t "$NSB" -n "$SERVER" --headless >"$WORK/serverB.out" 2>"$WORK/serverB.err" &
PIDS+=($!)
for ((i = 0; i < 100; i++)); do in_b ss -ltn | grep -q ':13131 ' && break; sleep 0.05; done
[ "$i" -lt 100 ] || fail "site B's server did not start"

MQTT_PORT=1885 subscribe live 'toruna/#'
start_bridge bridgeA 127.0.0.1 --broker 127.0.0.1:1883 --broker-profile nats --accept-set --client-id site-a
in_b "$BRIDGE" 127.0.0.1 --broker 10.77.0.1:1884 --broker-profile nats --accept-set --client-id site-b \
  >"$WORK/bridgeB.out" 2>"$WORK/bridgeB.err" &
PIDS+=($!)
wait_for "$WORK/bridgeB.err" 'connected to the broker at 10.77.0.1:1884' 10 || fail "site B's bridge did not reach the broker"
wait_for "$WORK/live.txt" '^[01] toruna/Site%20A/status online$' 10 || fail "site A not online"
wait_for "$WORK/live.txt" '^[01] toruna/Site%20B/status online$' 10 || fail "site B not online"

"$CLI" publish 127.0.0.1 --name Kitchen --event Temp 1 2 3 >/dev/null 2>&1 || fail "publish at site A"
in_b "$CLI" publish 127.0.0.1 --name Kitchen --event Temp 4 5 6 >/dev/null 2>&1 || fail "publish at site B"
values() { grep "^0 toruna/$1/Kitchen/Temp [0-9]*\$" "$WORK/live.txt" | awk '{ print $NF }' | tr '\n' ' '; }
wait_for "$WORK/live.txt" '^0 toruna/Site%20B/Kitchen/Temp 6$' 10 || fail "site B's values did not arrive"
[ "$(values Site%20A)" = "1 2 3 " ] || fail "site A's values: '$(values Site%20A)'"
[ "$(values Site%20B)" = "4 5 6 " ] || fail "site B's values: '$(values Site%20B)'"

# Back in: a value for Site B's pump, published at the third node.
"$CLI" watch 127.0.0.1 --name WatchA --subscribe 'bridge/*' >"$WORK/watchA.out" 2>&1 &
PIDS+=($!)
nsenter -t "$NSB" -n "$CLI" watch 127.0.0.1 --name WatchB --subscribe 'bridge/*' >"$WORK/watchB.out" 2>&1 &
PIDS+=($!)
wait_for "$WORK/watchA.out" '^server ' || fail "site A's watcher did not register"
wait_for "$WORK/watchB.out" '^server ' || fail "site B's watcher did not register"
mosquitto_pub -h 127.0.0.1 -p 1885 -q 1 -t 'toruna/Site%20B/bridge/Pump/set' -m 42 || fail "mosquitto_pub"
wait_for "$WORK/watchB.out" ' bridge/Pump 42$' 10 || fail "the set did not reach site B"
wait_for "$WORK/live.txt" '^0 toruna/Site%20B/bridge/Pump 42$' || fail "site B's pump not echoed"
grep -q 'Pump' "$WORK/watchA.out" && fail "site B's set reached site A"
echo "two sites through a NATS cluster of 3: A $(values Site%20A)/ B $(values Site%20B)at node 3; set 42 at site B"
echo "passed"
