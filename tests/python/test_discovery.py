"""Discovery against the real server: by address and by broadcast, with the
server's name (Windows-1252 on the wire) and its count of registered clients."""

import os

import pytest

import toruna


async def test_asking_by_address(start_server):
    assert await toruna.discover(timeout=0.3, to="127.0.0.1") == []

    start_server("Küche € 1")
    found = await toruna.discover(timeout=0.5, to="127.0.0.1")
    assert found == [toruna.Server("127.0.0.1", "Küche € 1", 0)]

    async with toruna.connect("127.0.0.1", name="Counted"):
        # Two names for one address: one answer; a name that cannot be found
        # spoils nothing for the others.
        found = await toruna.discover(timeout=0.5, to=["localhost", "no-such-host.invalid",
                                                       "127.0.0.1"])
        assert found == [toruna.Server("127.0.0.1", "Küche € 1", 1)]
        async with found[0].connect(name="Via the answer") as client:
            assert client.server_name == "Küche € 1"


async def test_nowhere_to_ask():
    with pytest.raises(toruna.UnreachableError, match="no-such-host.invalid not found"):
        await toruna.discover(timeout=0.3, to="no-such-host.invalid")


@pytest.mark.skipif(not os.environ.get("TORUNA_BROADCAST"),
                    reason="the namespace has no interface for a broadcast")
async def test_broadcast(start_server):
    start_server("Broadcast Lab")
    found = await toruna.discover(timeout=0.5)
    assert [(s.name, s.clients) for s in found] == [("Broadcast Lab", 0)]
    async with found[0].connect(name="Found"):
        pass
