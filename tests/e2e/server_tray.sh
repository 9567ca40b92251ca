#!/bin/bash
# toruna-tray on a desktop (a virtual X server with a notification area): the
# window "Form1" appears, discovery is answered through Qt's loop, the icon's
# right-click menu offers "Show" and "Exit", and "Exit" ends the server with
# status 0; SIGTERM does the same. Started with a low limit on open files, it says
# so. Skipped (77) without Xvfb, trayer or xdotool.
set -u
BUILD="$1"
HERE="$(cd "$(dirname "$0")" && pwd)"
BIN="$BUILD/src/app/toruna-tray"
[ -x "$BIN" ] || { echo "missing $BIN"; exit 1; }
for tool in Xvfb trayer xdotool; do
  command -v $tool >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done
# Qt's D-Bus layer keeps a buffer to the end; that is not ours to report.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"

exec unshare -n bash -s "$BIN" "$HERE" <<'INNER'
set -u
BIN="$1"; HERE="$2"
fail() { echo "FAILED: $*"; echo "--- stderr"; cat "$WORK/err"; exit 1; }
ip link set lo up
WORK="$(mktemp -d)"
PID=; TRAY=; XVFB=
trap 'kill -9 $PID $TRAY $XVFB 2>/dev/null; wait 2>/dev/null; rm -rf "$WORK"' EXIT

# A free display number, chosen by the X server itself (others may run tests too).
Xvfb -displayfd 3 -screen 0 640x480x24 -nolisten tcp 3>"$WORK/display" >/dev/null 2>&1 &
XVFB=$!
for i in $(seq 50); do [ -s "$WORK/display" ] && break; sleep 0.1; done
[ -s "$WORK/display" ] || fail "Xvfb did not start"
export DISPLAY=":$(head -1 "$WORK/display")"
trayer --edge bottom --align left --widthtype pixel --width 64 --heighttype pixel --height 24 >/dev/null 2>&1 &
TRAY=$!
sleep 1

run_server() {  # [a command that runs the server, e.g. with other limits]
  XDG_CONFIG_HOME="$WORK" "$@" "$BIN" >"$WORK/out" 2>"$WORK/err" &
  PID=$!
  for i in $(seq 50); do
    [ "$(xdotool search --onlyvisible --name '^Form1$' 2>/dev/null | wc -l)" -ge 1 ] && return 0
    sleep 0.1
  done
  fail "no visible window Form1"
}

printf '[Toruna]\nServername=Desk\n' > "$WORK/Velmor Software.conf"
run_server
REPLY="$(python3 "$HERE/server_client.py" discover)" || fail "no discovery reply"
[ "$REPLY" = "b'***Desk\\x000\\x00'" ] || fail "reply $REPLY"
python3 "$HERE/server_client.py" connect Eta >/dev/null || fail "client not served"

# Right click on the icon (the first one in the tray, at the bottom left, where the
# window does not cover it), then "Exit", the second item.
sleep 0.5
xdotool mousemove 12 468 click 3
sleep 0.5
xdotool key Down Down Return
for i in $(seq 50); do kill -0 $PID 2>/dev/null || break; sleep 0.1; done
kill -0 $PID 2>/dev/null && fail "still running after Exit"
wait $PID; STATUS=$?
[ $STATUS -eq 0 ] || fail "status $STATUS after Exit"

# The window's face, too, raises the soft limit on open files and says when the
# hard limit is short of 10000 clients.
run_server prlimit --nofile=1024:4096
[ "$(awk '/^Max open files/ {print $4, $5}' /proc/$PID/limits)" = "4096 4096" ] || fail "limits"
[ "$(grep -c 'clients can connect at once' "$WORK/err")" -eq 1 ] || fail "no word on the limit"
kill -TERM $PID; wait $PID; STATUS=$?
[ $STATUS -eq 0 ] || fail "status $STATUS after SIGTERM"
echo "passed"
INNER
