"""An event of this client's own: publish its values, know who listens."""

from __future__ import annotations

import asyncio
from typing import Protocol

from .core import OwnEvent
from .errors import EventRemovedError


class EventLink(Protocol):
    """What an Event needs of the connection it belongs to."""

    def check_open(self) -> None:
        """Raises the connection's ClosedError once it has ended."""

    async def publish(self, event: OwnEvent, value: int) -> None: ...

    async def remove(self, event: OwnEvent) -> None: ...

    async def changed(self) -> None:
        """Returns at the next change of an own event or of the connection."""


class Event:
    """An event this client created (``Client.create_event``).

    The server tells an owner when its event gets its first subscriber and when
    the last one leaves, so that it needs to publish only while someone listens:
    ``has_subscribers`` follows those notices and ``wait_for_subscriber`` waits for one.
    """

    def __init__(self, state: OwnEvent, link: EventLink):
        self._state = state
        self._link = link

    def __repr__(self) -> str:
        return (f"Event(id={self.id}, name={self.name!r}, unit={self.unit!r}, "
                f"has_subscribers={self.has_subscribers}, removed={self.removed})")

    @property
    def id(self) -> int:
        """The server's ID of the event; a reconnected client's events get new
        ones, and it is 0 while the server has not created the event (again)."""
        return self._state.id

    @property
    def name(self) -> str:
        return self._state.name

    @property
    def unit(self) -> str:
        return self._state.unit

    @property
    def interval(self) -> int:
        return self._state.interval

    @property
    def maximum(self) -> int:
        return self._state.maximum

    @property
    def has_subscribers(self) -> bool:
        """Whether at least one client is subscribed now (as last told by the server)."""
        return self._state.has_subscribers and not self._state.removed

    @property
    def removed(self) -> bool:
        return self._state.removed

    async def publish(self, value: int) -> None:
        """Sends one value, 0 to 255, to the event's subscribers.

        The value goes out whether or not anyone listens; check
        ``has_subscribers`` to save the work. While a reconnecting client is
        away from the server the value is dropped, as nobody can receive it.
        Raises EventRemovedError after ``remove()``, and the connection's
        ClosedError once it has ended.
        """
        self._check_usable()
        await self._link.publish(self._state, value)

    async def wait_for_subscriber(self, timeout: float | None = None) -> None:
        """Returns as soon as the event has a subscriber (at once if it has one).

        Raises TimeoutError when ``timeout`` seconds pass first, EventRemovedError
        when the event is removed, and the connection's ClosedError when it ends.
        """
        async def wait() -> None:
            while not self.has_subscribers:
                self._check_usable()
                await self._link.changed()

        await asyncio.wait_for(wait(), timeout)

    async def remove(self) -> None:
        """Removes the event; the other clients are told. Removing twice does nothing."""
        if self._state.removed:
            return
        self._link.check_open()
        await self._link.remove(self._state)

    def _check_usable(self) -> None:
        if self._state.removed:
            raise EventRemovedError(f"the event {self.name!r} was removed")
        self._link.check_open()
