"""docs/protocol.md checked: its examples against the Python package's frame
code; its worked session replayed against the real server byte for byte; and
its tables of discovery requests, of frame sizes and pieces, and of pacing at
the edges sent to the real server, as well as what it says of order and of
values not kept."""

import re
import socket
import struct
import time

from toruna import protocol
from support import ROOT

REFERENCE = (ROOT / "docs" / "protocol.md").read_text(encoding="utf-8")


def hex_bytes(text: str) -> bytes:
    assert re.fullmatch(r"\s*([0-9A-F]{2}\s+)*[0-9A-F]{2}\s*", text), f"not hex: {text!r}"
    return bytes.fromhex(text)


def examples() -> dict[str, bytes]:
    found = re.findall(r"<!-- example: ([\w-]+) -->\n```text\n(.*?)```", REFERENCE, re.S)
    assert len(found) == REFERENCE.count("<!-- example:"), "an example not followed by hex"
    return {name: hex_bytes(body) for name, body in found}


def test_examples_are_what_the_package_builds_and_reads():
    built = {
        "discovery-request": protocol.discovery_request(50000),
        "discovery-reply": protocol.discovery_reply("Lab", 2),
        "frame-event-data": protocol.event_data(2, 21),
        "frame-client-info-request": protocol.client_info_request("Alice"),
        "frame-client-info": protocol.client_info(1, "Alice"),
        "frame-client-gone": protocol.client_gone(3),
        "frame-event-info-request": protocol.event_info_request(1, 1000, 120, "Temp", "°C"),
        "frame-event-info": protocol.event_info(1, 2, 1000, 120, "Temp", "°C"),
        "frame-event-remove": protocol.event_remove(2),
        "frame-event-subscribe": protocol.event_subscribe(2, True),
        "frame-event-unsubscribe": protocol.event_subscribe(2, False),
        "frame-event-created": protocol.event_created(1, 2),
        "frame-server-info": protocol.server_info("Lab"),
        "frame-round-trip": protocol.event_data(0, 0),
        "frame-round-trip-answer": protocol.event_subscribe(0, False),
    }
    assert examples() == built

    read = {
        "discovery-reply": ("Lab", 2),
        "frame-event-data": protocol.EventData(2, 21),
        "frame-client-info": protocol.ClientInfo(1, "Alice"),
        "frame-client-gone": protocol.ClientGone(3),
        "frame-event-info": protocol.EventInfo(1, 2, 1000, 120, "Temp", "°C"),
        "frame-event-remove": protocol.EventRemove(2),
        "frame-event-subscribe": protocol.EventSubscribe(2, 1),
        "frame-event-created": protocol.EventCreated(1, 2),
        "frame-server-info": protocol.ServerInfo("Lab"),
    }
    for name, expected in read.items():
        data = examples()[name]
        parsed = (protocol.parse_discovery_reply(data) if name.startswith("discovery")
                  else protocol.parse_frame(data))
        assert parsed == expected, name


def session_rows() -> list[tuple[str, str, bytes]]:
    section = REFERENCE.split("## A worked session", 1)[1]
    rows = re.findall(r"^\| (\d+) \| (\w+) \| (\w+) \|\s*(`[0-9A-F ]+`)?\s*\|", section, re.M)
    assert [int(r[0]) for r in rows] == list(range(1, len(rows) + 1)), "rows not numbered 1, 2, ..."
    return [(who, does, hex_bytes(code.strip("`")) if code else b"")
            for _, who, does, code in rows]


def test_worked_session_against_the_server(start_server):
    start_server("Lab")
    tcp: dict[str, socket.socket] = {}
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as finder:
        finder.bind(("127.0.0.1", 50000))
        finder.settimeout(5)
        for step, (who, does, data) in enumerate(session_rows(), 1):
            where = f"step {step} ({who} {does})"
            if who == "Finder":
                if does == "sends":
                    finder.sendto(data, ("127.0.0.1", protocol.DISCOVERY_PORT))
                else:
                    assert finder.recvfrom(2048)[0] == data, where
            elif does == "connects":
                tcp[who] = socket.create_connection(("127.0.0.1", protocol.SERVER_PORT), 5)
            elif does == "sends":
                tcp[who].sendall(data)
            elif does == "receives":
                got = b""
                while len(got) < len(data):
                    chunk = tcp[who].recv(len(data) - len(got))
                    assert chunk, f"{where}: the server closed the connection"
                    got += chunk
                assert got.hex(" ").upper() == data.hex(" ").upper(), where
            elif does == "closes":
                # Nothing arrived that the session does not show.
                tcp[who].settimeout(0.3)
                try:
                    assert tcp[who].recv(1) == b"", f"{where}: more bytes than shown"
                except TimeoutError:
                    pass
                tcp.pop(who).close()
            else:
                raise AssertionError(f"{where}: unknown action")
    assert not tcp, "a client in the session never closes"


