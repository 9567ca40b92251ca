"""The machine's IPv4 addresses and their broadcast addresses, as getifaddrs
would give them, read from the kernel over a route netlink socket.

Netlink rather than the SIOCGIF* ioctls: one request lists every address of
every interface, secondary addresses included (the ioctls see only the first
address of each interface), and it needs no other program.
"""

from __future__ import annotations

import socket
import struct
from dataclasses import dataclass
from typing import Iterator

_RTM_NEWLINK, _RTM_GETLINK = 16, 18
_RTM_NEWADDR, _RTM_GETADDR = 20, 22
_NLMSG_ERROR, _NLMSG_DONE = 2, 3
_NLM_F_REQUEST, _NLM_F_DUMP = 0x1, 0x300
_IFA_LOCAL, _IFA_BROADCAST = 2, 4
_IFF_UP, _IFF_LOOPBACK = 0x1, 0x8
_HEADER = struct.Struct("=IHHII")     # nlmsghdr: length, type, flags, sequence, port
_IFINFO = struct.Struct("=BxHiII")    # ifinfomsg: family, type, index, flags, change
_IFADDR = struct.Struct("=BBBBi")     # ifaddrmsg: family, prefix, flags, scope, index
_ATTR = struct.Struct("=HH")          # rtattr: length, type


@dataclass(frozen=True)
class Address:
    """One IPv4 address of an interface."""

    interface: int       # the interface's index
    address: str
    broadcast: str | None
    up: bool             # the interface is up
    loopback: bool


def _align(n: int) -> int:
    return (n + 3) & ~3


def _dump(sock: socket.socket, msg_type: int, body: bytes) -> Iterator[tuple[int, bytes]]:
    """Sends one dump request and yields (type, body) of each answer."""
    sock.send(_HEADER.pack(_HEADER.size + len(body), msg_type,
                           _NLM_F_REQUEST | _NLM_F_DUMP, 1, 0) + body)
    while True:
        data = sock.recv(65536)
        offset = 0
        while offset + _HEADER.size <= len(data):
            length, kind, _, _, _ = _HEADER.unpack_from(data, offset)
            if length < _HEADER.size or offset + length > len(data):
                return
            if kind == _NLMSG_DONE:
                return
            if kind == _NLMSG_ERROR:
                raise OSError("the kernel refused the list of network interfaces")
            yield kind, data[offset + _HEADER.size:offset + length]
            offset += _align(length)


def _attributes(data: bytes, offset: int) -> dict[int, bytes]:
    found = {}
    while offset + _ATTR.size <= len(data):
        length, kind = _ATTR.unpack_from(data, offset)
        if length < _ATTR.size:
            break
        found[kind] = data[offset + _ATTR.size:offset + length]
        offset += _align(length)
    return found


def ipv4_addresses() -> list[Address]:
    """Every IPv4 address of this machine (of its network namespace).

    Raises OSError when the kernel's list cannot be read.
    """
    with socket.socket(socket.AF_NETLINK, socket.SOCK_RAW, socket.NETLINK_ROUTE) as sock:
        sock.bind((0, 0))
        sock.settimeout(2)
        flags = {}
        for kind, body in _dump(sock, _RTM_GETLINK, _IFINFO.pack(socket.AF_UNSPEC, 0, 0, 0, 0)):
            if kind == _RTM_NEWLINK and len(body) >= _IFINFO.size:
                _, _, index, link_flags, _ = _IFINFO.unpack_from(body)
                flags[index] = link_flags
        found = []
        for kind, body in _dump(sock, _RTM_GETADDR, _IFADDR.pack(socket.AF_INET, 0, 0, 0, 0)):
            if kind != _RTM_NEWADDR or len(body) < _IFADDR.size:
                continue
            family, _, _, _, index = _IFADDR.unpack_from(body)
            attributes = _attributes(body, _IFADDR.size)
            local = attributes.get(_IFA_LOCAL)
            if family != socket.AF_INET or local is None or len(local) != 4:
                continue
            broadcast = attributes.get(_IFA_BROADCAST)
            link_flags = flags.get(index, 0)
            found.append(Address(
                index, socket.inet_ntoa(local),
                socket.inet_ntoa(broadcast) if broadcast and len(broadcast) == 4 else None,
                bool(link_flags & _IFF_UP), bool(link_flags & _IFF_LOOPBACK)))
        return found


def broadcast_addresses(addresses: list[Address]) -> list[str]:
    """The broadcast addresses of the interfaces that are up, each once."""
    seen: dict[str, None] = {}
    for a in addresses:
        if a.up and not a.loopback and a.broadcast and a.broadcast != "0.0.0.0":
            seen[a.broadcast] = None
    return list(seen)

