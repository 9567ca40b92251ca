"""Finding servers: a UDP request to port 9666, answered by every server that
receives it with its name and its number of registered clients."""

from __future__ import annotations

import asyncio
import socket
from dataclasses import dataclass
from typing import Iterable, cast

from . import protocol
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

    def connect(self, *, name: str | None = None, timeout: float | None = 10.0) -> Connecting:
        """``toruna.connect`` to this server."""
        return connect(self.address, name=name, timeout=timeout)


async def discover(timeout: float = 1.0, to: str | Iterable[str] | None = None,
                   port: int = protocol.DISCOVERY_PORT) -> list[Server]:
    """Asks for servers and collects the answers that arrive within ``timeout`` seconds.

    With ``to`` None the request is a broadcast on the local network; otherwise it
    goes to each given address or host name. Servers come in the order they
    answered, each once. An empty list means nobody answered. Raises
    UnreachableError when the request could not be sent anywhere.
    """
    destinations = [BROADCAST] if to is None else [to] if isinstance(to, str) else list(to)
    if not destinations:
        raise ValueError("discover needs at least one address to ask")
    loop = asyncio.get_running_loop()
    found: dict[str, Server] = {}
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        sock.setblocking(False)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        sock.bind(("", 0))
        request = protocol.discovery_request(sock.getsockname()[1])
        problems = []
        for destination in destinations:
            try:
                infos = await loop.getaddrinfo(destination, port, family=socket.AF_INET,
                                               type=socket.SOCK_DGRAM)
                sock.sendto(request, infos[0][4])
            except socket.gaierror as e:
                problems.append(f"host {destination} not found: {e.strerror}")
            except OSError as e:
                what = "the broadcast" if destination == BROADCAST else destination
                problems.append(f"cannot ask {what}: {e.strerror or e}")
        if len(problems) == len(destinations):
            raise UnreachableError("; ".join(problems))

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
            if reply is not None and address not in found:
                found[address] = Server(address, reply[0], reply[1])
    return list(found.values())
