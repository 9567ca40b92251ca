#!/usr/bin/env python3
"""A dashboard: shows who is on a server and prints the values of the events it
watches as they arrive, also of events created later.

    dashboard.py [--host HOST] [--name Dashboard] [--count N] [PATTERN ...]

Patterns are shell wildcards over "client/event" names, "*" (every event) when
none is given; quote them for the shell: '*/Temp'. Without --host the dashboard
takes the first server that answers a broadcast. When the server goes away it
waits for it to come back and goes on. Ctrl-C ends it.
"""

import argparse
import asyncio
import sys

import toruna


async def find_server(host: str | None) -> str:
    if host:
        return host
    servers = await toruna.discover(timeout=1.0)
    if not servers:
        sys.exit("dashboard: no server answered")
    return servers[0].address


def describe(event: toruna.RemoteEvent) -> str:
    return f"{event.name} [{event.unit}]" if event.unit else event.name


async def run(args: argparse.Namespace) -> None:
    host = await find_server(args.host)
    async with toruna.connect(host, name=args.name, reconnect=True) as client:
        print(f"server {client.server_name}, {len(client.clients)} other clients", flush=True)
        for other in client.clients.values():
            events = ", ".join(describe(e) for e in other.events) or "no events"
            print(f"  {other.name}: {events}", flush=True)
        shown = 0
        async for v in client.subscribe(*args.patterns):
            print(f"{v.time:%H:%M:%S} {v.path} {v.value} {v.unit}".rstrip(), flush=True)
            shown += 1
            if shown == args.count:
                break


def main() -> None:
    p = argparse.ArgumentParser(description="Prints the values of the events it watches.")
    p.add_argument("--host", help="the server (default: the first that answers a broadcast)")
    p.add_argument("--name", default="Dashboard", help="the client's name")
    p.add_argument("--count", type=int, help="stop after this many values")
    p.add_argument("patterns", nargs="*", default=["*"], metavar="PATTERN")
    args = p.parse_args()
    try:
        asyncio.run(run(args))
    except KeyboardInterrupt:
        pass
    except toruna.TorunaError as e:
        sys.exit(f"dashboard: {e}")


if __name__ == "__main__":
    main()
