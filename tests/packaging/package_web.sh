#!/bin/bash
# The unpacked dashboard at work, in a network namespace of its own: started as
# its unit starts it (ExecStart with the command line of the packaged settings
# file: the server on this machine, the page on 127.0.0.1:8080), as an
# unprivileged user without capabilities, it serves its page, shows a value
# published on the unpacked server once a stream watches the event, and
# leaves with status 0 on SIGTERM. Its system calls, traced meanwhile, stay
# inside the unit's sandbox (sandbox_check.py).
set -u
HERE="$(cd "$(dirname "$0")" && pwd)"
. "$HERE/package_common.bash"
pkg_setup_running "$@"

WEB="$ROOT/usr/bin/toruna-web"
[ "$("$WEB" --version)" = "toruna-web $VERSION" ] || fail "web --version: $("$WEB" --version)"

UNIT="$ROOT/usr/lib/systemd/system/toruna-web.service"
unit_value() { sed -n "s/^$1=//p" "$UNIT" | tail -1; }
SETTINGS="$ROOT$(unit_value EnvironmentFile)"
[ -f "$SETTINGS" ] || fail "no packaged settings file where the unit points: $(unit_value EnvironmentFile)"
ARGS="$(sed -n 's/^TORUNA_WEB_ARGS=//p' "$SETTINGS")"
[[ "$ARGS" == *"--listen 127.0.0.1:"* ]] || fail "the settings file does not keep the page on this machine: $ARGS"
EXEC="$(unit_value ExecStart)"
read -r -a COMMAND <<<"${EXEC//\$TORUNA_WEB_ARGS/$ARGS}"
[ "${COMMAND[0]}" = /usr/bin/toruna-web ] || fail "ExecStart is $EXEC"

mkdir -p "$WORK/config"
printf '[Toruna]\nServername=Packaged Lab\n' >"$WORK/config/Velmor Software.conf"
XDG_CONFIG_HOME="$WORK/config" "$ROOT/usr/bin/toruna-server" --headless >"$WORK/server.out" 2>"$WORK/server.err" &
PIDS+=($!)
wait_line() {  # wait_line FILE REGEX
  for ((i = 0; i < 100; i++)); do
    grep -qE "$2" "$1" 2>/dev/null && return 0
    sleep 0.05
  done
  return 1
}
for ((i = 0; i < 100; i++)); do ss -ltn | grep -q ':13131 ' && break; sleep 0.05; done

strace -f -qq -o "$WORK/trace" -- \
  setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all --bounding-set=-all --no-new-privs \
  "$ROOT${COMMAND[0]}" "${COMMAND[@]:1}" >"$WORK/web.out" 2>"$WORK/web.err" &
TRACER=$!
PIDS+=("$TRACER")
wait_line "$WORK/web.err" 'connected to server "Packaged Lab"' || fail "toruna-web did not reach the server"
WEB_PID="$(pgrep -P "$TRACER")"
[ -n "$WEB_PID" ] || fail "toruna-web is not running"

curl -sf http://127.0.0.1:8080/ | grep -q '<title>Toruna dashboard</title>' || fail "no page"
curl -sf http://127.0.0.1:8080/lib/uPlot.js | grep -q uPlot || fail "no chart library"
"$ROOT/usr/bin/toruna-cli" publish 127.0.0.1 --name Packer --event Load 7 >"$WORK/publish.out" 2>&1 &
PIDS+=($!)
# A stream that watches the event, as a page does.
curl -sN http://127.0.0.1:8080/api/stream >"$WORK/stream.out" 2>&1 &
PIDS+=($!)
wait_line "$WORK/stream.out" '"stream":"[0-9a-f]+"' || fail "no live stream"
TOKEN="$(grep -o '"stream":"[0-9a-f]*"' "$WORK/stream.out" | cut -d'"' -f4)"
wait_line "$WORK/publish.out" '^created ' || fail "publish did not create its event"
curl -sf -X POST "http://127.0.0.1:8080/api/watch?stream=$TOKEN&server=1&client=Packer&event=Load&on=1" >/dev/null ||
  fail "watch refused"
wait_line "$WORK/stream.out" '^data: \{"values":\[\[1,[0-9]+,\[\[[0-9]+,7\]' || fail "the value did not reach the stream"

kill -TERM "$WEB_PID"
wait "$TRACER"
STATUS=$?
[ $STATUS -eq 0 ] || fail "status $STATUS after SIGTERM"
python3 "$HERE/sandbox_check.py" "$UNIT" "$WORK/trace" "$WEB" >"$WORK/sandbox.out" ||
  fail "toruna-web left the unit's sandbox"
head -1 "$WORK/sandbox.out"
echo "passed"
