"""UDP discovery on this computer and across two network namespaces joined by a bridge."""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
from typing import Iterator

import pytest
from servers import SOURCE, ServerProcess, camera_server

from qorcam import Camera, ServerEntry, discover
from qorcam.discovery import _entries


def test_finds_both_local_cameras_once_each(server: ServerProcess) -> None:
    entries = discover()
    assert sorted((e.host, e.port, e.name, e.serial, e.free) for e in entries) == [
        ("127.0.0.1", 8080, "SimCam Mono", 10001, True),
        ("127.0.0.1", 8081, "SimCam Color", 10002, True),
    ]
    assert all(e.type == "camera" for e in entries)


def test_targets_and_kind_filter(server: ServerProcess) -> None:
    assert [e.port for e in discover(targets=["127.0.0.1"])] == [8080, 8081]
    assert discover("lumra", timeout=0.3) == []
    assert discover(targets=[], timeout=0.2) == []


def test_a_claim_shows_in_discovery(server: ServerProcess) -> None:
    Camera("127.0.0.1", 8081).heartbeat()
    free = {e.port: e.free for e in discover()}
    assert free == {8080: True, 8081: False}


@pytest.mark.parametrize(
    "payload, expected",
    [
        (b'[{"free":true,"ip":"0.0.0.0","name":"A","port":8080,"serial":1,"type":"camera"}]',
         [ServerEntry("camera", "10.1.2.3", 8080, "A", 1, True)]),
        (b'[{"free":false,"ip":"10.9.9.9","name":"B","port":8081,"serial":2,"type":"camera"}]',
         [ServerEntry("camera", "10.9.9.9", 8081, "B", 2, False)]),
        (b'[{"free":true,"ip":"0.0.0.0","name":"L","port":8090,"serial":3,"type":"lumra"}]', []),
        (b'[{"ip":"0.0.0.0","port":8080,"type":"camera"}]', []),  # incomplete entry
        (b"[]", []),
        (b"{}", []),
        (b"\xff\xfe", []),
        (b"[1, 2", []),
    ],
)
def test_reply_parsing(payload: bytes, expected: list[ServerEntry]) -> None:
    assert _entries(payload, "10.1.2.3", "camera") == expected


# Two namespaces, each with one server, joined by a bridge in a third.

_SUBNET = "10.99.0"


def _ip(*args: str) -> None:
    subprocess.run(["ip", *args], check=True, capture_output=True, timeout=20)


@pytest.fixture
def bridged_namespaces() -> Iterator[list[str]]:
    if os.geteuid() != 0 or shutil.which("ip") is None:
        pytest.skip("needs root and iproute2 to create network namespaces")
    tag = str(os.getpid())
    bridge = f"qcbr{tag}"
    hosts = [f"qca{tag}", f"qcb{tag}"]
    created: list[str] = []
    try:
        for name in [bridge, *hosts]:
            _ip("netns", "add", name)
            created.append(name)
            _ip("-n", name, "link", "set", "lo", "up")
        _ip("-n", bridge, "link", "add", "br0", "type", "bridge")
        _ip("-n", bridge, "link", "set", "br0", "up")
        for number, host in enumerate(hosts, start=1):
            port = f"v{number}"
            _ip("-n", bridge, "link", "add", port, "type", "veth", "peer", "name", "eth0", "netns", host)
            _ip("-n", bridge, "link", "set", port, "master", "br0")
            _ip("-n", bridge, "link", "set", port, "up")
            _ip("-n", host, "addr", "add", f"{_SUBNET}.{number}/24", "broadcast", f"{_SUBNET}.255", "dev", "eth0")
            _ip("-n", host, "link", "set", "eth0", "up")
        yield hosts
    finally:
        for name in created:
            subprocess.run(["ip", "netns", "del", name], capture_output=True, timeout=20)


def test_discovery_by_broadcast_finds_the_servers_of_both_namespaces(bridged_namespaces: list[str]) -> None:
    servers: list[ServerProcess] = []
    try:
        for host in bridged_namespaces:
            servers.append(ServerProcess(camera_server(), prefix=["ip", "netns", "exec", host]))
        script = (
            f"import json, sys; sys.path.insert(0, {str(SOURCE)!r}); import qorcam; "
            "print(json.dumps([[e.host, e.port, e.serial] for e in qorcam.discover(timeout=1.5)]))"
        )
        found = subprocess.run(
            ["ip", "netns", "exec", bridged_namespaces[0], sys.executable, "-c", script],
            check=True, capture_output=True, text=True, timeout=30,
        )
        entries = sorted(tuple(e) for e in json.loads(found.stdout))
        assert entries == [
            (f"{_SUBNET}.1", 8080, 10001), (f"{_SUBNET}.1", 8081, 10002),
            (f"{_SUBNET}.2", 8080, 10001), (f"{_SUBNET}.2", 8081, 10002),
        ]
    finally:
        for process in servers:
            process.stop()

