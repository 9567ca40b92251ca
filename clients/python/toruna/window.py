"""Pacing of what a client sends, without I/O.

The server closes a connection when it finds more than 2048 bytes from it
waiting at once, which a burst of small frames reaches easily. So no more than
that is ever on the way unconfirmed. Confirmations are answers the server sends
once it has handled everything before them: ServerInfo for the registration,
and for everything later a round trip, a value for event 0 (which nobody owns),
answered with "event 0 has no subscribers". A round trip goes out after every
1024 bytes, and a frame that would not fit waits in the queue for the answers
before it. Every frame leaves room for one round trip after it, so the window
can always ask for the confirmation it waits for.
"""

from __future__ import annotations

import collections

from . import protocol

# A frame that the server answers and that changes nothing.
PROBE = protocol.event_data(0, 0)
LIMIT = protocol.MAX_ARRIVAL
PROBE_EVERY = LIMIT // 2
# The largest frame after the registration: it and a round trip fit together.
MAX_FRAME = LIMIT - len(PROBE)


class SendWindow:
    """Frames in, bytes for the socket out (``data_to_send``), never more than
    the server accepts unread. Frames are numbered in the order they were
    given; ``released`` counts those handed out so far."""

    def __init__(self) -> None:
        self._queue: collections.deque[bytes] = collections.deque()
        self._out = bytearray()
        self._sent = 0        # bytes handed out on this connection
        self._confirmed = 0   # of those, handled by the server
        self._probes: collections.deque[int] = collections.deque()  # _sent after each
        self._registration: int | None = None  # _sent after it, until ServerInfo
        self._given = 0
        self.released = 0

    def reset(self) -> None:
        """A new connection: nothing is on the way; what waited is dropped."""
        self.released = self._given
        self._queue.clear()
        self._out.clear()
        self._sent = self._confirmed = 0
        self._probes.clear()
        self._registration = None

    def register(self, frame: bytes) -> int:
        """The registration, the first frame of a connection: it may take the
        whole window, and ServerInfo confirms it."""
        self._given += 1
        self._emit(frame)
        self.released = self._given
        self._registration = self._sent
        return self._given

    def send(self, frame: bytes) -> int:
        """Queues the frame; it leaves as soon as it fits. Returns its number."""
        if len(frame) > MAX_FRAME:
            raise ValueError(f"a frame of {len(frame)} bytes is larger than {MAX_FRAME}")
        self._given += 1
        self._queue.append(frame)
        self._flush()
        return self._given

    def registered(self) -> None:
        """ServerInfo arrived: the server has handled the registration."""
        if self._registration is not None:
            self._confirmed = max(self._confirmed, self._registration)
            self._registration = None
            self._flush()

    def answered(self) -> None:
        """The answer to the oldest round trip arrived."""
        if self._probes:
            self._confirmed = max(self._confirmed, self._probes.popleft())
            self._flush()

    def data_to_send(self) -> bytes:
        data = bytes(self._out)
        self._out.clear()
        return data

    @property
    def queued(self) -> int:
        """Frames waiting for room."""
        return len(self._queue)

    @property
    def unconfirmed(self) -> int:
        """Bytes on the way that the server has not confirmed yet."""
        return self._sent - self._confirmed

    def _last_asked(self) -> int:
        """Up to where a confirmation has been asked for (or is not needed)."""
        asked = self._confirmed
        if self._probes:
            asked = max(asked, self._probes[-1])
        if self._registration is not None:
            asked = max(asked, self._registration)
        return asked

    def _flush(self) -> None:
        while self._queue:
            frame = self._queue[0]
            if self._sent - self._confirmed + len(frame) + len(PROBE) > LIMIT:
                if self._last_asked() < self._sent:
                    self._probe()
                return
            self._queue.popleft()
            self._emit(frame)
            self.released += 1
            if self._sent - self._last_asked() >= PROBE_EVERY:
                self._probe()

    def _probe(self) -> None:
        self._emit(PROBE)
        self._probes.append(self._sent)

    def _emit(self, frame: bytes) -> None:
        self._out += frame
        self._sent += len(frame)
