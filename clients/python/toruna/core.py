"""A client's side of the conversation with a server, without any I/O.

``ClientCore`` keeps what one client knows and wants: the roster (the other
clients and their events), its own events, its subscriptions by pattern with
a count of how many want each event, and the pacing of what it sends. Bytes
from the server go in through ``receive_data``, which returns what happened as
notices; bytes for the server come out of ``data_to_send``. The asyncio client
is a shell around it; tests drive it with frames.

It lives longer than one connection: ``connection_made`` registers again under
the same name, creates the own events again and subscribes again by pattern as
the new roster arrives; ``connection_lost`` forgets what belonged to the old one.
A subscription is sent within the same ``receive_data`` call as the
announcement of the event it matches, so that it reaches the server before the
owner can react to a first subscriber with values.
"""

from __future__ import annotations

import datetime
import fnmatch
import re
from dataclasses import dataclass, field
from typing import Union

from . import protocol
from .errors import ProtocolError
from .roster import Change, RemoteClient, RemoteEvent, Value
from .window import MAX_FRAME, SendWindow


def matches(event: RemoteEvent, patterns: tuple[str, ...]) -> bool:
    """Whether the event's "client/event" name matches one of the patterns
    (shell wildcards; ``*`` also matches ``/``)."""
    return any(fnmatch.fnmatchcase(event.path, p) for p in patterns)


def check_client_name(name: str) -> bytes:
    """The registration frame for the name; ValueError or EncodingError when it
    cannot be sent."""
    if not name:
        raise ValueError("a client needs a name (the server closes a connection without one)")
    frame = protocol.client_info_request(name)
    if len(frame) > protocol.MAX_ARRIVAL:
        raise ValueError(f"the client name takes {len(frame) - 4} bytes; "
                         f"at most {protocol.MAX_ARRIVAL - 4} fit into one frame")
    return frame


@dataclass(eq=False)
class OwnEvent:
    """An event of this client's. ``request`` is the ID of its create request,
    the same on every connection; ``id`` is the server's, 0 until the server
    has created it (again, after a reconnection)."""

    name: str
    unit: str
    interval: int
    maximum: int
    request: int
    id: int = 0
    has_subscribers: bool = False
    removed: bool = False


@dataclass(eq=False)
class SubscriptionState:
    """The patterns of one subscription and the events it takes now."""

    patterns: tuple[str, ...]
    events: dict[int, RemoteEvent] = field(default_factory=dict)

    def __post_init__(self) -> None:
        # One expression for all patterns: every announcement is matched.
        self._matcher = re.compile("|".join(fnmatch.translate(p) for p in self.patterns))

    def matches(self, event: RemoteEvent) -> bool:
        return self._matcher.match(event.path) is not None


# Notices: what receive_data and connection_lost report, besides roster Changes.

@dataclass(frozen=True)
class Registered:
    """The roster is complete and the server has named itself."""
    server_name: str


@dataclass(frozen=True)
class ValueArrived:
    value: Value
    subscriptions: tuple[SubscriptionState, ...]


@dataclass(frozen=True)
class EventReady:
    """The server created an own event (again): it has its ID now."""
    event: OwnEvent


@dataclass(frozen=True)
class SubscribersChanged:
    """An own event got its first subscriber or lost its last."""
    event: OwnEvent
    present: bool


@dataclass(frozen=True)
class ProtocolFailure:
    """The bytes from the server are not frames: the connection must end."""
    error: ProtocolError


Notice = Union[Change, Registered, ValueArrived, EventReady, SubscribersChanged, ProtocolFailure]


