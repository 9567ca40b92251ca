#!/bin/bash
# The documented statuses and messages: no server (refused), unknown host,
# bad arguments, help.
set -u
. "$(dirname "$0")/cli_common.bash"
cli_setup "$@"

expect() {  # expect STATUS TEXT -- command...
  local want="$1" text="$2"; shift 3
  "$@" >"$WORK/x.out" 2>"$WORK/x.err"
  local got=$?
  [ "$got" -eq "$want" ] || fail "'$*' gave status $got, not $want"
  grep -qi -- "$text" "$WORK/x.err" "$WORK/x.out" || fail "'$*' did not say '$text'"
}

expect 1 "connection refused by 127.0.0.1" -- "$CLI" watch 127.0.0.1
expect 1 "refused" -- "$CLI" publish 127.0.0.1 --event E 1
expect 1 "host nowhere.invalid not found" -- "$CLI" watch nowhere.invalid
expect 2 "unknown command 'fly'" -- "$CLI" fly
expect 2 "no command given" -- "$CLI"
expect 2 "watch needs a HOST" -- "$CLI" watch
expect 2 "publish needs --event" -- "$CLI" publish 127.0.0.1 1 2
expect 2 "not '300'" -- "$CLI" publish 127.0.0.1 --event E 300
expect 2 "--timeout" -- "$CLI" discover --timeout -1
expect 2 "unknown option '--bogus'" -- "$CLI" watch 127.0.0.1 --bogus
expect 0 "Usage: toruna-cli publish" -- "$CLI" publish --help
expect 0 "Usage: toruna-cli COMMAND" -- "$CLI" --help
echo "passed"
