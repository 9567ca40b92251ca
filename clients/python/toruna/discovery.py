"""Finding servers: a UDP request to port 9666, answered by every server that
receives it with its name and its number of registered clients."""

from __future__ import annotations

import asyncio
import socket
from dataclasses import dataclass
from typing import Iterable, cast

from . import interfaces, protocol
from .client import Connecting, connect
from .errors import UnreachableError

BROADCAST = "255.255.255.255"


@dataclass(frozen=True)
class Server:
    """A server that answered: its IPv4 address, its name and how many clients
    were registered with it when it answered."""

    address: str
    name: str
    clients: int

    def connect(self, *, name: str | None = None, timeout: float | None = 10.0,
                keepalive: float | None = 120.0, reconnect: bool = False) -> Connecting:
        """``toruna.connect`` to this server."""
        return connect(self.address, name=name, timeout=timeout, keepalive=keepalive,
                       reconnect=reconnect)


def _local_addresses() -> tuple[list[str], set[str]]:
    """The broadcast addresses of the interfaces that are up, and this
    machine's own addresses; nothing of either where they cannot be listed."""
    try:
        addresses = interfaces.ipv4_addresses()
    except OSError:
        return [], set()
    return interfaces.broadcast_addresses(addresses), {a.address for a in addresses}


async def discover(timeout: float = 1.0, to: str | Iterable[str] | None = None,
                   port: int = protocol.DISCOVERY_PORT) -> list[Server]:
    """Asks for servers and collects the answers that arrive within ``timeout`` seconds.

    With ``to`` None the request is a broadcast: to 255.255.255.255 and to the
    broadcast address of every interface that is up, so that it also reaches
    networks without a default route. Otherwise it goes to each given address
    or host name. A destination that cannot be reached counts as one that did
    not answer. Servers come in the order they answered, each once (a server
    on this machine answers from each of its addresses: it is listed once).
    An empty list means nobody answered. Raises UnreachableError only when
    none of the host names in ``to`` could be found.
    """
    broadcasts, own = _local_addresses()
    if to is None:
        destinations = [BROADCAST, *broadcasts]
    else:
        destinations = [to] if isinstance(to, str) else list(to)
        if not destinations:
            raise ValueError("discover needs at least one address to ask")
    loop = asyncio.get_running_loop()
    found: dict[str, Server] = {}
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        sock.setblocking(False)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        sock.bind(("", 0))
        request = protocol.discovery_request(sock.getsockname()[1])
        not_found = []
        for destination in destinations:
            try:
                infos = await loop.getaddrinfo(destination, port, family=socket.AF_INET,
                                               type=socket.SOCK_DGRAM)
            except socket.gaierror as e:
                not_found.append(f"host {destination} not found: {e.strerror}")
                continue
            try:
                sock.sendto(request, infos[0][4])
            except OSError:
                pass  # no route there (a network without a default route): no answer
        if to is not None and len(not_found) == len(destinations):
            raise UnreachableError("; ".join(not_found))

        end = loop.time() + timeout
        while (left := end - loop.time()) > 0:
            try:
                received = await asyncio.wait_for(loop.sock_recvfrom(sock, 65536), left)
                # (Older type stubs give sock_recvfrom a wrong result type.)
                data, (address, _) = cast(tuple[bytes, tuple[str, int]], received)
            except TimeoutError:
                break
            except OSError:
                continue  # an ICMP error for one destination; others may still answer
            reply = protocol.parse_discovery_reply(data)
            if reply is None:
                continue
            # A server on this machine answers from whichever own address the
            # request went to: all of them are one server.
            key = "this machine" if address in own else address
            if key not in found:
                found[key] = Server(address, reply[0], reply[1])
    return list(found.values())
