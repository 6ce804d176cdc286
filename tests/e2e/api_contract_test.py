"""Every route of the real servers, answered as the API reference describes.

Starts the camera server (two simulated cameras) and the light-source test server in a temporary
working directory, sends each route its usual requests and some faulty ones, and checks every
answer with the contract checker. Run inside a private network namespace: the servers use their
fixed ports. The executables come from QOR_SERVER_EXECUTABLE and QOR_LUMRA_TEST_SERVER.
"""
from __future__ import annotations

import http.client
import json
import os
import signal
import subprocess
import sys
import time
import urllib.parse
from dataclasses import dataclass, field
from pathlib import Path
from typing import Iterator

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "clients" / "python" / "tests"))
import contract  # noqa: E402

MONO_PORT, COLOR_PORT, LUMRA_PORT = 8080, 8081, 8090


@dataclass
class Exchange:
    server_kind: str
    method: str
    path: str
    query: dict[str, str]
    request_body: bytes
    status: int = 0
    headers: dict[str, str] = field(default_factory=dict)
    body: bytes = b""


def j(value: object) -> str:
    return json.dumps(value, separators=(",", ":"))


def send(kind: str, port: int, method: str, path: str, query: dict[str, str] | None = None, body: bytes = b"",
         content_type: str | None = None) -> Exchange:
    query = query or {}
    target = path + ("?" + urllib.parse.urlencode(query) if query else "")
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    headers = {"Content-Type": content_type} if content_type else {}
    connection.request(method, target, body=body if method in ("POST", "PUT") else None, headers=headers)
    response = connection.getresponse()
    ex = Exchange(kind, method, path, query, body, response.status,
                  {name.lower(): value for name, value in response.getheaders()}, response.read())
    connection.close()
    return ex


class Checker:
    """Sends requests and collects every answer the reference does not describe, or that has not
    the status a step expects."""

    def __init__(self, kind: str, port: int) -> None:
        self.kind, self.port = kind, port
        self.failures: list[str] = []

    def __call__(self, method: str, path: str, query: dict[str, str] | None = None, body: bytes | str = b"",
                 expect: int | None = None) -> Exchange:
        data = body.encode() if isinstance(body, str) else body
        content_type = "application/json" if data and not data.startswith(b"--") else None
        if data.startswith(b"--"):
            content_type = "multipart/form-data; boundary=part"
        ex = send(self.kind, self.port, method, path, query, data, content_type)
        try:
            contract.check_exchange(ex)
        except AssertionError as e:
            self.failures.append(f"{method} {path} {query or ''}: {e}")
        if expect is not None and ex.status != expect:
            self.failures.append(f"{method} {path} {query or ''}: status {ex.status}, expected {expect}: {ex.body[:200]!r}")
        return ex


def wait_for(port: int, process: subprocess.Popen[bytes]) -> None:
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise RuntimeError(f"server for port {port} ended with {process.returncode}")
        try:
            send("camera", port, "GET", "/v1/info")
            return
        except OSError:
            time.sleep(0.1)
    raise RuntimeError(f"no server on port {port}")


@pytest.fixture(scope="module")
def servers(tmp_path_factory: pytest.TempPathFactory) -> Iterator[None]:
    work = tmp_path_factory.mktemp("servers")
    env = dict(os.environ, HOME=str(work), QOR_SIM_LOCK_DIR=str(work / "locks"))
    env.pop("QOR_SIM_DEVICES", None)
    log = open(work / "servers.log", "wb")
    processes = [
        subprocess.Popen([os.environ["QOR_SERVER_EXECUTABLE"]], cwd=work, env=env, stdout=log, stderr=log),
        subprocess.Popen([os.environ["QOR_LUMRA_TEST_SERVER"], str(LUMRA_PORT)], cwd=work, env=env, stdout=log,
                         stderr=log),
    ]
    try:
        for port in (COLOR_PORT, LUMRA_PORT):
            wait_for(port, processes[0] if port == COLOR_PORT else processes[1])
        yield
    finally:
        for process in processes:
            process.send_signal(signal.SIGINT)
        for process in processes:
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
        log.close()


