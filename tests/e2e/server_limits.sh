#!/bin/bash
# toruna-server --headless against careless and hostile clients, in a network
# namespace of its own, with its limits set small so that each is reached fast:
# a log nobody reads, a log reader that goes away, one address flooding the log
# or discovery, signals, the end of the identifier counter, too many events,
# connections that never register, too many from one address, and a client
# burying an owner in subscription churn. Each time the others go on being served.
set -u
BUILD="$1"
HERE="$(cd "$(dirname "$0")" && pwd)"
BIN="${TORUNA_SERVER:-$BUILD/src/app/toruna-server}"
[ -x "$BIN" ] || { echo "missing $BIN"; exit 1; }
# A sanitizer build (unoptimised, instrumented, with shadow memory) gets a smaller
# storm, a longer bound on the steady pair's wait, and its memory is not judged.
SANITIZED=0
grep -q '^TORUNA_SANITIZE:BOOL=ON' "$BUILD/CMakeCache.txt" 2>/dev/null && SANITIZED=1

exec unshare -n bash -s "$BIN" "$HERE" "$SANITIZED" <<'INNER'
set -u
BIN="$1"; HERE="$2"; SANITIZED="$3"
ip link set lo up
WORK="$(mktemp -d)"
PID=
trap '[ -n "$PID" ] && kill -9 $PID 2>/dev/null; exec 3>&- 2>/dev/null; wait 2>/dev/null; rm -rf "$WORK"' EXIT
fail() { echo "FAILED: $*"; echo "--- stderr"; cat "$WORK/err"; echo "--- log (last lines)"; tail -5 "$WORK/out" 2>/dev/null; exit 1; }
# probe SCENARIO ARGS...: its output goes to standard output, which a caller may
# keep in a file; a failure is told on standard error with that output.
probe() {
  python3 "$HERE/server_limits.py" "$@" >"$WORK/probe.out"
  local status=$?
  cat "$WORK/probe.out"
  [ $status -eq 0 ] || fail "scenario $1: $(tail -3 "$WORK/probe.out")" >&2
}

# start OUTPUT SETTING...: the server with the settings given (key=value lines),
# its log to OUTPUT; listening when this returns.
start() {
  local output="$1"; shift
  { printf '[Toruna]\nServername=Limits Lab\n'; printf '%s\n' "$@"; } > "$WORK/Velmor Software.conf"
  XDG_CONFIG_HOME="$WORK" "$BIN" --headless >"$output" 2>"$WORK/err" &
  PID=$!
  for i in $(seq 100); do ss -ltn | grep -q ':13131 ' && return 0; sleep 0.05; done
  fail "the server did not start listening"
}
stop() {
  kill -TERM $PID
  local i
  for i in $(seq 40); do kill -0 $PID 2>/dev/null || break; sleep 0.05; done
  kill -0 $PID 2>/dev/null && fail "SIGTERM did not end the server within 2 s"
  wait $PID
  local status=$?
  PID=
  [ $status -eq 0 ] || fail "exit status $status after SIGTERM"
}
alive() { kill -0 $PID 2>/dev/null || fail "the server ended: $*"; }

# The log: a pipe nobody reads must not freeze the server (400 registrations
# write 90 KB of log, more than a pipe holds), nor a reader that goes away end it.
mkfifo "$WORK/fifo"
exec 3<>"$WORK/fifo"
start "$WORK/fifo" LogLinesPerSecond=0
probe log 400
alive "behind an unread log"
stop
exec 3>&-
start >(head -c 100 >/dev/null) LogLinesPerSecond=0
sleep 0.2
probe log 50
alive "after its log reader went away"
stop

# One address's log lines are limited; the rest is counted.
start "$WORK/out" LogLinesPerSecond=5
probe log-rate 200
sleep 1.5
LINES="$(grep -c '^connection received$' "$WORK/out")"
echo "FIGURE log-rate: $LINES of 200 'connection received' lines written"
[ "$LINES" -le 15 ] || fail "$LINES connection lines from one address"
grep -Eq '^[0-9]+ log lines caused by 127\.0\.0\.1 suppressed$' "$WORK/out" || fail "no count of suppressed lines"
stop

# Signals that would end it silently are logged and ignored.
start "$WORK/out"
for sig in HUP USR1 USR2 QUIT ALRM; do kill -$sig $PID; sleep 0.1; alive "after SIG$sig"; done
for sig in HUP USR1 USR2 QUIT ALRM; do
  grep -q "^SIG$sig received and ignored" "$WORK/out" || fail "no line for SIG$sig"
done
stop

# The end of the identifier counter.
TORUNA_TEST_LAST_ID=2147483600 start "$WORK/out"
probe ids 100
alive "past the counter's end"
stop

# Discovery: one flooding address cannot silence it for the others.
start "$WORK/out" DiscoveryRepliesPerSecond=20
probe discovery-flood 3
stop

# Events per client and in all.
start "$WORK/out" MaxEventsPerClient=50 MaxEvents=80
probe events 50 80
grep -q '^a closed: more than 50 events of its own$' "$WORK/out" || fail "no line for the limit per client"
grep -q '^b closed: more than 80 events in all$' "$WORK/out" || fail "no line for the total"
stop

# Connections that never register, and connections per address.
start "$WORK/out" RegistrationTimeout=1
probe silent 30 1
stop
start "$WORK/out" MaxConnectionsPerAddress=3
probe per-address 3
stop

# A newcomer is sent a large roster as it reads, with an Ethernet-sized MTU.
ip link set lo mtu 1500
start "$WORK/out" MaxEventsPerClient=100000
probe roster 60000 8000 400
stop
ip link set lo mtu 65536

# Subscribers that do not read: the budget for all unsent bytes, then the write
# deadline alone. Small kernel buffers, so that the bytes wait in the server.
sysctl -qw net.ipv4.tcp_wmem='4096 16384 65536'
start "$WORK/out" UnsentBudget=4194304 WriteDeadline=0 LogLinesPerSecond=0
probe slow-readers $PID 200 4 >"$WORK/fig"; cat "$WORK/fig"
grep -q ' 200 of 200 non-readers closed' "$WORK/fig" || fail "non-readers left open"
PEAK="$(sed -n 's/.*peak RSS \([0-9]*\)\..*/\1/p' "$WORK/fig")"
[ "$SANITIZED" = 1 ] || [ "$PEAK" -lt 64 ] || fail "peak RSS $PEAK MB"
grep -q 'closed: [0-9]* bytes unread when all connections together had more than 4194304 waiting$' "$WORK/out" ||
  fail "no line for the budget"
stop
start "$WORK/out" UnsentBudget=0 WriteDeadline=2 LogLinesPerSecond=0
probe slow-readers $PID 20 8 2000 >"$WORK/fig"; cat "$WORK/fig"
grep -q ' 20 of 20 non-readers closed' "$WORK/fig" || fail "non-readers left open"
grep -q '^silent[0-9]* closed: read nothing of [0-9]* waiting bytes for 2 s$' "$WORK/out" ||
  fail "no line for the write deadline"
stop

# Storms of joining and leaving: the relay between others goes on.
sysctl -qw net.ipv4.tcp_wmem='4096 16384 4194304'
ulimit -n 16384
start "$WORK/out"
if [ "$SANITIZED" = 1 ]; then probe storm 1000 2.0; else probe storm 3000 0.5; fi
stop

# Subscription churn against an owner that does not read (for longer than the
# write deadline in a slow build: what is judged here is the coalescing).
start "$WORK/out" WriteDeadline=0
probe churn 1000000
stop
echo "passed"
INNER