class ClientCore:
    """One client's state and rules; see the module's description."""

    def __init__(self, name: str) -> None:
        self._registration = check_client_name(name)
        self.name = name
        self.server_name = ""
        self.connected = False
        self.registered = False
        self.clients: dict[int, RemoteClient] = {}
        self.events: dict[int, RemoteEvent] = {}
        self.own: dict[int, OwnEvent] = {}  # by request ID
        self.subscriptions: list[SubscriptionState] = []
        self._wanted: dict[int, int] = {}  # event ID -> subscriptions that take it
        self._remove_when_created: set[int] = set()  # request IDs
        self._next_request = 0
        self._window = SendWindow()
        self._buffer = protocol.FrameBuffer()
        self._now: datetime.datetime | None = None

    # The connection's life.

    def connection_made(self) -> None:
        """A new connection: registers, then creates the own events again."""
        self._window.reset()
        self._buffer = protocol.FrameBuffer()
        self.connected = True
        self.registered = False
        self._window.register(self._registration)
        # The server handles frames in order: these count from the registration on.
        for event in self.own.values():
            self._send_create(event)

    def connection_lost(self) -> list[Notice]:
        """The connection ended: the roster and the subscriptions' events are
        forgotten (reported as departures), own events have nobody listening."""
        notices: list[Notice] = []
        for client in list(self.clients.values()):
            self._client_gone(client, notices)
        for event in self.own.values():
            event.id = 0
            if event.has_subscribers:
                event.has_subscribers = False
                notices.append(SubscribersChanged(event, False))
        self.events.clear()
        self._wanted.clear()
        self._remove_when_created.clear()
        self._window.reset()
        self.connected = self.registered = False
        return notices

    def data_to_send(self) -> bytes:
        return self._window.data_to_send()

    @property
    def released(self) -> int:
        """How many frames have been handed out (or dropped with a connection):
        a frame numbered n has left once this is n or more."""
        return self._window.released

    # Own events.

    def create_event(self, name: str, unit: str = "", interval: int = 0,
                     maximum: int = 255) -> OwnEvent:
        """Checks the event and asks the server to create it (now if connected,
        else on the next connection); EventReady tells when it exists."""
        if not name:
            raise ValueError("an event needs a name")
        for what, text in (("the event name", name), ("the unit", unit)):
            if "\0" in text:
                raise ValueError(f"{what} {text!r} holds a character 0")
        for what, number in (("interval", interval), ("maximum", maximum)):
            if not -32768 <= number <= 32767:
                raise ValueError(f"the {what} is from -32768 to 32767, not {number}")
        size = len(protocol.event_info_request(0, interval, maximum, name, unit))
        if size > MAX_FRAME:
            raise ValueError(f"the event name and unit take {size - 12} bytes; "
                             f"at most {MAX_FRAME - 12} fit into one frame")
        self._next_request = self._next_request % 0x7FFFFFFF + 1
        event = OwnEvent(name, unit, interval, maximum, self._next_request)
        self.own[event.request] = event
        if self.connected:
            self._send_create(event)
        return event

    def remove_event(self, event: OwnEvent) -> int | None:
        """Removes the event; returns the number of the frame that tells the
        server, or None when nothing needs to go out now."""
        if self.own.pop(event.request, None) is None:
            return None
        event.removed = True
        event.has_subscribers = False
        if not self.connected:
            return None
        if event.id == 0:
            # Asked for on this connection and not answered yet.
            self._remove_when_created.add(event.request)
            return None
        return self._window.send(protocol.event_remove(event.id))

    def publish(self, event: OwnEvent, value: int) -> int | None:
        """Sends one value; returns the frame's number, or None when it cannot
        go out (the event does not exist on the server now)."""
        if isinstance(value, bool) or not isinstance(value, int):
            raise TypeError(f"a value is an int from 0 to 255, not {type(value).__name__}")
        if not 0 <= value <= 255:
            raise ValueError(f"a value is from 0 to 255, not {value}")
        if not self.connected or event.removed or event.id == 0:
            return None
        return self._window.send(protocol.event_data(event.id, value))

    # Subscriptions.

    def subscribe(self, patterns: tuple[str, ...]) -> SubscriptionState:
        """Takes every known event that matches, and each one announced later."""
        if not patterns or not all(isinstance(p, str) and p for p in patterns):
            raise ValueError("subscribe needs one or more patterns such as '*/Temp'")
        state = SubscriptionState(patterns)
        self.subscriptions.append(state)
        for event in self.events.values():
            if state.matches(event):
                self._want(state, event)
        return state

    def unsubscribe(self, state: SubscriptionState) -> None:
        """Ends the subscription; the server is told to stop sending an event's
        values only when no other subscription takes it."""
        if state in self.subscriptions:
            self.subscriptions.remove(state)
        for event_id in list(state.events):
            del state.events[event_id]
            count = self._wanted.get(event_id, 0) - 1
            if count > 0:
                self._wanted[event_id] = count
            elif event_id in self._wanted:
                del self._wanted[event_id]
                if self.connected:
                    self._window.send(protocol.event_subscribe(event_id, False))

    def find_events(self, pattern: str) -> list[RemoteEvent]:
        return [e for e in self.events.values() if matches(e, (pattern,))]

    # Receiving.

    def receive_data(self, data: bytes,
                     now: datetime.datetime | None = None) -> list[Notice]:
        """Takes bytes from the server. ``now`` is their arrival time, given to
        the values among them (the present moment when None)."""
        notices: list[Notice] = []
        self._now = now
        try:
            for frame in self._buffer.feed(data):
                self._handle(protocol.parse_frame(frame), notices)
        except ProtocolError as e:
            notices.append(ProtocolFailure(e))
        return notices

    def _handle(self, f: protocol.Frame | None, notices: list[Notice]) -> None:
        if isinstance(f, protocol.EventData):
            self._on_value(f, notices)
        elif isinstance(f, protocol.EventSubscribe):
            self._on_subscribers(f, notices)
        elif isinstance(f, protocol.ClientInfo):
            known = self.clients.get(f.client_id)
            if known is not None:
                known.name = f.name
            else:
                joined = self.clients[f.client_id] = RemoteClient(f.client_id, f.name)
                notices.append(Change("joined", joined))
        elif isinstance(f, protocol.EventInfo):
            self._on_event(f, notices)
        elif isinstance(f, protocol.EventRemove):
            self._forget_event(f.event_id, notices)
        elif isinstance(f, protocol.ClientGone):
            gone = self.clients.get(f.client_id)
            if gone is not None:
                self._client_gone(gone, notices)
        elif isinstance(f, protocol.EventCreated):
            self._on_created(f, notices)
        elif isinstance(f, protocol.ServerInfo):
            self.server_name = f.name
            if not self.registered:
                self.registered = True
                self._window.registered()
                notices.append(Registered(f.name))

    def _on_value(self, f: protocol.EventData, notices: list[Notice]) -> None:
        event = self.events.get(f.event_id)
        if event is None or f.event_id not in self._wanted:
            return  # unsubscribed meanwhile, or gone
        if self._now is None:  # once per arrival, and only for values
            self._now = datetime.datetime.now().astimezone()
        value = Value(event.client, event.name, f.value, event.unit, self._now, event.id,
                      event.owner.id)
        takers = tuple(s for s in self.subscriptions if f.event_id in s.events)
        notices.append(ValueArrived(value, takers))

    def _on_subscribers(self, f: protocol.EventSubscribe, notices: list[Notice]) -> None:
        if f.event_id == 0 and f.flag == 0:
            self._window.answered()
            return
        for event in self.own.values():
            # The server repeats "nobody listens" at every departure of any
            # client; only a change is news.
            if event.id == f.event_id and event.has_subscribers != (f.flag != 0):
                event.has_subscribers = f.flag != 0
                notices.append(SubscribersChanged(event, event.has_subscribers))

    def _on_event(self, f: protocol.EventInfo, notices: list[Notice]) -> None:
        owner = self.clients.get(f.owner_id)
        if owner is None:  # announced before its owner: not done by the server
            owner = self.clients[f.owner_id] = RemoteClient(f.owner_id, f"#{f.owner_id}")
        self._forget_event(f.event_id, None)
        event = RemoteEvent(f.event_id, owner, f.name, f.unit, f.interval, f.maximum)
        owner._events[f.event_id] = event
        self.events[f.event_id] = event
        notices.append(Change("created", owner, event))
        for state in self.subscriptions:
            if state.matches(event):
                self._want(state, event)

    def _on_created(self, f: protocol.EventCreated, notices: list[Notice]) -> None:
        if f.event_id == 0:
            return
        if f.request_id in self._remove_when_created:
            self._remove_when_created.discard(f.request_id)
            self._window.send(protocol.event_remove(f.event_id))
            return
        event = self.own.get(f.request_id)
        if event is None or event.id != 0:
            return  # not an answer to us, or a repeat
        event.id = f.event_id
        notices.append(EventReady(event))

    def _client_gone(self, client: RemoteClient, notices: list[Notice]) -> None:
        del self.clients[client.id]
        for event_id in list(client._events):
            self._forget_event(event_id, notices)
        notices.append(Change("left", client))

    def _forget_event(self, event_id: int, notices: list[Notice] | None) -> None:
        event = self.events.pop(event_id, None)
        if event is None:
            return
        event.owner._events.pop(event_id, None)
        # The server drops the subscriptions with the event.
        self._wanted.pop(event_id, None)
        for state in self.subscriptions:
            state.events.pop(event_id, None)
        if notices is not None:
            notices.append(Change("removed", event.owner, event))

    def _want(self, state: SubscriptionState, event: RemoteEvent) -> None:
        if event.id in state.events:
            return
        state.events[event.id] = event
        count = self._wanted.get(event.id, 0) + 1
        self._wanted[event.id] = count
        if count == 1 and self.connected:
            self._window.send(protocol.event_subscribe(event.id, True))

    def _send_create(self, event: OwnEvent) -> None:
        # The request ID is what the server's answer carries back.
        self._window.send(protocol.event_info_request(event.request, event.interval,
                                                      event.maximum, event.name, event.unit))
