"""Publishes EVENTS events (spread over a few clients) at RATE values a second
each, as long as somebody subscribes, until killed. Used by bench/web/run."""
import asyncio
import math
import sys
import time

import toruna


async def client(index, events, rate):
    async with toruna.connect("127.0.0.1", name=f"Sensor{index}") as c:
        handles = [await c.create_event(f"Load{index}-{i}", unit="%", maximum=100) for i in range(events)]
        period = 1 / rate
        start = time.monotonic()
        tick = 0
        while True:
            tick += 1
            t = time.monotonic() - start
            for i, e in enumerate(handles):
                if e.has_subscribers:
                    await e.publish(int(50 + 40 * math.sin(t / (3 + i)) + 5 * math.sin(t * 7)))
            await asyncio.sleep(max(0.0, start + tick * period - time.monotonic()))


async def main():
    events, rate, clients = int(sys.argv[1]), float(sys.argv[2]), int(sys.argv[3])
    await asyncio.gather(*(client(i, events // clients, rate) for i in range(clients)))


asyncio.run(main())
