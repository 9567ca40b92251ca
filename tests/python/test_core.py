"""The client's core without a server: frames in, notices and frames out."""

import datetime

import pytest

from toruna import protocol
from toruna.connection import keepalive_settings
from toruna.core import (ClientCore, EventReady, ProtocolFailure, Registered,
                         SubscribersChanged, ValueArrived)
from toruna.roster import Change
from toruna.window import MAX_FRAME, PROBE, SendWindow

NOW = datetime.datetime(2024, 5, 1, 12, 0, tzinfo=datetime.timezone.utc)


def registered(roster: bytes = b"", name: str = "Me") -> ClientCore:
    core = ClientCore(name)
    core.connection_made()
    assert core.data_to_send() == protocol.client_info_request(name)
    assert core.receive_data(roster + protocol.server_info("Lab")) != []
    assert core.registered
    return core


def summary(notices: list) -> list[tuple]:
    out = []
    for n in notices:
        if isinstance(n, Change):
            out.append((n.kind, n.client.name, n.event.name if n.event else None))
        elif isinstance(n, ValueArrived):
            out.append(("value", n.value.path, n.value.value, len(n.subscriptions)))
        elif isinstance(n, EventReady):
            out.append(("EventReady", n.event.name, n.event.id))
        elif isinstance(n, SubscribersChanged):
            out.append(("SubscribersChanged", n.event.name, n.present))
        else:
            out.append((type(n).__name__,))
    return out


@pytest.mark.parametrize("chunks, frames, error", [
    ([protocol.event_data(1, 2)], [protocol.event_data(1, 2)], None),
    # split anywhere, two frames in one piece
    ([b"\x2a", b"\x06\x00", b"\x01\x01\x00\x00\x00\x02" + protocol.client_gone(3)],
     [protocol.event_data(1, 2), protocol.client_gone(3)], None),
    ([b"\x2a\x00\x00"], [b"\x2a\x00\x00"], None),  # length 0: a frame of no type
    ([protocol.event_data(1, 2)[:-1]], [], None),  # incomplete: waits
    ([b"\x2a\xff\xff\x01"], [], "frame length -1"),
    ([protocol.client_gone(3) + b"\x00"], [protocol.client_gone(3)], "byte 00"),
])
def test_frame_buffer(chunks, frames, error):
    buffer = protocol.FrameBuffer()
    got = []
    try:
        for chunk in chunks:
            got.extend(buffer.feed(chunk))
    except protocol.ProtocolError as e:
        assert error is not None and error in str(e)
    else:
        assert error is None
    assert got == frames


@pytest.mark.parametrize("frame, parsed", [
    (protocol.event_data(7, 255), protocol.EventData(7, 255)),
    (protocol._frame(protocol.FrameType.EVENT_INFO, bytes.fromhex("010000000200000000ff6400") +
                     b"T\x80\0\xb0C"), protocol.EventInfo(1, 2, -256, 100, "T€", "°C")),
    # text after a second 0 is ignored; a unit may be missing
    (protocol._frame(protocol.FrameType.EVENT_INFO, bytes(12) + b"A\0u\0junk"),
     protocol.EventInfo(0, 0, 0, 0, "A", "u")),
    (protocol._frame(protocol.FrameType.EVENT_INFO, bytes(12) + b"A"), protocol.EventInfo(0, 0, 0, 0, "A", "")),
    (protocol._frame(protocol.FrameType.EVENT_DATA, b"\1\0\0"), None),  # too short for its type
    (protocol._frame(99, b"x"), None),  # unknown type
    (protocol.server_info("S\x81"), protocol.ServerInfo("S\x81")),  # unassigned byte kept
])
def test_parse_frame(frame, parsed):
    assert protocol.parse_frame(frame) == parsed


def drain(window: SendWindow) -> bytes:
    """Plays the server: takes what the window lets out, checks that it never
    has more than 2048 bytes unconfirmed, and answers the round trips."""
    sent = b""
    while out := window.data_to_send():
        assert window.unconfirmed <= protocol.MAX_ARRIVAL
        sent += out
        for _ in range(out.count(PROBE)):
            window.answered()
    return sent


def test_pacing_keeps_within_what_the_server_accepts():
    window = SendWindow()
    window.register(protocol.client_info_request("A"))
    numbers = [window.send(protocol.event_data(5, n % 256)) for n in range(1000)]
    assert numbers == list(range(2, 1002))
    # Before ServerInfo only the first 2048 bytes may be on the way.
    first = window.data_to_send()
    assert len(first) <= protocol.MAX_ARRIVAL and window.queued > 0
    window.registered()
    for _ in range(first.count(PROBE)):
        window.answered()
    sent = first + drain(window)
    assert window.queued == 0 and window.released == 1001
    # A round trip after every 1024 bytes or so, and every value in order.
    assert sent.count(PROBE) == 8
    assert sent.replace(PROBE, b"")[5:] == b"".join(protocol.event_data(5, n % 256)
                                                   for n in range(1000))


