"""Registering, the roster as clients and events come and go, and how a
connection fails or ends, against the real server."""

import asyncio
import os

import pytest

import toruna
from toruna import protocol
from support import until


async def test_roster_follows_clients_and_events(server):
    async with toruna.connect("127.0.0.1", name="Küche") as a, \
            toruna.connect("127.0.0.1", name="Beta") as b:
        temp = await a.create_event("Zähler", unit="m³", interval=10, maximum=100)
        hum = await a.create_event("Hum")
        # Connections and events draw their IDs from one counter.
        assert (temp.id, hum.id) == (3, 4)
        await until(lambda: len(b.events) == 2)

        c = await toruna.connect("127.0.0.1", name="Gamma")
        assert c.server_name == "Test Lab"
        # Complete on return: the others and their events, in their order.
        assert [(x.id, x.name) for x in c.clients.values()] == [(1, "Küche"), (2, "Beta")]
        kitchen = c.clients[1]
        assert [(e.id, e.name, e.unit, e.interval, e.maximum, e.path) for e in kitchen.events] \
            == [(3, "Zähler", "m³", 10, 100, "Küche/Zähler"), (4, "Hum", "", 0, 255, "Küche/Hum")]
        assert c.events[3].owner is kitchen and c.events[3].client == "Küche"
        assert [e.id for e in c.find_events("*/Z?hler")] == [3]
        await until(lambda: [x.name for x in a.clients.values()] == ["Beta", "Gamma"])
        assert a.own_events == {3: temp, 4: hum}

        changes = c.changes()
        await b.close()
        await until(lambda: list(c.clients) == [1])
        await hum.remove()
        await until(lambda: list(c.events) == [3])
        assert kitchen.events == (c.events[3],)
        assert a.own_events == {3: temp}
        async with toruna.connect("127.0.0.1", name="Delta") as d:
            await d.create_event("X")
            await until(lambda: len(c.events) == 2)
    # A departed client's events go with it.
    await until(lambda: not c.clients)
    assert c.events == {}
    seen = []
    async for change in changes:
        seen.append((change.kind, change.client.name, change.event and change.event.name))
        if len(seen) == 8:
            break
    assert seen == [("left", "Beta", None), ("removed", "Küche", "Hum"),
                    ("joined", "Delta", None), ("created", "Delta", "X"),
                    ("removed", "Delta", "X"), ("left", "Delta", None),
                    ("removed", "Küche", "Zähler"), ("left", "Küche", None)]
    await until(lambda: changes.closed)
    await c.close()


async def test_names_that_cannot_be_sent(server):
    with pytest.raises(toruna.EncodingError, match=r"'→' \(U\+2192\)"):
        toruna.connect("127.0.0.1", name="Küche→")
    with pytest.raises(ValueError, match="needs a name"):
        toruna.connect("127.0.0.1", name="")
    with pytest.raises(ValueError, match="at most 2044"):
        toruna.connect("127.0.0.1", name="x" * 2045)
    assert server.log() == [], "nothing may reach the server"

    async with toruna.connect("127.0.0.1", name="y" * 2044) as a, \
            toruna.connect("127.0.0.1", name="Other") as b:
        assert [x.name for x in b.clients.values()] == ["y" * 2044]
        with pytest.raises(toruna.EncodingError, match="the unit"):
            await a.create_event("Temp", unit="℃")
        with pytest.raises(ValueError, match="at most 2027 fit"):
            await a.create_event("n" * 2028)
        for bad in [dict(name=""), dict(name="T\0x"), dict(name="T", interval=40000),
                    dict(name="T", maximum=-32769)]:
            with pytest.raises(ValueError):
                await a.create_event(**bad)
        # Refused before sending: the connection is fine and nobody heard of them.
        longest = await a.create_event("n" * 2023, unit="°C")
        await until(lambda: list(b.events) == [longest.id])
        assert b.events[longest.id].unit == "°C"