CROP = {"x0": 1, "y0": 1, "x1": 33, "y1": 17}
SMALL = {"x0": 1, "y0": 1, "x1": 8, "y1": 4}
COMPRESSION = {"dGainK": 2.17, "dDarkNoise_e": 1.5, "dDSNU_e": 0.3, "dPRNU_pct": 0.34, "dLightSourceNoise_pct": 0}
GETTERS = ["/v1/info", "/v1/getName", "/v1/getRawFormat", "/v1/getSerial", "/v1/getInterface", "/v1/isRecording",
           "/v1/isColored", "/v1/getDescription", "/v1/getConfiguration", "/v1/getExposureTime", "/v1/getDelayTime",
           "/v1/getRecordedImageCount", "/v1/getRecorderBufferSize", "/v1/hasRam", "/v1/getCamRamSegment",
           "/v1/getCamRamMaxImages", "/v1/getCamRamNumImages", "/v1/getCamRamAllocation", "/v1/getSensorInfo",
           "/v1/getQORDescription"]
LUT_UPLOAD = ('--part\r\nContent-Disposition: form-data; name="lut"; filename="grey.lt1"\r\n'
              "Content-Type: application/octet-stream\r\n\r\n" + "0 0 0\n255 255 255\n" + "\r\n--part--\r\n")


def exercise_camera(call: Checker, colored: bool) -> None:
    for path in GETTERS:
        call("GET", path)
    call("GET", "/v1/getName", expect=200)
    call("POST", "/v1/heartbeat", expect=200)
    call("PUT", "/v1/defaultConfiguration", expect=200)
    configuration = json.loads(call("GET", "/v1/getConfiguration", expect=200).body)
    call("PUT", "/v1/setConfiguration", body=j(configuration), expect=200)
    # Binary time stamps, so that image replies carry the "timestamp" header too.
    call("PUT", "/v1/setConfiguration", body=j(dict(configuration, timestamp_mode=1)), expect=200)
    call("PUT", "/v1/setConfiguration", body='{"exposure_time_s":0.01}', expect=500)
    call("PUT", "/v1/setExposureTime", body='{"exposure_s":0.01}', expect=200)
    call("PUT", "/v1/setExposureTime", body='{"exposure_s":100000}', expect=503)
    call("PUT", "/v1/setDelayTime", body='{"delay_s":0}', expect=200)
    call("POST", "/v1/autoExposureOn", expect=200)
    call("POST", "/v1/autoExposureOff", expect=200)
    call("PUT", "/v1/configureAutoExposure", body='{"region":"full","min_exposure_s":0.001,"max_exposure_s":0.1}',
         expect=200)
    for data_format in ["Mono8", "Mono16", "BGR8", "RGBA8", "RGB16", "BGR16"]:
        call("GET", "/v1/getConvertControl", {"format": j(data_format)})
    call("GET", "/v1/getConvertControl", expect=400)
    settings = json.loads(call("GET", "/v1/getConvertControl", {"format": j("BGR8")}, expect=200).body)
    call("PUT", "/v1/setConvertControl", body=j({"format": "BGR8", "convert": settings}), expect=200)
    call("PUT", "/v1/setConvertControl", body='{"format":"BGR8"}', expect=400)
    call("PUT", "/v1/configureHWIO_1_exposureTrigger", body='{"on":true,"polarity":"falling_edge"}')
    call("PUT", "/v1/configureHWIO_2_acquireEnable", body='{"on":false,"polarity":"high_level"}')
    call("PUT", "/v1/configureHWIO_3_statusBusy", body='{"on":true,"polarity":"high_level","signal_type":"status_busy"}')
    call("PUT", "/v1/configureHWIO_4_statusExpos",
         body='{"on":true,"polarity":"high_level","signal_type":"status_expos","signal_timing":"global"}')
    call("PUT", "/v1/configureHWIO_1_exposureTrigger", body='{"on":true}', expect=400)
    call("POST", "/v1/uploadLut", body=LUT_UPLOAD, expect=200)
    call("POST", "/v1/uploadLut", body='{"lut":1}', expect=400)
    call("POST", "/v1/loadLut", {"format": j("BGR8"), "lutFile": j("grey.lt1")})
    call("POST", "/v1/loadLut", {"format": j("BGR8"), "lutFile": j("missing.lt1")}, expect=404)
    call("POST", "/v1/adaptWhiteBalance", {"format": j("BGR8")}, expect=400)
    call("GET", "/v1/image", {"index": "0", "format": j("Mono16")}, expect=503)

    call("POST", "/v1/record", {"imgCount": "3"}, expect=200)
    call("POST", "/v1/waitForFirstImage", {"timeout": "5"}, expect=200)
    call("POST", "/v1/adaptWhiteBalance", {"format": j("BGR8"), "crop": j(SMALL)}, expect=200)
    for data_format in ["Mono16", "Mono8", "BGR8", "BGRA8", "Undefined"] + (["RGB16"] if colored else []):
        call("GET", "/v1/image", {"index": "1", "format": j(data_format), "crop": j(CROP)}, expect=200)
    headers = call("GET", "/v1/image", {"index": "0", "format": j("Mono16")}, expect=200).headers
    if "timestamp" not in headers:
        call.failures.append(f"image reply without a time stamp on a camera that records one: {sorted(headers)}")
    call("HEAD", "/v1/image", {"index": "0", "format": j("Mono16")}, expect=200)
    call("GET", "/v1/image", {"index": "0", "format": j("CompressedMono8"), "comp_params": j(COMPRESSION)}, expect=200)
    call("GET", "/v1/image", {"index": "0", "format": "Mono16"}, expect=500)
    call("GET", "/v1/image", {"index": "0"}, expect=400)
    call("GET", "/v1/images", {"start_index": "0", "format": j("Mono16"), "crop": j(SMALL)}, expect=200)
    call("GET", "/v1/getImageFromImages", {"index": "2", "format": j("Mono16"), "crop": j(SMALL)}, expect=200)
    call("GET", "/v1/getImageFromImages", {"index": "5", "format": j("Mono16"), "crop": j(SMALL)}, expect=400)
    call("GET", "/v1/imageAverage", {"format": j("Mono16"), "crop": j(CROP)}, expect=200)
    call("GET", "/v1/imageAverage", {"format": j("BGR8"), "crop": j(SMALL)}, expect=200)

    call("POST", "/v1/record", {"imgCount": "10", "recMode": j("fifo")}, expect=200)
    call("POST", "/v1/record", {"imgCount": "10", "recMode": j("fifo")}, expect=409)
    call("POST", "/v1/waitForNewImage", {"timeout": "5", "delay": "false"}, expect=200)
    call("POST", "/v1/trigger", expect=200)
    call("POST", "/v1/stop", expect=200)
    call("POST", "/v1/waitForNewImage", {"timeout": "0.1"}, expect=200)
    call("POST", "/v1/record", {"imgCount": "2", "recMode": j("tif")}, expect=503)
    call("POST", "/v1/record", {"recMode": "fifo"}, expect=500)
    call("POST", "/v1/stop", expect=200)

    call("PUT", "/v1/setCamRamAllocation", body='{"percents":[50,50]}', expect=503 if colored else 200)
    call("PUT", "/v1/setCamRamAllocation", body='{"percents":[60,60]}', expect=503)
    call("PUT", "/v1/setCamRamAllocation", body="{}", expect=400)
    call("GET", "/v1/getCamRamAllocation")
    call("POST", "/v1/switchToCamRam", {"segment": "1"})
    call("POST", "/v1/switchToCamRam")
    call("GET", "/v1/getCamRamMaxImages")
    call("GET", "/v1/getCamRamNumImages")
    call("POST", "/v1/setFree", expect=200)
    call("GET", "/v1/noSuchRoute", expect=404)
    call("POST", "/v1/getName", expect=404)


