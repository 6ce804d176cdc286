"""Every error class for its status, from the real server and from the status table itself."""

from __future__ import annotations

import builtins
import http.server
import socket
import threading
from typing import Iterator

import pytest

import qorcam
from qorcam import Camera
from qorcam.errors import raise_for_status


def test_camera_failure_raises_camera_error_with_code_and_operation(mono: Camera) -> None:
    with pytest.raises(qorcam.CameraError) as caught:
        mono.set_exposure_time(100.0)  # beyond the camera's 10 s
    error = caught.value
    assert error.route == "/v1/setExposureTime"
    assert error.where == "setExposureTime"
    assert error.code < 0 and f"0x{error.code & 0xFFFFFFFF:08X}" in str(error)
    assert isinstance(error, qorcam.DeviceError)


def test_recording_twice_raises_conflict(mono: Camera) -> None:
    mono.record(1000, "ring_buffer")
    with pytest.raises(qorcam.ConflictError, match="^409: the camera is recording; stop it first") as caught:
        mono.record(1)
    assert caught.value.status == 409 and caught.value.route == "/v1/record"
    mono.stop()


def test_missing_lut_file_raises_not_found(mono: Camera) -> None:
    with pytest.raises(qorcam.NotFoundError, match="upload it first"):
        mono.load_lut("BGR8", "no-such-table.lt1")
    with pytest.raises(qorcam.NotFoundError, match="no such route"):
        mono.request("GET", "/v1/noSuchRoute")


def test_series_mismatch_and_missing_parameters_raise_bad_request(mono: Camera) -> None:
    mono.record(2)
    mono.images(0, "Mono16", crop=(1, 1, 16, 16))
    with pytest.raises(qorcam.BadRequestError, match="crop or format differs"):
        mono.get_image_from_images(0, crop=(1, 1, 8, 8))
    with pytest.raises(qorcam.BadRequestError, match="required parameter"):
        mono.request("GET", "/v1/image", {"index": "0"})


def test_malformed_parameter_raises_server_error(mono: Camera) -> None:
    # A data format without its JSON quotes, as a hand-written request would send it.
    with pytest.raises(qorcam.ServerError, match="^500: the server could not read the request"):
        mono.request("GET", "/v1/getConvertControl", {"format": "BGR8"})


def test_unreachable_server_raises_connection_error_with_host_and_port(server: object) -> None:
    cam = Camera("127.0.0.1", 1, timeout=2)
    with pytest.raises(qorcam.ConnectionError, match="127.0.0.1:1") as caught:
        cam.get_name()
    assert (caught.value.host, caught.value.port) == ("127.0.0.1", 1)
    assert isinstance(caught.value, builtins.ConnectionError)  # also caught as the built-in class


@pytest.mark.parametrize(
    "kind, route, status, body, error_class, text",
    [
        ("camera", "/v1/image", 400, b"", qorcam.BadRequestError, "400: a required parameter"),
        ("camera", "/v1/adaptWhiteBalance", 400, b"", qorcam.BadRequestError, "record an image first"),
        ("camera", "/v1/uploadLut", 400, b"", qorcam.BadRequestError, 'named "lut"'),
        ("camera", "/v1/setConvertControl", 404, b"", qorcam.NotFoundError, "pseudo-colour"),
        ("camera", "/v1/record", 409, b"", qorcam.ConflictError, "stop it first"),
        ("camera", "/v1/setConfiguration", 500, b"", qorcam.ServerError, "wrong type"),
        ("camera", "/v1/getName", 503, b'{"code":-1,"where":"Unknown Error!"}', qorcam.CameraError, "0xFFFFFFFF"),
        ("camera", "/v1/getName", 503, b"not json", qorcam.CameraError, "Unknown Error!"),
        ("camera", "/v1/getName", 418, b"", qorcam.RequestError, "418: unexpected answer"),
        ("lumra", "/v1/getType", 503, b"", qorcam.LightSourceError, "503: the light source refused"),
        ("lumra", "/v1/switchOn", 500, b"", qorcam.LightSourceError, "500: the light source refused"),
        ("lumra", "/v1/setConfiguration", 500, b"", qorcam.ServerError, "could not read the request"),
    ],
)
def test_status_table(
    kind: str, route: str, status: int, body: bytes, error_class: type[Exception], text: str
) -> None:
    with pytest.raises(error_class, match=text) as caught:
        raise_for_status(kind, "GET", route, status, body)
    assert type(caught.value) is error_class
    if isinstance(caught.value, qorcam.RequestError):
        assert caught.value.status == status


def test_success_statuses_raise_nothing() -> None:
    for status in (200, 204):
        raise_for_status("camera", "GET", "/v1/getName", status, b"")


class _ClosingHandler(http.server.BaseHTTPRequestHandler):
    """Answers and then drops the connection without saying so, like a server ending an idle keep-alive."""

    protocol_version = "HTTP/1.1"
    requests = 0

    def do_GET(self) -> None:
        type(self).requests += 1
        body = b'"SimCam"'
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
        self.close_connection = True

    def log_message(self, *args: object) -> None:
        pass


@pytest.fixture
def closing_server() -> Iterator[int]:
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _ClosingHandler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield server.server_address[1]
    server.shutdown()
    server.server_close()


def test_a_dropped_idle_connection_is_reopened_once(closing_server: int) -> None:
    _ClosingHandler.requests = 0
    cam = Camera("127.0.0.1", closing_server, timeout=5)
    assert [cam.get_name() for _ in range(3)] == ["SimCam"] * 3
    assert _ClosingHandler.requests == 3


def test_a_fresh_connection_that_fails_is_not_retried() -> None:
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen()
        port = listener.getsockname()[1]

        def accept_and_close() -> None:
            conn, _ = listener.accept()
            conn.recv(1024)
            conn.close()

        thread = threading.Thread(target=accept_and_close)
        thread.start()
        # A retry would connect again (the listen queue takes it) and then time out instead.
        with pytest.raises(qorcam.ConnectionError, match="closed by the server"):
            Camera("127.0.0.1", port, timeout=2).get_name()
        thread.join()