def table(marker: str) -> list[list[str]]:
    """The rows of the table that follows "<!-- MARKER -->", cells stripped."""
    section = REFERENCE.split(f"<!-- {marker} -->\n", 1)[1]
    rows = []
    for line in section.splitlines()[2:]:
        if not line.startswith("|"):
            break
        rows.append([cell.strip() for cell in line.strip("|").split("|")])
    assert rows, f"no table after {marker}"
    return rows


class Peer:
    """A plain TCP client of the server that reads whole frames."""

    def __init__(self) -> None:
        self.sock = socket.create_connection(("127.0.0.1", protocol.SERVER_PORT), 5)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buffer = protocol.FrameBuffer()
        self.frames: list[bytes] = []

    def next_frame(self, timeout: float = 5) -> bytes | None:
        """The next frame, or None once the server has closed the connection."""
        self.sock.settimeout(timeout)
        while not self.frames:
            try:
                data = self.sock.recv(65536)
            except ConnectionResetError:
                return None
            if not data:
                return None
            self.frames.extend(self.buffer.feed(data))
        return self.frames.pop(0)

    def until(self, wanted) -> object | None:
        """Reads until a frame for which wanted(parsed) holds; None when closed."""
        while (frame := self.next_frame()) is not None:
            parsed = protocol.parse_frame(frame)
            if wanted(parsed):
                return parsed
        return None

    def closed(self, timeout: float = 2) -> bool:
        """Whether the server closes the connection (within the timeout)."""
        try:
            return self.next_frame(timeout) is None
        except TimeoutError:
            return False

    def close(self) -> None:
        self.sock.close()


def round_trip_answer(f) -> bool:
    return isinstance(f, protocol.EventSubscribe) and f.event_id == 0


def registration(size: int) -> bytes:
    return protocol.client_info_request("N" * (size - 4))


def test_discovery_requests_answered_as_the_reference_lists(start_server):
    start_server("Lab")
    rows = table("discovery-requests")
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as asker:
        asker.bind(("127.0.0.1", 0))
        for request, answered in rows:
            text = request.strip("`").encode("ascii")
            port = int(answered) if answered.isdigit() else 50000
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as reply:
                reply.bind(("127.0.0.1", port))
                reply.settimeout(2 if answered.isdigit() else 0.3)
                asker.sendto(text, ("127.0.0.1", protocol.DISCOVERY_PORT))
                try:
                    got = reply.recvfrom(2048)[0]
                except TimeoutError:
                    got = None
            if answered.isdigit():
                assert got == protocol.discovery_reply("Lab", 0), request
            else:
                assert answered == "no answer" and got is None, request


def test_frames_in_pieces_taken_as_the_reference_lists(start_server):
    start_server("Lab")
    for size, pieces, outcome in table("arrivals"):
        frame = registration(int(size))
        sizes: list[int] = []
        for part in pieces.split(", "):
            count, _, each = part.partition(" × ")
            sizes += [int(each)] * int(count) if each else [int(count)]
        assert sum(sizes) == len(frame), f"{size}: the pieces do not add up"
        peer = Peer()
        at = 0
        for n in sizes:
            peer.sock.sendall(frame[at:at + n])
            at += n
            time.sleep(0.1)
        registered = peer.until(lambda f: isinstance(f, protocol.ServerInfo)) is not None
        assert registered == outcome.startswith("registers"), f"{size}: {outcome}"
        if registered:
            peer.sock.sendall(protocol.event_data(0, 0))
            goes_on = peer.until(round_trip_answer) is not None
            assert goes_on == outcome.endswith("goes on"), f"{size}: {outcome}"
        peer.close()


def pacing_steps() -> list[tuple[str, str, int, int]]:
    rows = table("pacing")
    assert [int(r[0]) for r in rows] == list(range(1, len(rows) + 1))
    return [(r[1], r[2], int(r[3] or 0), int(r[4])) for r in rows]


