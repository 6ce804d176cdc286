#!/usr/bin/python3
"""Bounded fuzzer for the discovery port 50000 of the camera server.

Sends `--count` datagrams built from `--seed`: random bytes, empty and oversized datagrams, JSON that
is not an object, requests with keys of the wrong kind. After every batch a valid request must be
answered within 1 s with the list of both camera servers, and the process must still run.
"""
from __future__ import annotations

import argparse
import json
import os
import random
import socket
import sys
import time
from collections import Counter
from pathlib import Path

sys.dont_write_bytecode = True  # no caches in the source tree
sys.path.insert(0, str(Path(__file__).resolve().parent))

import harness  # noqa: E402
from values import dumps, hostile, nested  # noqa: E402

BATCH = 50
WRONG_KINDS: list[object] = [None, True, 0, -1, 1e308, [], {}, ["discover"], {"a": 1}, "", "DISCOVER",
                             "discover\u0000x", "x" * 600, "camera", "lumra", "Camera"]


def datagram(rng: random.Random) -> tuple[str, bytes]:
    """A kind label for the summary and the payload."""
    roll = rng.random()
    if roll < 0.15:
        return "random bytes", rng.randbytes(rng.randint(1, 1500))
    if roll < 0.2:
        return "empty", b""
    if roll < 0.25:
        return "huge", rng.randbytes(rng.choice([512, 4096, 65507]))
    if roll < 0.4:
        return "not an object", rng.choice([b"[]", b"null", b"1", b'"discover"', b"true", b"[{}]",
                                            b'[{"action":"discover","type":"camera"}]', nested(rng, 200)])
    if roll < 0.55:
        return "malformed JSON", hostile(rng, max_length=700, deep=700)
    request: dict[str, object] = {"action": "discover", "type": "camera"}
    if roll < 0.8:
        request[rng.choice(["action", "type"])] = rng.choice(WRONG_KINDS)
        kind = "wrong types"
    elif roll < 0.9:
        del request[rng.choice(["action", "type"])]
        kind = "missing key"
    else:
        request["extra"] = rng.choice(WRONG_KINDS)
        request[rng.choice(["pad", "x"])] = "p" * rng.randint(0, 600)  # around the 511-byte read limit
        kind = "padded"
    payload = dumps(request)
    if rng.random() < 0.1:
        payload += b"\x00" + rng.randbytes(20)  # read up to the first NUL
    return kind, payload


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--server", required=True)
    parser.add_argument("--count", type=int, default=2000)
    parser.add_argument("--seed", type=int, default=None)
    args = parser.parse_args()
    seed = args.seed if args.seed is not None else int(os.environ.get("QOR_FUZZ_SEED") or
                                                        random.SystemRandom().randrange(1 << 31))
    print(f"UDP discovery fuzzing: seed {seed}, {args.count} datagrams (replay: --seed {seed} --count {args.count})",
          flush=True)
    rng = random.Random(seed)
    sandbox = harness.Sandbox()
    run = harness.ServerRun(args.server, [], sandbox, "Press Ctrl-C to quit.")
    failures: list[str] = []
    kinds: Counter = Counter()
    replies = 0
    slowest_check = 0.0
    started = time.monotonic()
    try:
        if not run.wait_ready():
            print(f"server did not start:\n{run.tail()}")
            return 1
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
            sock.setblocking(False)
            for number in range(args.count):
                kind, payload = datagram(rng)
                kinds[kind] += 1
                try:
                    sock.sendto(payload, ("127.0.0.1", 50000))
                except OSError:
                    pass  # larger than the socket allows: nothing was sent
                try:
                    while sock.recv(65536):
                        replies += 1
                except (BlockingIOError, OSError):
                    pass
                if number % BATCH == BATCH - 1 or number == args.count - 1:
                    # A burst can fill the responder's receive queue, where the kernel drops further
                    # datagrams; the queue drains within milliseconds, so the check waits for that first.
                    time.sleep(0.05)
                    check_start = time.monotonic()
                    reply = harness.discover("camera", timeout_s=1.0)
                    slowest_check = max(slowest_check, time.monotonic() - check_start)
                    if not run.alive():
                        failures.append(f"server {run.exit_description()} after datagram {number}: {payload[:200]!r}")
                        break
                    if reply is None:
                        failures.append(f"no answer to a valid request after datagram {number}: {payload[:200]!r}")
                        break
                    entries = json.loads(reply)
                    if sorted(e["port"] for e in entries) != [8080, 8081]:
                        failures.append(f"wrong discovery reply after datagram {number}: {reply[:300]!r}")
                        break
        run.interrupt()
        status = run.wait_exit(10)
        if status != 0:
            failures.append(f"SIGINT gave {run.exit_description()}")
    finally:
        run.kill()
    print(f"\n{'datagram kind':20} {'sent':>7}")
    for kind, n in sorted(kinds.items()):
        print(f"{kind:20} {n:7}")
    print(f"\n{sum(kinds.values())} datagrams in {time.monotonic() - started:.1f} s; replies to fuzzed datagrams "
          f"{replies}; slowest valid request {slowest_check * 1000:.1f} ms; crashes "
          f"{sum('server' in f for f in failures)}, hangs {sum('no answer' in f for f in failures)}")
    for failure in failures:
        print(f"FAULT: {failure}")
    if failures:
        print(f"FAILED - replay with --seed {seed} --count {args.count}")
        return 1
    sandbox.remove()
    return 0


if __name__ == "__main__":
    sys.exit(main())
