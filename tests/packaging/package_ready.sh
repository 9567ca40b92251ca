#!/bin/bash
# The unpacked server run as its unit runs it (the unit's command line and
# settings folder), in a network namespace of its own with a second address:
# it takes the host's name; while other programs hold its ports it says so,
# is not ready and tries again, and is ready (sd_notify, to a socket standing in
# for systemd's) and serving within 2 s of their release; SIGHUP leaves it
# running with a line; a connection or discovery request from an address
# outside its default AllowFrom is refused, one from loopback served; a settings
# file it cannot read is named on standard error.
set -u
HERE="$(cd "$(dirname "$0")" && pwd)"
. "$HERE/package_common.bash"
pkg_setup_running "$@"
ip addr add 192.0.2.1/32 dev lo  # documentation range: neither loopback nor private

UNIT="$ROOT/usr/lib/systemd/system/toruna.service"
unit_value() { sed -n "s/^$1=//p" "$UNIT" | tail -1; }
read -r -a COMMAND <<<"$(unit_value ExecStart)"
ENVIRONMENT="$(unit_value Environment)"
CONFIG="$ROOT${ENVIRONMENT#XDG_CONFIG_HOME=}"
SERVER=("$ROOT${COMMAND[0]}" "${COMMAND[@]:1}")
CLI="$ROOT/usr/bin/toruna-cli"
CLIENT="$SOURCE/tests/e2e/server_client.py"

# Ask for a server's name from SOURCE: "name", or nothing when unanswered.
ask() {  # ask SOURCE
  python3 - "$1" <<'PY'
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind((sys.argv[1], 0))
s.settimeout(1)
s.sendto(b"?%d!" % s.getsockname()[1], (sys.argv[1], 9666))
try:
    print(s.recv(2048)[3:].split(b"\0")[0].decode())
except socket.timeout:
    pass
PY
}

# Ports held by another program when the service starts.
python3 -c 'import socket,time
t = socket.socket(); t.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1); t.bind(("0.0.0.0", 13131)); t.listen()
u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); u.bind(("0.0.0.0", 9666))
time.sleep(60)' &
HOLDER=$!
PIDS+=($HOLDER)
for ((i = 0; i < 100; i++)); do ss -ltn | grep -q ':13131 ' && ss -lun | grep -q ':9666 ' && break; sleep 0.05; done
python3 -c 'import os, socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM); s.bind(sys.argv[1]); os.chmod(sys.argv[1], 0o777)
while True:
    with open(sys.argv[2], "ab") as out: out.write(s.recv(4096) + b"\n")' "$WORK/notify" "$WORK/notify.out" &
PIDS+=($!)
for ((i = 0; i < 100; i++)); do [ -S "$WORK/notify" ] && break; sleep 0.05; done

NOTIFY_SOCKET="$WORK/notify" XDG_CONFIG_HOME="$CONFIG" \
  setpriv --reuid=65534 --regid=65534 --clear-groups "${SERVER[@]}" >"$WORK/server.out" 2>"$WORK/server.err" &
SERVER_PID=$!
PIDS+=($SERVER_PID)
sleep 1.5
kill -0 $SERVER_PID 2>/dev/null || fail "the server ended while its ports were held"
grep -q '^STATUS=Waiting for TCP port 13131' "$WORK/notify.out" || fail "no status while waiting"
grep -q '^READY=1' "$WORK/notify.out" && fail "ready while both ports are held"
[ "$(grep -c 'could not be opened (port 9666 is in use); trying again every second' "$WORK/server.err")" -eq 1 ] ||
  fail "UDP 9666 held: $(cat "$WORK/server.err")"
[ "$(grep -c 'could not be opened (port 13131 is in use); trying again every second' "$WORK/server.err")" -eq 1 ] ||
  fail "TCP 13131 held"
HOST="$(hostname)"
grep -qx "toruna-server: running headless as \"$HOST\"; systemctl stop toruna stops it" "$WORK/server.err" ||
  fail "start-up line: $(tail -1 "$WORK/server.err")"

