# Shared by the cli_*.sh end-to-end scripts (sourced, not a test of its own).
# Each script calls cli_setup "$@" first: it checks the programs, re-runs the
# script inside a network namespace of its own with only loopback up, and makes
# a scratch directory. Every wait here is bounded.

cli_setup() {
  BUILD="$1"
  SERVER="$BUILD/src/app/toruna-server"
  CLI="$BUILD/tools/cli/toruna-cli"
  if [ ! -x "$SERVER" ]; then
    echo "server not built ($SERVER missing); nothing to test against"
    exit 0
  fi
  [ -x "$CLI" ] || { echo "missing $CLI"; exit 1; }
  if [ -z "${TORUNA_CLI_NS:-}" ]; then
    TORUNA_CLI_NS=1 exec unshare -n bash "$0" "$@"
  fi
  ip link set lo up
  WORK="$(mktemp -d)"
  PIDS=()
  trap cli_cleanup EXIT
}

cli_cleanup() {
  local p
  # The script is over: the shell's word on each job it kills is noise.
  exec 2>/dev/null
  for p in "${PIDS[@]}"; do kill -9 "$p"; done
  wait
  rm -rf "$WORK"
}

fail() {
  echo "FAILED: $*"
  local f
  for f in "$WORK"/*.out "$WORK"/*.err; do
    [ -f "$f" ] && { echo "--- $(basename "$f")"; cat "$f"; }
  done
  exit 1
}

# wait_for FILE REGEX [SECONDS]: until a line of FILE matches.
wait_for() {
  local file="$1" re="$2" limit="${3:-5}" i
  for ((i = 0; i < limit * 20; i++)); do
    grep -qE -- "$re" "$file" 2>/dev/null && return 0
    sleep 0.05
  done
  return 1
}

# wait_exit PID [SECONDS]: the process's exit status, or 124 when it runs on.
wait_exit() {
  local pid="$1" limit="${2:-5}" i
  for ((i = 0; i < limit * 20; i++)); do
    if ! kill -0 "$pid" 2>/dev/null; then
      wait "$pid"
      return $?
    fi
    sleep 0.05
  done
  return 124
}

# start_server NAME: the headless server under that name, listening when it returns.
start_server() {
  mkdir -p "$WORK/config"
  printf '[Toruna]\nServername=%s\n' "$1" > "$WORK/config/Velmor Software.conf"
  XDG_CONFIG_HOME="$WORK/config" "$SERVER" --headless >"$WORK/server.out" 2>"$WORK/server.err" &
  SERVER_PID=$!
  PIDS+=("$SERVER_PID")
  local i
  for ((i = 0; i < 100; i++)); do
    ss -ltn 2>/dev/null | grep -q ':13131 ' && return 0
    sleep 0.05
  done
  fail "the server did not start listening"
}

# broadcast_net: a network that exists only in this namespace, for broadcasts
# (a dummy interface, or a veth pair where the kernel has no dummy driver),
# with this namespace at 10.99.0.1; the limited broadcast needs a route, which
# leads nowhere outside the namespace either.
broadcast_net() {
  local net
  if ip link add d0 type dummy 2>/dev/null; then
    net=d0
  else
    ip link add v0 type veth peer name v1 || fail "no interface for the broadcast"
    ip link set v1 up
    net=v0
  fi
  ip addr add 10.99.0.1/24 brd + dev $net
  ip link set $net up
  ip route add default dev $net
}
