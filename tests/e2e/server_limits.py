"""Careless and hostile clients of toruna-server, one scenario per limit: each
checks that the others go on being served. Run by server_limits.sh inside a
network namespace; every scenario prints a FIGURE line and exits 1 on failure."""
import os
import socket
import struct
import subprocess
import sys
import threading
import time

from server_client import check, discover, frame, take_frame

PORT = 13131


class Peer:
    """A client connection that parses the frames the server sends."""

    def __init__(self, name=None, source="127.0.0.1", rcvbuf=None):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        if rcvbuf:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        self.sock.bind((source, 0))
        self.sock.settimeout(5)
        self.sock.connect(("127.0.0.1", PORT))
        self.buf = b""
        if name is not None:
            self.sock.sendall(frame(2, name.encode("cp1252")))

    def frames(self, timeout=5.0, until=None):
        """Frames as they come, until the type `until` has come (returned last)."""
        end = time.time() + timeout
        out = []
        while True:
            while (data := take_frame(self)) is not None:
                out.append(data)
                if until is not None and data[3] == until:
                    return out
            left = end - time.time()
            if left <= 0:
                if until is None:
                    return out
                raise TimeoutError("no frame of type %d in %.1f s" % (until, timeout))
            self.sock.settimeout(left)
            try:
                chunk = self.sock.recv(1 << 16)
            except socket.timeout:
                continue
            if not chunk:
                raise EOFError("connection closed")
            self.buf += chunk

    def registered(self, timeout=5.0):
        self.frames(timeout, until=8)
        return self

    def create(self, request_id, name=b"e", unit=b""):
        self.sock.sendall(event_info(request_id, name, unit))
        created = self.frames(5, until=7)[-1]
        return struct.unpack_from("<ii", created, 4)[1]

    def closed_within(self, seconds):
        """Whether the server ends this connection within the time (data skipped)."""
        end = time.time() + seconds
        while time.time() < end:
            self.sock.settimeout(max(0.01, end - time.time()))
            try:
                if not self.sock.recv(1 << 16):
                    return True
            except socket.timeout:
                pass
            except ConnectionResetError:
                return True
        return False


def event_info(request_id, name=b"e", unit=b""):
    return frame(4, struct.pack("<ihh", request_id, 1000, 100) + name + b"\x00" + unit)


def subscribe(event_id, flag=1):
    return frame(6, struct.pack("<iB", event_id, flag))


def value(event_id, v):
    return frame(1, struct.pack("<iB", event_id, v))


class SteadyPair:
    """A publisher and a subscriber that check, while a scenario runs, that values
    keep flowing in order; worst_gap is the longest wait for a value."""

    def __init__(self, prefix="steady"):
        self.pub = Peer(prefix + "-pub").registered()
        self.event = self.pub.create(1, b"tick")
        self.sub = Peer(prefix + "-sub").registered()
        self.sub.sock.sendall(subscribe(self.event))
        self.pub.frames(5, until=6)  # its first subscriber
        self.stop = False
        self.sent = self.got = 0
        self.worst_gap = 0.0
        self.error = None
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        try:
            last = time.time()
            while not self.stop:
                v = self.sent % 256
                self.pub.sock.sendall(value(self.event, v))
                self.sent += 1
                mine = struct.pack("<i", self.event)
                while True:
                    f = self.sub.frames(10, until=1)[-1]
                    if f[4:8] == mine:
                        break  # values of other events it follows are skipped
                if f[8] != v:
                    raise AssertionError("value %d came for %d" % (f[8], v))
                self.got += 1
                now = time.time()
                self.worst_gap = max(self.worst_gap, now - last)
                last = now
                self.pub.frames(0.001)  # drop what the publisher is told
                time.sleep(0.005)
        except Exception as e:  # reported by finish()
            self.error = e

    def finish(self, most_gap):
        self.stop = True
        self.thread.join(15)
        check(self.error is None, "steady pair: %r" % self.error)
        check(self.got > 0, "steady pair: no value came")
        check(self.worst_gap <= most_gap,
              "steady pair waited %.3f s for a value (at most %.3f)" % (self.worst_gap, most_gap))
        return self.worst_gap


def log_scenario(count):
    """Registrations writing far more log than a pipe holds; the server must go on."""
    start = time.time()
    for i in range(count):
        p = Peer("n%04d-" % i + "x" * 200)
        try:
            p.registered(3)
        except (TimeoutError, EOFError) as e:
            check(False, "registration %d of %d: %r" % (i, count, e))
        p.sock.close()
    check(discover(timeout=2) is not None, "no discovery reply after the log was written")
    print("FIGURE log: %d registrations with 200-byte names in %.2f s" % (count, time.time() - start))