def test_pacing_at_the_edges():
    # The longest name takes the whole window: nothing follows until ServerInfo,
    # not even a round trip, which would not fit.
    window = SendWindow()
    window.register(protocol.client_info_request("n" * 2044))
    window.send(protocol.event_subscribe(3, True))
    assert len(window.data_to_send()) == protocol.MAX_ARRIVAL
    window.answered()  # an answer nobody asked for changes nothing
    assert window.data_to_send() == b""
    window.registered()
    assert window.data_to_send() == protocol.event_subscribe(3, True)

    # Frames of the largest size each wait for the round trip after the one before.
    window = SendWindow()
    window.register(protocol.client_info_request("A"))
    window.registered()
    window.data_to_send()
    big = protocol.event_info_request(1, 0, 0, "n" * (MAX_FRAME - 12))
    assert len(big) == MAX_FRAME == 2039
    window.send(big)
    window.send(big)
    assert window.data_to_send() == big + PROBE
    window.answered()
    assert window.data_to_send() == big + PROBE
    with pytest.raises(ValueError, match="larger than 2039"):
        window.send(big + b"x")


def test_roster_and_values():
    core = registered(protocol.client_info(1, "Kitchen") + protocol.event_info(1, 2, 10, 100, "Temp", "°C"))
    assert [(e.id, e.path, e.unit) for e in core.events.values()] == [(2, "Kitchen/Temp", "°C")]
    everything = core.subscribe(("*",))
    assert core.data_to_send() == protocol.event_subscribe(2, True)
    frames = (protocol.event_data(2, 21) + protocol.event_data(99, 1) +  # 99: not known
              protocol.client_info(5, "Garage") + protocol.client_info(5, "Garage 2") +
              protocol.event_info(7, 8, 0, 1, "Door") +  # owner never announced
              protocol.event_remove(2) + protocol.event_data(2, 22) +
              protocol.client_gone(7) + protocol.client_gone(42))
    notices = core.receive_data(frames, NOW)
    assert summary(notices) == [
        ("value", "Kitchen/Temp", 21, 1),
        ("joined", "Garage 2", None),  # renamed in the same read: the same object
        ("created", "#7", "Door"),
        ("removed", "Kitchen", "Temp"),
        ("removed", "#7", "Door"), ("left", "#7", None)]
    assert notices[0].value.time == NOW
    # The removed event's late value is dropped; a subscription to an event that
    # the server dropped is not taken back.
    assert core.data_to_send() == protocol.event_subscribe(8, True)
    assert everything.events == {} and list(core.clients) == [1, 5]


def test_overlapping_subscriptions_count_references():
    core = registered(protocol.client_info(1, "K") + protocol.event_info(1, 2, 0, 0, "Temp") +
                      protocol.event_info(1, 3, 0, 0, "Hum"))
    temp = core.subscribe(("*/Temp",))
    kitchen = core.subscribe(("K/*", "nothing"))
    assert core.data_to_send() == protocol.event_subscribe(2, True) + protocol.event_subscribe(3, True)
    values = core.receive_data(protocol.event_data(2, 1) + protocol.event_data(3, 2))
    assert [(n.value.event, [s.patterns for s in n.subscriptions]) for n in values] == [
        ("Temp", [("*/Temp",), ("K/*", "nothing")]), ("Hum", [("K/*", "nothing")])]
    core.unsubscribe(temp)
    assert core.data_to_send() == b""  # the other still takes Temp
    core.unsubscribe(kitchen)
    assert core.data_to_send() == protocol.event_subscribe(2, False) + protocol.event_subscribe(3, False)
    core.unsubscribe(kitchen)
    assert core.data_to_send() == b""
    with pytest.raises(ValueError):
        core.subscribe(("",))


def test_a_matching_event_is_subscribed_in_the_same_read():
    core = registered()
    core.subscribe(("*",))
    # A newcomer and its event in one read: the subscription is ready to leave
    # before any other arrival is looked at, and before its first value.
    notices = core.receive_data(protocol.client_info(4, "Sensor") + protocol.event_info(4, 5, 0, 0, "E"))
    assert summary(notices) == [("joined", "Sensor", None), ("created", "Sensor", "E")]
    assert core.data_to_send() == protocol.event_subscribe(5, True)


