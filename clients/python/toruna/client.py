"""A registered connection to a Toruna server."""

from __future__ import annotations

import asyncio
import collections
import datetime
import errno
import socket
import types
from typing import Any, Generator, Mapping

from . import protocol
from .errors import (ClosedError, ProtocolError, RefusedError, ServerClosedError,
                     UnreachableError)
from .event import Event
from .feed import Feed
from .roster import Change, RemoteClient, RemoteEvent, Signal, Value
from .subscription import Subscription, matches

# A frame that the server answers and that changes nothing: a value for event 0,
# which no client owns, brings back "event 0 has no subscribers". Its answer
# proves that the server has read every byte sent before it.
_PING = protocol.event_data(0, 0)
# The largest frame this client sends: it and a ping must fit into what the server
# accepts unread at once.
MAX_FRAME = protocol.MAX_ARRIVAL - len(_PING)
_UNREACHABLE = {errno.ENETUNREACH, errno.EHOSTUNREACH, errno.EHOSTDOWN, errno.ETIMEDOUT}


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

    def __init__(self, client: Client):
        super().__init__()
        self._client = client

    async def __aenter__(self) -> Changes:
        return self

    def _on_close(self) -> None:
        if self in self._client._change_feeds:
            self._client._change_feeds.remove(self)


