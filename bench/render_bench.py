"""Rendered images and the live stream on the simulated 2048 x 2048 mono camera at its shortest
exposure, as ratios within one run: /v1/image as JPEG (Mono8, quality 85) against the raw Mono16
reply, and the frames per second the stream delivers to one and to four readers against the camera's
own frame rate, with the server's processor use. Run inside a private network namespace:
    unshare --net sh -c 'ip link set lo up && /usr/bin/python3 bench/render_bench.py build/app/qor-camera-server'"""

from __future__ import annotations

import http.client
import json
import os
import statistics
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))
from qor_process import ServerProcess, request, json_text  # noqa: E402

PORT = 8080
REQUESTS = 40
STREAM_SECONDS = 10.0


def cpu_seconds(pid: int) -> float:
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def timed_gets(params: dict, accept: str | None) -> list[float]:
    conn = http.client.HTTPConnection("127.0.0.1", PORT, timeout=30)
    from urllib.parse import urlencode
    times = []
    for _ in range(REQUESTS):
        started = time.perf_counter()
        conn.request("GET", "/v1/image?" + urlencode(params), headers={"Accept": accept} if accept else {})
        res = conn.getresponse()
        body = res.read()
        times.append(time.perf_counter() - started)
        assert res.status == 200 and body, res.status
        if res.getheader("Connection", "").lower() == "close" or res.will_close:
            conn.close()
            conn = http.client.HTTPConnection("127.0.0.1", PORT, timeout=30)
    conn.close()
    return times


def count_frames(counts: list[int], index: int, stop: threading.Event) -> None:
    conn = http.client.HTTPConnection("127.0.0.1", PORT, timeout=30)
    conn.request("GET", "/v1/stream?format=%22Mono8%22")
    res = conn.getresponse()
    boundary = b"--qorframe\r\n"
    buffer = b""
    while not stop.is_set():
        data = res.read1(1 << 20)
        if not data:
            break
        buffer += data
        # Count boundaries; keep the tail that may hold a split boundary.
        counts[index] += buffer.count(boundary)
        buffer = buffer[-(len(boundary) - 1):]
    conn.close()


def stream_run(server: ServerProcess, readers: int) -> dict:
    counts = [0] * readers
    stop = threading.Event()
    threads = [threading.Thread(target=count_frames, args=(counts, i, stop)) for i in range(readers)]
    for t in threads:
        t.start()
    time.sleep(2.0)  # readers connected and past their first frame
    start_counts = list(counts)
    recorded_before = json.loads(request(PORT, "GET", "/v1/getRecordedImageCount").body)["recorded"]
    cpu_before = cpu_seconds(server.process.pid)
    started = time.monotonic()
    time.sleep(STREAM_SECONDS)
    elapsed = time.monotonic() - started
    cpu = cpu_seconds(server.process.pid) - cpu_before
    recorded = json.loads(request(PORT, "GET", "/v1/getRecordedImageCount").body)["recorded"] - recorded_before
    delivered = [(c - s) / elapsed for c, s in zip(counts, start_counts)]
    stop.set()
    for t in threads:
        t.join(10)
    camera_fps = recorded / elapsed
    return {"readers": readers, "camera_fps": camera_fps, "reader_fps": delivered,
            "ratios": [f / camera_fps for f in delivered], "cpu_percent": 100 * cpu / elapsed}


def main() -> None:
    server = ServerProcess(os.path.abspath(sys.argv[1])).start()
    try:
        description = json.loads(request(PORT, "GET", "/v1/getDescription").body)
        config = json.loads(request(PORT, "GET", "/v1/getConfiguration").body)
        config["exposure_time_s"] = description["min_exposure_time_s"]
        assert request(PORT, "PUT", "/v1/setConfiguration", body=json.dumps(config).encode()).status == 200
        assert request(PORT, "POST", "/v1/record", params={"imgCount": "20", "recMode": json_text("sequence")}).status == 200

        raw = timed_gets({"index": "5", "format": json_text("Mono16")}, None)
        jpeg = timed_gets({"index": "5", "format": json_text("Mono8"), "quality": "85"}, "image/jpeg")
        png = timed_gets({"index": "5", "format": json_text("Mono8")}, "image/png")
        raw_ms, jpeg_ms, png_ms = (1000 * statistics.median(t) for t in (raw, jpeg, png))
        print(f"/v1/image 2048x2048, median of {REQUESTS}:")
        print(f"  raw Mono16        {raw_ms:7.2f} ms")
        print(f"  JPEG Mono8 q85    {jpeg_ms:7.2f} ms   ratio {jpeg_ms / raw_ms:5.2f} (target at most 10)")
        print(f"  PNG Mono8         {png_ms:7.2f} ms   ratio {png_ms / raw_ms:5.2f}")

        # Every pixel rate of the camera: the faster ones read the sensor out at a higher frame rate.
        for pixelrate in description["pixelrate_vec"]:
            config = json.loads(request(PORT, "GET", "/v1/getConfiguration").body)
            config["pixelrate"] = pixelrate
            assert request(PORT, "PUT", "/v1/setConfiguration", body=json.dumps(config).encode()).status == 200
            assert request(PORT, "POST", "/v1/record",
                           params={"imgCount": "20", "recMode": json_text("ring_buffer")}).status == 200
            for readers in (1, 4):
                r = stream_run(server, readers)
                per_reader = ", ".join(f"{f:.1f}" for f in r["reader_fps"])
                ratios = ", ".join(f"{x:.2f}" for x in r["ratios"])
                print(f"stream at {pixelrate / 1e6:.0f} MHz, {readers} reader(s): camera {r['camera_fps']:.1f} frames/s;"
                      f" readers {per_reader} frames/s; ratio {ratios} (target at least 0.90);"
                      f" server CPU {r['cpu_percent']:.0f} % of one core")
            request(PORT, "POST", "/v1/stop")
    finally:
        server.close()


if __name__ == "__main__":
    main()