def test_own_events():
    core = registered()
    temp = core.create_event("Temp", "°C", 1000, 120)
    assert core.data_to_send() == protocol.event_info_request(1, 1000, 120, "Temp", "°C")
    assert core.publish(temp, 1) is None  # not created yet
    notices = core.receive_data(protocol.event_created(1, 9) + protocol.event_subscribe(9, 1) +
                                protocol.event_subscribe(9, 1) + protocol.event_subscribe(9, 0) +
                                protocol.event_subscribe(9, 0))
    # "Nobody listens" may come again (an unsubscription from a client that was
    # not subscribed): only changes are news.
    assert summary(notices) == [("EventReady", "Temp", 9),
                                ("SubscribersChanged", "Temp", True),
                                ("SubscribersChanged", "Temp", False)]
    assert core.publish(temp, 7) is not None
    assert core.data_to_send() == protocol.event_data(9, 7)
    for bad, error in ((256, ValueError), (-1, ValueError), (True, TypeError), (1.0, TypeError)):
        with pytest.raises(error):
            core.publish(temp, bad)
    core.remove_event(temp)
    assert core.data_to_send() == protocol.event_remove(9)
    assert core.publish(temp, 1) is None and core.remove_event(temp) is None

    # Removed before the server created it: removed as soon as it exists.
    hum = core.create_event("Hum")
    core.remove_event(hum)
    core.receive_data(protocol.event_created(2, 10))
    assert core.data_to_send() == protocol.event_info_request(2, 0, 255, "Hum") + protocol.event_remove(10)

    for bad in [dict(name=""), dict(name="T\0"), dict(name="T", unit="\0"),
                dict(name="T", interval=32768), dict(name="T", maximum=-32769),
                dict(name="n" * (MAX_FRAME - 11))]:
        with pytest.raises(ValueError):
            core.create_event(**bad)
    assert core.data_to_send() == b"" and not core.own


def test_reconnection_restores_what_the_client_had():
    core = registered(protocol.client_info(1, "K") + protocol.event_info(1, 2, 0, 0, "Temp"))
    logger = core.subscribe(("*/Temp",))
    temp = core.create_event("Temp")
    core.receive_data(protocol.event_created(1, 3) + protocol.event_subscribe(3, 1))
    pending = core.create_event("Later")  # the connection ends before its answer
    core.data_to_send()

    lost = core.connection_lost()
    assert summary(lost) == [("removed", "K", "Temp"), ("left", "K", None),
                             ("SubscribersChanged", "Temp", False)]
    assert not core.connected and core.events == {} and logger.events == {}
    assert core.publish(temp, 1) is None
    assert core.create_event("Offline").id == 0 and core.data_to_send() == b""

    # Back: the same name, the own events asked for again under their requests.
    core.connection_made()
    assert core.data_to_send() == (protocol.client_info_request("Me") +
                                   protocol.event_info_request(1, 0, 255, "Temp") +
                                   protocol.event_info_request(2, 0, 255, "Later") +
                                   protocol.event_info_request(3, 0, 255, "Offline"))
    # The restarted server numbers everything afresh; the pattern takes the
    # event again as the roster arrives.
    notices = core.receive_data(protocol.client_info(1, "K") + protocol.event_info(1, 4, 0, 0, "Temp") +
                                protocol.server_info("Lab") + protocol.event_created(1, 5) +
                                protocol.event_created(2, 6) + protocol.event_created(3, 7))
    assert summary(notices)[2:] == [("Registered",), ("EventReady", "Temp", 5),
                                    ("EventReady", "Later", 6), ("EventReady", "Offline", 7)]
    assert core.data_to_send() == protocol.event_subscribe(4, True)
    assert [e.id for e in logger.events.values()] == [4] and pending.id == 6


def test_a_broken_stream_is_reported_after_what_came_before():
    core = registered()
    notices = core.receive_data(protocol.client_info(1, "K") + b"\x00")
    assert summary(notices) == [("joined", "K", None), ("ProtocolFailure",)]
    assert isinstance(notices[-1], ProtocolFailure) and "byte 00" in str(notices[-1].error)
    assert not isinstance(notices[0], Registered)


@pytest.mark.parametrize("seconds, settings", [
    (120, (60, 10, 6, 120000)),  # the default: about two minutes
    (30, (15, 2, 8, 30000)),
    (3, (2, 1, 1, 3000)),
    (1, (1, 1, 1, 1000)),
])
def test_keepalive_settings(seconds, settings):
    assert keepalive_settings(seconds) == settings
