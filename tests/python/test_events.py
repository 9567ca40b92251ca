"""Own events and subscriptions against the real server: who listens, what
arrives, and that leaving a subscription in any way unsubscribes."""

import asyncio
import datetime

import pytest

import toruna
from support import until


async def test_subscriptions_by_pattern(server):
    async with toruna.connect("127.0.0.1", name="Dashboard") as dash, \
            toruna.connect("127.0.0.1", name="Kitchen") as kitchen:
        # Subscribed before the event exists: it is taken when it is created.
        by_name = dash.subscribe("*/Temp")
        temp = await kitchen.create_event("Temp", unit="°C")
        other = await kitchen.create_event("Hum")
        await temp.wait_for_subscriber(5)
        assert not other.has_subscribers
        before = datetime.datetime.now().astimezone()
        for v in (19, 20, 255):
            await temp.publish(v)
        received = [await anext(by_name) for _ in range(3)]
        assert [(v.client, v.event, v.value, v.unit, v.event_id, v.client_id, v.path)
                for v in received] == [("Kitchen", "Temp", x, "°C", temp.id, 2, "Kitchen/Temp")
                                       for x in (19, 20, 255)]
        assert all(before <= v.time <= datetime.datetime.now().astimezone() for v in received)
        assert [e.id for e in by_name.events] == [temp.id]

        # Two subscriptions want Temp: closing one keeps the server's subscription.
        by_owner = dash.subscribe("Kitchen/*")
        await other.wait_for_subscriber(5)
        by_name.close()
        await temp.publish(21)
        async for v in by_owner:
            assert (v.event, v.value) == ("Temp", 21)
            break
        # Leaving the loop unsubscribed from both.
        await until(lambda: not temp.has_subscribers and not other.has_subscribers)
        assert by_owner.closed
        assert [v async for v in by_name] == []

        # Leaving `async with` does too; a subscriber's departure is noticed as well.
        async with dash.subscribe("Kitchen/Hum") as hum_values:
            await other.wait_for_subscriber(5)
            await other.publish(1)
            assert (await anext(hum_values)).value == 1
        await until(lambda: not other.has_subscribers)
        async with toruna.connect("127.0.0.1", name="Brief") as brief:
            brief.subscribe("*")
            await temp.wait_for_subscriber(5)
        await until(lambda: not temp.has_subscribers)

        # A removed event: gone from the roster and from the subscriptions.
        everything = dash.subscribe("*")
        await temp.wait_for_subscriber(5)
        await temp.remove()
        await until(lambda: temp.id not in dash.events)
        assert [e.id for e in everything.events] == [other.id]
        assert not temp.has_subscribers and temp.removed
        with pytest.raises(toruna.EventRemovedError):
            await temp.publish(1)
        with pytest.raises(toruna.EventRemovedError):
            await temp.wait_for_subscriber()


async def test_waiting_for_a_subscriber(server):
    async with toruna.connect("127.0.0.1", name="Sensor") as sensor:
        temp = await sensor.create_event("Temp")
        with pytest.raises(TimeoutError):
            await temp.wait_for_subscriber(timeout=0.2)
        waiting = asyncio.create_task(temp.wait_for_subscriber())
        # Every departure tells owners that their events have nobody: no false alarm.
        async with toruna.connect("127.0.0.1", name="Passer-by"):
            pass
        await asyncio.sleep(0.2)
        assert not waiting.done()
        async with toruna.connect("127.0.0.1", name="Listener") as listener:
            listener.subscribe("Sensor/Temp")
            await asyncio.wait_for(waiting, 5)
            assert temp.has_subscribers
        # Removing the event while someone waits ends the wait.
        hum = await sensor.create_event("Hum")
        waiting = asyncio.create_task(hum.wait_for_subscriber())
        await asyncio.sleep(0)
        await hum.remove()
        with pytest.raises(toruna.EventRemovedError):
            await waiting
        for bad, error in ((256, ValueError), (-1, ValueError), ("1", TypeError),
                           (True, TypeError)):
            with pytest.raises(error):
                await temp.publish(bad)  # type: ignore[arg-type]


async def test_bursts_reach_every_subscriber_in_order(server):
    # The server closes a connection that has more than 2048 unread bytes waiting;
    # the client paces itself so that a burst of any size gets through.
    count = 5000
    async with toruna.connect("127.0.0.1", name="Fast") as fast, \
            toruna.connect("127.0.0.1", name="Ears") as ears:
        values = ears.subscribe("Fast/*")
        first = await fast.create_event("A")
        second = await fast.create_event("B")
        await first.wait_for_subscriber(5)
        await second.wait_for_subscriber(5)
        await asyncio.gather(*(e.publish(n % 256) for n in range(count) for e in (first, second)))
        got: dict[str, list[int]] = {"A": [], "B": []}
        async for v in values:
            got[v.event].append(v.value)
            if len(got["A"]) + len(got["B"]) == 2 * count:
                break
        assert got == {"A": [n % 256 for n in range(count)], "B": [n % 256 for n in range(count)]}
        assert not fast.closed and not ears.closed
