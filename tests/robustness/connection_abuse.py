#!/usr/bin/python3
"""Idle and slow clients must not delay a heartbeat, nor the stop on SIGINT.

Opens 200 idle keep-alive connections (half of them after one answered request, half without
sending anything) and 50 slow clients that trickle their request headers a byte at a time, all to
port 8080. While they are open, a new client's heartbeat must be answered within 1 s, several times
over a few seconds; then SIGINT must end the process with status 0 within 3 s.
"""
from __future__ import annotations

import argparse
import socket
import sys
import threading
import time
from pathlib import Path

sys.dont_write_bytecode = True  # no caches in the source tree
sys.path.insert(0, str(Path(__file__).resolve().parent))

import harness  # noqa: E402

IDLE = 200
SLOW = 50
HEARTBEAT_LIMIT_S = 1.0
STOP_LIMIT_S = 3.0
SLOW_REQUEST = b"POST /v1/heartbeat HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + b"s" * 400 + b"\r\n\r\n"


def open_idle(count: int) -> list[socket.socket]:
    sockets = []
    for i in range(count):
        sock = socket.create_connection(("127.0.0.1", 8080), timeout=5)
        if i % 2 == 0:
            sock.sendall(b"GET /v1/info HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
            sock.recv(4096)  # answered; the connection stays open for the next request
        sockets.append(sock)
    return sockets


def trickle(stop: threading.Event, sockets: list[socket.socket]) -> None:
    """Sends the next header byte on every slow connection every 100 ms until stopped."""
    position = 0
    while not stop.is_set() and position < len(SLOW_REQUEST):
        for sock in sockets:
            try:
                sock.send(SLOW_REQUEST[position:position + 1])
            except OSError:
                pass  # dropped by the server: that is allowed
        position += 1
        stop.wait(0.1)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--server", required=True)
    args = parser.parse_args()
    sandbox = harness.Sandbox()
    run = harness.ServerRun(args.server, [], sandbox, "Press Ctrl-C to quit.")
    failures: list[str] = []
    stop = threading.Event()
    idle: list[socket.socket] = []
    slow: list[socket.socket] = []
    try:
        if not run.wait_ready():
            print(f"server did not start:\n{run.tail()}")
            return 1
        idle = open_idle(IDLE)
        slow = [socket.create_connection(("127.0.0.1", 8080), timeout=5) for _ in range(SLOW)]
        trickler = threading.Thread(target=trickle, args=(stop, slow))
        trickler.start()
        print(f"{len(idle)} idle and {len(slow)} slow connections open")
        for attempt in range(8):
            time.sleep(0.5)
            reply = harness.simple(8080, "POST", "/v1/heartbeat", limit_s=5)
            print(f"heartbeat {attempt + 1}: status {reply.status} in {reply.seconds * 1000:.0f} ms")
            if reply.status != 200 or reply.seconds > HEARTBEAT_LIMIT_S:
                failures.append(f"heartbeat {attempt + 1} answered {reply.status} after {reply.seconds:.2f} s")
        started = time.monotonic()
        run.interrupt()
        status = run.wait_exit(10)
        took = time.monotonic() - started
        print(f"SIGINT: {run.exit_description()} after {took:.2f} s")
        if status != 0 or took > STOP_LIMIT_S:
            failures.append(f"SIGINT with open connections: {run.exit_description()} after {took:.2f} s\n{run.tail()}")
    finally:
        stop.set()
        for sock in idle + slow:
            sock.close()
        run.kill()
    for failure in failures:
        print(f"FAULT: {failure}")
    if failures:
        return 1
    sandbox.remove()
    return 0


if __name__ == "__main__":
    sys.exit(main())
