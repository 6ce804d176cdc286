#!/usr/bin/python3
"""Bounded HTTP fuzzer for the camera server (ports 8080 and 8081) or the light-source server (8090).

Sends `--count` requests built from `--seed` to every route: random methods, valid and hostile
parameters and bodies, content types, broken framing and multipart uploads with hostile file names.
It fails when the server exits, answers a status the route may not answer, takes longer than 10 s,
creates a file outside "./lut" and the recording folder it was given, or keeps noticeably more
memory or descriptors after the run than before. The same seed and count replay the same requests.
"""
from __future__ import annotations

import argparse
import json
import os
import random
import signal
import sys
import time
import urllib.parse
from collections import Counter, defaultdict
from dataclasses import dataclass, field
from pathlib import Path

sys.dont_write_bytecode = True  # no caches in the source tree
sys.path.insert(0, str(Path(__file__).resolve().parent))

import harness  # noqa: E402
import routes  # noqa: E402
from values import hostile, nested  # noqa: E402

LIBRARY_STATUSES = frozenset({413, 414, 431})  # body, target or header too large
STANDARD_METHODS = ("GET", "POST", "PUT", "DELETE", "PATCH", "HEAD")
OTHER_METHODS = ("OPTIONS", "TRACE", "FOO", "CONNECT", "get")
CONTENT_TYPES = ["application/json", "text/plain", "application/x-www-form-urlencoded", "multipart/form-data",
                 "multipart/form-data; boundary=", "application/octet-stream", "", "\x7f;;;", "image/png",
                 "application/json; charset=utf-16"]
# Paths that no server routes ("/" and "/console/" hold the browser console, "/v1/stream" the live stream).
UNKNOWN_PATHS = ["/v1/info/", "/v1/Info", "/v1//info", "/v2/info", "/v1/", "/v1/info%00", "/v1/%ff",
                 "/v1/getName/../getName", "/v1/" + "a" * 9000, "/v1/" + "b" * 3000, "/v1/info;x", "/v2/",
                 "/v1/streams", "/console/../v1/info"]
MEMORY_SLACK_KIB = 96 * 1024
SANITIZED_MEMORY_SLACK_KIB = 256 * 1024  # allocator caches of AddressSanitizer builds
DESCRIPTOR_SLACK = 4


@dataclass
class Expectation:
    allowed: frozenset[int]
    may_drop: bool = False  # the connection may close without an answer (broken framing)
    head: bool = False
    half_close: bool = False


@dataclass
class RouteStats:
    count: int = 0
    statuses: Counter = field(default_factory=Counter)
    slowest: float = 0.0
    slowest_request: bytes = b""


@dataclass
class Findings:
    crashes: list[str] = field(default_factory=list)
    hangs: list[str] = field(default_factory=list)
    violations: list[str] = field(default_factory=list)
    kinds: Counter = field(default_factory=Counter)  # violations by kind, for the summary

    def violation(self, kind: str, detail: str) -> None:
        self.kinds[kind] += 1
        self.violations.append(f"{kind}: {detail}")

    def failed(self) -> bool:
        return bool(self.crashes or self.hangs or self.violations)


def encode_params(params: routes.Params) -> str:
    return "&".join(urllib.parse.quote(name, safe="") + "=" + urllib.parse.quote_from_bytes(value, safe="")
                    for name, value in params)


def vary_params(rng: random.Random, params: routes.Params) -> routes.Params:
    params = list(params)
    if params and rng.random() < 0.08:
        params.pop(rng.randrange(len(params)))
    if rng.random() < 0.08:
        params.append((rng.choice(["x", "", "format", "index", "crop", "a" * 300, "\u00e9"]), hostile(rng, 500, 300)))
    if params and rng.random() < 0.04:
        name, _ = rng.choice(params)
        params.append((name, hostile(rng, 500, 300)))
    return params


def random_body(rng: random.Random) -> bytes:
    roll = rng.random()
    if roll < 0.4:
        return hostile(rng)
    if roll < 0.6:
        return rng.randbytes(rng.randint(0, 4000))
    if roll < 0.8:
        return nested(rng, rng.choice([100, 10000, 100000]))
    if roll < 0.97:
        return b'{"exposure_s":0.001,"delay_s":0,"percents":[25,25,25,25]}'
    return b"0" * rng.choice([1 << 20, 3 << 20, 9 << 20])  # around and above a body limit