def log_rate_scenario(count):
    """One address connecting and leaving fast."""
    for _ in range(count):
        Peer().sock.close()
    print("FIGURE log-rate: %d connections from one address" % count)


def ids_scenario(count):
    """Past the end of the identifier counter: identifiers go on, none twice."""
    owner = Peer("owner").registered()
    roster = Peer("watcher").frames(5, until=8)
    owner_id = [struct.unpack_from("<i", f, 4)[0] for f in roster if f[3] == 2][0]
    ids = [owner.create(i) for i in range(count)]
    check(len(set(ids + [owner_id])) == len(ids) + 1, "an identifier given twice: %r" % ids)
    check(min(ids) > 0, "identifiers below 1: %r" % ids)
    wrapped = [i for i in ids if i < 1000]
    check(wrapped, "the counter did not go past its end: %r" % ids[-3:])
    # A newcomer after the wrap is told every owner's events, and values still flow.
    late = Peer("late").registered()
    late.sock.sendall(subscribe(wrapped[-1]))
    owner.frames(5, until=6)
    owner.sock.sendall(value(wrapped[-1], 42))
    got = late.frames(5, until=1)[-1]
    check(got == value(wrapped[-1], 42), "value on a wrapped identifier: %r" % got)
    print("FIGURE ids: %d events created across the counter's end, first after it %d"
          % (count, wrapped[0]))


def discovery_flood_scenario(seconds):
    """127.0.0.1 floods requests; 127.0.0.2 must still be answered every time."""
    flood = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    flood.bind(("127.0.0.1", 0))
    flood.setblocking(False)
    request = b"?" + str(flood.getsockname()[1]).encode() + b"!"
    replies = [0]
    stop = [False]

    def flooder():
        # 10 000 requests a second, 500 times the limit: a rate a sanitizer build
        # on a busy machine still reads, so that what is judged is the limit.
        while not stop[0]:
            time.sleep(0.01)
            for _ in range(100):
                try:
                    flood.sendto(request, ("127.0.0.1", 9666))
                except BlockingIOError:
                    pass
            try:
                while flood.recv(2048):
                    replies[0] += 1
            except BlockingIOError:
                pass

    t = threading.Thread(target=flooder, daemon=True)
    t.start()
    other = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    other.bind(("127.0.0.2", 0))
    other.settimeout(0.1)
    asked = answered = 0
    end = time.time() + seconds
    while time.time() < end:
        # As a client asks: again every 100 ms, for up to a second.
        asked += 1
        for _ in range(10):
            other.sendto(b"?" + str(other.getsockname()[1]).encode() + b"!", ("127.0.0.1", 9666))
            try:
                if other.recv(2048).startswith(b"***"):
                    answered += 1
                    break
            except socket.timeout:
                pass
        time.sleep(0.1)
    stop[0] = True
    t.join()
    time.sleep(0.2)
    try:
        while flood.recv(2048):
            replies[0] += 1
    except BlockingIOError:
        pass
    print("FIGURE discovery: flooder got %d replies in %.0f s; the other host %d of %d"
          % (replies[0], seconds, answered, asked))
    check(answered == asked, "the other host was answered %d times of %d" % (answered, asked))
    check(replies[0] <= 20 * (seconds + 2), "the flooder got %d replies" % replies[0])


def events_scenario(per_client, total):
    """Limits on events: per client, then of all clients together."""
    steady = SteadyPair()
    a = Peer("a").registered()
    for i in range(per_client - 1):
        a.sock.sendall(event_info(i))
    a.create(per_client)  # the last one allowed; all before it came first
    b = Peer("b").registered()
    room = total - per_client - 1  # the steady pair owns one
    for i in range(room - 1):
        b.sock.sendall(event_info(i))
    b.create(room)
    b.sock.sendall(event_info(9999))
    check(b.closed_within(3), "one event past the total did not close its client")
    # b's events are gone with it: a has room in the total, not in its own limit.
    c = Peer("c").registered()
    c.create(1)
    a.sock.sendall(event_info(9999))
    check(a.closed_within(3), "one event past the limit per client did not close it")
    steady.finish(1.0)
    print("FIGURE events: closed at event %d of one client and at %d in all" % (per_client + 1, total + 1))


