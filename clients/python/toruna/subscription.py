"""A subscription by pattern: the values of every matching event, also of
events created later, as an async iterator."""

from __future__ import annotations

import asyncio
import collections
import fnmatch
from typing import TYPE_CHECKING, AsyncIterator

from .errors import ClosedError
from .roster import RemoteEvent, Value

if TYPE_CHECKING:
    from .client import Client


class Subscription:
    """Values of the events whose "client/event" name matches one of the patterns.

    Patterns are shell wildcards (``*``, ``?``, ``[...]``) and ``*`` also
    matches ``/``: ``"*"`` takes every event, ``"*/Temp"`` every event called
    Temp, ``"Lab*"`` every event of the clients whose names begin with Lab.

    Iterate with ``async for``; leaving the loop (break, return, an exception)
    unsubscribes, and so do ``close()`` and leaving ``async with``. When the
    connection ends, the iteration ends too: quietly after ``Client.close()``,
    with the connection's ClosedError when the server ended it. Values that
    arrived before are handed out first.
    """

    def __init__(self, client: Client, patterns: tuple[str, ...]):
        self._client = client
        self.patterns = patterns
        self._ids: dict[int, RemoteEvent] = {}
        self._values: collections.deque[Value] = collections.deque()
        self._waiter: asyncio.Future[None] | None = None
        self._closed = False
        self._end: ClosedError | None = None
        self._end_quietly = False

    def __repr__(self) -> str:
        return f"Subscription(patterns={self.patterns!r}, events={len(self._ids)})"

    def matches(self, event: RemoteEvent) -> bool:
        return any(fnmatch.fnmatchcase(event.path, p) for p in self.patterns)

    @property
    def events(self) -> tuple[RemoteEvent, ...]:
        """The events it is subscribed to now."""
        return tuple(self._ids.values())

    @property
    def closed(self) -> bool:
        return self._closed

    def close(self) -> None:
        """Unsubscribes (from each event no other subscription of this client
        still wants) and ends the iteration."""
        if self._closed:
            return
        self._closed = True
        self._client._drop_subscription(self)
        self._wake()

    async def __aenter__(self) -> Subscription:
        return self

    async def __aexit__(self, *exc: object) -> None:
        self.close()

    def __aiter__(self) -> AsyncIterator[Value]:
        return self._iterate()

    async def _iterate(self) -> AsyncIterator[Value]:
        # A generator of its own, so that leaving an `async for` early closes it
        # (asyncio finalises abandoned generators) and that unsubscribes.
        try:
            while True:
                try:
                    value = await self.__anext__()
                except StopAsyncIteration:
                    return
                yield value
        finally:
            self.close()

    async def __anext__(self) -> Value:
        while True:
            if self._closed:
                raise StopAsyncIteration
            if self._values:
                return self._values.popleft()
            if self._end is not None:
                if self._end_quietly:
                    raise StopAsyncIteration
                raise self._end
            self._waiter = asyncio.get_running_loop().create_future()
            try:
                await self._waiter
            finally:
                self._waiter = None

    # Called by the client.

    def _add_event(self, event: RemoteEvent) -> bool:
        if event.id in self._ids:
            return False
        self._ids[event.id] = event
        return True

    def _remove_event(self, event_id: int) -> None:
        self._ids.pop(event_id, None)

    def _wants(self, event_id: int) -> bool:
        return event_id in self._ids

    def _put(self, value: Value) -> None:
        self._values.append(value)
        self._wake()

    def _connection_ended(self, reason: ClosedError, quietly: bool) -> None:
        self._end = reason
        self._end_quietly = quietly
        self._wake()

    def _wake(self) -> None:
        if self._waiter is not None and not self._waiter.done():
            self._waiter.set_result(None)
