"""The wire protocol of a Toruna server, without any I/O.

Builders return complete frames as bytes, ``parse_frame`` turns one complete
frame into a typed object, ``FrameBuffer`` cuts frames out of a byte stream, and
the discovery datagrams have a builder and a parser of their own. docs/protocol.md
in the project describes every byte.

Text (client names, event names and units, the server's name) is ``str`` here and
Windows-1252 on the wire, one byte per character. ``encode_text`` raises
``EncodingError`` for a character the code page lacks; the five byte values that
Windows-1252 leaves unassigned (81, 8D, 8F, 90, 9D) stand for the control
characters of the same number, as the server reads them, so every byte decodes.
"""

from __future__ import annotations

import enum
import struct
from dataclasses import dataclass
from typing import Iterator, Union

from .errors import EncodingError, ProtocolError

MARKER = 0x2A
HEADER_SIZE = 3
DISCOVERY_PORT = 9666
SERVER_PORT = 13131
# The server closes a connection when it finds more than this many unread bytes
# from it at once.
MAX_ARRIVAL = 2048
# The largest length field: it is signed 16-bit.
MAX_LENGTH = 32767


class FrameType(enum.IntEnum):
    EVENT_DATA = 1
    CLIENT_INFO = 2
    CLIENT_GONE = 3
    EVENT_INFO = 4
    EVENT_REMOVE = 5
    EVENT_SUBSCRIBE = 6
    EVENT_CREATED = 7
    SERVER_INFO = 8


def _decoding_table() -> str:
    chars = []
    for b in range(256):
        try:
            chars.append(bytes([b]).decode("cp1252"))
        except UnicodeDecodeError:
            chars.append(chr(b))
    return "".join(chars)


_DECODING = _decoding_table()
_ENCODING = {ord(c): b for b, c in enumerate(_DECODING)}
# Latin-1 is one character per byte with the byte's number: what differs is translated.
_FROM_LATIN1 = {b: c for b, c in enumerate(_DECODING) if ord(c) != b}


def decode_text(data: bytes) -> str:
    """Windows-1252 bytes to text; never fails."""
    return data.decode("latin-1").translate(_FROM_LATIN1)


def encode_text(text: str, what: str = "text") -> bytes:
    """Text to Windows-1252 bytes. ``what`` names the text in the error message."""
    out = bytearray()
    for ch in text:
        b = _ENCODING.get(ord(ch))
        if b is None:
            raise EncodingError(
                f"{what} {text!r} cannot be sent: {ch!r} (U+{ord(ch):04X}) is not a "
                "Windows-1252 character")
        out.append(b)
    return bytes(out)


def _frame(ftype: FrameType, payload: bytes) -> bytes:
    if len(payload) + 1 > MAX_LENGTH:
        raise ValueError(f"a frame carries at most {MAX_LENGTH - 1} payload bytes, "
                         f"not {len(payload)}")
    return struct.pack("<BhB", MARKER, len(payload) + 1, ftype) + payload


def event_text(name: str, unit: str = "") -> bytes:
    """The text of an event on the wire: the name, and a byte 0 and the unit when
    there is one."""
    text = encode_text(name, "the event name")
    if unit:
        text += b"\0" + encode_text(unit, "the unit")
    return text


# Frames a client sends.

def event_data(event_id: int, value: int) -> bytes:
    """Publishes one value (0 to 255) of an own event."""
    return _frame(FrameType.EVENT_DATA, struct.pack("<iB", event_id, value))


def client_info_request(name: str) -> bytes:
    """Registers under a name."""
    return _frame(FrameType.CLIENT_INFO, encode_text(name, "the client name"))


def event_info_request(request_id: int, interval: int, maximum: int, name: str,
                       unit: str = "") -> bytes:
    """Asks to create an event; the answer is EventCreated with ``request_id``."""
    return _frame(FrameType.EVENT_INFO,
                  struct.pack("<ihh", request_id, interval, maximum) + event_text(name, unit))


def event_remove(event_id: int) -> bytes:
    return _frame(FrameType.EVENT_REMOVE, struct.pack("<i", event_id))


def event_subscribe(event_id: int, subscribe: bool) -> bytes:
    """Subscribes to an event (True) or unsubscribes from it (False)."""
    return _frame(FrameType.EVENT_SUBSCRIBE, struct.pack("<iB", event_id, 1 if subscribe else 0))


# Frames the server sends, for tests and stand-in servers.

def client_info(client_id: int, name: str) -> bytes:
    return _frame(FrameType.CLIENT_INFO,
                  struct.pack("<i", client_id) + encode_text(name, "the client name"))


def client_gone(client_id: int) -> bytes:
    return _frame(FrameType.CLIENT_GONE, struct.pack("<i", client_id))


def event_info(owner_id: int, event_id: int, interval: int, maximum: int, name: str,
               unit: str = "") -> bytes:
    """An event's announcement as built from a stored event: the 0 after the name
    is always there."""
    text = encode_text(name, "the event name") + b"\0" + encode_text(unit, "the unit")
    return _frame(FrameType.EVENT_INFO,
                  struct.pack("<iihh", owner_id, event_id, interval, maximum) + text)


