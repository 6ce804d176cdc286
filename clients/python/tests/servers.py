"""Starting the real server executables for the end-to-end tests."""

from __future__ import annotations

import os
import shutil
import signal
import subprocess
import tempfile
import time
from pathlib import Path
from typing import Sequence

REPO = Path(__file__).resolve().parents[3]
SOURCE = REPO / "clients" / "python" / "src"
READY = "Press Ctrl-C"


def executable(variable: str, fallback: str) -> str:
    """The executable named by an environment variable (set by ctest), else the one in build/."""
    path = os.environ.get(variable) or str(REPO / "build" / fallback)
    if not os.access(path, os.X_OK):
        raise RuntimeError(f"no executable at {path}: build it or set {variable}")
    return path


def camera_server() -> str:
    return executable("QORCAM_SERVER", "app/qor-camera-server")


def lumra_server() -> str:
    return executable("QORCAM_LUMRA_SERVER", "tests/qor-lumra-test-server")


class ServerProcess:
    """A server running in a temporary working directory with its own simulator lock directory;
    `prefix` runs it through another command (for example `ip netns exec NAME`)."""

    def __init__(
        self,
        path: str,
        args: Sequence[str] = (),
        devices: str | None = None,
        prefix: Sequence[str] = (),
    ) -> None:
        self.dir = Path(tempfile.mkdtemp(prefix="qorcam-test-"))
        (self.dir / "locks").mkdir()
        env = {k: v for k, v in os.environ.items() if k not in ("QOR_SIM_DEVICES", "QOR_SIM_LOCK_DIR")}
        env["HOME"] = str(self.dir)  # the light-source class writes its log under it
        env["QOR_SIM_LOCK_DIR"] = str(self.dir / "locks")
        if devices is not None:
            (self.dir / "devices.json").write_text(devices)
            env["QOR_SIM_DEVICES"] = str(self.dir / "devices.json")
        self._out = open(self.dir / "stdout.txt", "wb")
        self._err = open(self.dir / "stderr.txt", "wb")
        self.proc = subprocess.Popen([*prefix, path, *args], cwd=self.dir, env=env, stdout=self._out, stderr=self._err)
        deadline = time.monotonic() + 30
        while READY not in self.stdout():
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError(f"{path} did not start:\n{self.stdout()}\n{self.stderr()}")
            time.sleep(0.05)

    def stdout(self) -> str:
        return (self.dir / "stdout.txt").read_text(errors="replace")

    def stderr(self) -> str:
        return (self.dir / "stderr.txt").read_text(errors="replace")

    def stop(self) -> None:
        """Stops the server with Ctrl-C (killing it after 15 s) and removes its directory."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
            try:
                self.proc.wait(15)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self._out.close()
        self._err.close()
        shutil.rmtree(self.dir, ignore_errors=True)
