"""What a client knows of the others: their names, their events, their values."""

from __future__ import annotations

import datetime
from dataclasses import dataclass, field
from typing import Literal


@dataclass(eq=False)
class RemoteClient:
    """Another client registered with the same server."""

    id: int
    name: str
    # Kept by the client's core (toruna.core) as events come and go.
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
