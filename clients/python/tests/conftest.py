"""Fixtures of the client's end-to-end suite: the real servers, and the reply check against the API reference."""

from __future__ import annotations

import sys
from typing import Iterator

import pytest

from servers import SOURCE, ServerProcess, camera_server

sys.path.insert(0, str(SOURCE))

from qorcam import Camera, _http  # noqa: E402

try:
    import contract  # the API reference's checker, next to this file
except ModuleNotFoundError as missing:
    if missing.name != "contract":
        raise
    contract = None


@pytest.fixture(autouse=True)
def replies_match_reference() -> Iterator[None]:
    """Checks every exchange of the test against the API reference; a mismatch fails the test."""
    if contract is None:
        yield
        return
    mismatches: list[str] = []

    def observe(exchange: _http.Exchange) -> None:
        try:
            contract.check_exchange(exchange)
        except AssertionError as error:
            mismatches.append(f"{exchange.method} {exchange.path} -> {exchange.status}: {error}")

    _http.exchange_observers.append(observe)
    try:
        yield
    finally:
        _http.exchange_observers.remove(observe)
    if mismatches:
        pytest.fail("replies that differ from the API reference:\n" + "\n".join(mismatches))


@pytest.fixture(scope="module")
def server() -> Iterator[ServerProcess]:
    """The camera server on the two default simulated cameras (ports 8080 mono, 8081 colour), one per test module."""
    process = ServerProcess(camera_server())
    yield process
    process.stop()


@pytest.fixture
def mono(server: ServerProcess) -> Iterator[Camera]:
    """The 2048 x 2048 16-bit mono camera with camera RAM and hardware signals."""
    with Camera("127.0.0.1", 8080, timeout=60) as cam:
        yield cam
        _stop_recording(cam)


@pytest.fixture
def color(server: ServerProcess) -> Iterator[Camera]:
    """The 1920 x 1200 Bayer colour camera."""
    with Camera("127.0.0.1", 8081, timeout=60) as cam:
        yield cam
        _stop_recording(cam)


def _stop_recording(cam: Camera) -> None:
    """Leaves the camera idle for the next test."""
    if cam.is_recording():
        cam.stop()