def build_request(rng: random.Random, ctx: routes.Context, route: routes.Route) -> tuple[bytes, Expectation, str]:
    """The raw request, what may come back, and the statistics key."""
    key = route.name
    method = route.method
    allowed = route.allowed
    roll = rng.random()
    if roll < 0.06:
        method = rng.choice([m for m in STANDARD_METHODS if m != route.method])
        if not (method == "HEAD" and route.method == "GET"):
            # The library answers 404, or 400 for methods it does not know (PATCH, TRACE).
            allowed, key = frozenset({400, 404, 405}), "other method"
    elif roll < 0.09:
        method = rng.choice(OTHER_METHODS)
        allowed, key = frozenset({400, 404, 405}) | ({200, 204} if method == "OPTIONS" else set()), "other method"
    elif route.method == "GET" and roll < 0.15:
        method = "HEAD"
    path = route.path
    if rng.random() < 0.03:
        path = rng.choice(UNKNOWN_PATHS)
        allowed, key = frozenset({400, 404}), "unknown path"

    params = vary_params(rng, route.params(ctx)) if route.params else []
    if not params and rng.random() < 0.05:
        params = vary_params(rng, [])
    body, content_type = b"", None
    if route.body and rng.random() < 0.9:
        body, content_type = route.body(ctx)
    elif params and method in ("POST", "PUT") and rng.random() < 0.15:
        body, content_type = encode_params(params).encode(), "application/x-www-form-urlencoded"
        params = []
    elif rng.random() < 0.12:
        body = random_body(rng)
        content_type = rng.choice(CONTENT_TYPES)
    if content_type is not None and rng.random() < 0.08:
        content_type = rng.choice(CONTENT_TYPES)
    if rng.random() < 0.03:
        body, content_type = routes.multipart_upload(ctx)

    expectation = Expectation(allowed=allowed, head=method == "HEAD")
    if method not in ("GET", "HEAD", "POST", "PUT"):
        # The library waits for a body of methods it does not route (PATCH, DELETE) until its read
        # time-out; a half-close ends that wait, and then the request may go unanswered.
        expectation.may_drop = True
    if content_type and content_type.startswith("multipart/"):
        expectation.allowed |= {400}  # the library refuses malformed forms on every route
    if content_type == "application/x-www-form-urlencoded":
        expectation.allowed |= {400}
    if body and method in ("GET", "HEAD"):
        # The library does not read the body of a GET; closing with it unread resets the connection,
        # which can discard the answer before the client reads it.
        expectation.may_drop = True
    target = path + ("?" + encode_params(params) if params else "")
    headers: list[tuple[str, str | bytes]] = []
    if content_type is not None:
        headers.append(("Content-Type", content_type.encode("latin-1", "replace")))

    roll = rng.random()
    content_length: int | None = None
    if roll < 0.04:
        expectation.allowed |= {400}
        expectation.may_drop = expectation.half_close = True
        content_length = len(body) + rng.randint(1, 1000)  # promised more than sent, then half-closed
    elif roll < 0.07 and body:
        # Less promised than sent: the rest is left unread, and closing over unread data resets the
        # connection, which can discard the answer.
        expectation.allowed |= {400, 404}
        expectation.may_drop = True
        content_length = rng.randint(0, len(body) - 1)
    elif roll < 0.09:
        expectation.allowed |= {400}
        headers.append(("Transfer-Encoding", "chunked"))
        body = b"".join(b"%x\r\n" % len(body[i:i + 700]) + body[i:i + 700] + b"\r\n"
                        for i in range(0, len(body), 700)) + b"0\r\n\r\n"
        content_length = -1
    elif roll < 0.11:
        expectation.allowed |= {400}
        expectation.may_drop = True
        broken = rng.choice(["chunks", "twice", "garbage", "negative"])
        if broken == "chunks":
            headers.append(("Transfer-Encoding", "chunked"))
            body, content_length = b"zz\r\n" + body + b"\r\n0\r\n\r\n", -1
        elif broken == "twice":
            headers.append(("Content-Length", str(len(body) + 5)))
        else:
            headers.append(("Content-Length", "abc" if broken == "garbage" else "-5"))
            content_length = -1
    elif roll < 0.12:
        expectation.may_drop = expectation.half_close = True  # a complete request, then half-closed
    if rng.random() < 0.04:
        expectation.allowed |= {400}
        expectation.may_drop = True
        junk: list[tuple[str, str | bytes]] = [("X-Long", "v" * 9000), ("X-Bytes", b"\xff\x00\xfe"),
                                               ("Bad Name", b"x"), ("X-Many", ",".join(["a"] * 2000)),
                                               ("Host", "twice")]
        headers.append(rng.choice(junk))
    # A peer that stops sending lets the server see the end at once instead of after its read time-out.
    expectation.half_close |= expectation.may_drop
    raw = request_with_length(method, target, headers, body, content_length)
    return raw, expectation, key


