"""A registered connection to a Toruna server: the asyncio shell around the
client's core (toruna.core), which holds the state and the rules.

Everything the server sends is handled in the callback that read it, and what
the core wants to send in answer (a subscription to an event just announced)
is written before that callback returns.
"""

from __future__ import annotations

import asyncio
import collections
import random
import socket
import types
from dataclasses import dataclass
from typing import Any, Callable, Generator, Mapping

from . import protocol
from .connection import ConnectionChange, Link, lost_reason, open_link, where
from .core import (ClientCore, EventReady, Notice, OwnEvent, ProtocolFailure, Registered,
                   SubscribersChanged, SubscriptionState, ValueArrived, check_client_name)
from .errors import ClosedError, ProtocolError, TorunaError, UnreachableError
from .event import Event
from .feed import Feed, Signal
from .roster import Change, RemoteClient, RemoteEvent
from .subscription import Subscription


def _default_name() -> str:
    host = socket.gethostname()
    return "toruna-py@" + "".join(c if _encodable(c) else "?" for c in host)


def _encodable(c: str) -> bool:
    try:
        protocol.encode_text(c)
        return True
    except ValueError:
        return False


def _fail(future: asyncio.Future[Any], reason: BaseException) -> None:
    """Ends a pending operation with the reason; nobody need be waiting for it
    (its caller may have given up), so it is marked as seen."""
    if not future.done():
        future.set_exception(reason)
        future.exception()


class Changes(Feed[Change]):
    """The roster's changes as they happen (``Client.changes``)."""

    def __init__(self, forget: Callable[[Changes], None]):
        super().__init__()
        self._forget = forget

    async def __aenter__(self) -> Changes:
        return self

    def _on_close(self) -> None:
        self._forget(self)


class ConnectionChanges(Feed[ConnectionChange]):
    """A reconnecting client's losses and returns (``Client.connection_changes``)."""

    def __init__(self, forget: Callable[[ConnectionChanges], None]):
        super().__init__()
        self._forget = forget

    async def __aenter__(self) -> ConnectionChanges:
        return self

    def _on_close(self) -> None:
        self._forget(self)


@dataclass(frozen=True)
class _Options:
    timeout: float | None
    keepalive: float | None
    reconnect: bool
    reconnect_delay: float
    reconnect_max_delay: float