def silent_scenario(count, timeout):
    """Connections that never send their name are closed after the timeout."""
    steady = SteadyPair()
    silent = [Peer() for _ in range(count)]
    start = time.time()
    for p in silent:
        check(p.closed_within(timeout + 3 - (time.time() - start)), "a silent connection stayed open")
    took = time.time() - start
    check(took >= timeout - 0.5, "silent connections closed after only %.2f s" % took)
    late = Peer("late").registered()
    steady.finish(1.0)
    del late
    print("FIGURE silent: %d silent connections closed after %.1f s" % (count, took))


def per_address_scenario(most):
    """At most `most` connections from one address; others are not affected."""
    kept = [Peer("kept%d" % i).registered() for i in range(most)]
    extra = Peer("extra")
    check(extra.closed_within(3), "a connection past the limit per address stayed")
    other = Peer("other", source="127.0.0.2").registered()
    kept[0].sock.close()
    time.sleep(0.3)
    again = Peer("again").registered()
    del other, again
    print("FIGURE per-address: connection %d from one address closed" % (most + 1))


def churn_scenario(pairs):
    """A client subscribes and unsubscribes one event over and over while its owner
    does not read; the owner must survive and then see the final state."""
    steady = SteadyPair()
    owner = Peer("owner", rcvbuf=4096).registered()
    event = owner.create(1, b"watched")
    churner = Peer("churner").registered()
    # In pieces the server reads one at a time (an arrival above 2048 bytes closes
    # a connection): a value for an event nobody owns is answered, which paces it.
    batch = (subscribe(event, 1) + subscribe(event, 0)) * 100 + value(123456789, 1)
    start = time.time()
    for _ in range(pairs // 100):
        churner.sock.sendall(batch)
        churner.frames(5, until=6)
    churner.sock.sendall(subscribe(event, 1) + value(123456789, 1))
    churner.frames(5, until=6)
    took = time.time() - start
    try:
        notices = [f for f in owner.frames(3) if f[3] == 6]
    except (EOFError, ConnectionResetError) as e:
        check(False, "the owner was cut off by another's churn: %r" % e)
    check(notices, "the owner got no notice")
    check(notices[-1][8] != 0, "the owner's last notice says no subscriber")
    owner.sock.sendall(value(event, 7))
    got = churner.frames(5, until=1)[-1]
    check(got == value(event, 7), "the owner's value after the churn: %r" % got)
    steady.finish(2.0)
    print("FIGURE churn: %d subscribe/unsubscribe pairs in %.2f s; the owner read %d notices (%d bytes)"
          % (pairs, took, len(notices), 9 * len(notices)))


def storm_members(count, ready, go):
    """The storm's clients (in a process of their own, so that their work does not
    hold up the steady pair's): each registers with an event and reads what it is
    sent; all leave at once when a byte comes on go."""
    import selectors
    sel = selectors.DefaultSelector()
    socks = []
    for i in range(count):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.connect(("127.0.0.1", PORT))
        s.sendall(frame(2, b"storm%05d" % i) + event_info(i, b"ev%05d" % i))
        s.setblocking(False)
        sel.register(s, selectors.EVENT_READ)
        socks.append(s)
    sel.register(go, selectors.EVENT_READ)
    quiet_since = time.time()
    told = False
    while True:
        events = sel.select(0.2)
        for key, _ in events:
            if key.fileobj is go:
                for s in socks:
                    s.close()
                os._exit(0)
            try:
                key.fileobj.recv(1 << 16)
            except OSError:
                pass
        if events:
            quiet_since = time.time()
        elif not told and time.time() - quiet_since > 1.0:
            os.write(ready, b"r")  # all told of each other
            told = True


def storm_scenario(count, most_gap):
    """count clients, each owning an event, register at once and later leave at
    once, while a steady pair measures how long its values wait."""
    steady = SteadyPair()
    ready_r, ready_w = os.pipe()
    go_r, go_w = os.pipe()
    start = time.time()
    child = os.fork()
    if child == 0:
        storm_members(count, ready_w, go_r)
    os.read(ready_r, 1)
    joined = time.time() - start - 1.0
    join_gap = steady.worst_gap
    steady.worst_gap = 0.0
    os.write(go_w, b"g")
    os.waitpid(child, 0)
    time.sleep(3.0)
    gap = steady.finish(10.0)
    print("FIGURE storm: %d clients with an event each joined in %.1f s (steady pair waited at most "
          "%.3f s), left at once (steady pair waited at most %.3f s)" % (count, joined, join_gap, gap))
    check(gap <= most_gap, "during the departures the steady pair waited %.3f s" % gap)


def rss_peak_mb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024.0
    return 0.0


def server_connections():
    """Peer ports of the connections the server still holds open."""
    out = subprocess.run(["ss", "-Htn", "state", "established", "( sport = :%d )" % PORT],
                         capture_output=True, text=True, check=True).stdout
    return {int(line.split()[-1].rsplit(":", 1)[1]) for line in out.splitlines() if line.strip()}


def paced(peer, data_frames, per_round=100):
    """Sends frames in pieces the server reads one at a time (an arrival above
    2048 bytes closes a connection), each answered by a value for an event nobody
    owns."""
    answer = struct.pack("<i", 123456789)
    for i in range(0, len(data_frames), per_round):
        peer.sock.sendall(b"".join(data_frames[i:i + per_round]) + value(123456789, 1))
        # The same frame type also tells the peer about its own events' subscribers.
        while peer.frames(10, until=6)[-1][4:8] != answer:
            pass


def roster_scenario(events, *paces_kb):
    """Newcomers reading at each pace (KB/s) register however large the roster."""
    big = Peer("many").registered()
    paced(big, [event_info(i, b"sensor-%06d" % i, b"C") for i in range(events)], 70)
    for pace_kb in paces_kb:
        newcomer_at(events, pace_kb)


def newcomer_at(events, pace_kb):
    start = time.time()
    newcomer = Peer("newcomer", rcvbuf=65536)
    got = 0
    while True:
        newcomer.sock.settimeout(10)
        try:
            chunk = newcomer.sock.recv(16384)
        except (ConnectionResetError, socket.timeout) as e:
            chunk = None
            check(False, "newcomer after %d bytes in %.2f s: %r" % (got, time.time() - start, e))
        check(chunk, "newcomer closed after %d bytes in %.2f s" % (got, time.time() - start))
        got += len(chunk)
        newcomer.buf += chunk
        if newcomer.buf.endswith(frame(8, b"Limits Lab")):
            break
        time.sleep(len(chunk) / (pace_kb * 1024.0))
    print("FIGURE roster: %d events (%d bytes) read at %d KB/s in %.2f s"
          % (events, got, pace_kb, time.time() - start))


def slow_readers_scenario(pid, readers, seconds, rate=0):
    """Subscribers that never read, against a steady pair and a bound on memory;
    values fanned out as fast as the server takes them, or `rate` a second."""
    steady = SteadyPair()
    pub = Peer("fanout").registered()
    event = pub.create(1, b"fan")
    silent = []
    for i in range(readers):
        p = Peer("silent%d" % i, rcvbuf=4096).registered()
        p.sock.sendall(subscribe(event))
        silent.append(p)
    # Unpaced, the flood outruns a reader written in Python, which the server then
    # rightly closes at its unsent limit: the steady pair follows it only when paced.
    if rate:
        steady.sub.sock.sendall(subscribe(event))
    pub.frames(5, until=6)
    # Judged on the server's side: a closed connection with bytes still queued
    # for a tiny receive window may not show its end to the reader for seconds
    # (the sender's zero-window probes back off).
    ports = {p.sock.getsockname()[1] for p in silent}
    start = time.time()
    sent = 0
    checked = start + seconds
    # At least `seconds`; then on until every non-reader is closed, within bounds
    # (a slow build may not have queued enough in `seconds` to reach a limit).
    while time.time() < checked or (time.time() < start + 6 * seconds and
                                    ports & server_connections()):
        paced(pub, [value(event, n % 256) for n in range(200)], 200)
        sent += 200
        if rate:
            time.sleep(max(0.0, start + sent / float(rate) - time.time()))
    closed = len(ports - server_connections())
    peak = rss_peak_mb(pid)
    gap = steady.finish(1.0)
    print("FIGURE slow readers: %d of %d non-readers closed, %d values fanned out, "
          "server peak RSS %.1f MB, steady pair's longest wait %.3f s"
          % (closed, readers, sent, peak, gap))
    return peak


if __name__ == "__main__":
    name, args = sys.argv[1], [float(a) if "." in a else int(a) for a in sys.argv[2:]]
    {
        "log": log_scenario,
        "log-rate": log_rate_scenario,
        "ids": ids_scenario,
        "discovery-flood": discovery_flood_scenario,
        "events": events_scenario,
        "silent": silent_scenario,
        "per-address": per_address_scenario,
        "churn": churn_scenario,
        "roster": roster_scenario,
        "slow-readers": slow_readers_scenario,
        "storm": storm_scenario,
    }[name](*args)
    sys.exit(0)
