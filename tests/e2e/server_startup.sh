#!/bin/bash
# Starting toruna-server: the options, the automatic headless mode without a
# display, a port that is taken, SIGINT, and the limit on open descriptors.
set -u
BUILD="$1"
HERE="$(cd "$(dirname "$0")" && pwd)"
BIN="$BUILD/src/app/toruna-server"
[ -x "$BIN" ] || { echo "missing $BIN"; exit 1; }

fail() { echo "FAILED: $*"; exit 1; }

"$BIN" --help | grep -q -- '--headless' || fail "--help"
"$BIN" --version | grep -q '^toruna-server ' || fail "--version"
"$BIN" --bogus >/dev/null 2>"/tmp/toruna-e2e-err.$$"; STATUS=$?
grep -q "unknown option '--bogus'" "/tmp/toruna-e2e-err.$$" || fail "unknown option text"
rm -f "/tmp/toruna-e2e-err.$$"
[ $STATUS -eq 2 ] || fail "unknown option status $STATUS"

exec unshare -n bash -s "$BIN" "$HERE" <<'INNER'
set -u
BIN="$1"; HERE="$2"
fail() { echo "FAILED: $*"; exit 1; }
ip link set lo up
WORK="$(mktemp -d)"
trap 'kill -9 $PID $HOLDER 2>/dev/null; wait 2>/dev/null; rm -rf "$WORK"' EXIT
PID=; HOLDER=

# No display and no option: the headless service, with a made-up name.
env -u DISPLAY -u WAYLAND_DISPLAY XDG_CONFIG_HOME="$WORK" "$BIN" >"$WORK/out" 2>"$WORK/err" &
PID=$!
REPLY="$(python3 "$HERE/server_client.py" discover)" || fail "no discovery without a display"
echo "$REPLY" | grep -Eq "^b'\*\*\*TestServer [0-9]{3}\\\\x000\\\\x00'$" || fail "made-up name: $REPLY"
python3 "$HERE/server_client.py" connect Gamma >/dev/null || fail "connect"
kill -INT $PID; wait $PID; STATUS=$?
[ $STATUS -eq 0 ] || fail "status $STATUS after SIGINT"
grep -qx 'Gamma registered.' "$WORK/out" || fail "log: $(cat "$WORK/out")"

# UDP 9666 taken by somebody else: said once on standard error, clients still served.
python3 -c 'import socket,time; s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM); s.bind(("0.0.0.0",9666)); time.sleep(60)' &
HOLDER=$!
# The holder must have the port before the server starts (Python may start slowly).
for i in $(seq 100); do [ -n "$(ss -Hlun 'sport = :9666')" ] && break; sleep 0.05; done
[ -n "$(ss -Hlun 'sport = :9666')" ] || fail "the holder did not take UDP 9666"
env -u DISPLAY -u WAYLAND_DISPLAY XDG_CONFIG_HOME="$WORK" "$BIN" >"$WORK/out" 2>"$WORK/err" &
PID=$!
for i in $(seq 50); do python3 "$HERE/server_client.py" connect Delta >/dev/null 2>&1 && break; sleep 0.1; done
grep -qx 'Delta registered.' "$WORK/out" || fail "no client served while discovery is off"
[ "$(grep -c 'port 9666 is in use' "$WORK/err")" -eq 1 ] || fail "stderr: $(cat "$WORK/err")"
kill -TERM $PID; wait $PID; STATUS=$?
[ $STATUS -eq 0 ] || fail "status $STATUS"
kill $HOLDER; wait $HOLDER 2>/dev/null; HOLDER=

# The soft limit on open files is raised to the hard one; a hard limit that leaves
# room for fewer than 10000 clients is said once on standard error.
run_limited() {  # soft:hard
  prlimit --nofile="$1" env -u DISPLAY -u WAYLAND_DISPLAY XDG_CONFIG_HOME="$WORK" "$BIN" \
    >"$WORK/out" 2>"$WORK/err" &
  PID=$!
  python3 "$HERE/server_client.py" discover >/dev/null || fail "no discovery with limit $1"
  LIMITS="$(awk '/^Max open files/ {print $4, $5}' /proc/$PID/limits)"
  kill -TERM $PID; wait $PID; STATUS=$?
  [ $STATUS -eq 0 ] || fail "status $STATUS with limit $1"
}
run_limited 1024:4096
[ "$LIMITS" = "4096 4096" ] || fail "limits $LIMITS, not 4096 4096"
[ "$(grep -c 'clients can connect at once' "$WORK/err")" -eq 1 ] || fail "stderr: $(cat "$WORK/err")"
grep -q 'no more than 4096 files' "$WORK/err" || fail "stderr: $(cat "$WORK/err")"
LARGE="$(ulimit -Hn)"
if [ "$LARGE" = unlimited ] || [ "$LARGE" -lt 10032 ]; then LARGE=65536; fi
run_limited "1024:$LARGE"
[ "$LIMITS" = "$LARGE $LARGE" ] || fail "limits $LIMITS, not $LARGE $LARGE"
grep -q 'clients can connect' "$WORK/err" && fail "stderr: $(cat "$WORK/err")"
echo "passed"
INNER
