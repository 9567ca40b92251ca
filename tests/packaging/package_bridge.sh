#!/bin/bash
# The unpacked bridge at work, in a network namespace of its own: started as
# its unit starts it (ExecStart with the command line of the packaged settings
# file: the server and the broker on this machine), as an unprivileged user
# without capabilities, it bridges a value published on the unpacked server
# into mosquitto and leaves with status 0 on SIGTERM, saying offline. Its
# system calls, traced meanwhile, stay inside the unit's sandbox
# (sandbox_check.py). It prints the package's version.
set -u
HERE="$(cd "$(dirname "$0")" && pwd)"
. "$HERE/package_common.bash"
pkg_setup_running "$@"

BRIDGE="$ROOT/usr/bin/toruna-bridge"
[ "$("$BRIDGE" --version)" = "toruna-bridge $VERSION" ] || fail "bridge --version: $("$BRIDGE" --version)"

UNIT="$ROOT/usr/lib/systemd/system/toruna-bridge.service"
unit_value() { sed -n "s/^$1=//p" "$UNIT" | tail -1; }
SETTINGS="$ROOT$(unit_value EnvironmentFile)"
[ -f "$SETTINGS" ] || fail "no packaged settings file where the unit points: $(unit_value EnvironmentFile)"
ARGS="$(sed -n 's/^TORUNA_BRIDGE_ARGS=//p' "$SETTINGS")"
[ -n "$ARGS" ] || fail "the settings file sets no TORUNA_BRIDGE_ARGS"
EXEC="$(unit_value ExecStart)"
read -r -a COMMAND <<<"${EXEC//\$TORUNA_BRIDGE_ARGS/$ARGS}"
[ "${COMMAND[0]}" = /usr/bin/toruna-bridge ] || fail "ExecStart is $EXEC"

mkdir -p "$WORK/config"
printf '[Toruna]\nServername=Packaged Lab\n' >"$WORK/config/Velmor Software.conf"
XDG_CONFIG_HOME="$WORK/config" "$ROOT/usr/bin/toruna-server" --headless >"$WORK/server.out" 2>"$WORK/server.err" &
PIDS+=($!)
printf 'listener 1883 127.0.0.1\nallow_anonymous true\npersistence false\nuser root\n' >"$WORK/mosquitto.conf"
mosquitto -c "$WORK/mosquitto.conf" >"$WORK/broker.err" 2>&1 &
PIDS+=($!)
for ((i = 0; i < 100; i++)); do
  [ "$(ss -ltn 2>/dev/null | grep -cE ':(13131|1883) ')" -ge 2 ] && break
  sleep 0.05
done
mosquitto_sub -h 127.0.0.1 -v -t 'toruna/#' >"$WORK/sub.out" 2>"$WORK/sub.err" &
PIDS+=($!)

strace -f -qq -o "$WORK/trace" -- \
  setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all --bounding-set=-all --no-new-privs \
  "$ROOT${COMMAND[0]}" "${COMMAND[@]:1}" >"$WORK/bridge.out" 2>"$WORK/bridge.err" &
TRACER=$!
PIDS+=("$TRACER")
wait_line() {  # wait_line FILE REGEX
  for ((i = 0; i < 100; i++)); do
    grep -qE "$2" "$1" 2>/dev/null && return 0
    sleep 0.05
  done
  return 1
}
wait_line "$WORK/bridge.err" 'connected to the broker' || fail "the bridge did not reach the broker"
BRIDGE_PID="$(pgrep -P "$TRACER")"
[ -n "$BRIDGE_PID" ] || fail "the bridge is not running"
wait_line "$WORK/sub.out" '^toruna/Packaged Lab/status online$' || fail "no status online"
"$ROOT/usr/bin/toruna-cli" publish 127.0.0.1 --name Packer --event Load 7 >/dev/null 2>"$WORK/publish.err" ||
  fail "publish"
wait_line "$WORK/sub.out" '^toruna/Packaged Lab/Packer/Load 7$' || fail "the value did not reach the broker"

kill -TERM "$BRIDGE_PID"
wait "$TRACER"
STATUS=$?
[ $STATUS -eq 0 ] || fail "status $STATUS after SIGTERM"
wait_line "$WORK/sub.out" '^toruna/Packaged Lab/status offline$' || fail "no status offline after SIGTERM"
python3 "$HERE/sandbox_check.py" "$UNIT" "$WORK/trace" "$BRIDGE" >"$WORK/sandbox.out" ||
  fail "the bridge left the unit's sandbox"
head -1 "$WORK/sandbox.out"
echo "passed"
