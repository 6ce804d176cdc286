"""Runs a server executable in a private sandbox and talks raw HTTP/1.1 and UDP to it.

The sandbox is one temporary folder holding the server's working directory, its temporary directory,
its home, the simulator's lock directory and its console output, so that every file the server
creates can be found afterwards.
"""
from __future__ import annotations

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Sequence

ANSWER_LIMIT_S = 10.0


class Sandbox:
    """A temporary folder tree for one server process: work/, tmp/, home/, locks/, logs/."""

    def __init__(self, prefix: str = "qor-robust-") -> None:
        self.base = Path(tempfile.mkdtemp(prefix=prefix))
        self.work = self.base / "work"
        self.tmp = self.base / "tmp"
        self.home = self.base / "home"
        self.locks = self.base / "locks"
        self.logs = self.base / "logs"
        for d in (self.work, self.tmp, self.home, self.locks, self.logs):
            d.mkdir()
        # Paths that are not regular files, offered to the routes as look-up tables.
        self.fifo = self.base / "fifo.lt1"
        os.mkfifo(self.fifo)
        self.directory = self.base / "folder.lt1"
        self.directory.mkdir()

    def snapshot(self) -> set[str]:
        """Every path under the sandbox, relative to it."""
        found = set()
        for root, dirs, files in os.walk(self.base):
            rel = os.path.relpath(root, self.base)
            for name in dirs + files:
                found.add(os.path.normpath(os.path.join(rel, name)))
        return found

    def remove(self) -> None:
        shutil.rmtree(self.base, ignore_errors=True)


class ServerRun:
    """One run of a server executable inside a sandbox."""

    def __init__(self, executable: str, args: list[str], sandbox: Sandbox, ready_text: str,
                 env: dict[str, str] | None = None) -> None:
        self.sandbox = sandbox
        self.ready_text = ready_text
        environment = {k: v for k, v in os.environ.items() if k not in ("QOR_SIM_DEVICES",)}
        environment.update(QOR_SIM_LOCK_DIR=str(sandbox.locks), TMPDIR=str(sandbox.tmp), HOME=str(sandbox.home))
        # Under AddressSanitizer freed memory waits in a quarantine of 256 MiB before it is returned;
        # a small one keeps the resident size meaningful for the memory check (other builds ignore it).
        asan = environment.get("ASAN_OPTIONS", "")
        small_cache = "quarantine_size_mb=16:allocator_release_to_os_interval_ms=500"
        environment["ASAN_OPTIONS"] = (asan + ":" if asan else "") + small_cache
        environment.update(env or {})
        self.out_path = sandbox.logs / "stdout.txt"
        self.err_path = sandbox.logs / "stderr.txt"
        with open(self.out_path, "wb") as out, open(self.err_path, "wb") as err:
            self.process = subprocess.Popen([os.path.abspath(executable), *args], cwd=sandbox.work, env=environment,
                                            stdout=out, stderr=err, stdin=subprocess.DEVNULL,
                                            start_new_session=True)

    def wait_ready(self, timeout_s: float = 15.0) -> bool:
        deadline = time.monotonic() + timeout_s
        while time.monotonic() < deadline:
            if self.ready_text in self.stdout():
                return True
            if self.process.poll() is not None:
                return False
            time.sleep(0.05)
        return False

    def alive(self) -> bool:
        return self.process.poll() is None

    def exit_description(self) -> str:
        code = self.process.poll()
        if code is None:
            return "running"
        if code < 0:
            return f"killed by {signal.Signals(-code).name}"
        return f"exit status {code}"

    def stdout(self) -> str:
        return self.out_path.read_text(errors="replace")

    def stderr(self) -> str:
        return self.err_path.read_text(errors="replace")

    def resident_kib(self) -> int:
        for line in Path(f"/proc/{self.process.pid}/status").read_text().splitlines():
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
        return 0

    def sanitized(self) -> bool:
        """Whether the process runs with a sanitizer runtime, whose allocator keeps more memory."""
        maps = Path(f"/proc/{self.process.pid}/maps").read_text()
        return "libasan" in maps or "libtsan" in maps

    def descriptors(self) -> int:
        return len(os.listdir(f"/proc/{self.process.pid}/fd"))

    def interrupt(self, sig: int = signal.SIGINT) -> None:
        if self.alive():
            self.process.send_signal(sig)

    def wait_exit(self, timeout_s: float) -> int | None:
        try:
            return self.process.wait(timeout=timeout_s)
        except subprocess.TimeoutExpired:
            return None

    def kill(self) -> None:
        if self.alive():
            self.process.kill()
            self.process.wait()

    def tail(self, lines: int = 15) -> str:
        text = (self.stdout() + "\n--- stderr ---\n" + self.stderr()).splitlines()
        return "\n".join(text[-lines:])


