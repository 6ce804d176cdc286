"""The HTTP transport shared by cameras and light sources: one keep-alive connection per object."""

from __future__ import annotations

import http.client
import json
import math
import socket
import threading
import urllib.parse
from dataclasses import dataclass, field
from typing import Any, Callable, Mapping

from .errors import ConnectionError, raise_for_status


@dataclass
class Exchange:
    """One completed request and its answer, as seen on the wire."""

    server_kind: str  # "camera" or "lumra"
    method: str
    path: str
    query: dict[str, str]
    request_body: bytes
    status: int
    headers: dict[str, str]
    body: bytes


#: Called after every completed request with its exchange (used by tests to check replies).
exchange_observers: list[Callable[[Exchange], None]] = []


@dataclass
class Response:
    """The answer of one request: status, lower-cased headers and the body."""

    status: int
    headers: dict[str, str] = field(default_factory=dict)
    body: bytes = b""

    def json(self) -> Any:
        """The body parsed as JSON; raises ValueError on an empty or malformed body."""
        return json.loads(self.body)


# Failures that show the server closed a kept-alive connection while it was idle.
_DROPPED = (http.client.RemoteDisconnected, BrokenPipeError, ConnectionResetError, ConnectionAbortedError)


class Transport:
    """A persistent HTTP/1.1 connection to one server; thread-safe, one request at a time."""

    def __init__(self, host: str, port: int, timeout: float | None, server_kind: str) -> None:
        self.host = host
        self.port = port
        self.timeout = timeout
        self.server_kind = server_kind
        self._lock = threading.Lock()
        self._conn: http.client.HTTPConnection | None = None
        self._used = False  # whether the current connection has already carried a request

    def close(self) -> None:
        """Closes the connection; the next request opens a new one."""
        with self._lock:
            self._drop()

    def request(
        self,
        method: str,
        path: str,
        params: Mapping[str, str] | None = None,
        body: bytes = b"",
        content_type: str | None = None,
        timeout: float | None = math.nan,
        check: bool = True,
    ) -> Response:
        """Sends one request and returns its answer.

        `timeout` overrides the object's time-out for this request (None waits without limit).
        Raises ConnectionError when the server cannot be reached and, when `check` is set, the
        error class of a failure status (see errors.raise_for_status).
        """
        query = dict(params or {})
        target = path + ("?" + urllib.parse.urlencode(query, quote_via=urllib.parse.quote) if query else "")
        headers = {"Content-Type": content_type} if content_type else {}
        if method in ("POST", "PUT") or body:
            headers["Content-Length"] = str(len(body))
        effective = self.timeout if isinstance(timeout, float) and math.isnan(timeout) else timeout
        with self._lock:
            response = self._send(method, target, body, headers, effective)
        exchange = Exchange(
            self.server_kind, method, path, query, body, response.status, response.headers, response.body
        )
        for observer in list(exchange_observers):
            observer(exchange)
        if check:
            raise_for_status(self.server_kind, method, path, response.status, response.body)
        return response

    def _send(
        self, method: str, target: str, body: bytes, headers: dict[str, str], timeout: float | None
    ) -> Response:
        # A kept-alive connection that the server closed while idle fails on first use; the request
        # never reached a handler then, so it is sent once more on a fresh connection.
        for attempt in range(2):
            reused = self._conn is not None and self._used
            try:
                conn = self._connection()
                conn.timeout = timeout
                if conn.sock is not None:
                    conn.sock.settimeout(timeout)
                conn.request(method, target, body=body, headers=headers)
                self._used = True
                reply = conn.getresponse()
                data = reply.read()
                if reply.will_close:
                    self._drop()
                return Response(reply.status, {k.lower(): v for k, v in reply.getheaders()}, data)
            except _DROPPED as error:
                self._drop()
                if reused and attempt == 0:
                    continue
                raise ConnectionError(self.host, self.port, f"connection closed by the server ({error})") from error
            except socket.timeout as error:
                self._drop()
                raise ConnectionError(self.host, self.port, "no answer within the time-out") from error
            except (OSError, http.client.HTTPException) as error:
                self._drop()
                raise ConnectionError(self.host, self.port, str(error) or type(error).__name__) from error
        raise AssertionError("unreachable")

    def _connection(self) -> http.client.HTTPConnection:
        if self._conn is None:
            self._conn = http.client.HTTPConnection(self.host, self.port, timeout=self.timeout)
            self._conn.connect()
            # Small requests must not wait for delayed acknowledgements.
            if self._conn.sock is not None:
                self._conn.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            self._used = False
        return self._conn

    def _drop(self) -> None:
        if self._conn is not None:
            self._conn.close()
        self._conn = None
        self._used = False
