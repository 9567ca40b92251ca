#!/bin/bash
# toruna-server --headless in a network namespace of its own: logs connections and
# registrations on standard output, answers discovery, relays between two clients,
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

kill -TERM $PID
wait $PID
STATUS=$?
echo "--- stdout"; cat "$WORK/out"; echo "--- stderr"; cat "$WORK/err"
[ $STATUS -eq 0 ] || { echo "exit status $STATUS after SIGTERM"; exit 1; }
[ "$(grep -c '^connection received$' "$WORK/out")" -eq 2 ] || { echo "connection lines"; exit 1; }
grep -qx 'Alpha registered.' "$WORK/out" || { echo "no Alpha registered."; exit 1; }
grep -qx 'Beta registered.' "$WORK/out" || { echo "no Beta registered."; exit 1; }
# Standard error carries only the line that says the service is up, under the trimmed name.
[ "$(cat "$WORK/err")" = 'toruna-server: running headless as "E2E Lab"; SIGTERM or Ctrl+C stops it' ] ||
  { echo "unexpected standard error"; exit 1; }
echo "passed"
INNER
