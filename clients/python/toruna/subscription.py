"""A subscription by pattern: the values of every matching event, also of
events created later, as an async iterator."""

from __future__ import annotations

from typing import Callable

from .core import SubscriptionState, matches
from .feed import Feed
from .roster import RemoteEvent, Value


class Subscription(Feed[Value]):
    """Values of the events whose "client/event" name matches one of the patterns.

    Patterns are shell wildcards (``*``, ``?``, ``[...]``) and ``*`` also
    matches ``/``: ``"*"`` takes every event, ``"*/Temp"`` every event called
    Temp, ``"Lab*"`` every event of the clients whose names begin with Lab.

    Closing it (see Feed: also by leaving an ``async for`` loop) unsubscribes
    from each event that no other subscription of this client still wants.
    A reconnecting client subscribes again to the matching events of the
    server it comes back to.
    """

    def __init__(self, state: SubscriptionState,
                 release: Callable[[SubscriptionState], None]):
        super().__init__()
        self._state = state
        self._release = release

    def __repr__(self) -> str:
        return f"Subscription(patterns={self.patterns!r}, events={len(self._state.events)})"

    async def __aenter__(self) -> Subscription:
        return self

    @property
    def patterns(self) -> tuple[str, ...]:
        return self._state.patterns

    def matches(self, event: RemoteEvent) -> bool:
        return matches(event, self._state.patterns)

    @property
    def events(self) -> tuple[RemoteEvent, ...]:
        """The events it is subscribed to now."""
        return tuple(self._state.events.values())

    def _on_close(self) -> None:
        self._release(self._state)
