"""Discovery against the real server: by address and by broadcast, with the
server's name (Windows-1252 on the wire) and its count of registered clients."""

import json
import os
import subprocess
import sys

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


FIND_FROM_INSIDE = '''
import asyncio, errno, json, socket, toruna
with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
    s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    try:
        s.sendto(b"?1!", ("255.255.255.255", 9666))
        limited = "sent"
    except OSError as e:
        limited = errno.errorcode[e.errno]

async def main():
    found = await toruna.discover(timeout=0.5)
    both = await toruna.discover(timeout=0.5, to=["127.0.0.1", "10.77.0.1"])
    nowhere = await toruna.discover(timeout=0.2, to="192.0.2.1")
    return [[s.address, s.name, s.clients] for s in found], [s.address for s in both], nowhere

print(json.dumps([limited, *asyncio.run(main())]))
'''


def test_a_network_without_a_default_route(start_server, namespace):
    # An isolated lab network: one interface, no route but its own subnet's.
    namespace.ip("link", "add", "lan0", "type", "veth", "peer", "name", "lan1")
    namespace.ip("addr", "add", "10.77.0.1/24", "brd", "+", "dev", "lan0")
    namespace.ip("link", "set", "lan0", "up")
    namespace.ip("link", "set", "lan1", "up")
    start_server("Isolated", netns=namespace)
    done = subprocess.run(namespace.command(sys.executable, "-c", FIND_FROM_INSIDE),
                          capture_output=True, text=True, timeout=30)
    assert done.returncode == 0, done.stderr
    limited, found, both, nowhere = json.loads(done.stdout)
    assert limited == "ENETUNREACH"  # all that was tried before
    assert found == [["10.77.0.1", "Isolated", 0]]
    # Two of the machine's own addresses: one server. No route: no answer.
    assert both == ["127.0.0.1"] and nowhere == []