class Client:
    """A connection registered under a name; made by ``toruna.connect``.

    ``clients`` and ``events`` are the roster: the other registered clients and
    their events, kept up to date as they come and go. ``own_events`` are the
    events this client created.
    """

    def __init__(self, host: str, port: int, core: ClientCore, options: _Options):
        self.host = host
        self.port = port
        self._core = core
        self._options = options
        self._link: Link | None = None
        self._last_link: Link | None = None
        self._events: dict[OwnEvent, Event] = {}
        self._subscriptions: dict[SubscriptionState, Subscription] = {}
        self._change_feeds: list[Changes] = []
        self._connection_feeds: list[ConnectionChanges] = []
        self._registered: asyncio.Future[None] | None = None
        self._creating: dict[OwnEvent, asyncio.Future[Event]] = {}
        self._sends: collections.deque[tuple[int, asyncio.Future[None]]] = collections.deque()
        self._changed = Signal()  # own events and the connection
        self._close_reason: ClosedError | None = None
        self._reconnecting: asyncio.Task[None] | None = None
        self._event_link = _EventLink(self)

    def __repr__(self) -> str:
        state = "closed" if self.closed else "open" if self.connected else "reconnecting"
        return f"Client({self.name!r} on {self._where()}, server {self.server_name!r}, {state})"

    @property
    def name(self) -> str:
        return self._core.name

    @property
    def server_name(self) -> str:
        return self._core.server_name

    # The roster and the own events.

    @property
    def clients(self) -> Mapping[int, RemoteClient]:
        """The other registered clients by ID, in the order they became known."""
        return types.MappingProxyType(self._core.clients)

    @property
    def events(self) -> Mapping[int, RemoteEvent]:
        """The other clients' events by ID, in the order they became known."""
        return types.MappingProxyType(self._core.events)

    @property
    def own_events(self) -> Mapping[int, Event]:
        """The own events that exist on the server now, by ID."""
        return types.MappingProxyType({e.id: e for e in self._events.values() if e.id})

    def find_events(self, pattern: str) -> list[RemoteEvent]:
        """The known events whose "client/event" name matches the pattern."""
        return self._core.find_events(pattern)

    async def create_event(self, name: str, unit: str = "", interval: int = 0,
                           maximum: int = 255) -> Event:
        """Creates an event of this client's; the other clients are told of it.

        ``interval`` and ``maximum`` are signed 16-bit numbers that the server
        stores and passes on without interpreting them. A reconnecting client
        that is away from the server waits until it is back.
        """
        self._check_open()
        state = self._core.create_event(name, unit, interval, maximum)
        self._events[state] = Event(state, self._event_link)
        created: asyncio.Future[Event] = asyncio.get_running_loop().create_future()
        self._creating[state] = created
        self._flush()
        try:
            return await created
        except BaseException:
            # Given up (cancelled, or the connection ended): the server must not keep it.
            self._events.pop(state, None)
            if not self.closed:
                self._core.remove_event(state)
                self._flush()
            raise
        finally:
            self._creating.pop(state, None)

    def subscribe(self, *patterns: str) -> Subscription:
        """Subscribes to every event whose "client/event" name matches one of the
        patterns, now and as such events are created; see Subscription."""
        self._check_open()
        state = self._core.subscribe(patterns)
        subscription = self._subscriptions[state] = Subscription(state, self._unsubscribe)
        self._flush()
        return subscription

    def changes(self) -> Changes:
        """The roster's changes from now on (clients that join and leave, events
        created and removed), as an async iterator of Change; see Feed."""
        self._check_open()
        feed = Changes(self._change_feeds.remove)
        self._change_feeds.append(feed)
        return feed

    def connection_changes(self) -> ConnectionChanges:
        """For a reconnecting client: each loss of the connection ("down", with
        the reason) and each return ("up"), as an async iterator of
        ConnectionChange; see Feed."""
        self._check_open()
        feed = ConnectionChanges(self._connection_feeds.remove)
        self._connection_feeds.append(feed)
        return feed

    # The connection.

    @property
    def connected(self) -> bool:
        """Registered on a live connection (False while a reconnecting client is away)."""
        return self._link is not None and self._core.registered

    @property
    def closed(self) -> bool:
        return self._close_reason is not None

    @property
    def close_reason(self) -> ClosedError | None:
        """Why the connection ended; None while it is open."""
        return self._close_reason

    async def wait_closed(self) -> None:
        """Returns when the connection has ended, for whatever reason."""
        while not self.closed:
            await self._changed.wait()

    async def close(self) -> None:
        """Ends the connection; the server tells the others that this client left."""
        self._end(ClosedError(f"the connection to {self._where()} was closed"), quietly=True)
        if self._last_link is not None:
            await self._last_link.closed
        task = self._reconnecting
        if task is not None and task is not asyncio.current_task():
            try:
                await task
            except asyncio.CancelledError:
                pass

    async def __aenter__(self) -> Client:
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.close()

    def _where(self) -> str:
        return where(self.host, self.port)

    def _check_open(self) -> None:
        if self._close_reason is not None:
            raise self._close_reason

    async def _connect(self, timeout: float | None) -> None:
        """One attempt: connects and registers (again)."""
        loop = asyncio.get_running_loop()
        start = loop.time()
        link = await open_link(self.host, self.port, timeout, self._options.keepalive,
                               self._received, self._lost)
        self._last_link = link
        if self._close_reason is not None:  # closed while connecting
            link.close()
            raise self._close_reason
        self._link = link
        registered = self._registered = loop.create_future()
        self._core.connection_made()
        self._flush()
        left = None if timeout is None else max(0.0, timeout - (loop.time() - start))
        try:
            await asyncio.wait_for(asyncio.shield(registered), left)
        except TimeoutError:
            late = f"the server on {self._where()} did not complete the registration " \
                   f"within {timeout:g} s"
            self._connection_failed(ClosedError(late), link)
            raise UnreachableError(late) from None

    async def _reconnect(self) -> None:
        delay = self._options.reconnect_delay
        while self._close_reason is None:
            # Spread out, so that the clients of a restarted server do not all
            # come back in the same instant.
            await asyncio.sleep(delay * random.uniform(0.5, 1.0))
            delay = min(delay * 2, self._options.reconnect_max_delay)
            try:
                await self._connect(self._options.timeout)
            except (TorunaError, OSError):
                continue
            if self.connected:  # and not lost again already
                self._reconnecting = None
                for feed in self._connection_feeds:
                    feed._put(ConnectionChange("up"))
                return

    def _received(self, link: Link, data: bytes) -> None:
        if link is not self._link:
            return
        notices = self._core.receive_data(data)
        # Subscriptions to events just announced leave before anything else is done.
        link.write(self._core.data_to_send())
        failure = self._dispatch(notices)
        if failure is not None:
            self._connection_failed(ProtocolError(
                f"{failure} from the server on {self._where()}; the connection was closed"),
                link)
            return
        self._flush()

    def _lost(self, link: Link, exc: Exception | None) -> None:
        if link is self._link:
            self._connection_failed(lost_reason(exc, self.host, self.port), link)

    def _connection_failed(self, reason: ClosedError, link: Link) -> None:
        """The current connection is over: without reconnection that ends the
        client; with it, it comes back later."""
        if link is not self._link:
            return
        was_registered = self._core.registered
        self._link = None
        link.close()
        self._dispatch(self._core.connection_lost())
        self._release_sends(None if self._options.reconnect else reason)
        if self._registered is not None:
            _fail(self._registered, reason)
        if self._reconnecting is not None or not was_registered:
            return  # an attempt to connect: it reports the failure itself
        if not self._options.reconnect:
            self._end(reason)
            return
        for feed in self._connection_feeds:
            feed._put(ConnectionChange("down", reason))
        self._reconnecting = asyncio.get_running_loop().create_task(self._reconnect())

    def _end(self, reason: ClosedError, quietly: bool = False) -> None:
        if self._close_reason is not None:
            return
        self._close_reason = reason
        link, self._link = self._link, None
        if link is not None:
            link.close()
        if self._registered is not None:
            _fail(self._registered, reason)
        for created in self._creating.values():
            _fail(created, reason)
        self._release_sends(reason)
        feeds: list[Feed[Any]] = [*self._subscriptions.values(), *self._change_feeds,
                                  *self._connection_feeds]
        for feed in feeds:
            feed._connection_ended(reason, quietly)
        self._changed.notify_all()
        if self._reconnecting is not None and self._reconnecting is not asyncio.current_task():
            self._reconnecting.cancel()

    def _dispatch(self, notices: list[Notice]) -> ProtocolError | None:
        """Hands the core's notices to the feeds and the waiting operations;
        returns the protocol failure among them, if any."""
        for n in notices:
            if isinstance(n, Change):
                for changes in self._change_feeds:
                    changes._put(n)
            elif isinstance(n, ValueArrived):
                for state in n.subscriptions:
                    subscription = self._subscriptions.get(state)
                    if subscription is not None:
                        subscription._put(n.value)
            elif isinstance(n, (EventReady, SubscribersChanged)):
                created = self._creating.get(n.event)
                if isinstance(n, EventReady) and created is not None and not created.done():
                    created.set_result(self._events[n.event])
                self._changed.notify_all()
            elif isinstance(n, Registered):
                if self._registered is not None and not self._registered.done():
                    self._registered.set_result(None)
            elif isinstance(n, ProtocolFailure):
                return n.error
        return None

    # Sending: the core paces the frames; a caller waits until its frame has been
    # handed to the socket and the socket takes more.

    def _flush(self) -> None:
        if self._link is not None:
            self._link.write(self._core.data_to_send())
        released = self._core.released
        while self._sends and self._sends[0][0] <= released:
            done = self._sends.popleft()[1]
            if not done.done():
                done.set_result(None)

    def _release_sends(self, reason: ClosedError | None) -> None:
        """Frames of a lost connection are gone: their senders go on (or learn the reason)."""
        sends, self._sends = self._sends, collections.deque()
        for _, done in sends:
            if reason is not None:
                _fail(done, reason)
            elif not done.done():
                done.set_result(None)

    async def _sent(self, number: int | None) -> None:
        if number is not None and number > self._core.released:
            done: asyncio.Future[None] = asyncio.get_running_loop().create_future()
            self._sends.append((number, done))
            await done
        if self._link is not None:
            await self._link.writable.wait()

    async def _publish(self, event: OwnEvent, value: int) -> None:
        number = self._core.publish(event, value)
        self._flush()
        await self._sent(number)

    async def _remove(self, event: OwnEvent) -> None:
        number = self._core.remove_event(event)
        self._events.pop(event, None)
        self._changed.notify_all()
        self._flush()
        await self._sent(number)

    def _unsubscribe(self, state: SubscriptionState) -> None:
        self._subscriptions.pop(state, None)
        self._core.unsubscribe(state)
        self._flush()


