#!/usr/bin/env python3
"""A sensor: publishes one reading per period, but only while somebody listens.

    sensor.py [--host HOST] [--name Kitchen] [--event Temp] [--unit °C]
              [--file PATH] [--scale 0.001] [--period 1] [--count N]

The reading is the number in --file times --scale, rounded and kept within 0 to
--maximum; the defaults read the CPU temperature in °C that Linux offers on most
machines, single-board computers included. Without --host the sensor takes the
first server that answers a broadcast. The event's interval is the period in
milliseconds, so that others know how often to expect a value. When the server
goes away (a restart, a pulled cable), the sensor says so and comes back on its
own, with its event.
"""

import argparse
import asyncio
import sys

import toruna


def read(path: str, scale: float, maximum: int) -> int:
    with open(path, encoding="ascii") as f:
        return min(max(round(float(f.read()) * scale), 0), maximum)


async def find_server(host: str | None) -> str:
    if host:
        return host
    servers = await toruna.discover(timeout=1.0)
    if not servers:
        sys.exit("sensor: no server answered")
    return servers[0].address


async def report(client: toruna.Client) -> None:
    """Says when the server is lost and when the sensor is back on it."""
    async for change in client.connection_changes():
        if change.kind == "down":
            print(f"lost the server ({change.reason}); reconnecting", flush=True)
        else:
            print(f"back on {client.server_name}", flush=True)


async def run(args: argparse.Namespace) -> None:
    host = await find_server(args.host)
    async with toruna.connect(host, name=args.name, reconnect=True) as client:
        reporter = asyncio.create_task(report(client))
        event = await client.create_event(args.event, unit=args.unit,
                                          interval=round(args.period * 1000),
                                          maximum=args.maximum)
        print(f"created {args.event} on {client.server_name}", flush=True)
        published = 0
        while args.count is None or published < args.count:
            if not event.has_subscribers:
                print("waiting for a subscriber", flush=True)
                await event.wait_for_subscriber()
            value = read(args.file, args.scale, args.maximum)
            await event.publish(value)
            published += 1
            print(f"published {value} {args.unit}".rstrip(), flush=True)
            await asyncio.sleep(args.period)
    await reporter  # its iteration ended with the connection


def main() -> None:
    p = argparse.ArgumentParser(description="Publishes a reading while somebody listens.")
    p.add_argument("--host", help="the server (default: the first that answers a broadcast)")
    p.add_argument("--name", default="Sensor", help="the client's name")
    p.add_argument("--event", default="Temp")
    p.add_argument("--unit", default="°C")
    p.add_argument("--file", default="/sys/class/thermal/thermal_zone0/temp")
    p.add_argument("--scale", type=float, default=0.001, help="the file's number times this")
    p.add_argument("--maximum", type=int, default=255)
    p.add_argument("--period", type=float, default=1.0, help="seconds between readings")
    p.add_argument("--count", type=int, help="stop after this many values")
    args = p.parse_args()
    try:
        asyncio.run(run(args))
    except KeyboardInterrupt:
        pass
    except (toruna.TorunaError, OSError, ValueError) as e:
        sys.exit(f"sensor: {e}")


if __name__ == "__main__":
    main()
