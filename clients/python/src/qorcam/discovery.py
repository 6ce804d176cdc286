"""UDP discovery: finds camera and light-source servers on this computer and the lab network."""

from __future__ import annotations

import fcntl
import ipaddress
import json
import socket
import struct
import time
from dataclasses import dataclass
from typing import Iterable

DISCOVERY_PORT = 50000
LIMITED_BROADCAST = "255.255.255.255"
# Replies are single datagrams; a generous buffer holds many entries.
_MAX_REPLY = 65535

# Linux interface requests (linux/sockios.h) and the broadcast flag (linux/if.h).
_SIOCGIFFLAGS = 0x8913
_SIOCGIFADDR = 0x8915
_SIOCGIFBRDADDR = 0x8919
_IFF_BROADCAST = 0x2
_IFF_LOOPBACK = 0x8
_IFF_UP = 0x1


@dataclass(frozen=True)
class ServerEntry:
    """One server found by discovery: its kind ("camera" or "lumra"), where it listens and its device."""

    type: str
    host: str
    port: int
    name: str
    serial: int
    free: bool


@dataclass(frozen=True)
class Interface:
    """An IPv4 interface of this computer that is up."""

    name: str
    address: str
    broadcast: str | None


def _ifreq(sock: socket.socket, request: int, name: str) -> bytes:
    return fcntl.ioctl(sock.fileno(), request, struct.pack("256s", name.encode()[:15]))


def local_interfaces() -> list[Interface]:
    """The IPv4 interfaces that are up, with their broadcast addresses; empty where they cannot be read."""
    found: list[Interface] = []
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        for _, name in socket.if_nameindex():
            try:
                flags = struct.unpack_from("H", _ifreq(sock, _SIOCGIFFLAGS, name), 16)[0]
                if not flags & _IFF_UP:
                    continue
                address = socket.inet_ntoa(_ifreq(sock, _SIOCGIFADDR, name)[20:24])
                broadcast = None
                if flags & _IFF_BROADCAST and not flags & _IFF_LOOPBACK:
                    broadcast = socket.inet_ntoa(_ifreq(sock, _SIOCGIFBRDADDR, name)[20:24])
            except OSError:
                continue  # no IPv4 address on this interface
            found.append(Interface(name, address, broadcast))
    return found


def default_targets() -> list[str]:
    """Where a discovery request goes by default: loopback, the limited broadcast and every interface's broadcast."""
    targets = ["127.0.0.1", LIMITED_BROADCAST]
    for interface in local_interfaces():
        if interface.broadcast and interface.broadcast not in targets:
            targets.append(interface.broadcast)
    return targets


def _entries(payload: bytes, source: str, kind: str) -> list[ServerEntry]:
    try:
        document = json.loads(payload.decode("utf-8"))
    except (UnicodeDecodeError, ValueError):
        return []
    if not isinstance(document, list):
        return []
    entries = []
    for item in document:
        try:
            if item["type"] != kind:
                continue
            ip = str(item["ip"])
            entries.append(
                ServerEntry(
                    type=str(item["type"]),
                    host=source if ip == "0.0.0.0" else ip,
                    port=int(item["port"]),
                    name=str(item["name"]),
                    serial=int(item["serial"]),
                    free=bool(item["free"]),
                )
            )
        except (KeyError, TypeError, ValueError):
            continue
    return entries


def _same_computer(host: str, own: set[str]) -> bool:
    try:
        return host in own or ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def discover(
    kind: str = "camera",
    timeout: float = 1.0,
    targets: Iterable[str] | None = None,
    port: int = DISCOVERY_PORT,
) -> list[ServerEntry]:
    """Asks for every server of `kind` and collects the replies that arrive within `timeout` seconds.

    Without `targets` the request goes to 127.0.0.1, the limited broadcast address and the broadcast
    address of every IPv4 interface; otherwise to the given hosts. Returns one entry per server, in
    order of arrival. A server that advertises 0.0.0.0 is listed under the address it answered from,
    and once only when it answers both on loopback and on an address of this computer.
    """
    request = json.dumps({"action": "discover", "type": kind}).encode()
    own = {interface.address for interface in local_interfaces()}
    found: dict[tuple[str, int], ServerEntry] = {}
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        sock.bind(("0.0.0.0", 0))
        for target in list(targets) if targets is not None else default_targets():
            try:
                sock.sendto(request, (target, port))
            except OSError:
                continue  # for example no route for the limited broadcast
        deadline = time.monotonic() + timeout
        while (remaining := deadline - time.monotonic()) > 0:
            sock.settimeout(remaining)
            try:
                payload, (source, _) = sock.recvfrom(_MAX_REPLY)
            except (socket.timeout, OSError):
                break
            for entry in _entries(payload, source, kind):
                key_host = "local" if _same_computer(entry.host, own) else entry.host
                found.setdefault((key_host, entry.port), entry)
    return list(found.values())
