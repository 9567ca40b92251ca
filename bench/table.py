#!/usr/bin/env python3
"""Prints the side-by-side table of one benchmark run from its JSON lines."""
import json
import sys

PEERS = ["mosquitto", "nats", "nats-1core", "redis"]
# floor: no server, a relay that only receives and sends (bench/floor).
ORDER = ["toruna", "toruna-spin"] + PEERS + ["floor"]
STORM_HOW = ["close", "reset", "owners"]
# Idle means no CPU worth the name: under a millisecond per second.
IDLE_CORES = 0.001


def si(v):
    for div, suffix in ((1e6, "M"), (1e3, "k")):
        if v >= div:
            return f"{v / div:.3g}{suffix}"
    return f"{v:.3g}"


def cores(v):
    return f"{v:.3f}" if v >= 0.001 else f"{v:.5f}"


def subs(n):
    return "sub" if n == 1 else "subs"


def fanout_labels(n):
    return (f"fan-out {n} {subs(n)}, deliveries/s",
            f"fan-out {n} {subs(n)}, server CPU s per M deliveries")


def light_labels(rate, n):
    return (f"light {si(rate)}/s to {n} {subs(n)}, server cores",
            f"light {si(rate)}/s to {n} {subs(n)}, delay p99 µs")


def storm_labels(n, how):
    what = "each owning, close" if how == "owners" else how
    return (f"storm {n} leave ({what}), done in s",
            f"storm {n} leave ({what}), steady worst delay ms",
            f"storm {n} leave ({what}), peak MB")


class Table:
    def __init__(self):
        self.rows = {}  # (group, order, label) -> {server: (text, number)}
        self.short = set()  # (label, server): the server did not take the rate asked

    def put(self, group, order, label, server, text, number):
        self.rows.setdefault((group, order, label), {})[server] = (text, number)

    def get(self, label, server):
        for key, cells in self.rows.items():
            if key[2] == label and server in cells:
                return cells[server][1]
        return None


def targets(t):
    """The relay's goals against the peers measured in the same run."""
    out = []
    for n in (1, 10, 100, 1000):
        rate_label, cost_label = fanout_labels(n)
        rate, cost = t.get(rate_label, "toruna"), t.get(cost_label, "toruna")
        floor = t.get(cost_label, "floor")
        for peer in ("nats-1core", "redis"):
            q = t.get(cost_label, peer)
            if cost is not None and q:
                if peer == "nats-1core":
                    words, met = "at most a third of", cost <= q / 3
                else:
                    words, met = "below", cost < q
                detail = f"{cost:.3g} vs {q:.3g} s per M, {q / cost:.1f}x less" if cost else "-"
                if floor is not None and peer == "nats-1core":
                    detail += f"; the kernel alone: {floor:.3g}"
                out.append((f"fan-out {n}: CPU per delivery {words} {peer}'s", met, detail))
        for peer in ("nats-1core", "redis"):
            q = t.get(rate_label, peer)
            if rate is not None and q:
                out.append((f"fan-out {n}: rate at least {peer}'s", rate >= q, f"{rate / q:.2f}x"))
        mosq = t.get(rate_label, "mosquitto")
        if n > 1 and rate is not None and mosq:
            out.append((f"fan-out {n}: at least 10x mosquitto", rate >= 10 * mosq, f"{rate / mosq:.1f}x"))
    for key in sorted(k for k in t.rows if k[0] == 3 and k[2].endswith("server cores")):
        cells = t.rows[key]
        if "toruna" not in cells:
            continue
        # A peer that could not take the rate is no yardstick for it.
        peers = {p: cells[p][1] for p in PEERS if p in cells and (key[2], p) not in t.short}
        if peers:
            best = min(peers, key=peers.get)
            mine = cells["toruna"][1]
            out.append((f"{key[2].rsplit(', ', 1)[0]}: CPU at most the best peer's", mine <= peers[best],
                        f"{cores(mine)} vs {best} {cores(peers[best])} cores"))
    idle = next((cells["toruna"][1] for key, cells in t.rows.items()
                 if key[:2] == (2, 1) and "toruna" in cells), None)
    if idle is not None:
        out.append(("idle: no CPU (under 1 ms per second)", idle < IDLE_CORES, f"{cores(idle)} cores"))
    mosq = t.get("resident memory at rest, MB", "mosquitto")
    for server, what in (("toruna", ""), ("toruna-spin", " (built without Qt, informational)")):
        rest = t.get("resident memory at rest, MB", server)
        if rest is not None and mosq is not None:
            out.append((f"memory at rest: at most mosquitto's{what}", rest <= mosq,
                        f"{rest:.1f} vs {mosq:.1f} MB"))
    for n in (1000, 5000):
        label = f"RSS per connection at {n}, bytes"
        mine, mosq = t.get(label, "toruna"), t.get(label, "mosquitto")
        if mine is not None:
            out.append((f"RSS per connection at {n}: at most 500 B", mine <= 500, f"{mine:.0f} B"))
        if mine is not None and mosq is not None:
            out.append((f"RSS per connection at {n}: below mosquitto", mine < mosq, f"{mine:.0f} vs {mosq:.0f} B"))
    took = t.get("register 5000 clients, s", "toruna")
    if took is not None:
        out.append(("register 5000 clients within 1 s", took <= 1,
                    f"{took:.2f} s, {si(5000 / took) if took > 0 else '-'}/s"))
    p50 = t.get("latency 1 sub, p50 µs", "toruna")
    peers = [v for v in (t.get("latency 1 sub, p50 µs", p) for p in PEERS) if v is not None]
    if p50 is not None and peers:
        out.append(("latency 1 sub: p50 no worse than the best peer", p50 <= min(peers),
                    f"{p50:.1f} vs {min(peers):.1f} µs"))
    for n in (1, 100):
        mx = t.get(f"latency {n} {subs(n)}, max µs", "toruna")
        if mx is not None:
            out.append((f"latency {n} {subs(n)}: max below 5 ms", mx < 5000, f"{mx / 1000:.2f} ms"))
    for key in sorted(k for k in t.rows if k[0] == 5 and "worst delay" in k[2]):
        if "toruna" in t.rows[key]:
            worst = t.rows[key]["toruna"][1]
            out.append((f"{key[2].rsplit(', ', 1)[0]}: no value delayed more than 50 ms", worst <= 50,
                        f"{worst:.1f} ms"))
    for key in sorted(k for k in t.rows if k[0] == 6 and k[1] % 10 == 1):
        if "toruna" in t.rows[key]:
            mx = t.rows[key]["toruna"][1]
            out.append((f"announce to {key[1] // 10} watchers: announcement max below 10 ms "
                        "(informational)", mx < 10000, f"{mx / 1000:.2f} ms"))
    return out


