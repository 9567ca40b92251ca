#!/bin/bash
# The C++ examples as an outside program builds them: the library installed to
# a prefix of its own (components lib and dev), the examples built against it once
# through its CMake package and once through pkg-config, then run against the
# real server. The dashboard finds the server by broadcast, subscribes by
# pattern before the sensor's event exists and receives what the sensor
# publishes once somebody listens; the other way round, it finds an event
# already there. When the server is killed and started again, both come back
# by themselves: the sensor's event exists again and values flow.
set -u
. "$(dirname "$0")/cli_common.bash"
cli_setup "$@"
SRC="$(cd "$(dirname "$0")/../.." && pwd)"
PREFIX="$WORK/prefix"

for component in lib dev; do
  cmake --install "$BUILD" --prefix "$PREFIX" --component $component >>"$WORK/install.out" 2>&1 ||
    fail "installing the library ($component)"
done
cmake -S "$SRC/examples" -B "$WORK/by-cmake" -DCMAKE_PREFIX_PATH="$PREFIX" >"$WORK/cmake.out" 2>&1 &&
  cmake --build "$WORK/by-cmake" -j 2 >>"$WORK/cmake.out" 2>&1 ||
  fail "building the examples with find_package(toruna)"
PC="$(find "$PREFIX" -name toruna-client.pc)"
[ -n "$PC" ] || fail "no toruna-client.pc installed"
FLAGS="$(PKG_CONFIG_PATH="$(dirname "$PC")" pkg-config --cflags --libs toruna-client)" || fail "pkg-config"
mkdir -p "$WORK/by-pc"
# Programs built by hand find the shared library of a prefix of one's own this
# way; those of the CMake build carry its path.
export LD_LIBRARY_PATH="$(dirname "$PC")/.."
for p in sensor dashboard; do
  c++ -std=c++20 "$SRC/examples/$p.cpp" -o "$WORK/by-pc/$p" $FLAGS >>"$WORK/pc.out" 2>&1 ||
    fail "building $p with pkg-config"
done

start_server "Example Lab"
broadcast_net

# Dashboard first (found by broadcast), sensor second.
"$WORK/by-cmake/dashboard" --count 5 >"$WORK/dash1.out" 2>"$WORK/dash1.err" &
D=$!; PIDS+=("$D")
wait_for "$WORK/dash1.out" '^connected to Example Lab' || fail "the dashboard did not register"
grep -qx 'found Example Lab at 10.99.0.1 with 0 clients' "$WORK/dash1.out" || fail "not found by broadcast"
"$WORK/by-pc/sensor" 127.0.0.1 sensor 5 >"$WORK/sensor1.out" 2>"$WORK/sensor1.err" &
S=$!; PIDS+=("$S")
wait_exit $S 15 || fail "the sensor did not finish (status $?)"
wait_exit $D 5 || fail "the dashboard did not finish after five values (status $?)"
[ "$(grep -cE '^[0-9]{2}:[0-9]{2}:[0-9]{2} sensor/temperature [0-9]+ °C$' "$WORK/dash1.out")" -eq 5 ] ||
  fail "values missing"
[ "$(grep ' sensor/temperature ' "$WORK/dash1.out" | cut -d' ' -f3 | tr '\n' ' ')" = "20 21 22 23 24 " ] ||
  fail "values out of order"
grep -qx 'joined sensor' "$WORK/dash1.out" || fail "the dashboard did not see the sensor come"
grep -qx 'watching sensor/temperature' "$WORK/dash1.out" || fail "a later event was not subscribed"
grep -qx 'somebody listens to temperature' "$WORK/sensor1.out" || fail "the sensor was not told"
[ "$(grep -c '^published' "$WORK/sensor1.out")" -eq 5 ] || fail "the sensor did not publish five values"

# Sensor first: it waits, publishing nothing, until the dashboard comes.
"$WORK/by-cmake/sensor" 127.0.0.1 probe 3 >"$WORK/sensor2.out" 2>"$WORK/sensor2.err" &
S=$!; PIDS+=("$S")
wait_for "$WORK/sensor2.out" '^registered with Example Lab as probe$' || fail "the second sensor did not register"
sleep 1
grep -q '^published' "$WORK/sensor2.out" && fail "published while nobody listened"
"$WORK/by-pc/dashboard" --host 127.0.0.1 --pattern 'probe/*' --count 3 >"$WORK/dash2.out" 2>"$WORK/dash2.err" &
D=$!; PIDS+=("$D")
wait_exit $D 15 || fail "the second dashboard did not get three values (status $?)"
wait_exit $S 5 || fail "the second sensor did not finish (status $?)"
[ "$(grep ' probe/temperature ' "$WORK/dash2.out" | cut -d' ' -f3 | tr '\n' ' ')" = "20 21 22 " ] ||
  fail "values of an event that was there before"

# The server is killed under a sensor and a dashboard, and started again.
"$WORK/by-pc/sensor" 127.0.0.1 phoenix >"$WORK/sensor3.out" 2>"$WORK/sensor3.err" &
PIDS+=("$!")
"$WORK/by-cmake/dashboard" --host 127.0.0.1 --pattern 'phoenix/*' --count 6 >"$WORK/dash3.out" 2>"$WORK/dash3.err" &
D=$!; PIDS+=("$D")
wait_for "$WORK/dash3.out" ' phoenix/temperature 21 °C$' 10 || fail "no values before the restart"
{ kill -KILL $SERVER_PID; wait $SERVER_PID; } 2>/dev/null
wait_for "$WORK/dash3.out" '^down: the server on 127.0.0.1 (closed|reset) the connection; trying again in [0-9]+ ms$' ||
  fail "the dashboard did not say it is down"
wait_for "$WORK/sensor3.out" '^down: ' || fail "the sensor did not say it is down"
sleep 1
start_server "Example Lab"
wait_exit $D 20 || fail "the dashboard did not get six values across the restart (status $?)"
grep -qx 'back with Example Lab' "$WORK/dash3.out" || fail "the dashboard did not come back"
grep -qx 'back with Example Lab' "$WORK/sensor3.out" || fail "the sensor did not come back"
[ "$(grep -c '^watching phoenix/temperature$' "$WORK/dash3.out")" -eq 2 ] ||
  fail "the event was not subscribed again"
sed -n '/^back with/,$p' "$WORK/dash3.out" | grep -qE ' phoenix/temperature [0-9]+ °C$' ||
  fail "no values after the restart"
grep -qx 'phoenix registered.' "$WORK/server.out" || fail "the sensor did not register again"
# The sensor's event exists on the new server.
"$CLI" watch 127.0.0.1 --name Witness >"$WORK/witness.out" 2>"$WORK/witness.err" &
W=$!; PIDS+=("$W")
wait_for "$WORK/witness.out" '^server ' || fail "the witness did not register"
grep -qE '^event [0-9]+ phoenix/temperature unit=°C interval=500 max=60$' "$WORK/witness.out" ||
  fail "the sensor's event is not there again"
echo "passed"
