"""One TCP connection to a server, as asyncio sees it: opening it (with
keepalive, so that a dead server is noticed) and handing over what arrives."""

from __future__ import annotations

import asyncio
import errno
import math
import socket
from dataclasses import dataclass
from typing import Callable, Literal

from . import protocol
from .errors import ClosedError, RefusedError, ServerClosedError, UnreachableError

_UNREACHABLE = {errno.ENETUNREACH, errno.EHOSTUNREACH, errno.EHOSTDOWN, errno.ETIMEDOUT}
# (Older type stubs lack the name; the number is Linux's.)
_TCP_USER_TIMEOUT: int = getattr(socket, "TCP_USER_TIMEOUT", 18)


@dataclass(frozen=True)
class ConnectionChange:
    """A reconnecting client lost its connection (``"down"``, with the
    reason) or is registered again (``"up"``)."""

    kind: Literal["down", "up"]
    reason: ClosedError | None = None


def where(host: str, port: int) -> str:
    return host if port == protocol.SERVER_PORT else f"{host} port {port}"


class Link(asyncio.Protocol):
    """One connection; hands what arrives to its receiver at once, in the
    callback that read it, so that answers can leave in the same round."""

    def __init__(self, received: Callable[[Link, bytes], None],
                 lost: Callable[[Link, Exception | None], None]):
        self._received = received
        self._lost = lost
        self.transport: asyncio.Transport | None = None
        self.closed: asyncio.Future[None] = asyncio.get_running_loop().create_future()
        self.writable = asyncio.Event()
        self.writable.set()

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        assert isinstance(transport, asyncio.Transport)
        self.transport = transport

    def data_received(self, data: bytes) -> None:
        self._received(self, data)

    def connection_lost(self, exc: Exception | None) -> None:
        if not self.closed.done():
            self.closed.set_result(None)
        self.writable.set()  # nobody waits for room on a closed connection
        self._lost(self, exc)

    def pause_writing(self) -> None:
        self.writable.clear()

    def resume_writing(self) -> None:
        self.writable.set()

    def write(self, data: bytes) -> None:
        if data and self.transport is not None and not self.transport.is_closing():
            self.transport.write(data)

    def close(self) -> None:
        if self.transport is not None:
            self.transport.close()


def keepalive_settings(seconds: float) -> tuple[int, int, int, int]:
    """Idle time, probe interval, probe count (seconds) and the user timeout
    (ms) that notice a silent peer within about ``seconds``: quiet for half of
    it, then probes at a twelfth of it until it is over."""
    idle = max(1, round(seconds / 2))
    interval = max(1, round(seconds / 12))
    count = max(1, math.ceil((seconds - idle) / interval))
    return idle, interval, count, max(1, round(seconds * 1000))


def enable_keepalive(sock: socket.socket, seconds: float) -> None:
    """TCP keepalive notices a server that vanished without closing (power
    lost, cable pulled) while nothing is sent; TCP_USER_TIMEOUT one that stops
    acknowledging what is sent."""
    idle, interval, count, user_timeout = keepalive_settings(seconds)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_KEEPALIVE, 1)
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_KEEPIDLE, idle)
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_KEEPINTVL, interval)
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_KEEPCNT, count)
    sock.setsockopt(socket.IPPROTO_TCP, _TCP_USER_TIMEOUT, user_timeout)


async def open_link(host: str, port: int, timeout: float | None, keepalive: float | None,
                    received: Callable[[Link, bytes], None],
                    lost: Callable[[Link, Exception | None], None]) -> Link:
    """Connects; RefusedError or UnreachableError when that fails."""
    loop = asyncio.get_running_loop()
    try:
        # The server listens on IPv4 only.
        _, link = await asyncio.wait_for(
            loop.create_connection(lambda: Link(received, lost), host, port,
                                   family=socket.AF_INET), timeout)
    except ConnectionRefusedError:
        raise RefusedError(f"connection refused by {where(host, port)} "
                           "(no server listening there?)") from None
    except socket.gaierror as e:
        raise UnreachableError(f"host {host} not found: {e.strerror}") from None
    except TimeoutError:
        raise UnreachableError(f"host {host} is unreachable: no answer within "
                               f"{timeout:g} s") from None
    except OSError as e:
        if e.errno in _UNREACHABLE:
            raise UnreachableError(f"host {host} is unreachable: {e.strerror}") from None
        raise UnreachableError(f"cannot connect to {where(host, port)}: "
                               f"{e.strerror or e}") from None
    if keepalive is not None:
        assert link.transport is not None
        sock = link.transport.get_extra_info("socket")
        enable_keepalive(sock, keepalive)
    return link


def lost_reason(exc: Exception | None, host: str, port: int) -> ClosedError:
    """Why a connection ended that this side did not close."""
    place = where(host, port)
    if exc is None:
        return ServerClosedError(f"the server on {place} closed the connection")
    if isinstance(exc, (ConnectionResetError, BrokenPipeError)):
        return ServerClosedError(f"the server on {place} reset the connection")
    if isinstance(exc, OSError) and exc.errno == errno.ETIMEDOUT:
        return ClosedError(f"the server on {place} stopped answering; the connection "
                           "was given up")
    if isinstance(exc, OSError):
        return ClosedError(f"the connection to {place} failed: {exc.strerror or exc}")
    return ClosedError(f"the connection to {place} failed: {exc}")
