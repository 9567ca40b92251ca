"""A subscription by pattern: the values of every matching event, also of
events created later, as an async iterator."""

from __future__ import annotations

import fnmatch
from typing import TYPE_CHECKING

from .feed import Feed
from .roster import RemoteEvent, Value

if TYPE_CHECKING:
    from .client import Client


def matches(event: RemoteEvent, patterns: tuple[str, ...]) -> bool:
    """Whether the event's "client/event" name matches one of the patterns."""
    return any(fnmatch.fnmatchcase(event.path, p) for p in patterns)


class Subscription(Feed[Value]):
    """Values of the events whose "client/event" name matches one of the patterns.

    Patterns are shell wildcards (``*``, ``?``, ``[...]``) and ``*`` also
    matches ``/``: ``"*"`` takes every event, ``"*/Temp"`` every event called
    Temp, ``"Lab*"`` every event of the clients whose names begin with Lab.

    Closing it (see Feed: also by leaving an ``async for`` loop) unsubscribes
    from each event that no other subscription of this client still wants.
    """

    def __init__(self, client: Client, patterns: tuple[str, ...]):
        super().__init__()
        self._client = client
        self.patterns = patterns
        self._ids: dict[int, RemoteEvent] = {}

    def __repr__(self) -> str:
        return f"Subscription(patterns={self.patterns!r}, events={len(self._ids)})"

    async def __aenter__(self) -> Subscription:
        return self

    def matches(self, event: RemoteEvent) -> bool:
        return matches(event, self.patterns)

    @property
    def events(self) -> tuple[RemoteEvent, ...]:
        """The events it is subscribed to now."""
        return tuple(self._ids.values())

    def _on_close(self) -> None:
        self._client._drop_subscription(self)

    def _add_event(self, event: RemoteEvent) -> bool:
        if event.id in self._ids:
            return False
        self._ids[event.id] = event
        return True

    def _remove_event(self, event_id: int) -> None:
        self._ids.pop(event_id, None)

    def _wants(self, event_id: int) -> bool:
        return event_id in self._ids