def test_camera_routes(servers: None) -> None:
    failures = []
    for port, colored in ((MONO_PORT, False), (COLOR_PORT, True)):
        call = Checker("camera", port)
        exercise_camera(call, colored)
        failures += [f"port {port}: {failure}" for failure in call.failures]
    assert not failures, "\n".join(failures)


def test_light_source_routes(servers: None) -> None:
    call = Checker("lumra", LUMRA_PORT)
    for path in ["/v1/info", "/v1/getComPort", "/v1/getType", "/v1/getDescription", "/v1/getConfiguration",
                 "/v1/getVersions"]:
        call("GET", path, expect=200)
    call("GET", "/v1/getVersions", {"library": j("lumra")}, expect=200)
    call("POST", "/v1/heartbeat", expect=200)
    configuration = json.loads(call("POST", "/v1/defaultConfiguration", expect=200).body)
    call("POST", "/v1/setConfiguration", body=j(configuration), expect=200)
    call("POST", "/v1/setConfiguration", body="{}", expect=503)
    call("POST", "/v1/setConfiguration", body="nope", expect=500)
    call("POST", "/v1/switchOn", expect=200)
    call("POST", "/v1/switchOff", expect=200)
    call("POST", "/v1/executeCommand", {"command": j("VER?")})
    call("POST", "/v1/executeCommand", {"command": "abc"}, expect=500)
    call("POST", "/v1/executeCommand", expect=400)
    call("POST", "/v1/setFree", expect=200)
    call("PUT", "/v1/setConfiguration", body="{}", expect=404)
    assert not call.failures, "\n".join(call.failures)
