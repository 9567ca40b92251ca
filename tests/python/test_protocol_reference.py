"""docs/protocol.md checked: its examples against the Python package's frame
code, and its worked session replayed against the real server byte for byte."""

import re
import socket

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
