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


def subs(n):
    return "sub" if n == 1 else "subs"


def targets(rows):
    """The relay's goals against the peers measured in the same run."""
    def get(label, server):
        for key, cells in rows.items():
            if key[2] == label and server in cells:
                return cells[server][1]
        return None

    out = []
    for n in (10, 100, 1000):
        label = f"fan-out {n} {subs(n)}, deliveries/s"
        t, nats1, mosq = get(label, "toruna"), get(label, "nats-1core"), get(label, "mosquitto")
        if t is not None and nats1:
            out.append((f"fan-out {n}: at least nats-1core", t >= nats1, f"{t / nats1:.2f}x"))
        if t is not None and mosq:
            out.append((f"fan-out {n}: at least 10x mosquitto", t >= 10 * mosq, f"{t / mosq:.1f}x"))
    p50 = get("latency 1 sub, p50 µs", "toruna")
    peers = [v for v in (get("latency 1 sub, p50 µs", p) for p in PEERS) if v is not None]
    if p50 is not None and peers:
        out.append(("latency 1 sub: p50 no worse than the better peer", p50 <= min(peers),
                    f"{p50:.1f} vs {min(peers):.1f} µs"))
    for n in (1, 100):
        mx = get(f"latency {n} {subs(n)}, max µs", "toruna")
        if mx is not None:
            out.append((f"latency {n} {subs(n)}: max below 5 ms", mx < 5000, f"{mx / 1000:.2f} ms"))
    for key, cells in sorted(rows.items()):
        if key[2].startswith("RSS per connection") and "toruna" in cells:
            v = cells["toruna"][1]
            out.append((f"{key[2]}: at most 1 KB", v <= 1024, f"{v:.0f} B"))
    return out


def main(path):
    rows = {}  # (order, label) -> {server: (text, number)}
    failed = []
    machine = None
    with open(path) as f:
        records = [json.loads(line) for line in f if line.strip().startswith("{")]
    for r in records:
        server, sc = r["server"], r["scenario"]
        if sc == "machine":
            machine = r
            continue
        if sc == "error" or not r.get("ok", True):
            asked = r.get("scenario_asked", sc)
            n = int(r.get("clients" if asked == "connscale" else "subs", 0))
            failed.append(f'{server} {asked} {n}: {r.get("error", "loss or disorder")}')
        if sc == "fanout":
            med = r["median"]
            spread = (r["max"] - r["min"]) / med * 100 if med else 0
            n = int(r["subs"])
            cell = f"{si(med)} ±{spread:.0f}%" + ("" if r["ok"] else " FAIL")
            rows.setdefault((0, n, f"fan-out {n} {subs(n)}, deliveries/s"), {})[server] = (cell, med)
        elif sc == "latency":
            n = int(r["subs"])
            for i, key in enumerate(("p50_us", "p99_us", "max_us")):
                label = f"latency {n} {subs(n)}, {key[:-3]} µs"
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
    if machine:
        print(f'{machine["date"]}, {machine["cpus"]} CPUs, Linux {machine["kernel"]}; '
              f'mosquitto {machine["mosquitto"]}, nats-server {machine["nats"]}\n')
    for i, row in enumerate(table):
        print("  ".join(c.ljust(widths[j]) if j == 0 else c.rjust(widths[j])
                        for j, c in enumerate(row)))
        if i == 0:
            print("  ".join("-" * w for w in widths))
    print("\nratios are toruna ÷ peer: above 1 is better for deliveries/s, "
          "below 1 for latency, time and memory.")
    goals = targets(rows)
    if goals:
        print("\ngoals for the relay:")
        for text, met, detail in goals:
            print(f"  {'met    ' if met else 'NOT met'}  {text} ({detail})")
    print(f"\nraw results: {path}")
    for f in failed:
        print(f"FAILED: {f}")


if __name__ == "__main__":
    main(sys.argv[1])