def failure(r):
    asked = r.get("scenario_asked", r["scenario"])
    if asked == "connscale" or asked == "storm":
        n = r.get("clients", 0)
    elif asked == "announce":
        n = r.get("watchers", r.get("subs", 0))
    elif asked == "light":
        n = r.get("rate", 0)
    else:
        n = r.get("subs", 0)
    why = ("a newcomer was not told of every client before it" if asked == "announce"
           else "loss or disorder")
    extra = f' ({r["how"]})' if asked == "storm" and "how" in r else ""
    return f'{r["server"]} {asked} {int(n)}{extra}: {r.get("error", why)}'


def collect(records):
    t = Table()
    failed, machine, end, no_register = [], None, None, set()
    for r in records:
        server, sc = r["server"], r["scenario"]
        if sc == "machine":
            machine = r
            continue
        if sc == "machine_end":
            end = r
            continue
        mark = "" if r.get("ok", True) else " FAIL"
        if sc == "error" or not r.get("ok", True):
            failed.append(failure(r))
        if sc == "fanout":
            med = r["median"]
            spread = (r["max"] - r["min"]) / med * 100 if med else 0
            n = int(r["subs"])
            rate_label, cost_label = fanout_labels(n)
            t.put(0, n * 10, rate_label, server, f"{si(med)} ±{spread:.0f}%{mark}", med)
            if "cpu_per_m" in r:
                t.put(0, n * 10 + 1, cost_label, server, f'{r["cpu_per_m"]:.3g}', r["cpu_per_m"])
        elif sc == "latency":
            n = int(r["subs"])
            for i, key in enumerate(("p50_us", "p99_us", "max_us")):
                t.put(1, n * 10 + i, f"latency {n} {subs(n)}, {key[:-3]} µs", server,
                      f"{r[key]:.1f}{mark}", r[key])
        elif sc == "rest":
            idle = f'idle with {int(r["subs"]) + 1} clients'
            if r.get("rss_kb", -1) > 0:
                mb = r["rss_kb"] / 1024
                t.put(2, 0, "resident memory at rest, MB", server, f"{mb:.1f}", mb)
            if "cores" in r:
                t.put(2, 1, f"{idle}, server cores", server, cores(r["cores"]), r["cores"])
            if "wakeups_per_s" in r:
                t.put(2, 2, f"{idle}, server wake-ups/s", server,
                      f'{r["wakeups_per_s"]:.1f}', r["wakeups_per_s"])
        elif sc == "light":
            rate, n = r["rate"], int(r["subs"])
            cores_label, delay_label = light_labels(rate, n)
            # A server that could not take the rate held the publisher back.
            short = r["sent_per_s"] < 0.98 * rate
            note = f' (took {si(r["sent_per_s"])}/s)' if short else ""
            if short:
                t.short.add((cores_label, server))
            if "cores" in r:
                t.put(3, int(rate) * 10000 + n * 10, cores_label, server, cores(r["cores"]) + note + mark, r["cores"])
            t.put(3, int(rate) * 10000 + n * 10 + 1, delay_label, server, f'{r["delay_p99_us"]:.0f}{mark}',
                  r["delay_p99_us"])
        elif sc == "connscale":
            n = int(r["clients"])
            registers = r.get("registers", True)
            if not registers:
                no_register.add(server)
            reg = lambda text, value: (text, value) if registers else ("n/a", None)
            t.put(4, n * 10, f"register {n} clients, s", server, *reg(f'{r["seconds"]:.3f}', r["seconds"]))
            rate = r.get("rate", n / r["seconds"] if r["seconds"] > 0 else None)
            if rate is not None:
                t.put(4, n * 10 + 1, f"register {n} clients, registrations/s", server, *reg(si(rate), rate))
            if "cpu_s" in r:
                t.put(4, n * 10 + 2, f"register {n} clients, server CPU s", server,
                      *reg(f'{r["cpu_s"]:.3f}', r["cpu_s"]))
            if "cpu_settled_s" in r:
                # What the burst cost in all: news still sent after the last registration too.
                t.put(4, n * 10 + 2.5, f"register {n} clients, server CPU s until all was sent", server,
                      *reg(f'{r["cpu_settled_s"]:.3f}', r["cpu_settled_s"]))
            if "bytes_per_conn" in r:
                t.put(4, n * 10 + 3, f"RSS per connection at {n}, bytes", server,
                      f'{r["bytes_per_conn"]:.0f}', r["bytes_per_conn"])
            if "bytes_per_conn_cold" in r:
                t.put(4, n * 10 + 5, f"RSS per connection at {n} with the first registration's, bytes",
                      server, f'{r["bytes_per_conn_cold"]:.0f}', None)
            if "listen_drops" in r:
                t.put(4, n * 10 + 4, f"connects dropped at {n} (full accept queue)", server,
                      f'{r["listen_drops"]:.0f}', None)
        elif sc == "storm":
            n, how = int(r["clients"]), r["how"]
            base = n * 100 + STORM_HOW.index(how) * 10
            done, worst, peak = storm_labels(n, how)
            t.put(5, base, done, server, f'{r["seconds"]:.3f}{mark}', r["seconds"])
            t.put(5, base + 1, worst, server, f'{r["delay_max_us"] / 1000:.1f}', r["delay_max_us"] / 1000)
            if r.get("peak_kb", -1) > 0:
                t.put(5, base + 2, peak, server, f'{r["peak_kb"] / 1024:.1f}', r["peak_kb"] / 1024)
        elif sc == "announce":
            n = int(r["watchers"])
            for i, (what, prefix) in enumerate((("registration", "reg"), ("announcement", "ann"))):
                p50, p99, mx = (r[f"{prefix}_{q}_us"] for q in ("p50", "p99", "max"))
                t.put(6, n * 10 + i, f"announce to {n} watchers, {what} p50/p99/max µs", server,
                      f"{p50:.0f}/{p99:.0f}/{mx:.0f}{mark}", mx)
    return t, failed, machine, end, no_register


