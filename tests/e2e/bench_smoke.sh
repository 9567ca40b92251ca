#!/usr/bin/env bash
# The load generator against the real server at tiny scale, in a network
# namespace of its own: every value reaches every subscriber, in order, with a
# window of 64, one message at a time and paced at a fixed rate; the server at
# rest; a handful of idle clients all register; a few newcomers, one after
# another, are each announced to every watcher; and small departure storms
# (close, reset, owners) end with every departure done and told. Then the same
# generator against redis-server, where installed, the bare relay that shows the
# kernel's share, and the table of the lot.
# Correctness only; speed is for `make bench`.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
BUILD=$(cd "${1:?usage: bench_smoke.sh BUILD_DIR}" && pwd)
SERVER="$BUILD/src/app/toruna-server"
LOADGEN="$BUILD/bench/loadgen/toruna-loadgen"
FLOOR="$BUILD/bench/floor/toruna-loopback-floor"
if [ ! -x "$SERVER" ]; then
  echo "bench_smoke: server not built ($SERVER); nothing to check yet"
  exit 0
fi
if [ ! -x "$LOADGEN" ]; then
  echo "bench_smoke: load generator not part of this build ($LOADGEN); skipped"
  exit 0
fi
REDIS=$(command -v redis-server || true)
[ -n "$REDIS" ] || echo "bench_smoke: redis-server not installed; its path is skipped"

TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT
mkdir -p "$TMP/config"

unshare -n env TMP="$TMP" SERVER="$SERVER" LOADGEN="$LOADGEN" REDIS="$REDIS" FLOOR="$FLOOR" bash -c '
  set -euo pipefail
  ip link set lo up
  wait_port() {
    for i in $(seq 100); do
      [ -n "$(ss -Hltn "sport = :$1")" ] && return 0
      sleep 0.1
    done
    return 1
  }
  XDG_CONFIG_HOME="$TMP/config" "$SERVER" --headless >"$TMP/server.log" 2>&1 &
  pid=$!
  trap "kill -KILL $pid 2>/dev/null || true" EXIT
  wait_port 13131
  lg() { "$LOADGEN" --proto toruna --warmup 0 --server-pid "$pid" "$@"; }
  lg --scenario fanout --subs 3 --runs 2 --messages 200 --seconds 30 >"$TMP/fanout.json"
  lg --scenario latency --subs 2 --messages 50 --seconds 30 >"$TMP/latency.json"
  lg --scenario light --subs 3 --rate 200 --seconds 1 >"$TMP/light.json"
  lg --scenario rest --subs 2 --seconds 0.5 >"$TMP/rest.json"
  lg --scenario connscale --clients 20 >"$TMP/connscale.json"
  lg --scenario announce --subs 3 --messages 5 >"$TMP/announce.json"
  for how in close reset owners; do
    lg --scenario storm --clients 12 --how "$how" --rate 500 --tail 0.1 >"$TMP/storm-$how.json"
  done
  kill -TERM "$pid"
  wait "$pid"
  trap - EXIT
  if [ -n "$REDIS" ]; then
    "$REDIS" --bind 127.0.0.1 --port 6379 --save "" --appendonly no >"$TMP/redis.log" 2>&1 &
    rpid=$!
    trap "kill -KILL $rpid 2>/dev/null || true" EXIT
    wait_port 6379
    rg() { "$LOADGEN" --proto redis --warmup 0 --server-pid "$rpid" "$@"; }
    rg --scenario fanout --subs 3 --runs 1 --messages 300 --seconds 30 >"$TMP/redis-fanout.json"
    rg --scenario light --subs 2 --rate 200 --seconds 0.5 >"$TMP/redis-light.json"
    rg --scenario connscale --clients 20 >"$TMP/redis-connscale.json"
    rg --scenario storm --clients 12 --how owners --rate 500 --tail 0.1 >"$TMP/redis-storm.json"
  fi
  "$FLOOR" --subs 3 --window 16 --runs 2 --seconds 0.2 >"$TMP/floor.json"
' || { echo "bench_smoke: a run failed; server log:"; cat "$TMP/server.log"; exit 1; }

# Announcements are Toruna's own: other protocols are turned away before any
# connection is made.
rc=0
"$LOADGEN" --proto mqtt --scenario announce >/dev/null 2>&1 || rc=$?
if [ "$rc" -ne 2 ]; then
  echo "bench_smoke: announce over mqtt ended with $rc, not 2"
  exit 1
fi

# Each run must have carried all its messages to all subscribers, and every
# figure the table is made of must be there and sensible.
python3 - "$TMP" <<'PY'
import glob, json, sys
tmp = sys.argv[1]
def load(name):
    return [json.loads(l) for l in open(f"{tmp}/{name}.json") if l.strip()]
