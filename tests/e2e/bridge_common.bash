# Shared by the bridge_*.sh end-to-end scripts (sourced after cli_common.bash):
# a broker of the test's own inside the namespace, the bridge, and MQTT
# subscribers that write what they get to files. Every wait is bounded.

bridge_setup() {
  BRIDGE="$BUILD/tools/bridge/toruna-bridge"
  [ -x "$BRIDGE" ] || { echo "missing $BRIDGE"; exit 1; }
  command -v mosquitto >/dev/null || { echo "mosquitto is not installed"; exit 1; }
  command -v mosquitto_sub >/dev/null || { echo "mosquitto-clients is not installed"; exit 1; }
}

# start_broker [EXTRA CONFIG LINES...]: mosquitto on 127.0.0.1:1883, nothing
# kept on disk, so that a restart forgets every retained message.
start_broker() {
  {
    echo "listener 1883 127.0.0.1"
    echo "allow_anonymous true"
    echo "persistence false"
    # Run as root (a test's namespace), it would drop to a user that cannot
    # read the test's files.
    echo "user root"
    local line
    for line in "$@"; do echo "$line"; done
  } >"$WORK/mosquitto.conf"
  mosquitto -c "$WORK/mosquitto.conf" >>"$WORK/broker.err" 2>&1 &
  BROKER_PID=$!
  PIDS+=("$BROKER_PID")
  wait_port "${BROKER_PORT:-1883}" || fail "the broker did not start listening"
}

stop_broker() {
  kill "$BROKER_PID" 2>/dev/null
  wait_exit "$BROKER_PID" || fail "the broker did not stop"
}

# wait_port PORT: until something listens on the TCP port.
wait_port() {
  local i
  for ((i = 0; i < 100; i++)); do
    ss -ltn 2>/dev/null | grep -q ":$1 " && return 0
    sleep 0.05
  done
  return 1
}

# start_bridge NAME ARGS...: the bridge with its messages in NAME.err; waits
# until it has both sides.
start_bridge() {
  local name="$1"
  shift
  "$BRIDGE" "$@" >"$WORK/$name.out" 2>"$WORK/$name.err" &
  BRIDGE_PID=$!
  PIDS+=("$BRIDGE_PID")
  wait_for "$WORK/$name.err" 'connected to the broker' || fail "$name did not reach the broker"
}

# start_nats NODES: NATS with its MQTT gateway, one server or a cluster of
# NODES, with JetStream (which the gateway needs), nothing kept beyond the
# test; node i takes MQTT on port 1882+i of every address of the namespace.
# Returns once every node has taken a QoS 1 message.
start_nats() {
  command -v nats-server >/dev/null || { echo "nats-server is not installed"; exit 1; }
  local n="$1" i k routes=""
  for ((i = 1; i <= n; i++)); do routes+="${routes:+, }nats-route://127.0.0.1:$((6221 + i))"; done
  for ((i = 1; i <= n; i++)); do
    {
      echo "server_name: n$i"
      echo "listen: 127.0.0.1:$((4221 + i))"
      echo "jetstream { store_dir: \"$WORK/js$i\" }"
      [ "$n" -gt 1 ] && echo "cluster { name: toruna, listen: 127.0.0.1:$((6221 + i)), routes: [$routes] }"
      echo "mqtt { listen: 0.0.0.0:$((1882 + i)) }"
    } >"$WORK/nats$i.conf"
    nats-server -c "$WORK/nats$i.conf" >"$WORK/nats$i.log" 2>&1 &
    PIDS+=($!)
  done
  for ((i = 1; i <= n; i++)); do
    for ((k = 0; k < 150; k++)); do
      mosquitto_pub -h 127.0.0.1 -p $((1882 + i)) -q 1 -t probe/nats -m up 2>/dev/null && break
      sleep 0.1
    done
    [ "$k" -lt 150 ] || fail "NATS node $i took no MQTT message"
  done
}

# subscribe NAME FILTER...: mosquitto_sub (QoS 1, on MQTT_PORT or 1883) writing "RETAINED TOPIC
# PAYLOAD" lines to NAME.txt, RETAINED 1 for what the broker held. It returns
# once subscribed, and then the retained messages are in the file already:
# it also subscribes to probe/NAME and waits for a probe there, which the
# broker sends after everything the subscription brought.
subscribe() {
  local name="$1" f args=(-t "probe/$1")
  shift
  for f in "$@"; do args+=(-t "$f"); done
  mosquitto_sub -h 127.0.0.1 -p "${MQTT_PORT:-1883}" -q 1 -F '%r %t %p' "${args[@]}" >"$WORK/$name.txt" \
    2>"$WORK/$name.err" &
  PIDS+=($!)
  local i
  for ((i = 0; i < 100; i++)); do
    mosquitto_pub -h 127.0.0.1 -p "${MQTT_PORT:-1883}" -t "probe/$name" -m up 2>/dev/null
    grep -q "^0 probe/$name up" "$WORK/$name.txt" 2>/dev/null && return 0
    sleep 0.05
  done
  fail "subscriber $name did not start"
}

# fail MESSAGE: as in cli_common.bash, and the end of what each subscriber got.
fail() {
  echo "FAILED: $*"
  local f
  for f in "$WORK"/*.out "$WORK"/*.err "$WORK"/*.txt; do
    [ -f "$f" ] && { echo "--- $(basename "$f")"; tail -n 40 "$f"; }
  done
  exit 1
}

# wait_for_count FILE REGEX N [SECONDS]: until N lines of FILE match.
wait_for_count() {
  local file="$1" re="$2" n="$3" limit="${4:-5}" i
  for ((i = 0; i < limit * 20; i++)); do
    [ "$(grep -cE -- "$re" "$file" 2>/dev/null)" -ge "$n" ] && return 0
    sleep 0.05
  done
  return 1
}
