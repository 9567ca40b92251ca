"""What a client knows of the others: their names, their events, their values."""

from __future__ import annotations

import asyncio
import datetime
from dataclasses import dataclass, field
from typing import Literal


@dataclass(eq=False)
class RemoteClient:
    """Another client registered with the same server."""

    id: int
    name: str
    _events: dict[int, RemoteEvent] = field(default_factory=dict, repr=False)

    @property
    def events(self) -> tuple[RemoteEvent, ...]:
        """Its events, in the order they were announced."""
        return tuple(self._events.values())


@dataclass(eq=False)
class RemoteEvent:
    """An event of another client. ``interval`` and ``maximum`` are what the
    owner gave; the server passes them on without interpreting them."""

    id: int
    owner: RemoteClient
    name: str
    unit: str
    interval: int
    maximum: int

    @property
    def client(self) -> str:
        """The owner's name."""
        return self.owner.name

    @property
    def path(self) -> str:
        """"client/event", the name that subscription patterns match."""
        return f"{self.owner.name}/{self.name}"


@dataclass(frozen=True)
class Value:
    """One value received from a subscribed event."""

    client: str
    event: str
    value: int
    unit: str
    time: datetime.datetime  # when it arrived, local time with its offset
    event_id: int
    client_id: int

    @property
    def path(self) -> str:
        return f"{self.client}/{self.event}"


@dataclass(frozen=True)
class Change:
    """A change of the roster: a client that ``"joined"`` or ``"left"``, or an
    event that was ``"created"`` or ``"removed"`` (``event``, with its owner as
    ``client``). A departed client's events are reported removed before it left."""

    kind: Literal["joined", "left", "created", "removed"]
    client: RemoteClient
    event: RemoteEvent | None = None


class Signal:
    """Wakes every coroutine waiting in wait() at the next notify_all()."""

    def __init__(self) -> None:
        self._waiters: list[asyncio.Future[None]] = []

    async def wait(self) -> None:
        fut: asyncio.Future[None] = asyncio.get_running_loop().create_future()
        self._waiters.append(fut)
        try:
            await fut
        finally:
            if fut in self._waiters:
                self._waiters.remove(fut)

    def notify_all(self) -> None:
        waiters, self._waiters = self._waiters, []
        for fut in waiters:
            if not fut.done():
                fut.set_result(None)