def ordered(r, prefix=""):
    return 0 < r[f"{prefix}p50_us"] <= r[f"{prefix}p99_us"] <= r[f"{prefix}max_us"]
runs = [r for r in load("fanout") if r["scenario"] == "fanout_run"]
assert len(runs) == 2, runs
for r in runs:
    assert r["ok"] and r["loss"] == 0 and r["disorder"] == 0, r
    assert r["messages"] == 200 and r["deliveries"] == 600, r
    assert r["cpu_s"] > 0 and abs(r["cpu_per_m"] - r["cpu_s"] / 600 * 1e6) < 1e-6, r
lat = load("latency")[0]
assert lat["ok"] and lat["samples"] == 50 and ordered(lat), lat
light = load("light")[0]
# Paced: 200 values/s for 1 s, each to 3 subscribers, none lost.
# A busy machine may start the publisher late; none may be lost.
assert light["ok"] and light["loss"] == 0 and 180 <= light["messages"] <= 202, light
assert light["deliveries"] == 3 * light["messages"] and ordered(light, "delay_"), light
assert 0 < light["cores"] < 1 and light["wakeups_per_s"] > 0, light
rest = load("rest")[0]
assert rest["ok"] and rest["rss_kb"] > 0 and 0 <= rest["cores"] < 0.5, rest
scale = load("connscale")[0]
assert scale["ok"] and scale["clients"] == 20 and scale["rss_after_kb"] > 0, scale
assert scale["rate"] > 0 and abs(scale["rate"] * scale["seconds"] - 20) < 1e-6, scale
assert scale["registers"] is True, scale
ann = load("announce")[0]
assert ann["ok"] and ann["watchers"] == 3 and ann["samples"] == 5, ann
assert ann["roster_errors"] == 0, ann
for k in ("reg", "ann"):
    assert 0 < ann[f"{k}_p50_us"] <= ann[f"{k}_p99_us"] <= ann[f"{k}_max_us"], ann
for how in ("close", "reset", "owners"):
    s = load(f"storm-{how}")[0]
    # Done means every descriptor closed and both of the pair told of every departure.
    assert s["ok"] and s["how"] == how and s["clients"] == 12, s
    assert 0 <= s["fds_done_s"] <= s["seconds"] and 0 <= s["told_done_s"] <= s["seconds"], s
    assert s["seconds"] == max(s["fds_done_s"], s["told_done_s"]), s
    assert s["samples"] > 0 and ordered(s, "delay_") and s["peak_kb"] > 0, s
redis = sorted(glob.glob(f"{tmp}/redis-*.json"))
if redis:
    fan = load("redis-fanout")[-1]
    assert fan["scenario"] == "fanout" and fan["ok"] and fan["cpu_per_m"] > 0, fan
    rl = load("redis-light")[0]
    assert rl["ok"] and rl["deliveries"] == 2 * rl["messages"] > 90, rl
    rs = load("redis-connscale")[0]
    assert rs["ok"] and rs["registers"] is False and rs["rss_after_kb"] > 0, rs
    st = load("redis-storm")[0]
    assert st["ok"] and st["told_done_s"] <= st["fds_done_s"] == st["seconds"], st
# The bare relay: every value to every subscriber in one send per arrival.
floor = load("floor")
assert [r["scenario"] for r in floor] == ["fanout_run", "fanout_run", "fanout"], floor
for r in floor[:2]:
    assert r["server"] == "floor" and r["subs"] == 3 and r["sends_per_batch"] == 3, r
    assert 1 <= r["values_per_batch"] <= 16 and r["deliveries"] > 0 and r["deliveries"] % 3 == 0, r
    assert r["cpu_s"] > 0 and abs(r["cpu_per_m"] - r["cpu_s"] / r["deliveries"] * 1e6) < 1e-3, r
assert floor[2]["ok"] and floor[2]["min"] <= floor[2]["median"] <= floor[2]["max"], floor
print(f"bench_smoke: ok ({'with' if redis else 'without'} redis)")
PY

# The table is made of the same lines, with a row for every scenario.
cat "$TMP"/*.json >"$TMP/all.jsonl"
python3 "$ROOT/bench/table.py" "$TMP/all.jsonl" >"$TMP/table.txt"
head -n 8 "$TMP/table.txt" | grep -q " floor" || { echo "bench_smoke: no floor column:"; cat "$TMP/table.txt"; exit 1; }
for row in "fan-out 3 subs, server CPU s per M" "light 200/s to 3 subs, server cores" \
           "resident memory at rest, MB" "storm 12 leave (each owning, close), done in s" \
           "idle: no CPU"; do
  grep -qF "$row" "$TMP/table.txt" || { echo "bench_smoke: no row '$row' in the table:"; cat "$TMP/table.txt"; exit 1; }
done
if grep -q FAILED "$TMP/table.txt"; then
  cat "$TMP/table.txt"
  exit 1
fi
