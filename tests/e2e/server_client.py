"""Small loopback clients of toruna-server for the end-to-end scripts."""
import errno
import os
import selectors
import socket
import struct
import sys
import time


def frame(ftype, payload=b""):
    return struct.pack("<BhB", 42, len(payload) + 1, ftype) + payload


def discover(port=9666, timeout=5.0):
    """Sends ?P! from 127.0.0.1 and returns the reply datagram, or None."""
    end = time.time() + timeout
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        s.settimeout(0.2)
        request = b"hello?" + str(s.getsockname()[1]).encode() + b"!bye"
        while time.time() < end:
            s.sendto(request, ("127.0.0.1", port))
            try:
                return s.recv(2048)
            except socket.timeout:
                pass
    return None


def client_count(reply):
    """The number of registered clients a discovery reply gives."""
    return int(reply[3:].split(b"\x00")[1])


class Client:
    def __init__(self, name, port=13131):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=5)
        self.buf = b""
        self.sock.sendall(frame(2, name.encode("cp1252")))

    def registered_within(self, seconds):
        """Whether the server's ServerInfo, which ends a registration, comes in time."""
        self.sock.settimeout(seconds)
        try:
            self.next_frame(8)
            return True
        except socket.timeout:
            return False
        except (EOFError, ConnectionResetError) as e:
            check(False, "connection ended while waiting to register: %r" % e)
        finally:
            self.sock.settimeout(5)

    def quiet(self):
        """Whether nothing has come and the connection stands (no end, no reset)."""
        self.sock.setblocking(False)
        try:
            self.sock.recv(1)  # bytes, or b"" for an end: neither may come yet
            return False
        except BlockingIOError:
            return True
        except OSError:  # a reset
            return False
        finally:
            self.sock.settimeout(5)

    def next_frame(self, ftype):
        """The next frame of the given type (frames of other types are skipped)."""
        while True:
            while (data := take_frame(self)) is not None:
                if data[3] == ftype:
                    return data
            chunk = self.sock.recv(4096)
            if not chunk:
                raise EOFError("connection closed")
            self.buf += chunk


def take_frame(peer):
    """The first complete frame in peer.buf, cut off it; None while it is incomplete."""
    if len(peer.buf) < 3:
        return None
    size = struct.unpack_from("<h", peer.buf, 1)[0] + 3
    if len(peer.buf) < size:
        return None
    data, peer.buf = peer.buf[:size], peer.buf[size:]
    return data


def check(condition, message):
    if not condition:
        print("FAILED:", message)
        sys.exit(1)


def relay_scenario(name):
    """Discovery before and after two clients register, then a value relayed."""
    reply = discover()
    check(reply == b"***" + name.encode() + b"\x000\x00", "discovery reply %r" % reply)

    a = Client("Alpha")
    check(a.next_frame(8) == frame(8, name.encode()), "ServerInfo to Alpha")
    b = Client("Beta")
    check(b.next_frame(8) == frame(8, name.encode()), "ServerInfo to Beta")
    announced = a.next_frame(2)
    check(announced[8:] == b"Beta", "Alpha told about Beta: %r" % announced)

    reply = discover()
    check(reply == b"***" + name.encode() + b"\x002\x00", "count of two: %r" % reply)

    a.sock.sendall(frame(4, struct.pack("<ihh", 77, 1000, 100) + b"temp\x00C"))
    created = a.next_frame(7)
    request_id, event_id = struct.unpack_from("<ii", created, 4)
    check(request_id == 77, "EventCreated request id")
    info = b.next_frame(4)
    check(struct.unpack_from("<i", info, 8)[0] == event_id, "Beta told about the event")

    b.sock.sendall(frame(6, struct.pack("<iB", event_id, 1)))
    first = a.next_frame(6)
    check(first[8] == 1, "owner told of its first subscriber")
    a.sock.sendall(frame(1, struct.pack("<iB", event_id, 200)))
    value = b.next_frame(1)
    check(value == frame(1, struct.pack("<iB", event_id, 200)), "value relayed: %r" % value)
    print("relay scenario passed")


