#!/bin/bash
# The unpacked package at work, in a network namespace of its own: its server,
# started as its unit starts it (ExecStart, Environment and LimitNOFILE read
# from the unit, paths moved into the unpacked tree) as an unprivileged user
# without capabilities, reads the packaged settings file and answers its own
# toruna-cli's discovery and publication on 127.0.0.1. Both programs print the
# package's version. The server's system calls, traced meanwhile, stay inside
# the unit's sandbox (sandbox_check.py), so systemd will not stop it there.
set -u
HERE="$(cd "$(dirname "$0")" && pwd)"
. "$HERE/package_common.bash"
pkg_setup_running "$@"

SERVER="$ROOT/usr/bin/toruna-server"
CLI="$ROOT/usr/bin/toruna-cli"
[ "$("$SERVER" --version)" = "toruna-server $VERSION" ] || fail "server --version: $("$SERVER" --version)"
[ "$("$CLI" --version)" = "toruna-cli $VERSION" ] || fail "cli --version: $("$CLI" --version)"

UNIT="$ROOT/usr/lib/systemd/system/toruna.service"
unit_value() { sed -n "s/^$1=//p" "$UNIT" | tail -1; }
read -r -a COMMAND <<<"$(unit_value ExecStart)"
ENVIRONMENT="$(unit_value Environment)"
CONFIG="$ROOT${ENVIRONMENT#XDG_CONFIG_HOME=}"
[ "${ENVIRONMENT%%=*}" = XDG_CONFIG_HOME ] || fail "the unit sets $ENVIRONMENT, not XDG_CONFIG_HOME"
[ -f "$CONFIG/Velmor Software.conf" ] || fail "no packaged settings file where the unit points: $ENVIRONMENT"
# The packaged file names no server; name one as an administrator would.
sed -i 's/^#Servername=.*/Servername=  Packaged Lab  /' "$CONFIG/Velmor Software.conf"
grep -q '^Servername=' "$CONFIG/Velmor Software.conf" || fail "no Servername line to uncomment"

# The unit's descriptor limit, where this machine lets it be raised so far.
ulimit -n "$(unit_value LimitNOFILE)" 2>/dev/null ||
  echo "note: LimitNOFILE=$(unit_value LimitNOFILE) not applied (hard limit here $(ulimit -Hn))"
XDG_CONFIG_HOME="$CONFIG" strace -f -qq -o "$WORK/trace" -- \
  setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all --bounding-set=-all --no-new-privs \
  "$ROOT${COMMAND[0]}" "${COMMAND[@]:1}" >"$WORK/server.out" 2>"$WORK/server.err" &
TRACER=$!
PIDS+=("$TRACER")
for ((i = 0; i < 100; i++)); do
  ss -ltn 2>/dev/null | grep -q ':13131 ' && break
  sleep 0.05
done
# setpriv became the server: the tracer's one child.
SERVER_PID="$(pgrep -P "$TRACER")"
[ -n "$SERVER_PID" ] || fail "the server is not running"
PIDS+=("$SERVER_PID")

"$CLI" discover --to 127.0.0.1 --timeout 1 >"$WORK/discover.out" 2>"$WORK/discover.err" || fail "discover"
grep -qP '^127\.0\.0\.1\tPackaged Lab\t0 clients$' "$WORK/discover.out" || fail "discovery answer"
"$CLI" publish 127.0.0.1 --name Packer --event Load --always 7 >"$WORK/publish.out" 2>"$WORK/publish.err" ||
  fail "publish"
grep -qx 'published Load 7' "$WORK/publish.out" || fail "no value published"
for ((i = 0; i < 100; i++)); do
  grep -qx 'Packer registered.' "$WORK/server.out" && break
  sleep 0.05
done
grep -qx 'Packer registered.' "$WORK/server.out" || fail "the server did not log the registration"

kill -TERM "$SERVER_PID"
wait "$TRACER"
STATUS=$?
[ $STATUS -eq 0 ] || fail "status $STATUS after SIGTERM"
python3 "$HERE/sandbox_check.py" "$UNIT" "$WORK/trace" "$ROOT/usr/bin/toruna-server" >"$WORK/sandbox.out" ||
  fail "the server left the unit's sandbox"
head -1 "$WORK/sandbox.out"
echo "passed"