class Client:
    """A connection registered under a name; made by ``toruna.connect``.

    ``clients`` and ``events`` are the roster: the other registered clients and
    their events, kept up to date as they come and go. ``own_events`` are the
    events this client created.
    """

    def __init__(self, host: str, port: int, name: str,
                 reader: asyncio.StreamReader, writer: asyncio.StreamWriter):
        self.host = host
        self.port = port
        self.name = name
        self.server_name = ""
        self._reader = reader
        self._writer = writer
        self._clients: dict[int, RemoteClient] = {}
        self._events: dict[int, RemoteEvent] = {}
        self._own: dict[int, Event] = {}
        self._creating: dict[int, tuple[Event, asyncio.Future[Event]]] = {}
        self._next_request = 0
        self._subscriptions: list[Subscription] = []
        self._wanted: dict[int, int] = {}  # event ID -> subscriptions that want it
        self._change_feeds: list[Changes] = []
        self._registered: asyncio.Future[None] = asyncio.get_running_loop().create_future()
        self._close_reason: ClosedError | None = None
        self._ended = Signal()
        # Sending, with the server's arrival limit in mind (see _write_loop).
        self._outbox: collections.deque[tuple[bytes, asyncio.Future[None] | None]] = \
            collections.deque()
        self._outbox_ready = asyncio.Event()
        self._sent = 0
        self._confirmed = 0
        self._pings: collections.deque[int] = collections.deque()
        self._ping_answered = asyncio.Event()
        self._tasks: list[asyncio.Task[None]] = []

    def __repr__(self) -> str:
        state = "closed" if self.closed else "open"
        return f"Client({self.name!r} on {self._where()}, server {self.server_name!r}, {state})"

    # The roster and the own events.

    @property
    def clients(self) -> Mapping[int, RemoteClient]:
        """The other registered clients by ID, in the order they became known."""
        return types.MappingProxyType(self._clients)

    @property
    def events(self) -> Mapping[int, RemoteEvent]:
        """The other clients' events by ID, in the order they became known."""
        return types.MappingProxyType(self._events)

    @property
    def own_events(self) -> Mapping[int, Event]:
        return types.MappingProxyType(self._own)

    def find_events(self, pattern: str) -> list[RemoteEvent]:
        """The known events whose "client/event" name matches the pattern."""
        return [e for e in self._events.values() if matches(e, (pattern,))]

    async def create_event(self, name: str, unit: str = "", interval: int = 0,
                           maximum: int = 255) -> Event:
        """Creates an event of this client's; the other clients are told of it.

        ``interval`` and ``maximum`` are signed 16-bit numbers that the server
        stores and passes on without interpreting them.
        """
        if not name:
            raise ValueError("an event needs a name")
        for what, text in (("the event name", name), ("the unit", unit)):
            if "\0" in text:
                raise ValueError(f"{what} {text!r} holds a character 0")
        for what, number in (("interval", interval), ("maximum", maximum)):
            if not -32768 <= number <= 32767:
                raise ValueError(f"the {what} is from -32768 to 32767, not {number}")
        self._check_open()
        self._next_request = self._next_request % 0x7FFFFFFF + 1
        request = self._next_request
        frame = protocol.event_info_request(request, interval, maximum, name, unit)
        if len(frame) > MAX_FRAME:
            raise ValueError(f"the event name and unit take {len(frame) - 12} bytes; "
                             f"at most {MAX_FRAME - 12} fit into one frame")
        event = Event(self, name, unit, interval, maximum)
        created: asyncio.Future[Event] = asyncio.get_running_loop().create_future()
        self._creating[request] = (event, created)
        try:
            await self._send(frame)
            return await created
        finally:
            self._creating.pop(request, None)

    def subscribe(self, *patterns: str) -> Subscription:
        """Subscribes to every event whose "client/event" name matches one of the
        patterns, now and as such events are created; see Subscription."""
        if not patterns or not all(isinstance(p, str) and p for p in patterns):
            raise ValueError("subscribe needs one or more patterns such as '*/Temp'")
        self._check_open()
        subscription = Subscription(self, tuple(patterns))
        self._subscriptions.append(subscription)
        for event in self._events.values():
            if subscription.matches(event):
                self._want(subscription, event)
        return subscription

    def changes(self) -> Changes:
        """The roster's changes from now on (clients that join and leave, events
        created and removed), as an async iterator of Change; see Feed."""
        self._check_open()
        feed = Changes(self)
        self._change_feeds.append(feed)
        return feed

    # The connection.

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
            await self._ended.wait()

    async def close(self) -> None:
        """Ends the connection; the server tells the others that this client left."""
        self._end(ClosedError(f"the connection to {self._where()} was closed"), quietly=True)
        try:
            await self._writer.wait_closed()
        except OSError:
            pass
        for task in self._tasks:
            if task is not asyncio.current_task():
                try:
                    await task
                except asyncio.CancelledError:
                    pass

    async def __aenter__(self) -> Client:
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.close()

    async def _register(self, timeout: float | None) -> None:
        self._writer.write(protocol.client_info_request(self.name))
        self._tasks.append(asyncio.create_task(self._read_loop()))
        try:
            await asyncio.wait_for(asyncio.shield(self._registered), timeout)
        except TimeoutError:
            await self.close()
            raise UnreachableError(f"the server on {self._where()} did not complete the "
                                   f"registration within {timeout:g} s") from None
        except BaseException:
            await self.close()
            raise
        self._tasks.append(asyncio.create_task(self._write_loop()))

    def _where(self) -> str:
        return self.host if self.port == protocol.SERVER_PORT else f"{self.host} port {self.port}"

    def _check_open(self) -> None:
        if self._close_reason is not None:
            raise self._close_reason

    def _end(self, reason: ClosedError, quietly: bool = False) -> None:
        if self._close_reason is not None:
            return
        self._close_reason = reason
        _fail(self._registered, reason)
        for _, created in self._creating.values():
            _fail(created, reason)
        for _, done in self._outbox:
            if done is not None:
                _fail(done, reason)
        self._outbox.clear()
        for subscription in self._subscriptions:
            subscription._connection_ended(reason, quietly)
        for changes in self._change_feeds:
            changes._connection_ended(reason, quietly)
        for event in self._own.values():
            event._connection_ended()
        self._ended.notify_all()
        self._writer.close()
        for task in self._tasks:
            if task is not asyncio.current_task():
                task.cancel()

    # Sending. The server closes a connection when it finds more than 2048 unread
    # bytes from it at once, which a burst of small frames can reach. So at most
    # that many bytes are ever on the way unconfirmed: a ping goes out after every
    # 1024 bytes, and when the next frame would not fit the writer waits for the
    # answers of the pings before it.

    async def _send(self, frame: bytes) -> None:
        """Queues the frame and waits until it has been handed to the socket."""
        self._check_open()
        done: asyncio.Future[None] = asyncio.get_running_loop().create_future()
        self._outbox.append((frame, done))
        self._outbox_ready.set()
        await done

    def _post(self, frame: bytes) -> None:
        """Queues the frame without waiting (subscribing, unsubscribing)."""
        if self._close_reason is None:
            self._outbox.append((frame, None))
            self._outbox_ready.set()

    async def _write_loop(self) -> None:
        done: asyncio.Future[None] | None = None
        try:
            while True:
                while not self._outbox:
                    self._outbox_ready.clear()
                    await self._outbox_ready.wait()
                frame, done = self._outbox[0]
                while self._sent - self._confirmed + len(frame) + len(_PING) > protocol.MAX_ARRIVAL:
                    if not self._pings or self._pings[-1] != self._sent:
                        self._write_ping()
                    self._ping_answered.clear()
                    await self._ping_answered.wait()
                self._outbox.popleft()
                self._writer.write(frame)
                self._sent += len(frame)
                last_ping = self._pings[-1] if self._pings else self._confirmed
                if self._sent - last_ping >= protocol.MAX_ARRIVAL // 2:
                    self._write_ping()
                await self._writer.drain()
                if done is not None and not done.done():
                    done.set_result(None)
                done = None
        except OSError as e:
            self._end(self._failure(e))
        finally:
            # A frame taken from the outbox but not handed over when the end came.
            if done is not None:
                _fail(done, self._close_reason or ClosedError("the connection ended"))

    def _write_ping(self) -> None:
        self._writer.write(_PING)
        self._sent += len(_PING)
        self._pings.append(self._sent)

    # Receiving.

    async def _read_loop(self) -> None:
        buffer = protocol.FrameBuffer()
        try:
            while True:
                data = await self._reader.read(65536)
                if not data:
                    self._end(ServerClosedError(
                        f"the server on {self._where()} closed the connection"))
                    return
                for frame in buffer.feed(data):
                    self._handle(frame)
        except ProtocolError as e:
            self._end(ProtocolError(f"{e} from the server on {self._where()}; "
                                    "the connection was closed"))
        except OSError as e:
            self._end(self._failure(e))

    def _failure(self, e: OSError) -> ClosedError:
        if isinstance(e, (ConnectionResetError, BrokenPipeError)):
            return ServerClosedError(f"the server on {self._where()} reset the connection")
        return ClosedError(f"the connection to {self._where()} failed: {e.strerror or e}")

    def _handle(self, frame: bytes) -> None:
        f = protocol.parse_frame(frame)
        if isinstance(f, protocol.EventData):
            self._on_value(f)
        elif isinstance(f, protocol.EventSubscribe):
            if f.event_id == 0 and f.flag == 0:
                if self._pings:
                    self._confirmed = self._pings.popleft()
                    self._ping_answered.set()
            elif f.event_id in self._own:
                self._own[f.event_id]._set_subscribers(f.flag != 0)
        elif isinstance(f, protocol.ClientInfo):
            known = self._clients.get(f.client_id)
            if known is not None:
                known.name = f.name
            else:
                joined = self._clients[f.client_id] = RemoteClient(f.client_id, f.name)
                self._report(Change("joined", joined))
        elif isinstance(f, protocol.EventInfo):
            self._on_event(f)
        elif isinstance(f, protocol.EventRemove):
            self._forget_event(f.event_id, report=True)
        elif isinstance(f, protocol.ClientGone):
            gone = self._clients.pop(f.client_id, None)
            if gone is not None:
                for event_id in list(gone._events):
                    self._forget_event(event_id, report=True)
                self._report(Change("left", gone))
        elif isinstance(f, protocol.EventCreated):
            pending = self._creating.pop(f.request_id, None)
            if pending is not None:
                event, created = pending
                event.id = f.event_id
                self._own[f.event_id] = event
                if not created.done():
                    created.set_result(event)
        elif isinstance(f, protocol.ServerInfo):
            self.server_name = f.name
            if not self._registered.done():
                # The server has read the registration; the count starts afresh.
                self._sent = self._confirmed = 0
                self._registered.set_result(None)

    def _on_event(self, f: protocol.EventInfo) -> None:
        owner = self._clients.get(f.owner_id)
        if owner is None:  # announced before its owner: not done by the server
            owner = self._clients[f.owner_id] = RemoteClient(f.owner_id, f"#{f.owner_id}")
        event = RemoteEvent(f.event_id, owner, f.name, f.unit, f.interval, f.maximum)
        self._forget_event(f.event_id)
        owner._events[f.event_id] = event
        self._events[f.event_id] = event
        self._report(Change("created", owner, event))
        for subscription in self._subscriptions:
            if subscription.matches(event):
                self._want(subscription, event)

    def _on_value(self, f: protocol.EventData) -> None:
        event = self._events.get(f.event_id)
        if event is None or f.event_id not in self._wanted:
            return  # unsubscribed meanwhile, or gone
        value = Value(event.client, event.name, f.value, event.unit,
                      datetime.datetime.now().astimezone(), event.id, event.owner.id)
        for subscription in self._subscriptions:
            if subscription._wants(f.event_id):
                subscription._put(value)

    def _forget_event(self, event_id: int, report: bool = False) -> None:
        event = self._events.pop(event_id, None)
        if event is None:
            return
        event.owner._events.pop(event_id, None)
        # The server dropped the subscriptions with the event.
        self._wanted.pop(event_id, None)
        for subscription in self._subscriptions:
            subscription._remove_event(event_id)
        if report:
            self._report(Change("removed", event.owner, event))

    def _report(self, change: Change) -> None:
        for feed in self._change_feeds:
            feed._put(change)

    def _forget_own_event(self, event: Event) -> None:
        self._own.pop(event.id, None)

    def _want(self, subscription: Subscription, event: RemoteEvent) -> None:
        if not subscription._add_event(event):
            return
        count = self._wanted.get(event.id, 0) + 1
        self._wanted[event.id] = count
        if count == 1:
            self._post(protocol.event_subscribe(event.id, True))

    def _drop_subscription(self, subscription: Subscription) -> None:
        if subscription in self._subscriptions:
            self._subscriptions.remove(subscription)
        for event in subscription.events:
            subscription._remove_event(event.id)
            count = self._wanted.get(event.id, 0) - 1
            if count > 0:
                self._wanted[event.id] = count
            elif event.id in self._wanted:
                del self._wanted[event.id]
                self._post(protocol.event_subscribe(event.id, False))