def burst_scenario(count, limit=10.0):
    """count clients connect at the same moment and register; discovery must count
    them all within limit seconds (a bound against hanging, not a speed target)."""
    start = time.time()
    sel = selectors.DefaultSelector()
    for i in range(count):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setblocking(False)
        result = s.connect_ex(("127.0.0.1", 13131))
        check(result in (0, errno.EINPROGRESS), "connect %d: %s" % (i, os.strerror(result)))
        sel.register(s, selectors.EVENT_WRITE, i)
    probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    probe.bind(("127.0.0.1", 0))
    probe.setblocking(False)
    sel.register(probe, selectors.EVENT_READ, "probe")
    request = b"?" + str(probe.getsockname()[1]).encode() + b"!"
    counted, asked = 0, 0.0
    while counted < count and time.time() - start < limit:
        if time.time() - asked > 0.1:
            probe.sendto(request, ("127.0.0.1", 9666))
            asked = time.time()
        for key, events in sel.select(0.05):
            s, i = key.fileobj, key.data
            if i == "probe":
                counted = client_count(s.recv(2048))
            elif events & selectors.EVENT_WRITE:
                failure = s.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR)
                check(failure == 0, "connection %d: %s" % (i, os.strerror(failure)))
                s.send(frame(2, b"burst%04d" % i))
                sel.modify(s, selectors.EVENT_READ, i)
            else:
                # Every client hears of the others registering; nobody is turned away.
                check(s.recv(65536) != b"", "connection %d ended by the server" % i)
    check(counted == count, "%d of %d clients registered after %.0f s" % (counted, count, limit))
    print("%d clients registered in %.2f s" % (count, time.time() - start))


def exhaust_scenario(pid):
    """The server (process pid) runs out of descriptors: registered clients go on
    relaying, the server waits without using CPU, and the connections waiting in
    its queue register as descriptors come free, none of them reset."""
    def cpu_ticks():
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return int(fields[11]) + int(fields[12])  # utime and stime

    owner, listener = Client("Owner"), Client("Listener")
    check(owner.registered_within(5) and listener.registered_within(5), "first clients")
    owner.sock.sendall(frame(4, struct.pack("<ihh", 1, 1000, 100) + b"level\x00%"))
    event_id = struct.unpack_from("<i", owner.next_frame(7), 8)[0]
    listener.next_frame(4)
    listener.sock.sendall(frame(6, struct.pack("<iB", event_id, 1)))
    owner.next_frame(6)

    # Clients until one waits unregistered: the server has no descriptor left.
    fillers, waiting = [], []
    while not waiting:
        check(len(fillers) < 500, "no descriptor limit reached")
        c = Client("Filler %d" % len(fillers))
        (fillers if c.registered_within(1.0) else waiting).append(c)
    for i in range(4):
        waiting.append(Client("Late %d" % i))
    check(not any(w.registered_within(0.1) for w in waiting[1:]), "registered beyond the limit")

    # The registered clients still relay.
    owner.sock.sendall(frame(1, struct.pack("<iB", event_id, 7)))
    check(listener.next_frame(1) == frame(1, struct.pack("<iB", event_id, 7)), "relay at the limit")

    # Waiting for descriptors costs no CPU (clock ticks, 1/100 s, over two seconds).
    before = cpu_ticks()
    time.sleep(2)
    used = cpu_ticks() - before
    check(used <= 10, "%d clock ticks of CPU in 2 s of waiting" % used)
    print("%d clients registered at the limit, %d clock ticks of CPU in 2 s of waiting" %
          (len(fillers) + 2, used))
    check(all(w.quiet() for w in waiting), "a waiting connection was ended or reset")

    # A descriptor comes free: the first waiting client registers within a second.
    gone = time.time()
    fillers.pop().sock.close()
    check(waiting[0].registered_within(1.0), "not registered within 1 s of a descriptor coming free")
    print("registered %.3f s after a client left" % (time.time() - gone))
    # More come free: every connection that waited in the queue registers.
    for w in waiting[1:]:
        fillers.pop().sock.close()
    check(all(w.registered_within(5) for w in waiting[1:]), "a waiting connection did not register")
    owner.sock.sendall(frame(1, struct.pack("<iB", event_id, 8)))
    check(listener.next_frame(1) == frame(1, struct.pack("<iB", event_id, 8)), "relay afterwards")
    print("exhaustion scenario passed: %d connections waited for descriptors" % len(waiting))


if __name__ == "__main__":
    command = sys.argv[1]
    if command == "discover":
        reply = discover(timeout=float(sys.argv[2]) if len(sys.argv) > 2 else 5.0)
        check(reply is not None, "no discovery reply")
        sys.stdout.write(repr(reply) + "\n")
    elif command == "relay":
        relay_scenario(sys.argv[2])
    elif command == "burst":
        burst_scenario(int(sys.argv[2]), float(sys.argv[3]))
    elif command == "exhaust":
        exhaust_scenario(int(sys.argv[2]))
    elif command == "connect":
        c = Client(sys.argv[2])
        c.next_frame(8)
        print("registered")
    else:
        sys.exit("unknown command " + command)
