"""Rendered image replies, the live stream and CORS of the real executable, read with independent
decoders (Pillow for PNG and JPEG, a strict multipart parser written here). Mono camera on 8080
(16-bit words), colour camera on 8081. Usage: rendered_images_test.py <qor-camera-server> [unittest args]."""

from __future__ import annotations

import http.client
import io
import socket
import json
import os
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from qor_process import ServerProcess, request, json_text  # noqa: E402

try:
    from PIL import Image
except ImportError:  # pragma: no cover
    sys.exit("python3-pil is required (apt-get install python3-pil)")

SERVER = ""
MONO, COLOR = 8080, 8081
IMAGE_HEADERS = ["crop", "format", "rawFormat", "recorderImageNumber", "colorMode", "metadata", "timestamp",
                 "convCtrl"]


def fmt(name: str) -> str:
    return json_text(name)


def configure(port: int, **changes) -> None:
    config = json.loads(request(port, "GET", "/v1/getConfiguration").body)
    config.update(changes)
    reply = request(port, "PUT", "/v1/setConfiguration", body=json.dumps(config).encode(),
                    headers={"Content-Type": "application/json"})
    assert reply.status == 200, (reply.status, reply.body)


def record(port: int, count: int, mode: str) -> None:
    reply = request(port, "POST", "/v1/record", params={"imgCount": str(count), "recMode": fmt(mode)})
    assert reply.status == 200, (reply.status, reply.body)


def image_headers(reply) -> dict[str, str]:
    return {name: reply.headers[name.lower()] for name in IMAGE_HEADERS if name.lower() in reply.headers}


class MultipartReader:
    """Reads multipart/x-mixed-replace strictly: every part starts with the boundary line, carries a
    Content-Length and exactly that many bytes followed by CRLF; the stream ends with the closing
    boundary. Any deviation raises AssertionError."""

    def __init__(self, response: http.client.HTTPResponse):
        content_type = response.getheader("Content-Type", "")
        assert content_type.startswith("multipart/x-mixed-replace;"), content_type
        params = dict(p.strip().split("=", 1) for p in content_type.split(";")[1:])
        self.boundary = params["boundary"].strip('"').encode()
        self.response = response
        self.buffer = b""

    def _fill(self) -> bool:
        data = self.response.read1(65536)
        self.buffer += data
        return bool(data)

    def _line(self) -> bytes:
        while b"\r\n" not in self.buffer:
            if not self._fill():
                raise EOFError("stream ended inside a line")
        line, self.buffer = self.buffer.split(b"\r\n", 1)
        return line

    def _exact(self, n: int) -> bytes:
        while len(self.buffer) < n:
            if not self._fill():
                raise EOFError("stream ended inside a part")
        data, self.buffer = self.buffer[:n], self.buffer[n:]
        return data

    def next_part(self):
        """(headers, body) of the next part, or None after the closing boundary."""
        line = self._line()
        if line == b"--" + self.boundary + b"--":
            return None
        assert line == b"--" + self.boundary, line[:80]
        headers = {}
        while True:
            line = self._line()
            if not line:
                break
            name, value = line.decode().split(":", 1)
            headers[name.strip().lower()] = value.strip()
        assert headers["content-type"] == "image/jpeg", headers
        body = self._exact(int(headers["content-length"]))
        assert self._exact(2) == b"\r\n"
        return headers, body


class SmallBufferConnection(http.client.HTTPConnection):
    """A client whose kernel keeps little of what it has not read yet (no receive-buffer growth)."""

    def connect(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 64 * 1024)
        self.sock.settimeout(self.timeout)
        self.sock.connect((self.host, self.port))


def open_stream(port: int, params: dict, timeout_s: float = 20.0, small_buffer: bool = False):
    from urllib.parse import urlencode
    connection = SmallBufferConnection if small_buffer else http.client.HTTPConnection
    conn = connection("127.0.0.1", port, timeout=timeout_s)
    conn.request("GET", "/v1/stream?" + urlencode(params))
    return conn, conn.getresponse()


