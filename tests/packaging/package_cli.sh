#!/bin/bash
# The unpacked toruna-cli for scripts, against the unpacked server: watch
# --count ends after that many values (status 0) and --timeout after that long
# (status 3 when the count was not reached, 0 without one); publish --timeout
# gives up on a value nobody subscribed to (status 3); a name that does not
# resolve is said in plain words (name lookups from the hosts file only, in a
# mount namespace of its own, so that the answer does not hang on a resolver).
set -u
HERE="$(cd "$(dirname "$0")" && pwd)"
. "$HERE/package_common.bash"
if [ -z "${TORUNA_PKG_MNT:-}" ]; then
  TORUNA_PKG_MNT=1 exec unshare -m bash "$0" "$@"
fi
pkg_setup_running "$@"
printf 'hosts: files\n' >"$WORK/nsswitch.conf"
mount --bind "$WORK/nsswitch.conf" /etc/nsswitch.conf

CLI="$ROOT/usr/bin/toruna-cli"
expect() {  # expect STATUS TEXT -- command...
  local want="$1" text="$2"; shift 3
  "$@" >"$WORK/x.out" 2>"$WORK/x.err"
  local got=$?
  [ "$got" -eq "$want" ] || fail "'$*' gave status $got, not $want"
  grep -qx -- "$text" "$WORK/x.err" "$WORK/x.out" || fail "'$*' did not say '$text'"
}

expect 1 "toruna-cli: host nosuchhost not found" -- "$CLI" watch nosuchhost

mkdir -p "$WORK/config"
printf '[Toruna]\nServername=Script Lab\n' >"$WORK/config/Velmor Software.conf"
XDG_CONFIG_HOME="$WORK/config" "$ROOT/usr/bin/toruna-server" >"$WORK/server.out" 2>"$WORK/server.err" &
PIDS+=($!)
for ((i = 0; i < 100; i++)); do ss -ltn | grep -q ':13131 ' && break; sleep 0.05; done

# Nobody subscribes: the value waits until the timeout gives it up.
START=$(date +%s%N)
expect 3 "toruna-cli: timed out after 1 second: 1 value not published" -- \
  "$CLI" publish 127.0.0.1 --event Lonely --timeout 1 5
ELAPSED=$(( ($(date +%s%N) - START) / 1000000 ))
[ $ELAPSED -lt 3000 ] || fail "publish --timeout 1 took $ELAPSED ms"

# Three values arrive; the watch leaves after two.
"$CLI" watch 127.0.0.1 --subscribe 'Feeder/*' --count 2 --timeout 10 >"$WORK/count.out" 2>"$WORK/count.err" &
WATCH=$!
PIDS+=($WATCH)
"$CLI" publish 127.0.0.1 --name Feeder --event Level --timeout 10 1 2 3 >"$WORK/publish.out" 2>"$WORK/publish.err" ||
  fail "publishing to the watch"
for ((i = 0; i < 100; i++)); do kill -0 $WATCH 2>/dev/null || break; sleep 0.05; done
kill -0 $WATCH 2>/dev/null && fail "watch --count 2 did not end"
wait $WATCH; STATUS=$?
[ $STATUS -eq 0 ] || fail "watch --count 2 ended with status $STATUS"
[ "$(grep -c ' Feeder/Level [0-9]' "$WORK/count.out")" -eq 2 ] || fail "watch --count 2 printed: $(cat "$WORK/count.out")"

expect 3 "toruna-cli: timed out after 0.5 seconds with 0 of 3 values" -- \
  "$CLI" watch 127.0.0.1 --subscribe '*' --count 3 --timeout 0.5
"$CLI" watch 127.0.0.1 --timeout 0.5 >"$WORK/plain.out" 2>"$WORK/plain.err" || fail "watch --timeout alone: status $?"
grep -q '^server Script Lab' "$WORK/plain.out" || fail "watch --timeout alone printed: $(cat "$WORK/plain.out")"
echo "passed"
