"""Claiming a server by heartbeats from a background thread."""

from __future__ import annotations

import threading
from types import TracebackType

from ._http import Transport
from .errors import QorError

#: Seconds between heartbeats; the servers free a device 5 s after the last one.
HEARTBEAT_PERIOD_S = 2.0


class Claim:
    """Keeps a server claimed while the `with` block runs: a heartbeat at once, then one every two
    seconds on a connection of its own (so that long waits on the device's connection do not delay
    it), and a last one when the block ends, so the claim lapses 5 to 6 s after the block."""

    def __init__(self, host: str, port: int, server_kind: str, period_s: float = HEARTBEAT_PERIOD_S) -> None:
        self._transport = Transport(host, port, 5.0, server_kind)
        self._period_s = period_s
        self._stop = threading.Event()
        self._thread: threading.Thread | None = None
        #: The last heartbeat failure of the background thread, if any (the thread keeps trying).
        self.last_error: QorError | None = None

    def __enter__(self) -> Claim:
        self._beat(raise_errors=True)
        self._stop.clear()
        self._thread = threading.Thread(target=self._run, name="qorcam-heartbeat", daemon=True)
        self._thread.start()
        return self

    def __exit__(
        self, kind: type[BaseException] | None, value: BaseException | None, traceback: TracebackType | None
    ) -> None:
        self._stop.set()
        if self._thread is not None:
            self._thread.join()
            self._thread = None
        self._beat(raise_errors=False)
        self._transport.close()

    def _run(self) -> None:
        while not self._stop.wait(self._period_s):
            self._beat(raise_errors=False)

    def _beat(self, raise_errors: bool) -> None:
        try:
            self._transport.request("POST", "/v1/heartbeat")
        except QorError as error:
            self.last_error = error
            if raise_errors:
                raise