def main(path):
    with open(path) as f:
        records = [json.loads(line) for line in f if line.strip().startswith("{")]
    t, failed, machine, end, no_register = collect(records)
    servers = [s for s in ORDER if any(s in v for v in t.rows.values())]
    peers = [p for p in PEERS if p in servers] if "toruna" in servers else []
    head = ["scenario"] + servers + [f"t/{p}" for p in peers]
    table = [head]
    for key in sorted(t.rows):
        cells = t.rows[key]
        line = [key[2]] + [cells.get(s, ("-", None))[0] for s in servers]
        for p in peers:
            a, b = cells.get("toruna", (None, None))[1], cells.get(p, (None, None))[1]
            line.append(f"{a / b:.2f}" if a is not None and b else "-")
        table.append(line)
    widths = [max(len(row[i]) for row in table) for i in range(len(head))]
    print()
    if machine:
        print(f'{machine["date"]}, {machine["cpus"]} CPUs, Linux {machine["kernel"]}; '
              f'mosquitto {machine["mosquitto"]}, nats-server {machine["nats"]}, '
              f'redis-server {machine.get("redis", "-")}')
        if "load" in machine:
            print(f'load average at the start {machine["load"]}'
                  + (f', at the end {end["load"]}' if end else ""))
        print()
    for i, row in enumerate(table):
        print("  ".join(c.ljust(widths[j]) if j == 0 else c.rjust(widths[j])
                        for j, c in enumerate(row)))
        if i == 0:
            print("  ".join("-" * w for w in widths))
    print("\nt/PEER is toruna ÷ peer: above 1 is better for deliveries/s and "
          "registrations/s, below 1 for CPU, latency, time and memory.")
    if "toruna-spin" in servers:
        print("toruna-spin: the same server built with a 50 us spin before sleeping "
              "(and without the tray's Qt, which the headless face does not use).")
    if "floor" in servers:
        print("floor: no server, a relay that only receives and sends, fed alike (bench/floor): "
              "what the kernel alone costs per delivery here.")
    for s in sorted(no_register):
        print(f"{s}: a connection is a client, there is no registration (n/a); "
              "its memory per connection is measured all the same.")
    goals = targets(t)
    if goals:
        print("\ngoals for the relay:")
        for text, met, detail in goals:
            print(f"  {'met    ' if met else 'NOT met'}  {text} ({detail})")
    print(f"\nraw results: {path}")
    for f in failed:
        print(f"FAILED: {f}")


if __name__ == "__main__":
    main(sys.argv[1])