async def test_connecting_fails_clearly(start_server):
    with pytest.raises(toruna.RefusedError, match="connection refused by 127.0.0.1") as e:
        await toruna.connect("127.0.0.1", name="Early")
    assert isinstance(e.value, ConnectionRefusedError)
    with pytest.raises(toruna.UnreachableError, match="host no-such-host.invalid not found"):
        await toruna.connect("no-such-host.invalid", name="Lost")
    if os.environ.get("TORUNA_BROADCAST"):
        # A host on the namespace's own network that nobody answers for.
        with pytest.raises(toruna.UnreachableError, match="10.99.0.2 is unreachable"):
            await toruna.connect("10.99.0.2", name="Lost", timeout=0.5)

    start_server()
    with pytest.raises(toruna.RefusedError, match="127.0.0.1 port 13132"):
        await toruna.connect("127.0.0.1", name="Wrong port", port=13132)
    client = await toruna.connect("localhost", name="Late")
    assert client.server_name == "Test Lab" and not client.closed
    await client.close()
    assert isinstance(client.close_reason, toruna.ClosedError)
    with pytest.raises(toruna.ClosedError, match="was closed"):
        await client.create_event("Temp")


async def test_server_going_away_ends_everything(server):
    a = await toruna.connect("127.0.0.1", name="Sensor")
    b = await toruna.connect("127.0.0.1", name="Dashboard")
    temp = await a.create_event("Temp")
    humidity = await a.create_event("Hum")
    subscription = b.subscribe("Sensor/Temp")
    await temp.wait_for_subscriber(5)
    await temp.publish(7)
    await until(lambda: len(subscription._items) == 1)

    server.kill()
    await a.wait_closed()
    await b.wait_closed()
    for client in (a, b):
        assert isinstance(client.close_reason, toruna.ServerClosedError)
        assert "closed the connection" in str(client.close_reason)
    # What arrived before is still handed out, then the reason.
    values = []
    with pytest.raises(toruna.ServerClosedError):
        async for v in subscription:
            values.append(v.value)
    assert values == [7]
    with pytest.raises(toruna.ServerClosedError):
        await temp.publish(8)
    with pytest.raises(toruna.ServerClosedError):
        await humidity.wait_for_subscriber()
    with pytest.raises(toruna.ServerClosedError):
        b.subscribe("*")
    await a.close()
    await b.close()


async def test_what_a_client_takes_from_a_stand_in_server():
    # What the real server never sends: a stand-in on another port sends it.
    script: list[bytes] = []

    async def serve(reader, writer):
        await reader.read(100)  # the registration
        for chunk in script:
            writer.write(chunk)
            await writer.drain()
            await asyncio.sleep(0.01)
        await reader.read()  # until the client closes
        writer.close()

    stand_in = await asyncio.start_server(serve, "127.0.0.1", 13200)
    async with stand_in:
        # No ServerInfo: the registration does not complete.
        with pytest.raises(toruna.UnreachableError, match="did not complete the registration"):
            await toruna.connect("127.0.0.1", name="A", port=13200, timeout=0.3)

        # Frames split anywhere, of unknown types, of length 0, or longer than
        # their layout; a name with a byte Windows-1252 leaves unassigned.
        value = protocol.event_data(5, 9)
        longer = value[:1] + b"\x08\x00" + value[3:] + b"xx"
        stream = (protocol.client_info(4, "Dee") + protocol.event_info(4, 5, 0, 1, "E", "u") +
                  b"\x2a\x00\x00" + b"\x2a\x02\x00\x63\x00" + protocol.server_info("S\x81") +
                  longer + b"\x2a\x06\x00\x06\x05\x00\x00\x00")
        script[:] = [stream[i:i + 1] for i in range(len(stream))] + [b"\x01\x00"]
        client = await toruna.connect("127.0.0.1", name="B", port=13200)
        assert client.server_name == "S\x81"
        values = client.subscribe("Dee/E")
        assert (await anext(values)).value == 9
        # The EventSubscribe left incomplete is finished by a byte; then a byte
        # that is not a marker ends the connection.
        with pytest.raises(toruna.ProtocolError, match="lost protocol sync: byte 00"):
            await anext(values)
        assert isinstance(client.close_reason, toruna.ProtocolError)
        await client.close()
