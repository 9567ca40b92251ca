#!/usr/bin/env python3
"""Prints the side-by-side table of one benchmark run from its JSON lines."""
import json
import sys

PEERS = ["mosquitto", "nats", "nats-1core"]
ORDER = ["toruna"] + PEERS


def si(v):
    for div, suffix in ((1e6, "M"), (1e3, "k")):
        if v >= div:
            return f"{v / div:.3g}{suffix}"
    return f"{v:.3g}"


def main(path):
    rows = {}  # (order, label) -> {server: (text, number)}
    failed = []
    with open(path) as f:
        records = [json.loads(line) for line in f if line.strip().startswith("{")]
    for r in records:
        server, sc = r["server"], r["scenario"]
        if sc == "error" or not r.get("ok", True):
            failed.append(f'{server} {r.get("scenario_asked", sc)} {int(r.get("subs", 0))}: '
                          f'{r.get("error", "loss or disorder")}')
        if sc == "fanout":
            med = r["median"]
            spread = (r["max"] - r["min"]) / med * 100 if med else 0
            n = int(r["subs"])
            cell = f"{si(med)} ±{spread:.0f}%" + ("" if r["ok"] else " FAIL")
            rows.setdefault((0, n, f"fan-out {n} subs, deliveries/s"), {})[server] = (cell, med)
        elif sc == "latency":
            n = int(r["subs"])
            for i, key in enumerate(("p50_us", "p99_us", "max_us")):
                label = f"latency {n} subs, {key[:-3]} µs"
                cell = f"{r[key]:.1f}" + ("" if r["ok"] else " FAIL")
                rows.setdefault((1, n * 10 + i, label), {})[server] = (cell, r[key])
        elif sc == "connscale":
            n = int(r["clients"])
            rows.setdefault((2, n * 10, f"register {n} clients, s"), {})[server] = (
                f'{r["seconds"]:.3f}', r["seconds"])
            if "listen_drops" in r:
                rows.setdefault((2, n * 10 + 2, f"connects dropped at {n} (full accept queue)"), {})[server] = (
                    f'{r["listen_drops"]:.0f}', None)
            if "bytes_per_conn" in r:
                rows.setdefault((2, n * 10 + 1, f"RSS per connection at {n}, bytes"), {})[server] = (
                    f'{r["bytes_per_conn"]:.0f}', r["bytes_per_conn"])

    servers = [s for s in ORDER if any(s in v for v in rows.values())]
    peers = [p for p in PEERS if p in servers] if "toruna" in servers else []
    head = ["scenario"] + servers + [f"toruna/{p}" for p in peers]
    table = [head]
    for key in sorted(rows):
        cells = rows[key]
        line = [key[2]] + [cells.get(s, ("-", None))[0] for s in servers]
        for p in peers:
            t, q = cells.get("toruna", (None, None))[1], cells.get(p, (None, None))[1]
            line.append(f"{t / q:.2f}" if t is not None and q else "-")
        table.append(line)
    widths = [max(len(row[i]) for row in table) for i in range(len(head))]
    print()
    for i, row in enumerate(table):
        print("  ".join(c.ljust(widths[j]) if j == 0 else c.rjust(widths[j])
                        for j, c in enumerate(row)))
        if i == 0:
            print("  ".join("-" * w for w in widths))
    print("\nratios are toruna ÷ peer: above 1 is better for deliveries/s, "
          "below 1 for latency, time and memory.")
    print(f"raw results: {path}")
    for f in failed:
        print(f"FAILED: {f}")


if __name__ == "__main__":
    main(sys.argv[1])
