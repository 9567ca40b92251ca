"""A sensor for the web tests: registers as CLIENT, creates EVENT, publishes
a slow wave at RATE values a second while somebody subscribes, says
"subscribed"/"unsubscribed" as that changes, and takes commands on its
standard input: "remove" removes the event, "burst N" publishes N values at
once (as fast as the connection takes them)."""
import asyncio
import math
import sys
import time

import toruna


async def main():
    client, event, unit, maximum, rate = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), float(sys.argv[5])
    async with toruna.connect("127.0.0.1", name=client) as c:
        e = await c.create_event(event, unit=unit, maximum=maximum)
        print("created", flush=True)
        reader = asyncio.StreamReader()
        await asyncio.get_running_loop().connect_read_pipe(lambda: asyncio.StreamReaderProtocol(reader), sys.stdin)
        commands = asyncio.ensure_future(reader.readline())
        listening = False
        start = time.monotonic()
        while True:
            if commands.done():
                command = commands.result().split()
                if command == [b"remove"]:
                    await e.remove()
                    print("removed", flush=True)
                    await asyncio.sleep(3600)
                if command[:1] == [b"burst"]:
                    for i in range(int(command[1])):
                        await e.publish(i % 200)
                    print("burst sent", flush=True)
                commands = asyncio.ensure_future(reader.readline())
            if e.has_subscribers != listening:
                listening = e.has_subscribers
                print("subscribed" if listening else "unsubscribed", flush=True)
            if listening:
                t = time.monotonic() - start
                await e.publish(int(maximum / 2 + maximum / 3 * math.sin(t / 4) + maximum / 12 * math.sin(t * 1.7)))
            await asyncio.sleep(1 / rate)


asyncio.run(main())
