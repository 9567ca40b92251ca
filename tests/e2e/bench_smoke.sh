#!/usr/bin/env bash
# The load generator against the real server at tiny scale, in a network
# namespace of its own: every value reaches every subscriber, in order, both
# with a window of 64 and with one message at a time; a handful of idle
# clients all register; and a few newcomers, one after another, are each
# announced to every watcher. Correctness only; speed is for `make bench`.
set -euo pipefail

BUILD=$(cd "${1:?usage: bench_smoke.sh BUILD_DIR}" && pwd)
SERVER="$BUILD/src/app/toruna-server"
LOADGEN="$BUILD/bench/loadgen/toruna-loadgen"
if [ ! -x "$SERVER" ]; then
  echo "bench_smoke: server not built ($SERVER); nothing to check yet"
  exit 0
fi
if [ ! -x "$LOADGEN" ]; then
  echo "bench_smoke: load generator not part of this build ($LOADGEN); skipped"
  exit 0
fi

TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT
mkdir -p "$TMP/config"

unshare -n env TMP="$TMP" SERVER="$SERVER" LOADGEN="$LOADGEN" bash -c '
  set -euo pipefail
  ip link set lo up
  XDG_CONFIG_HOME="$TMP/config" "$SERVER" --headless >"$TMP/server.log" 2>&1 &
  pid=$!
  trap "kill -KILL $pid 2>/dev/null || true" EXIT
  for i in $(seq 100); do
    [ -n "$(ss -Hltn "sport = :13131")" ] && break
    sleep 0.1
  done
  lg() { "$LOADGEN" --proto toruna --warmup 0 --server-pid "$pid" "$@"; }
  lg --scenario fanout --subs 3 --runs 2 --messages 200 --seconds 30 >"$TMP/fanout.json"
  lg --scenario latency --subs 2 --messages 50 --seconds 30 >"$TMP/latency.json"
  lg --scenario connscale --clients 20 >"$TMP/connscale.json"
  lg --scenario announce --subs 3 --messages 5 >"$TMP/announce.json"
  kill -TERM "$pid"
  wait "$pid"
' || { echo "bench_smoke: a run failed; server log:"; cat "$TMP/server.log"; exit 1; }

# Announcements are Toruna's own: other protocols are turned away before any
# connection is made.
rc=0
"$LOADGEN" --proto mqtt --scenario announce >/dev/null 2>&1 || rc=$?
if [ "$rc" -ne 2 ]; then
  echo "bench_smoke: announce over mqtt ended with $rc, not 2"
  exit 1
fi

# Each run must have carried all its messages to all subscribers.
python3 - "$TMP" <<'PY'
import json, sys
tmp = sys.argv[1]
def load(name):
    return [json.loads(l) for l in open(f"{tmp}/{name}.json") if l.strip()]
runs = [r for r in load("fanout") if r["scenario"] == "fanout_run"]
assert len(runs) == 2, runs
for r in runs:
    assert r["ok"] and r["loss"] == 0 and r["disorder"] == 0, r
    assert r["messages"] == 200 and r["deliveries"] == 600, r
lat = load("latency")[0]
assert lat["ok"] and lat["samples"] == 50 and 0 < lat["p50_us"] <= lat["max_us"], lat
scale = load("connscale")[0]
assert scale["ok"] and scale["clients"] == 20 and scale["rss_after_kb"] > 0, scale
assert scale["rate"] > 0 and abs(scale["rate"] * scale["seconds"] - 20) < 1e-6, scale
ann = load("announce")[0]
assert ann["ok"] and ann["watchers"] == 3 and ann["samples"] == 5, ann
assert ann["roster_errors"] == 0, ann
for k in ("reg", "ann"):
    assert 0 < ann[f"{k}_p50_us"] <= ann[f"{k}_p99_us"] <= ann[f"{k}_max_us"], ann
print("bench_smoke: ok")
PY