def request_with_length(method: str, target: str, headers, body: bytes, content_length: int | None) -> bytes:
    if content_length == -1:  # framing given by the headers already
        return harness.request_bytes(method, target, headers, b"") + body
    return harness.request_bytes(method, target, headers, body, content_length)


class Fuzzer:
    def __init__(self, args: argparse.Namespace) -> None:
        self.args = args
        self.rng = random.Random(args.seed)
        self.stats: dict[str, RouteStats] = defaultdict(RouteStats)
        self.findings = Findings()
        self.sandbox = harness.Sandbox()
        (self.sandbox.work / "rec" / "sub").mkdir(parents=True)
        (self.sandbox.work / "rec" / "deep" / "er").mkdir(parents=True)
        self.camera = args.target == "camera"
        self.ports = [8080, 8081] if self.camera else [8090]
        self.route_table = routes.camera_routes() if self.camera else routes.lumra_routes()
        self.ctx = routes.Context(rng=self.rng, recording_folder="rec")
        self.configurations: dict[int, dict] = {}  # each camera's configuration at the start
        luts = sorted(str(p) for p in Path(args.luts).glob("sample.*")) if args.luts else []
        self.ctx.lut_paths = luts + ["hot.lt1", "sub/hot.lt1", "missing.lt1", "/nonexistent/x.lt1", "",
                                     str(self.sandbox.fifo), str(self.sandbox.directory), "/dev/null", "/",
                                     "lut/", "x" * 5000, "\u00e9.lt1"]

    run: harness.ServerRun

    def start(self) -> None:
        if self.camera:
            self.run = harness.ServerRun(self.args.server, [], self.sandbox, "Press Ctrl-C to quit.")
        else:
            self.run = harness.ServerRun(self.args.server, [], self.sandbox, "ready. Press Ctrl-C to quit.")
        if not self.run.wait_ready():
            raise SystemExit(f"server did not start:\n{self.run.tail()}")

    def learn(self) -> None:
        """Valid documents to start the bodies from, taken from the server itself."""
        def fetch(port, target):
            reply = harness.simple(port, "GET", target)
            try:
                return json.loads(reply.body) if reply.status == 200 else {}
            except ValueError:
                return {}
        if self.camera:
            self.configurations = {port: fetch(port, "/v1/getConfiguration") for port in self.ports}
            self.ctx.configuration = self.configurations[8080]
            self.ctx.mono_settings = fetch(8080, "/v1/getConvertControl?format=%22Mono8%22").get("value", {})
            self.ctx.color_settings = fetch(8081, "/v1/getConvertControl?format=%22BGR8%22").get("value", {})
            hot = bytes(c for i in range(256) for c in (i, i // 2, 0))
            body = (b"--b\r\nContent-Disposition: form-data; name=\"lut\"; filename=\"hot.lt1\"\r\n\r\n" + hot +
                    b"\r\n--b--\r\n")
            harness.simple(8080, "POST", "/v1/uploadLut", body, "multipart/form-data; boundary=b")
        else:
            self.ctx.lumra_configuration = fetch(8090, "/v1/getConfiguration")

    def settle(self) -> None:
        """Brings every device to a small, quiet state: the same before and after the run."""
        if self.camera:
            for port in self.ports:
                for method, target in [("POST", "/v1/stop"), ("POST", "/v1/autoExposureOff"),
                                       ("PUT", "/v1/defaultConfiguration"), ("POST", "/v1/record?imgCount=1"),
                                       ("GET", "/v1/images?start_index=0&format=%22Mono16%22&crop=" +
                                        urllib.parse.quote('{"x0":1,"y0":1,"x1":8,"y1":8}'))]:
                    harness.simple(port, method, target)
        else:
            harness.simple(8090, "POST", "/v1/switchOff")
            harness.simple(8090, "POST", "/v1/defaultConfiguration")

    def keep_short(self, port: int) -> None:
        """Puts the camera's starting configuration (short exposure, free-running) back, which hostile
        inputs may have moved, and records two images, so that the image routes find some more often."""
        harness.simple(port, "POST", "/v1/autoExposureOff")
        harness.simple(port, "PUT", "/v1/setConfiguration", json.dumps(self.configurations[port]).encode(),
                       "application/json")
        harness.simple(port, "POST", "/v1/stop")
        harness.simple(port, "POST", "/v1/record?imgCount=2")

    def check(self, number: int, key: str, raw: bytes, expectation: Expectation, reply: harness.Reply,
              port: int) -> None:
        stats = self.stats[key]
        stats.count += 1
        stats.statuses[reply.status if reply.status is not None else "none"] += 1
        if reply.seconds > stats.slowest:
            stats.slowest, stats.slowest_request = reply.seconds, raw[:300]
        where = f"request {number} ({key} on port {port}): {raw[:300]!r}"
        failures_before = len(self.findings.hangs) + len(self.findings.violations)
        self.judge(key, raw, expectation, reply, where)
        if len(self.findings.hangs) + len(self.findings.violations) > failures_before:
            (self.sandbox.logs / f"request-{number}.bin").write_bytes(raw)  # the whole request, for a replay

    def judge(self, key: str, raw: bytes, expectation: Expectation, reply: harness.Reply, where: str) -> None:
        if reply.timed_out:
            self.findings.hangs.append(f"no answer within {harness.ANSWER_LIMIT_S:.0f} s to {where}")
            return
        if reply.status is None:
            if not expectation.may_drop:
                self.findings.violation("connection closed without an answer", where)
            return
        if reply.status not in expectation.allowed | LIBRARY_STATUSES:
            self.findings.violation(f"status {reply.status} not allowed for {key}",
                                   f"allowed {sorted(expectation.allowed)}, {where}; body {reply.body[:200]!r}")
            return
        if self.camera and reply.status == 503 and not expectation.head:
            try:
                error = json.loads(reply.body)
                assert isinstance(error["code"], int) and isinstance(error["where"], str)
            except (ValueError, KeyError, TypeError, AssertionError):
                self.findings.violation("503 without an error reply", f"{where}: {reply.body[:200]!r}")
        if key == "POST /v1/uploadLut" and reply.status == 200:
            self.check_saved(reply, where)

    def check_saved(self, reply: harness.Reply, where: str) -> None:
        try:
            saved = json.loads(reply.body)["saved"]
        except (ValueError, KeyError, TypeError):
            self.findings.violation("upload answered without a saved name", where)
            return
        if not isinstance(saved, str) or not (self.sandbox.work / "lut" / saved).is_file():
            self.findings.violation("upload answered a saved name that is not a stored file", f"{saved!r}, {where}")

    def fuzz(self) -> None:
        for number in range(self.args.count):
            route = self.rng.choice(self.route_table)
            port = self.rng.choice(self.ports)
            self.ctx.port = port
            raw, expectation, key = build_request(self.rng, self.ctx, route)
            reply = harness.exchange(port, raw, head_request=expectation.head, half_close=expectation.half_close)
            if reply.status is None and not expectation.may_drop:
                self.run.wait_exit(0.5)  # a dying process closes its sockets before it can be reaped
            if self.run.alive():
                self.check(number, key, raw, expectation, reply, port)
            if reply.timed_out and self.args.keep_going:
                self.run.kill()  # a stuck worker may hold the camera: start afresh
                self.start()
                continue
            if not self.run.alive():
                self.stats[key].count += 1
                self.stats[key].statuses["crash"] += 1
                self.findings.crashes.append(f"server {self.run.exit_description()} after request {number} "
                                             f"({key} on port {port}): {raw[:300]!r}\n{self.run.tail()}")
                if not self.args.keep_going:
                    return
                self.start()
            if self.findings.failed() and not self.args.keep_going:
                return
            if self.camera and number % 25 == 24:
                for p in self.ports:
                    self.keep_short(p)
            if number % 500 == 499:
                print(f"  {number + 1} requests sent", flush=True)

    def resources(self) -> tuple[int, int]:
        return self.run.resident_kib(), self.run.descriptors()

    def wait_for_descriptors(self, limit: int, timeout_s: float = 12.0) -> int:
        deadline = time.monotonic() + timeout_s
        fds = self.run.descriptors()
        while fds > limit and time.monotonic() < deadline:
            time.sleep(0.25)
            fds = self.run.descriptors()
        return fds

    def main(self) -> int:
        print(f"{self.args.target} HTTP fuzzing: seed {self.args.seed}, {self.args.count} requests "
              f"(replay: --seed {self.args.seed} --count {self.args.count})", flush=True)
        self.start()
        try:
            self.learn()
            self.settle()
            time.sleep(0.5)
            rss_before, fds_before = self.resources()
            files_before = self.sandbox.snapshot()
            started = time.monotonic()
            self.fuzz()
            elapsed = time.monotonic() - started
            if self.run.alive():
                self.settle()
                fds_after = self.wait_for_descriptors(fds_before + DESCRIPTOR_SLACK)
                rss_after = self.run.resident_kib()
                print(f"resident memory {rss_before} -> {rss_after} KiB, descriptors {fds_before} -> {fds_after}")
                slack = SANITIZED_MEMORY_SLACK_KIB if self.run.sanitized() else MEMORY_SLACK_KIB
                if rss_after > rss_before + slack:
                    self.findings.violation("resident memory grew", f"from {rss_before} to {rss_after} KiB")
                if fds_after > fds_before + DESCRIPTOR_SLACK:
                    self.findings.violation("descriptors grew", f"from {fds_before} to {fds_after}")
                self.check_files(files_before)
                self.check_stop()
            self.report(elapsed)
        finally:
            if hasattr(self, "run"):
                self.run.kill()
        if self.findings.failed():
            print(f"FAILED - replay with --seed {self.args.seed} --count {self.args.count}; "
                  f"sandbox kept in {self.sandbox.base}")
            return 1
        self.sandbox.remove()
        return 0

    def check_files(self, before: set[str]) -> None:
        # A file recording without a path writes "image…" files into the working directory itself.
        allowed = ("work/lut/", "work/rec/", "tmp/qor_vram/", "tmp/qor_vram", "work/lut", "locks/", "logs/",
                   "work/image")
        created = sorted(p for p in self.sandbox.snapshot() - before if not p.startswith(allowed))
        if created:
            self.findings.violation("files created outside ./lut and the recording folder", str(created[:20]))

    def check_stop(self) -> None:
        self.run.interrupt(signal.SIGINT)
        status = self.run.wait_exit(10)
        if status is None:
            self.findings.violation("no exit within 10 s of SIGINT", self.run.tail())
        elif status != 0:
            self.findings.violation(f"SIGINT gave {self.run.exit_description()}", self.run.tail())

    def report(self, elapsed: float) -> None:
        print_table(self.stats, self.findings, elapsed)


def print_table(stats: dict[str, RouteStats], findings: Findings, elapsed: float) -> None:
    total = sum(s.count for s in stats.values())
    print(f"\n{'route':44} {'requests':>8} {'slowest s':>9}  statuses")
    for key in sorted(stats):
        s = stats[key]
        seen = " ".join(f"{code}:{n}" for code, n in sorted(s.statuses.items(), key=lambda item: str(item[0])))
        print(f"{key:44} {s.count:8} {s.slowest:9.3f}  {seen}")
    slowest = max(stats.items(), key=lambda item: item[1].slowest, default=("-", RouteStats()))
    print(f"\n{total} requests in {elapsed:.1f} s; slowest answer {slowest[1].slowest:.3f} s ({slowest[0]}); "
          f"crashes {len(findings.crashes)}, hangs {len(findings.hangs)}, other faults {len(findings.violations)}")
    print(f"slowest request: {slowest[1].slowest_request!r}")
    for kind, n in findings.kinds.most_common():
        print(f"  {n:6}  {kind}")
    for kind, items in (("CRASH", findings.crashes), ("HANG", findings.hangs), ("FAULT", findings.violations)):
        for item in items[:20]:
            print(f"{kind}: {item}")


def parse_arguments(argv: list[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--server", required=True, help="the executable (camera server or light-source harness)")
    parser.add_argument("--target", choices=["camera", "lumra"], default="camera")
    parser.add_argument("--count", type=int, default=2000)
    parser.add_argument("--seed", type=int, default=None, help="random when absent; printed for replay")
    parser.add_argument("--luts", help="folder with sample look-up tables")
    parser.add_argument("--keep-going", action="store_true", help="restart after a crash and go on (campaigns)")
    args = parser.parse_args(argv)
    if args.seed is None:
        args.seed = int(os.environ.get("QOR_FUZZ_SEED") or random.SystemRandom().randrange(1 << 31))
    return args


if __name__ == "__main__":
    sys.exit(Fuzzer(parse_arguments(sys.argv[1:])).main())
