#!/bin/bash
# toruna-server --headless in a network namespace of its own: logs connections and
# registrations on standard output, one line each even for a client whose name holds
# line breaks and a terminal escape, answers discovery, relays between two clients,
# and ends with status 0 on SIGTERM.
set -u
BUILD="$1"
HERE="$(cd "$(dirname "$0")" && pwd)"
BIN="$BUILD/src/app/toruna-server"
[ -x "$BIN" ] || { echo "missing $BIN"; exit 1; }

exec unshare -n bash -s "$BIN" "$HERE" <<'INNER'
set -u
BIN="$1"; HERE="$2"
ip link set lo up
WORK="$(mktemp -d)"
trap 'kill -9 $PID 2>/dev/null; rm -rf "$WORK"' EXIT
printf '[Other]\nServername=wrong\n[Toruna]\nServername=  E2E Lab  \n' > "$WORK/Velmor Software.conf"

XDG_CONFIG_HOME="$WORK" "$BIN" --headless >"$WORK/out" 2>"$WORK/err" &
PID=$!

python3 "$HERE/server_client.py" relay "E2E Lab" || { echo "--- stderr"; cat "$WORK/err"; exit 1; }
python3 "$HERE/server_client.py" connect \
  "$(printf 'Eve\nconnection received\rMallory registered.\nLost protocol sync\033[2J')" >/dev/null ||
  { echo "hostile name not served"; exit 1; }

kill -TERM $PID
wait $PID
STATUS=$?
echo "--- stdout"; cat "$WORK/out"; echo "--- stderr"; cat "$WORK/err"
[ $STATUS -eq 0 ] || { echo "exit status $STATUS after SIGTERM"; exit 1; }
# Every entry is one line: the hostile name's control bytes are escaped, nothing is forged.
EXPECTED='connection received
Alpha registered.
connection received
Beta registered.
connection received
Eve\x0Aconnection received\x0DMallory registered.\x0ALost protocol sync\x1B[2J registered.'
[ "$(cat "$WORK/out")" = "$EXPECTED" ] || { echo "unexpected log lines"; exit 1; }
# Standard error carries only the line that says the service is up, under the trimmed name
# (and, on a machine whose hard limit on open files is low, the line that says so).
[ "$(grep -v ' clients can connect at once: ' "$WORK/err")" = 'toruna-server: running headless as "E2E Lab"; SIGTERM or Ctrl+C stops it' ] ||
  { echo "unexpected standard error"; exit 1; }
echo "passed"
INNER
