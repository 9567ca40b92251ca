"""An event of this client's own: publish its values, know who listens."""

from __future__ import annotations

import asyncio
from typing import TYPE_CHECKING

from . import protocol
from .errors import EventRemovedError
from .roster import Signal

if TYPE_CHECKING:
    from .client import Client


class Event:
    """An event this client created (``Client.create_event``).

    The server tells an owner when its event gets its first subscriber and when
    the last one leaves, so that it needs to publish only while someone listens:
    ``has_subscribers`` follows those notices and ``wait_for_subscriber`` waits for one.
    """

    def __init__(self, client: Client, name: str, unit: str, interval: int, maximum: int):
        self._client = client
        self.id = 0  # given by the server
        self.name = name
        self.unit = unit
        self.interval = interval
        self.maximum = maximum
        self._has_subscribers = False
        self._removed = False
        self._changed = Signal()

    def __repr__(self) -> str:
        return (f"Event(id={self.id}, name={self.name!r}, unit={self.unit!r}, "
                f"has_subscribers={self._has_subscribers}, removed={self._removed})")

    @property
    def has_subscribers(self) -> bool:
        """Whether at least one client is subscribed now (as last told by the server)."""
        return self._has_subscribers and not self._removed

    @property
    def removed(self) -> bool:
        return self._removed

    async def publish(self, value: int) -> None:
        """Sends one value, 0 to 255, to the event's subscribers.

        The value goes out whether or not anyone listens; check
        ``has_subscribers`` to save the work. Raises EventRemovedError after
        ``remove()``, and the connection's ClosedError once it has ended.
        """
        if isinstance(value, bool) or not isinstance(value, int):
            raise TypeError(f"a value is an int from 0 to 255, not {type(value).__name__}")
        if not 0 <= value <= 255:
            raise ValueError(f"a value is from 0 to 255, not {value}")
        self._check_usable()
        await self._client._send(protocol.event_data(self.id, value))

    async def wait_for_subscriber(self, timeout: float | None = None) -> None:
        """Returns as soon as the event has a subscriber (at once if it has one).

        Raises TimeoutError when ``timeout`` seconds pass first, EventRemovedError
        when the event is removed, and the connection's ClosedError when it ends.
        """
        async def wait() -> None:
            while not self.has_subscribers:
                self._check_usable()
                await self._changed.wait()

        await asyncio.wait_for(wait(), timeout)

    async def remove(self) -> None:
        """Removes the event; the other clients are told. Removing twice does nothing."""
        if self._removed:
            return
        self._client._check_open()
        self._removed = True
        self._client._forget_own_event(self)
        self._changed.notify_all()
        await self._client._send(protocol.event_remove(self.id))

    def _check_usable(self) -> None:
        if self._removed:
            raise EventRemovedError(f"the event {self.name!r} was removed")
        self._client._check_open()

    def _set_subscribers(self, present: bool) -> None:
        self._has_subscribers = present
        self._changed.notify_all()

    def _connection_ended(self) -> None:
        self._changed.notify_all()