def event_created(request_id: int, event_id: int) -> bytes:
    return _frame(FrameType.EVENT_CREATED, struct.pack("<ii", request_id, event_id))


def server_info(name: str) -> bytes:
    return _frame(FrameType.SERVER_INFO, encode_text(name, "the server name"))


# Parsed frames (as a client receives them).

@dataclass(frozen=True)
class EventData:
    event_id: int
    value: int


@dataclass(frozen=True)
class ClientInfo:
    client_id: int
    name: str


@dataclass(frozen=True)
class ClientGone:
    client_id: int


@dataclass(frozen=True)
class EventInfo:
    owner_id: int
    event_id: int
    interval: int
    maximum: int
    name: str
    unit: str


@dataclass(frozen=True)
class EventRemove:
    event_id: int


@dataclass(frozen=True)
class EventSubscribe:
    """To an owner: whether its event has subscribers now (``flag`` not 0)."""
    event_id: int
    flag: int


@dataclass(frozen=True)
class EventCreated:
    request_id: int
    event_id: int


@dataclass(frozen=True)
class ServerInfo:
    name: str


Frame = Union[EventData, ClientInfo, ClientGone, EventInfo, EventRemove, EventSubscribe,
              EventCreated, ServerInfo]


def split_event_text(text: bytes) -> tuple[str, str]:
    """Name and unit of an event's text: the name ends at the first 0, the unit
    at the next 0 or the end; anything after a second 0 is ignored."""
    name, _, rest = text.partition(b"\0")
    unit = rest.split(b"\0", 1)[0]
    return decode_text(name), decode_text(unit)


def parse_frame(frame: bytes) -> Frame | None:
    """One complete frame as the server sends it; None for a type this client
    does not know, a frame too short for its type, or a frame of length 0."""
    if len(frame) < HEADER_SIZE + 1:
        return None
    length = struct.unpack_from("<h", frame, 1)[0]
    if length < 1 or len(frame) < HEADER_SIZE + length:
        return None
    body = frame[4:HEADER_SIZE + length]
    ftype = frame[3]
    if ftype == FrameType.EVENT_DATA and len(body) >= 5:
        return EventData(*struct.unpack_from("<iB", body))
    if ftype == FrameType.CLIENT_INFO and len(body) >= 4:
        return ClientInfo(struct.unpack_from("<i", body)[0], decode_text(body[4:]))
    if ftype == FrameType.CLIENT_GONE and len(body) >= 4:
        return ClientGone(struct.unpack_from("<i", body)[0])
    if ftype == FrameType.EVENT_INFO and len(body) >= 12:
        owner, event, interval, maximum = struct.unpack_from("<iihh", body)
        name, unit = split_event_text(body[12:])
        return EventInfo(owner, event, interval, maximum, name, unit)
    if ftype == FrameType.EVENT_REMOVE and len(body) >= 4:
        return EventRemove(struct.unpack_from("<i", body)[0])
    if ftype == FrameType.EVENT_SUBSCRIBE and len(body) >= 5:
        return EventSubscribe(*struct.unpack_from("<iB", body))
    if ftype == FrameType.EVENT_CREATED and len(body) >= 8:
        return EventCreated(*struct.unpack_from("<ii", body))
    if ftype == FrameType.SERVER_INFO:
        return ServerInfo(decode_text(body))
    return None


class FrameBuffer:
    """Cuts complete frames out of the bytes received on one connection."""

    def __init__(self) -> None:
        self._data = bytearray()

    def feed(self, data: bytes) -> Iterator[bytes]:
        """Appends the bytes and yields every frame they complete, in order.

        Raises ProtocolError where a frame should begin and does not (a wrong
        marker or a negative length): there is no way back into step then.
        """
        self._data += data
        while self._data:
            if self._data[0] != MARKER:
                raise ProtocolError(f"lost protocol sync: byte {self._data[0]:02X} "
                                    "where a frame should begin")
            if len(self._data) < HEADER_SIZE:
                return
            length = struct.unpack_from("<h", self._data, 1)[0]
            if length < 0:
                raise ProtocolError(f"lost protocol sync: frame length {length}")
            size = HEADER_SIZE + length
            if len(self._data) < size:
                return
            frame = bytes(self._data[:size])
            del self._data[:size]
            yield frame


# Discovery.

def discovery_request(reply_port: int) -> bytes:
    """Asks every server that receives it to answer at ``reply_port`` of the sender."""
    if not 0 <= reply_port <= 65535:
        raise ValueError(f"port {reply_port} is not from 0 to 65535")
    return b"?%d!" % reply_port


def discovery_reply(name: str, clients: int) -> bytes:
    return b"***" + encode_text(name, "the server name") + b"\0" + str(clients).encode() + b"\0"


def parse_discovery_reply(datagram: bytes) -> tuple[str, int] | None:
    """The server's name and its number of registered clients; None when the
    datagram is not a discovery reply."""
    if not datagram.startswith(b"***"):
        return None
    parts = datagram[3:].split(b"\0")
    # name, count and the empty rest after the second 0
    if len(parts) < 3 or not parts[1].isdigit() or len(parts[1]) > 18:
        return None
    return decode_text(parts[0]), int(parts[1])
