"""An async iterator fed by the connection: what the server sent, queued until
the program takes it."""

from __future__ import annotations

import asyncio
import collections
from typing import AsyncIterator, Generic, TypeVar

from .errors import ClosedError

T = TypeVar("T")


class Feed(Generic[T]):
    """Iterate with ``async for`` (or take one item with ``anext``). Leaving the
    loop early (break, return, an exception) closes the feed, and so do
    ``close()`` and leaving ``async with``. When the connection ends, items that
    arrived before are handed out first; then the iteration ends quietly after
    ``Client.close()``, or raises the connection's ClosedError when the server
    ended it. A reconnecting client's feeds go on across its reconnections."""

    def __init__(self) -> None:
        self._items: collections.deque[T] = collections.deque()
        self._waiter: asyncio.Future[None] | None = None
        self._closed = False
        self._end: ClosedError | None = None
        self._end_quietly = False

    @property
    def closed(self) -> bool:
        return self._closed

    def close(self) -> None:
        if self._closed:
            return
        self._closed = True
        self._on_close()
        self._wake()

    async def __aenter__(self) -> Feed[T]:
        return self

    async def __aexit__(self, *exc: object) -> None:
        self.close()

    def __aiter__(self) -> AsyncIterator[T]:
        return self._iterate()

    async def _iterate(self) -> AsyncIterator[T]:
        # A generator of its own, so that leaving an `async for` early closes it
        # (asyncio finalises abandoned generators) and with it the feed.
        try:
            while True:
                try:
                    item = await self.__anext__()
                except StopAsyncIteration:
                    return
                yield item
        finally:
            self.close()

    async def __anext__(self) -> T:
        while True:
            if self._closed:
                raise StopAsyncIteration
            if self._items:
                return self._items.popleft()
            if self._end is not None:
                if self._end_quietly:
                    raise StopAsyncIteration
                raise self._end
            self._waiter = asyncio.get_running_loop().create_future()
            try:
                await self._waiter
            finally:
                self._waiter = None

    # Called by the client that feeds it.

    def _on_close(self) -> None:
        """What closing means beyond ending the iteration."""

    def _put(self, item: T) -> None:
        self._items.append(item)
        self._wake()

    def _connection_ended(self, reason: ClosedError, quietly: bool) -> None:
        self._end = reason
        self._end_quietly = quietly
        self._wake()

    def _wake(self) -> None:
        if self._waiter is not None and not self._waiter.done():
            self._waiter.set_result(None)


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