class _EventLink:
    """What the client's Events see of it (event.EventLink)."""

    def __init__(self, client: Client):
        self._client = client

    def check_open(self) -> None:
        self._client._check_open()

    async def publish(self, event: OwnEvent, value: int) -> None:
        await self._client._publish(event, value)

    async def remove(self, event: OwnEvent) -> None:
        await self._client._remove(event)

    async def changed(self) -> None:
        await self._client._changed.wait()


class Connecting:
    """What ``connect`` returns: await it, or use it with ``async with``."""

    def __init__(self, host: str, name: str, port: int, options: _Options):
        self._host = host
        self._name = name
        self._port = port
        self._options = options
        self._client: Client | None = None

    def __await__(self) -> Generator[Any, None, Client]:
        return self._open().__await__()

    async def __aenter__(self) -> Client:
        self._client = await self._open()
        return self._client

    async def __aexit__(self, *exc: object) -> None:
        if self._client is not None:
            await self._client.close()

    async def _open(self) -> Client:
        client = Client(self._host, self._port, ClientCore(self._name), self._options)
        try:
            await client._connect(self._options.timeout)
        except BaseException:
            await client.close()
            raise
        return client


def connect(host: str, *, name: str | None = None, port: int = protocol.SERVER_PORT,
            timeout: float | None = 10.0, keepalive: float | None = 120.0,
            reconnect: bool = False, reconnect_delay: float = 0.5,
            reconnect_max_delay: float = 30.0) -> Connecting:
    """Connects to the server on ``host`` and registers under ``name``.

    ``await connect(...)`` gives a Client once the server has sent the roster and
    its name; ``async with connect(...) as client:`` also closes it at the end.
    Raises RefusedError, UnreachableError or ServerClosedError when that fails
    (``timeout`` covers the connection and the registration), and EncodingError
    or ValueError at once for a name that cannot be sent.

    ``keepalive``: a server that vanishes without closing the connection is
    noticed within about that many seconds (None: only when something sent
    goes unanswered for long).

    ``reconnect``: when an established connection is lost, connect again
    after ``reconnect_delay`` seconds, doubled after each failed attempt up to
    ``reconnect_max_delay``, until it works or the client is closed; the client
    comes back under the same name with its events and subscriptions.
    """
    if name is None:
        name = _default_name()
    check_client_name(name)
    if keepalive is not None and not keepalive >= 1:
        raise ValueError(f"keepalive is at least 1 second, not {keepalive}")
    if not 0 < reconnect_delay <= reconnect_max_delay:
        raise ValueError("reconnect_delay must be above 0 and at most reconnect_max_delay")
    return Connecting(host, name, port, _Options(timeout, keepalive, reconnect,
                                                 reconnect_delay, reconnect_max_delay))