class ServerTest(unittest.TestCase):
    server: ServerProcess

    @classmethod
    def setUpClass(cls):
        cls.server = ServerProcess(SERVER).start()

    @classmethod
    def tearDownClass(cls):
        cls.server.close()


class RenderedImagesTest(ServerTest):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        configure(MONO, roi={"x0": 1, "y0": 1, "x1": 256, "y1": 128}, exposure_time_s=0.001)
        configure(COLOR, roi={"x0": 1, "y0": 1, "x1": 320, "y1": 200}, exposure_time_s=0.001)
        record(MONO, 3, "sequence")
        record(COLOR, 3, "sequence")
        # The series routes read from the mono camera's series.
        assert request(MONO, "GET", "/v1/images", params={"start_index": "0", "format": fmt("Mono8")}).status == 200

    def test_raw_replies_are_byte_identical_whatever_accept_says_when_it_names_no_image_type(self):
        cases = [
            (MONO, "/v1/image", {"index": "1", "format": fmt("Mono16")}),
            (MONO, "/v1/image", {"index": "2", "format": fmt("Mono8"), "crop": json_text({"x0": 5, "y0": 3, "x1": 60, "y1": 40})}),
            (COLOR, "/v1/image", {"index": "0", "format": fmt("BGR8")}),
            (MONO, "/v1/imageAverage", {"format": fmt("Mono16")}),
            (MONO, "/v1/getImageFromImages", {"index": "1", "format": fmt("Mono8"),
                                              "crop": json_text({"x0": 1, "y0": 1, "x1": 256, "y1": 128})}),
            (MONO, "/v1/image", {"index": "99", "format": fmt("Mono16")}),
        ]
        for port, path, params in cases:
            reference = request(port, "GET", path, params=params)
            for accept in ["*/*", "application/octet-stream", "image/*", "image/webp,*/*;q=0.8", "text/html"]:
                with self.subTest(path=path, params=params, accept=accept):
                    reply = request(port, "GET", path, params=params, headers={"Accept": accept})
                    self.assertEqual(reply.status, reference.status)
                    self.assertEqual(reply.header_list, reference.header_list)
                    self.assertEqual(reply.body, reference.body)
            if reference.status == 200:
                self.assertEqual(reference.headers["content-type"], "application/octet-stream")
        # A quality parameter means nothing to a raw reply.
        plain = request(MONO, "GET", "/v1/image", params={"index": "1", "format": fmt("Mono16")})
        with_quality = request(MONO, "GET", "/v1/image", params={"index": "1", "format": fmt("Mono16"), "quality": "7"})
        self.assertEqual(plain.body, with_quality.body)

    def test_png_of_mono16_holds_the_raw_words_and_all_image_headers(self):
        params = {"index": "1", "format": fmt("Mono16")}
        raw = request(MONO, "GET", "/v1/image", params=params)
        png = request(MONO, "GET", "/v1/image", params=params, headers={"Accept": "image/png"})
        self.assertEqual(png.status, 200)
        self.assertEqual(png.headers["content-type"], "image/png")
        self.assertEqual(image_headers(png), image_headers(raw))
        picture = Image.open(io.BytesIO(png.body))
        self.assertEqual(picture.size, (256, 128))
        self.assertIn(picture.mode, ("I;16", "I;16B", "I"))
        words = [int.from_bytes(raw.body[i:i + 2], "little") for i in range(0, len(raw.body), 2)]
        self.assertEqual(list(picture.getdata()), words)
        self.assertGreater(max(words), 0)

    def test_png_and_jpeg_of_converted_formats_decode_to_the_same_picture(self):
        params = {"index": "1", "format": fmt("Mono8")}
        png = request(MONO, "GET", "/v1/image", params=params, headers={"Accept": "image/png"})
        jpeg = request(MONO, "GET", "/v1/image", params=params, headers={"Accept": "image/jpeg"})
        self.assertEqual((png.status, jpeg.status), (200, 200))
        self.assertEqual(jpeg.headers["content-type"], "image/jpeg")
        self.assertIn("convCtrl", image_headers(jpeg))
        grey_png = Image.open(io.BytesIO(png.body))
        grey_jpeg = Image.open(io.BytesIO(jpeg.body))
        self.assertEqual((grey_png.mode, grey_jpeg.mode), ("L", "L"))
        a, b = list(grey_png.getdata()), list(grey_jpeg.getdata())
        self.assertLess(sum(abs(x - y) for x, y in zip(a, b)) / len(a), 6)
        self.assertGreater(max(a) - min(a), 50, "the picture must show something")

    def test_colour_formats_render_one_conversion_in_their_channel_orders(self):
        pictures = {}
        for name in ["BGR8", "RGB8", "BGRA8", "RGBA8", "RGB16", "BGR16"]:
            reply = request(COLOR, "GET", "/v1/image", params={"index": "2", "format": fmt(name)},
                            headers={"Accept": "image/png"})
            self.assertEqual(reply.status, 200, name)
            self.assertEqual(reply.headers["format"], fmt(name))
            pictures[name] = Image.open(io.BytesIO(reply.body))
            self.assertEqual(pictures[name].size, (320, 200))
        self.assertEqual(pictures["BGR8"].mode, "RGB")
        self.assertEqual(pictures["BGRA8"].mode, "RGBA")
        self.assertEqual(list(pictures["BGR8"].getdata()), list(pictures["RGB8"].getdata()))
        self.assertEqual(list(pictures["BGRA8"].convert("RGB").getdata()), list(pictures["BGR8"].getdata()))
        self.assertEqual(list(pictures["RGBA8"].getdata()), list(pictures["BGRA8"].getdata()))
        red, green, blue = pictures["BGR8"].split()
        self.assertNotEqual(list(red.getdata()), list(blue.getdata()), "a colour picture, not grey")

    def test_average_and_series_render_too(self):
        average = request(MONO, "GET", "/v1/imageAverage", params={"format": fmt("Mono8")}, headers={"Accept": "image/png"})
        self.assertEqual(average.status, 200)
        self.assertEqual(Image.open(io.BytesIO(average.body)).size, (256, 128))
        stored = request(MONO, "GET", "/v1/getImageFromImages",
                         params={"index": "0", "format": fmt("Mono8"), "crop": json_text({"x0": 1, "y0": 1, "x1": 256, "y1": 128})},
                         headers={"Accept": "image/jpeg"})
        self.assertEqual(stored.status, 200)
        self.assertEqual(Image.open(io.BytesIO(stored.body)).format, "JPEG")

    def test_refusals(self):
        mono16 = {"index": "1", "format": fmt("Mono16")}
        cases = [
            ("16-bit as JPEG", COLOR, "/v1/image", {"index": "1", "format": fmt("RGB16")}, "image/jpeg", 406),
            ("Mono16 as JPEG", MONO, "/v1/image", mono16, "image/jpeg", 406),
            ("average Mono16 as JPEG", MONO, "/v1/imageAverage", {"format": fmt("Mono16")}, "image/jpeg", 406),
            ("quality 0", MONO, "/v1/image", {**mono16, "format": fmt("Mono8"), "quality": "0"}, "image/jpeg", 400),
            ("quality 101", MONO, "/v1/image", {**mono16, "format": fmt("Mono8"), "quality": "101"}, "image/jpeg", 400),
            ("quality as text", MONO, "/v1/image", {**mono16, "format": fmt("Mono8"), "quality": '"high"'}, "image/jpeg", 400),
            ("quality not JSON", MONO, "/v1/image", {**mono16, "format": fmt("Mono8"), "quality": "high"}, "image/jpeg", 500),
            ("missing index", MONO, "/v1/image", {"format": fmt("Mono8")}, "image/png", 400),
            ("camera failure", MONO, "/v1/image", {"index": "99", "format": fmt("Mono8")}, "image/png", 503),
        ]
        for name, port, path, params, accept, status in cases:
            with self.subTest(name):
                reply = request(port, "GET", path, params=params, headers={"Accept": accept})
                self.assertEqual(reply.status, status)
                if status != 503:
                    self.assertEqual(reply.body, b"")

    def test_jpeg_quality_changes_the_size(self):
        sizes = []
        for quality in ["10", "95"]:
            reply = request(MONO, "GET", "/v1/image", params={"index": "1", "format": fmt("Mono8"), "quality": quality},
                            headers={"Accept": "image/jpeg"})
            self.assertEqual(reply.status, 200)
            sizes.append(len(reply.body))
        self.assertLess(sizes[0], sizes[1])

    def test_every_answer_allows_any_origin_and_preflights_are_answered(self):
        for method, path in [("GET", "/v1/getName"), ("GET", "/v1/nothing"), ("POST", "/v1/heartbeat"), ("GET", "/")]:
            reply = request(MONO, method, path, headers={"Origin": "http://elsewhere"})
            self.assertEqual(reply.headers.get("access-control-allow-origin"), "*", path)
            exposed = [h.strip() for h in reply.headers["access-control-expose-headers"].split(",")]
            self.assertEqual(set(exposed), set(IMAGE_HEADERS + ["count"]))
        reply = request(MONO, "OPTIONS", "/v1/setConfiguration",
                        headers={"Origin": "http://elsewhere", "Access-Control-Request-Method": "PUT",
                                 "Access-Control-Request-Headers": "content-type"})
        self.assertEqual(reply.status, 204)
        self.assertIn("PUT", reply.headers["access-control-allow-methods"])
        self.assertIn("content-type", reply.headers["access-control-allow-headers"].lower())
        self.assertEqual(request(MONO, "OPTIONS", "/v1/image").status, 204)
        self.assertEqual(request(MONO, "OPTIONS", "/v1/nothing").status, 404)


