"""Runs the real camera server (or the light-source harness) for the Python end-to-end and browser
tests: a private working directory, the simulator's lock folder, captured output, a bounded start
and a SIGINT stop. Run inside a private network namespace (tests/support/netns_run.sh)."""

from __future__ import annotations

import http.client
import json
import os
import shutil
import signal
import subprocess
import tempfile
import time
from dataclasses import dataclass, field
from typing import Optional


@dataclass
class Reply:
    status: int
    headers: dict[str, str]
    header_list: list[tuple[str, str]]
    body: bytes


@dataclass
class ServerProcess:
    """One server process; `ready` names the console line that ends its start-up."""

    executable: str
    args: list[str] = field(default_factory=list)
    ready: str = "Press Ctrl-C to quit."
    devices: Optional[str] = None
    process: Optional[subprocess.Popen] = None
    directory: str = ""

    def start(self, timeout_s: float = 15.0) -> "ServerProcess":
        self.directory = tempfile.mkdtemp(prefix="qor-py-")
        env = dict(os.environ)
        env["HOME"] = self.directory
        env["QOR_SIM_LOCK_DIR"] = os.path.join(self.directory, "locks")
        if self.devices is not None:
            env["QOR_SIM_DEVICES"] = self.devices
        self.stdout_path = os.path.join(self.directory, "stdout.txt")
        with open(self.stdout_path, "wb") as out:
            self.process = subprocess.Popen([self.executable, *self.args], cwd=self.directory, env=env,
                                            stdout=out, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + timeout_s
        while time.monotonic() < deadline:
            if self.ready in self.output():
                return self
            if self.process.poll() is not None:
                break
            time.sleep(0.05)
        raise RuntimeError("server did not start:\n" + self.output())

    def output(self) -> str:
        with open(self.stdout_path, "rb") as f:
            return f.read().decode(errors="replace")

    def interrupt(self, timeout_s: float = 15.0) -> Optional[int]:
        """Sends SIGINT and waits for the exit; None when the process did not end in time."""
        if self.process is None or self.process.poll() is not None:
            return None if self.process is None else self.process.returncode
        self.process.send_signal(signal.SIGINT)
        try:
            return self.process.wait(timeout=timeout_s)
        except subprocess.TimeoutExpired:
            return None

    def close(self) -> None:
        if self.process is not None and self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        if self.directory:
            shutil.rmtree(self.directory, ignore_errors=True)


def request(port: int, method: str, path: str, params: Optional[dict] = None,
            headers: Optional[dict] = None, body: Optional[bytes] = None, timeout_s: float = 30.0) -> Reply:
    """One HTTP request on loopback; parameter values are sent as given (JSON text)."""
    from urllib.parse import urlencode
    target = path + ("?" + urlencode(params) if params else "")
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout_s)
    try:
        conn.request(method, target, body=body, headers=headers or {})
        res = conn.getresponse()
        data = res.read()
        header_list = [(k, v) for k, v in res.getheaders()]
        return Reply(res.status, {k.lower(): v for k, v in header_list}, header_list, data)
    finally:
        conn.close()


def json_text(value) -> str:
    return json.dumps(value, separators=(",", ":"))
