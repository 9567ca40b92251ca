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
    for n in (1, 10, 100, 1000):
        label = f"fan-out {n} {subs(n)}, deliveries/s"
        t, nats1, mosq = get(label, "toruna"), get(label, "nats-1core"), get(label, "mosquitto")
        if t is not None and nats1:
            out.append((f"fan-out {n}: at least nats-1core", t >= nats1, f"{t / nats1:.2f}x"))
        if n > 1 and t is not None and mosq:
            out.append((f"fan-out {n}: at least 10x mosquitto", t >= 10 * mosq, f"{t / mosq:.1f}x"))
    for n in (1000, 5000):
        label = f"RSS per connection at {n}, bytes"
        t, mosq = get(label, "toruna"), get(label, "mosquitto")
        if t is not None:
            out.append((f"RSS per connection at {n}: at most 700 B", t <= 700, f"{t:.0f} B"))
        if t is not None and mosq is not None:
            out.append((f"RSS per connection at {n}: below mosquitto", t < mosq,
                        f"{t:.0f} vs {mosq:.0f} B"))
    took = get("register 5000 clients, s", "toruna")
    if took is not None:
        out.append(("register 5000 clients within 5 s", took <= 5,
                    f"{took:.2f} s, {si(5000 / took) if took > 0 else '-'}/s"))
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
        if key[0] == 3 and key[1] % 10 == 1 and "toruna" in cells:
            mx = cells["toruna"][1]
            out.append((f"announce to {key[1] // 10} watchers: announcement max below 10 ms "
                        "(informational)", mx < 10000, f"{mx / 1000:.2f} ms"))
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
            n = int(r.get("clients", 0) if asked == "connscale"
                    else r.get("watchers", r.get("subs", 0)) if asked == "announce"
                    else r.get("subs", 0))
            why = ("a newcomer was not told of every client before it" if asked == "announce"
                   else "loss or disorder")
            failed.append(f'{server} {asked} {n}: {r.get("error", why)}')
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
            rate = r.get("rate", n / r["seconds"] if r["seconds"] > 0 else None)
            if rate is not None:
                rows.setdefault((2, n * 10 + 1, f"register {n} clients, registrations/s"), {})[server] = (
                    si(rate), rate)
            if "bytes_per_conn" in r:
                rows.setdefault((2, n * 10 + 2, f"RSS per connection at {n}, bytes"), {})[server] = (
                    f'{r["bytes_per_conn"]:.0f}', r["bytes_per_conn"])
            if "listen_drops" in r:
                rows.setdefault((2, n * 10 + 3, f"connects dropped at {n} (full accept queue)"), {})[server] = (
                    f'{r["listen_drops"]:.0f}', None)
        elif sc == "announce":
            n = int(r["watchers"])
            for i, (what, prefix) in enumerate((("registration", "reg"), ("announcement", "ann"))):
                p50, p99, mx = (r[f"{prefix}_{q}_us"] for q in ("p50", "p99", "max"))
                label = f"announce to {n} watchers, {what} p50/p99/max µs"
                cell = f"{p50:.0f}/{p99:.0f}/{mx:.0f}" + ("" if r["ok"] else " FAIL")
                rows.setdefault((3, n * 10 + i, label), {})[server] = (cell, mx)

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
    print("\nratios are toruna ÷ peer: above 1 is better for deliveries/s and "
          "registrations/s, below 1 for latency, time and memory.")
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