@dataclass
class Reply:
    """What came back for one request: status None when the connection closed without an answer."""
    status: int | None
    headers: dict[str, str] = field(default_factory=dict)
    body: bytes = b""
    seconds: float = 0.0
    timed_out: bool = False


class _Reader:
    def __init__(self, sock: socket.socket, deadline: float) -> None:
        self.sock = sock
        self.deadline = deadline
        self.buffer = b""

    def _fill(self) -> bool:
        remaining = self.deadline - time.monotonic()
        if remaining <= 0:
            raise TimeoutError
        self.sock.settimeout(remaining)
        chunk = self.sock.recv(1 << 20)
        if not chunk:
            return False
        self.buffer += chunk
        return True

    def until(self, marker: bytes) -> bytes | None:
        while marker not in self.buffer:
            if not self._fill():
                return None
        head, _, self.buffer = self.buffer.partition(marker)
        return head

    def exactly(self, n: int) -> bytes | None:
        while len(self.buffer) < n:
            if not self._fill():
                return None
        data, self.buffer = self.buffer[:n], self.buffer[n:]
        return data

    def rest(self) -> bytes:
        while self._fill():
            pass
        data, self.buffer = self.buffer, b""
        return data


def _read_reply(reader: _Reader, head_request: bool) -> Reply:
    head = reader.until(b"\r\n\r\n")
    if head is None:
        return Reply(status=None)
    lines = head.decode("latin-1").split("\r\n")
    parts = lines[0].split(" ", 2)
    status = int(parts[1])
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers[name.strip().lower()] = value.strip()
    body = b""
    if head_request or status in (204, 304) or 100 <= status < 200:
        pass
    elif headers.get("transfer-encoding", "").lower() == "chunked":
        while True:
            size_line = reader.until(b"\r\n")
            if size_line is None:
                break
            size = int(size_line.split(b";")[0], 16)
            if size == 0:
                reader.until(b"\r\n")
                break
            body += reader.exactly(size) or b""
            reader.exactly(2)
    elif "content-length" in headers:
        body = reader.exactly(int(headers["content-length"])) or b""
    elif headers.get("connection", "").lower() == "close":
        body = reader.rest()
    return Reply(status=status, headers=headers, body=body)


def exchange(port: int, data: bytes, head_request: bool = False, half_close: bool = False,
             limit_s: float = ANSWER_LIMIT_S, host: str = "127.0.0.1") -> Reply:
    """Sends raw request bytes on a new connection and reads one answer within `limit_s`."""
    start = time.monotonic()
    deadline = start + limit_s
    try:
        with socket.create_connection((host, port), timeout=limit_s) as sock:
            try:
                sock.sendall(data)
                if half_close:
                    sock.shutdown(socket.SHUT_WR)
            except OSError:
                pass  # the server may refuse a request before reading all of it; its answer still counts
            reply = _read_reply(_Reader(sock, deadline), head_request)
    except TimeoutError:
        return Reply(status=None, seconds=time.monotonic() - start, timed_out=True)
    except (ConnectionResetError, ConnectionRefusedError, BrokenPipeError, ConnectionAbortedError):
        reply = Reply(status=None)
    reply.seconds = time.monotonic() - start
    return reply


def request_bytes(method: str, target: str, headers: Sequence[tuple[str, str | bytes]] = (), body: bytes = b"",
                  content_length: int | None = None) -> bytes:
    """An HTTP/1.1 request; `content_length` None sends the body's true length (none for an empty body)."""
    lines = [f"{method} {target} HTTP/1.1".encode("latin-1"), b"Host: 127.0.0.1", b"Connection: close"]
    for name, value in headers:
        lines.append(name.encode("latin-1") + b": " + (value if isinstance(value, bytes) else value.encode("latin-1")))
    if content_length is None and body:
        content_length = len(body)
    if content_length is not None:
        lines.append(b"Content-Length: " + str(content_length).encode())
    return b"\r\n".join(lines) + b"\r\n\r\n" + body


def simple(port: int, method: str, target: str, body: bytes = b"", content_type: str | None = None,
           limit_s: float = ANSWER_LIMIT_S) -> Reply:
    headers: list[tuple[str, str | bytes]] = [("Content-Type", content_type)] if content_type else []
    return exchange(port, request_bytes(method, target, headers, body), head_request=method == "HEAD",
                    limit_s=limit_s)


def discover(kind: str = "camera", port: int = 50000, timeout_s: float = 1.0) -> bytes | None:
    """One discovery request; the reply's payload, or None when none came within `timeout_s`."""
    return udp_request(b'{"action":"discover","type":"' + kind.encode() + b'"}', port, timeout_s)


def udp_request(payload: bytes, port: int = 50000, timeout_s: float = 1.0) -> bytes | None:
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        sock.settimeout(timeout_s)
        sock.sendto(payload, ("127.0.0.1", port))
        try:
            return sock.recv(65536)
        except TimeoutError:
            return None
