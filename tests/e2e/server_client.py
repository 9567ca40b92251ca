"""Small loopback clients of toruna-server for the end-to-end scripts."""
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


class Client:
    def __init__(self, name, port=13131):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=5)
        self.buf = b""
        self.sock.sendall(frame(2, name.encode("cp1252")))

    def next_frame(self, ftype):
        """The next frame of the given type (frames of other types are skipped)."""
        while True:
            while len(self.buf) >= 3:
                length = struct.unpack_from("<h", self.buf, 1)[0]
                if len(self.buf) < length + 3:
                    break
                data, self.buf = self.buf[:length + 3], self.buf[length + 3:]
                if data[3] == ftype:
                    return data
            chunk = self.sock.recv(4096)
            if not chunk:
                raise EOFError("connection closed")
            self.buf += chunk


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


if __name__ == "__main__":
    command = sys.argv[1]
    if command == "discover":
        reply = discover(timeout=float(sys.argv[2]) if len(sys.argv) > 2 else 5.0)
        check(reply is not None, "no discovery reply")
        sys.stdout.write(repr(reply) + "\n")
    elif command == "relay":
        relay_scenario(sys.argv[2])
    elif command == "connect":
        c = Client(sys.argv[2])
        c.next_frame(8)
        print("registered")
    else:
        sys.exit("unknown command " + command)
