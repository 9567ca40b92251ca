"""The hostile soak's driver: careless and hostile clients, all at once and over
and over for a given time, against the server on 127.0.0.1, while a steady
publisher-subscriber pair checks that its values keep flowing in order.
Usage: hostile.py SERVER_PID SECONDS MOST_GAP"""
import os
import selectors
import signal
import socket
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "e2e"))
from server_limits import (Peer, SteadyPair, event_info, frame, paced, rss_peak_mb,  # noqa: E402
                           subscribe, value)


def until(deadline, body):
    """Runs body over and over until the deadline; a failed round starts again
    (the server closing a hostile client is the point)."""
    while time.time() < deadline:
        try:
            body(deadline)
        except (OSError, EOFError, TimeoutError, AssertionError):
            time.sleep(0.1)


def churn(deadline):
    owner = Peer("h-owner", rcvbuf=4096).registered()
    event = owner.create(1, b"churned")
    churner = Peer("h-churner").registered()
    batch = (subscribe(event, 1) + subscribe(event, 0)) * 100 + value(123456789, 1)
    while time.time() < deadline:
        churner.sock.sendall(batch)
        churner.frames(10, until=6)
        owner.frames(0.001)  # the owner reads a little now and then


def storm(deadline):
    while time.time() < deadline:
        sel = selectors.DefaultSelector()
        members = []
        for i in range(300):
            s = socket.create_connection(("127.0.0.1", 13131), timeout=5)
            s.sendall(frame(2, b"h-storm%03d" % i) + event_info(i, b"s%03d" % i))
            s.setblocking(False)
            sel.register(s, selectors.EVENT_READ)
            members.append(s)
        end = time.time() + 1.0
        while time.time() < end:
            for key, _ in sel.select(0.1):
                try:
                    key.fileobj.recv(1 << 16)
                except OSError:
                    pass
        for s in members:
            s.close()
        time.sleep(0.5)


def silent(deadline):
    while time.time() < deadline:
        held = [Peer() for _ in range(50)]
        for p in held:
            p.closed_within(max(0.1, deadline - time.time()))
            p.sock.close()


def slow_readers(deadline):
    pub = Peer("h-fanout").registered()
    event = pub.create(1, b"fan")
    for i in range(20):
        Peer("h-silent%d" % i, rcvbuf=4096).registered().sock.sendall(subscribe(event))
    while time.time() < deadline:
        paced(pub, [value(event, n % 256) for n in range(200)], 200)


def flood(deadline):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.3", 0))
    s.setblocking(False)
    request = b"?" + str(s.getsockname()[1]).encode() + b"!"
    while time.time() < deadline:
        for _ in range(100):
            try:
                s.sendto(request, ("127.0.0.1", 9666))
            except BlockingIOError:
                pass
        try:
            while s.recv(2048):
                pass
        except BlockingIOError:
            pass
        time.sleep(0.001)


def log_spam(deadline):
    while time.time() < deadline:
        Peer("h-" + "\x07" * 200, source="127.0.0.4").sock.close()


def event_hog(deadline):
    while time.time() < deadline:
        hog = Peer("h-hog").registered()
        paced(hog, [event_info(i, b"x" * 200) for i in range(2000)], 8)
        time.sleep(0.5)


def main():
    pid, seconds, most_gap = int(sys.argv[1]), float(sys.argv[2]), float(sys.argv[3])
    deadline = time.time() + seconds
    steady = SteadyPair("h-steady")
    children = []
    for behaviour in (churn, storm, silent, slow_readers, flood, log_spam, event_hog):
        child = os.fork()
        if child == 0:
            signal.signal(signal.SIGINT, signal.SIG_DFL)
            until(deadline, behaviour)
            os._exit(0)
        children.append(child)
    last = time.time()
    while time.time() < deadline:
        time.sleep(min(5.0, max(0.0, deadline - time.time())))
        os.kill(pid, 0)  # the server is still there
        if time.time() - last >= 30:
            print("hostile soak: %.0f s left; steady pair %d values, longest wait %.3f s, peak RSS %.1f MB"
                  % (deadline - time.time(), steady.got, steady.worst_gap, rss_peak_mb(pid)), flush=True)
            last = time.time()
    for child in children:
        os.waitpid(child, 0)
    gap = steady.finish(most_gap)
    print("hostile soak: %.0f s; steady pair %d values in order, longest wait %.3f s; server peak RSS %.1f MB"
          % (seconds, steady.got, gap, rss_peak_mb(pid)))


if __name__ == "__main__":
    main()
