#!/bin/bash
# toruna-server --headless under connection pressure, in a network namespace of its
# own: 1000 clients connecting at the same moment all register; at its descriptor
# limit the server goes on relaying, waits without using CPU, and takes the
# connections waiting in its queue, none of them reset, as descriptors come free.
# Each server gets its descriptor limit (soft and hard) from prlimit.
set -u
BUILD="$1"
HERE="$(cd "$(dirname "$0")" && pwd)"
BIN="$BUILD/src/app/toruna-server"
[ -x "$BIN" ] || { echo "missing $BIN"; exit 1; }
# The bound on the burst guards against hanging; a sanitizer build (unoptimised,
# instrumented) does the same work several times slower.
BOUND=10
grep -q '^TORUNA_SANITIZE:BOOL=ON' "$BUILD/CMakeCache.txt" 2>/dev/null && BOUND=30

exec unshare -n bash -s "$BIN" "$HERE" "$BOUND" <<'INNER'
set -u
BIN="$1"; HERE="$2"; BOUND="$3"
ip link set lo up
WORK="$(mktemp -d)"
PID=
trap '[ -n "$PID" ] && kill -9 $PID 2>/dev/null; wait 2>/dev/null; rm -rf "$WORK"' EXIT
# Every line of the burst is counted: no limit on the lines one address causes.
printf '[Toruna]\nServername=Load Lab\nLogLinesPerSecond=0\n' > "$WORK/Velmor Software.conf"
fail() { echo "FAILED: $*"; echo "--- stderr"; cat "$WORK/err"; exit 1; }

# start LIMIT: the server with LIMIT descriptors, listening when this returns.
start() {
  XDG_CONFIG_HOME="$WORK" prlimit --nofile="$1:$1" "$BIN" --headless >"$WORK/out" 2>"$WORK/err" &
  PID=$!
  for i in $(seq 100); do ss -ltn | grep -q ':13131 ' && return 0; sleep 0.05; done
  fail "the server did not start listening"
}
stop() {
  kill -TERM $PID
  wait $PID
  local status=$?
  PID=
  [ $status -eq 0 ] || fail "exit status $status after SIGTERM"
}

# A burst: the listener queues as many connections as the system allows (ss shows
# a listener's backlog as its Send-Q), and every one of 1000 clients registers.
start 4096
BACKLOG="$(ss -ltn 'sport = :13131' | awk 'NR == 2 { print $3 }')"
[ "$BACKLOG" = "$(cat /proc/sys/net/core/somaxconn)" ] || fail "listen backlog $BACKLOG"
prlimit --nofile=4096:4096 python3 "$HERE/server_client.py" burst 1000 "$BOUND" || fail "burst"
[ "$(grep -c '^connection received$' "$WORK/out")" -eq 1000 ] || fail "connection lines"
[ "$(grep -c '^burst[0-9]* registered\.$' "$WORK/out")" -eq 1000 ] || fail "registration lines"
stop

# Descriptor exhaustion: a limit of 48 leaves room for a few dozen clients, as many
# as the server said at start.
start 48
SAID="$(sed -n 's/.*only about \([0-9]*\) clients can connect at once.*/\1/p' "$WORK/err")"
python3 "$HERE/server_client.py" exhaust "$PID" >"$WORK/exhaust"; STATUS=$?
cat "$WORK/exhaust"
[ $STATUS -eq 0 ] || fail "descriptor exhaustion"
GOT="$(sed -n 's/^\([0-9]*\) clients registered at the limit.*/\1/p' "$WORK/exhaust")"
[ -n "$SAID" ] && [ "$SAID" = "$GOT" ] || fail "the server said about '$SAID' clients; $GOT registered"
stop
echo "passed"
INNER