kill $HOLDER; wait $HOLDER 2>/dev/null
RELEASED=$(date +%s%N)
for ((i = 0; i < 40; i++)); do grep -q '^READY=1' "$WORK/notify.out" && break; sleep 0.05; done
READY_MS=$(( ($(date +%s%N) - RELEASED) / 1000000 ))
grep -q '^READY=1' "$WORK/notify.out" || fail "not ready 2 s after the ports were released"
echo "ready ${READY_MS} ms after the ports were released"
grep -qx 'TCP port 13131 is open now: clients can connect' "$WORK/server.out" || fail "no line for TCP 13131"
grep -qx 'UDP port 9666 is open now: discovery is on' "$WORK/server.out" || fail "no line for UDP 9666"

# Named after the host, answering loopback; serving it too.
[ "$(ask 127.0.0.1)" = "$HOST" ] || fail "discovery from loopback: '$(ask 127.0.0.1)', not '$HOST'"
"$CLI" publish 127.0.0.1 --name Inside --event E --always 1 >"$WORK/inside.out" 2>&1 || fail "loopback not served"
for ((i = 0; i < 40; i++)); do grep -q '^STATUS=Serving' "$WORK/notify.out" && break; sleep 0.05; done
grep -q '^STATUS=Serving [0-9]* clients\? as "'"$HOST"'"' "$WORK/notify.out" || fail "status: $(cat "$WORK/notify.out")"

# From outside the default AllowFrom: refused, with one line for two tries.
[ -z "$(ask 192.0.2.1)" ] || fail "discovery from 192.0.2.1 was answered"
for try in 1 2; do
  python3 - <<'PY' || fail "connection from 192.0.2.1 not closed"
import socket
s = socket.socket()
s.bind(("192.0.2.1", 0))
s.settimeout(2)
s.connect(("192.0.2.1", 13131))
try:
    assert s.recv(100) == b""
except ConnectionResetError:
    pass
PY
done
sleep 0.2
[ "$(grep -c '^connection from 192.0.2.1 refused: not in AllowFrom$' "$WORK/server.out")" -eq 1 ] ||
  fail "refusal lines: $(grep refused "$WORK/server.out")"
grep -qx 'discovery request from 192.0.2.1 refused: not in AllowFrom' "$WORK/server.out" || fail "no discovery refusal line"
grep -q 'Inside registered' "$WORK/server.out" || fail "the loopback client was not registered"

# A hang-up is logged and changes nothing.
kill -HUP $SERVER_PID
sleep 0.3
kill -0 $SERVER_PID 2>/dev/null || fail "SIGHUP ended the server"
grep -q '^SIGHUP received and ignored' "$WORK/server.out" || fail "no line for SIGHUP"
kill -TERM $SERVER_PID; wait $SERVER_PID; STATUS=$?
[ $STATUS -eq 0 ] || fail "status $STATUS after SIGTERM"
grep -q '^STOPPING=1' "$WORK/notify.out" || fail "systemd was not told of the stop"

# A settings file the service cannot read: named, with the reason, on standard error.
chmod 000 "$CONFIG/Velmor Software.conf"
XDG_CONFIG_HOME="$CONFIG" setpriv --reuid=65534 --regid=65534 --clear-groups "${SERVER[@]}" \
  >"$WORK/server.out" 2>"$WORK/server.err" &
SERVER_PID=$!
PIDS+=($SERVER_PID)
for ((i = 0; i < 200; i++)); do grep -q 'cannot be read' "$WORK/server.err" && break; sleep 0.05; done
grep -qx "toruna-server: the settings file \"$CONFIG/Velmor Software.conf\" cannot be read: Permission denied" \
  "$WORK/server.err" || fail "unreadable settings: $(cat "$WORK/server.err")"
kill -TERM $SERVER_PID; wait $SERVER_PID
echo "passed"