class Connecting:
    """What ``connect`` returns: await it, or use it with ``async with``."""

    def __init__(self, host: str, name: str, port: int, timeout: float | None):
        self._host = host
        self._name = name
        self._port = port
        self._timeout = timeout
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
        host, port, timeout = self._host, self._port, self._timeout
        where = host if port == protocol.SERVER_PORT else f"{host} port {port}"
        loop = asyncio.get_running_loop()
        start = loop.time()
        try:
            # The server listens on IPv4 only.
            reader, writer = await asyncio.wait_for(
                asyncio.open_connection(host, port, family=socket.AF_INET), timeout)
        except ConnectionRefusedError:
            raise RefusedError(f"connection refused by {where} "
                               "(no server listening there?)") from None
        except socket.gaierror as e:
            raise UnreachableError(f"host {host} not found: {e.strerror}") from None
        except TimeoutError:
            raise UnreachableError(f"host {host} is unreachable: no answer within "
                                   f"{timeout:g} s") from None
        except OSError as e:
            if e.errno in _UNREACHABLE:
                raise UnreachableError(f"host {host} is unreachable: {e.strerror}") from None
            raise UnreachableError(f"cannot connect to {where}: {e.strerror or e}") from None
        client = Client(host, port, self._name, reader, writer)
        left = None if timeout is None else max(0.0, timeout - (loop.time() - start))
        await client._register(left)
        return client


def connect(host: str, *, name: str | None = None, port: int = protocol.SERVER_PORT,
            timeout: float | None = 10.0) -> Connecting:
    """Connects to the server on ``host`` and registers under ``name``.

    ``await connect(...)`` gives a Client once the server has sent the roster and
    its name; ``async with connect(...) as client:`` also closes it at the end.
    Raises RefusedError, UnreachableError or ServerClosedError when that fails
    (``timeout`` covers the connection and the registration), and EncodingError
    or ValueError at once for a name that cannot be sent.
    """
    if name is None:
        name = _default_name()
    if not name:
        raise ValueError("a client needs a name (the server closes a connection without one)")
    frame = protocol.client_info_request(name)
    if len(frame) > protocol.MAX_ARRIVAL:
        raise ValueError(f"the client name takes {len(frame) - 4} bytes; "
                         f"at most {protocol.MAX_ARRIVAL - 4} fit into one frame")
    return Connecting(host, name, port, timeout)