def test_pacing_at_the_edges_as_the_reference_lists(start_server):
    """The table followed literally, on 20 connections: each frame as large as
    it says, each sent as soon as the rule lets it, none closed."""
    start_server("Lab")
    steps = pacing_steps()
    limit = 2048
    for _ in range(20):
        peer = Peer()
        sent = confirmed = 0
        marks: list[int] = []  # bytes sent up to each frame whose answer is due
        events: dict[int, int] = {}
        for does, frames, size, unconfirmed in steps:
            if does == "sends":
                if frames == "ClientInfo":
                    data = registration(size)
                elif frames.startswith("EventInfo "):
                    data = protocol.event_info_request(int(frames.split()[1]), 0, 0, "E" * (size - 12))
                elif frames == "round trip":
                    data = protocol.event_data(0, 0)
                else:
                    count, kind = frames.split()
                    assert kind == "EventData"
                    data = protocol.event_data(events[4], 7) * int(count)
                assert len(data) == size, frames
                answered = frames == "ClientInfo" or frames.startswith("EventInfo") or frames == "round trip"
                # Frames without an answer keep room for the round trip behind them.
                need = len(data) + (0 if answered else 9)
                assert sent == confirmed or sent - confirmed + need <= limit, \
                    f"the table sends {frames} where the rule says wait"
                peer.sock.sendall(data)
                sent += len(data)
                if answered:
                    marks.append(sent)
            else:
                if frames == "ServerInfo":
                    got = peer.until(lambda f: isinstance(f, (protocol.ServerInfo, protocol.EventSubscribe)))
                    assert isinstance(got, protocol.ServerInfo), "closed before ServerInfo"
                elif frames.startswith("EventCreated "):
                    request = int(frames.split()[1])
                    got = peer.until(lambda f: isinstance(f, protocol.EventCreated))
                    assert got is not None, "closed before EventCreated"
                    assert got.request_id == request
                    events[request] = got.event_id
                else:
                    assert peer.until(round_trip_answer) is not None, "closed before the answer"
                confirmed = marks.pop(0)
            assert sent - confirmed == unconfirmed <= limit, (does, frames)
        assert not marks
        peer.close()


def test_a_round_trip_pressed_behind_a_full_frame_is_too_much(start_server):
    """What the rule's room for the round trip is for: 2048 + 9 bytes in one write."""
    start_server("Lab")
    peer = Peer()
    peer.sock.sendall(protocol.client_info_request("Me"))
    assert peer.until(lambda f: isinstance(f, protocol.ServerInfo))
    peer.sock.sendall(protocol.event_info_request(1, 0, 0, "E" * 2036) + protocol.event_data(0, 0))
    assert peer.closed()
    peer.close()


def test_values_are_not_kept_and_every_client_sees_the_servers_order(start_server):
    start_server("Lab")
    owners, subscribers = [Peer(), Peer()], [Peer(), Peer()]
    ids = []
    for n, owner in enumerate(owners):
        owner.sock.sendall(protocol.client_info_request(f"Owner{n}") +
                           protocol.event_info_request(1, 0, 0, "Temp"))
        ids.append(owner.until(lambda f: isinstance(f, protocol.EventCreated)).event_id)
    for n, sub in enumerate(subscribers):
        sub.sock.sendall(protocol.client_info_request(f"Sub{n}") +
                         b"".join(protocol.event_subscribe(i, True) for i in ids) +
                         protocol.event_data(0, 0))
        assert sub.until(round_trip_answer), "the subscriptions were not handled"
    # Both owners publish at once, in paced bursts; each value is (owner, number).
    for burst in range(10):
        for n, owner in enumerate(owners):
            owner.sock.sendall(b"".join(protocol.event_data(ids[n], burst * 20 + v) for v in range(20)) +
                               protocol.event_data(0, 0))
        for owner in owners:
            assert owner.until(round_trip_answer)
    # A subscriber that comes now gets nothing of what went before.
    late = Peer()
    late.sock.sendall(protocol.client_info_request("Late") + protocol.event_subscribe(ids[0], True) +
                      protocol.event_data(0, 0))
    assert late.until(round_trip_answer)
    owners[0].sock.sendall(protocol.event_data(ids[0], 255) + protocol.event_data(0, 0))
    assert owners[0].until(round_trip_answer)
    first = late.until(lambda f: isinstance(f, protocol.EventData))
    assert first == protocol.EventData(ids[0], 255)

    seen = []
    for sub in subscribers:
        values = []
        while len(values) < 401:
            f = sub.until(lambda f: isinstance(f, protocol.EventData))
            assert f is not None, "a subscriber was closed"
            values.append((f.event_id, f.value))
        seen.append(values)
    assert seen[0] == seen[1]
    for n in range(2):  # each owner's values in its own order
        assert [v for e, v in seen[0] if e == ids[n]] == list(range(200)) + ([255] if n == 0 else [])
    for p in owners + subscribers + [late]:
        p.close()
