"""Connections in the real world: a server that restarts, one that vanishes
without a word, and clients that come back."""

import asyncio
import subprocess

import toruna

AGAIN = dict(reconnect=True, reconnect_delay=0.1, reconnect_max_delay=0.5)


async def test_clients_come_back_after_a_server_restart(start_server):
    server = start_server()
    async with toruna.connect("127.0.0.1", name="Sensor", **AGAIN) as sensor, \
            toruna.connect("127.0.0.1", name="Logger", **AGAIN) as logger:
        temp = await sensor.create_event("Temp", unit="°C")
        values = logger.subscribe("Sensor/*")
        links = [sensor.connection_changes(), logger.connection_changes()]
        await temp.wait_for_subscriber(5)
        await temp.publish(1)
        assert (await anext(values)).value == 1
        roster = logger.changes()

        server.kill()
        for feed in links:
            change = await anext(feed)
            assert change.kind == "down" and isinstance(change.reason, toruna.ServerClosedError)
        assert not sensor.connected and not sensor.closed
        # Nothing is known of a server that is away.
        assert not temp.has_subscribers and temp.id == 0 and sensor.own_events == {}
        assert logger.events == {} and values.events == ()
        assert [(c.kind, c.client.name) for c in (await anext(roster), await anext(roster))] \
            == [("removed", "Sensor"), ("left", "Sensor")]
        await temp.publish(2)  # nobody could hear it: dropped
        hum_created = asyncio.create_task(sensor.create_event("Hum"))

        start_server()
        for feed in links:
            assert await anext(feed) == toruna.ConnectionChange("up")
        # The logger's pattern takes the sensor's event again, whoever came back first.
        await temp.wait_for_subscriber(5)
        hum = await hum_created
        await temp.publish(3)
        assert (await anext(values)).value == 3
        assert sensor.connected and sensor.own_events == {temp.id: temp, hum.id: hum}
        async with toruna.connect("127.0.0.1", name="Newcomer") as newcomer:
            assert sorted((e.path, e.unit) for e in newcomer.events.values()) == \
                [("Sensor/Hum", ""), ("Sensor/Temp", "°C")]
            assert sorted(c.name for c in newcomer.clients.values()) == ["Logger", "Sensor"]


async def test_closing_while_away_ends_the_attempts(start_server):
    server = start_server()
    tasks = asyncio.all_tasks()
    client = await toruna.connect("127.0.0.1", name="Patient", **AGAIN)
    links = client.connection_changes()
    values = client.subscribe("*")
    server.kill()
    assert (await anext(links)).kind == "down"
    await asyncio.sleep(0.5)  # some attempts, refused
    await client.close()
    assert "was closed" in str(client.close_reason)
    assert [c async for c in links] == [] and [v async for v in values] == []
    assert asyncio.all_tasks() == tasks


async def test_a_server_that_vanishes_is_noticed(start_server, namespace):
    # The server behind a link of its own: with its end down it is gone without
    # a FIN or RST, as a machine that loses power is.
    subprocess.run(["ip", "link", "add", "tk0", "type", "veth", "peer", "name", "tk1",
                    "netns", str(namespace.holder.pid)], check=True)
    subprocess.run(["ip", "addr", "add", "10.88.0.1/24", "dev", "tk0"], check=True)
    subprocess.run(["ip", "link", "set", "tk0", "up"], check=True)
    namespace.ip("addr", "add", "10.88.0.2/24", "dev", "tk1")
    namespace.ip("link", "set", "tk1", "up")
    start_server(netns=namespace)

    idle = await toruna.connect("10.88.0.2", name="Idle", keepalive=2)
    busy = await toruna.connect("10.88.0.2", name="Busy", keepalive=2)
    back = await toruna.connect("10.88.0.2", name="Back", keepalive=2, timeout=1, **AGAIN)
    event = await busy.create_event("E")
    links = back.connection_changes()
    namespace.ip("link", "set", "tk1", "down")
    for n in range(3):  # left unacknowledged
        await event.publish(n)
    for client in (idle, busy):
        await asyncio.wait_for(client.wait_closed(), 20)
        assert "stopped answering" in str(client.close_reason)
    down = await asyncio.wait_for(anext(links), 20)
    assert down.kind == "down" and "stopped answering" in str(down.reason)

    namespace.ip("link", "set", "tk1", "up")
    assert await asyncio.wait_for(anext(links), 20) == toruna.ConnectionChange("up")
    assert back.server_name == "Test Lab"
    await back.close()