class LiveStreamTest(ServerTest):
    def setUp(self):
        configure(MONO, roi={"x0": 1, "y0": 1, "x1": 256, "y1": 128}, exposure_time_s=0.02)

    def tearDown(self):
        request(MONO, "POST", "/v1/stop")

    def read_parts(self, port, params, count, pause_s, out, errors):
        try:
            conn, res = open_stream(port, params, small_buffer=pause_s > 0)
            self.assertEqual(res.status, 200)
            reader = MultipartReader(res)
            while len(out) < count:
                part = reader.next_part()
                if part is None:
                    break
                headers, body = part
                picture = Image.open(io.BytesIO(body))
                picture.load()
                crop = json.loads(headers["crop"])
                self.assertEqual(picture.size, (crop["x1"] - crop["x0"] + 1, crop["y1"] - crop["y0"] + 1))
                out.append((int(headers["recorderimagenumber"]), headers, picture))
                time.sleep(pause_s)
            conn.close()
        except Exception as e:  # reported by the main thread
            errors.append(e)

    def test_two_readers_at_their_own_pace_see_only_newer_images(self):
        # Full-size frames: a few of them fill what the kernels buffer, so the slow reader's pace shows.
        configure(MONO, roi={"x0": 1, "y0": 1, "x1": 2048, "y1": 2048}, exposure_time_s=0.02)
        record(MONO, 20, "ring_buffer")
        fast, slow, errors = [], [], []
        threads = [threading.Thread(target=self.read_parts, args=(MONO, {"format": fmt("Mono8"), "quality": "95"}, 30, 0.0, fast, errors)),
                   threading.Thread(target=self.read_parts,
                                    args=(MONO, {"format": fmt("Mono8"), "quality": "95"}, 8, 0.4, slow, errors))]
        recorded_before = json.loads(request(MONO, "GET", "/v1/getRecordedImageCount").body)["recorded"]
        for t in threads:
            t.start()
        # Other routes answer at once meanwhile.
        started = time.monotonic()
        for _ in range(5):
            self.assertEqual(request(MONO, "GET", "/v1/getExposureTime").status, 200)
        self.assertLess(time.monotonic() - started, 5)
        for t in threads:
            t.join(60)
        recorded = json.loads(request(MONO, "GET", "/v1/getRecordedImageCount").body)["recorded"] - recorded_before
        self.assertEqual(errors, [])
        self.assertEqual((len(fast), len(slow)), (30, 8))
        for frames in (fast, slow):
            numbers = [n for n, _, _ in frames]
            self.assertEqual(numbers, sorted(set(numbers)), "never an older image, never one twice")
            self.assertEqual(frames[0][1]["format"], fmt("Mono8"))
            self.assertIn("metadata", frames[0][1])
        slow_numbers = [n for n, _, _ in slow]
        # Where the camera recorded far more images than the slow reader took (always, unless a
        # sanitizer build slows the simulated camera down), the slow reader must have skipped some.
        if recorded > 2 * len(slow):
            self.assertGreater(max(b - a for a, b in zip(slow_numbers, slow_numbers[1:])), 1,
                               f"a slow reader skips images ({recorded} recorded meanwhile)")

    def test_stream_ends_when_the_recording_stops_and_honours_fps_crop_and_fifo(self):
        record(MONO, 50, "fifo")
        crop = {"x0": 9, "y0": 5, "x1": 72, "y1": 36}
        conn, res = open_stream(MONO, {"format": fmt("Mono8"), "crop": json_text(crop), "fps": "5", "quality": "60"})
        reader = MultipartReader(res)
        started = time.monotonic()
        frames = [reader.next_part() for _ in range(4)]
        elapsed = time.monotonic() - started
        self.assertTrue(all(frames))
        self.assertEqual(Image.open(io.BytesIO(frames[0][1])).size, (64, 32))
        self.assertEqual(json.loads(frames[0][0]["crop"]), crop)
        self.assertGreaterEqual(elapsed, 0.45, "at most 5 frames a second")
        self.assertEqual(request(MONO, "POST", "/v1/stop").status, 200)
        # The stream closes with its final boundary after the recording stopped.
        deadline = time.monotonic() + 10
        part = True
        while part is not None and time.monotonic() < deadline:
            part = reader.next_part()
        self.assertIsNone(part)
        conn.close()

    def test_a_refused_jpeg_takes_no_image_out_of_a_fifo(self):
        configure(MONO, roi={"x0": 1, "y0": 1, "x1": 256, "y1": 128}, exposure_time_s=0.2)
        record(MONO, 10, "fifo")
        deadline = time.monotonic() + 10
        while json.loads(request(MONO, "GET", "/v1/getRecordedImageCount").body)["recorded"] < 2:
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.05)
        waiting = json.loads(request(MONO, "GET", "/v1/getRecordedImageCount").body)["recorded"]
        reply = request(MONO, "GET", "/v1/image", params={"index": "0", "format": fmt("Mono16")},
                        headers={"Accept": "image/jpeg"})
        self.assertEqual(reply.status, 406)
        self.assertGreaterEqual(json.loads(request(MONO, "GET", "/v1/getRecordedImageCount").body)["recorded"], waiting)

    def test_refusals(self):
        self.assertEqual(request(MONO, "GET", "/v1/stream", params={"format": fmt("Mono8")}).status, 409)
        record(MONO, 10, "ring_buffer")
        for params, status in [({"format": fmt("Mono16")}, 406), ({"format": fmt("CompressedMono8")}, 406),
                               ({"quality": "0"}, 400), ({"fps": "0"}, 400), ({"fps": '"x"'}, 400),
                               ({"format": "Mono8"}, 500)]:
            with self.subTest(params=params):
                self.assertEqual(request(MONO, "GET", "/v1/stream", params=params).status, status)


class ShutdownWithStreamTest(unittest.TestCase):
    def test_sigint_ends_the_server_promptly_with_streams_open(self):
        server = ServerProcess(SERVER).start()
        try:
            configure(MONO, roi={"x0": 1, "y0": 1, "x1": 256, "y1": 128}, exposure_time_s=0.01)
            record(MONO, 10, "ring_buffer")
            streams = [open_stream(MONO, {"format": fmt("Mono8")}) for _ in range(3)]
            for _, res in streams:
                self.assertIsNotNone(MultipartReader(res).next_part())
            started = time.monotonic()
            self.assertEqual(server.interrupt(timeout_s=15), 0, server.output())
            self.assertLess(time.monotonic() - started, 10)
        finally:
            server.close()


if __name__ == "__main__":
    SERVER = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
