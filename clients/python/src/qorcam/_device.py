"""What cameras and light sources share: the connection, the identity routes and the claim."""

from __future__ import annotations

import json
import math
from types import TracebackType
from typing import Any, Mapping, TypeVar

from ._http import Response, Transport
from .claim import Claim
from .discovery import ServerEntry, discover
from .errors import DeviceNotFoundError

_Self = TypeVar("_Self", bound="Device")


class Device:
    """A server of one device, reached over HTTP at host and port; a context manager that closes the
    connection at its end."""

    server_kind = ""

    def __init__(self, host: str, port: int, timeout: float | None = 30.0) -> None:
        self.host = host
        self.port = port
        self.timeout = timeout
        self._transport = Transport(host, port, timeout, self.server_kind)

    def __repr__(self) -> str:
        return f"{type(self).__name__}({self.host!r}, {self.port})"

    def __enter__(self: _Self) -> _Self:
        return self

    def __exit__(
        self, kind: type[BaseException] | None, value: BaseException | None, traceback: TracebackType | None
    ) -> None:
        self.close()

    def close(self) -> None:
        """Closes the connection; a later call opens a new one."""
        self._transport.close()

    @classmethod
    def find(
        cls: type[_Self],
        serial: int | None = None,
        name: str | None = None,
        timeout: float = 1.0,
        targets: list[str] | None = None,
    ) -> _Self:
        """The first server found by discovery whose serial and name match the given ones; raises
        DeviceNotFoundError when there is none."""
        for entry in discover(cls.server_kind, timeout=timeout, targets=targets):
            if (serial is None or entry.serial == serial) and (name is None or entry.name == name):
                return cls(entry.host, entry.port)
        wanted = ", ".join(f"{k} {v!r}" for k, v in (("serial", serial), ("name", name)) if v is not None)
        raise DeviceNotFoundError(f"no {cls.server_kind} server found" + (f" with {wanted}" if wanted else ""))

    # Identity and claim.

    def info(self) -> ServerEntry:
        """The server's discovery entry (`host` is this object's host when the server advertises 0.0.0.0)."""
        entry = self._get_json("/v1/info")
        ip = str(entry["ip"])
        return ServerEntry(
            type=str(entry["type"]),
            host=self.host if ip == "0.0.0.0" else ip,
            port=int(entry["port"]),
            name=str(entry["name"]),
            serial=int(entry["serial"]),
            free=bool(entry["free"]),
        )

    def heartbeat(self) -> None:
        """Claims the device once; the claim lapses 5 s later unless renewed."""
        self._post("/v1/heartbeat")

    def claim(self) -> Claim:
        """A context manager that keeps the device claimed while its block runs."""
        return Claim(self.host, self.port, self.server_kind)

    def set_free(self) -> None:
        """Frees the device at once; the server also reopens it, which restores its default settings."""
        self._post("/v1/setFree")

    release = set_free

    # The request helpers.

    def request(
        self,
        method: str,
        route: str,
        params: Mapping[str, str] | None = None,
        body: bytes = b"",
        content_type: str | None = None,
        timeout: float | None = math.nan,
    ) -> Response:
        """Sends one request as given (parameters are sent as they are, not as JSON) and returns the
        answer; raises the error class of a failure status."""
        return self._transport.request(method, route, params, body, content_type, timeout)

    def _get_json(self, route: str, params: Mapping[str, Any] | None = None) -> Any:
        return self._transport.request("GET", route, json_params(params)).json()

    def _post(self, route: str, params: Mapping[str, Any] | None = None, timeout: float | None = math.nan) -> Response:
        return self._transport.request("POST", route, json_params(params), timeout=timeout)

    def _send_json(self, method: str, route: str, document: Any) -> Response:
        return self._transport.request(method, route, body=json.dumps(document).encode(),
                                       content_type="application/json")


def json_params(params: Mapping[str, Any] | None) -> dict[str, str] | None:
    """Request parameters as the servers read them: JSON text, leaving out those that are None."""
    if params is None:
        return None
    return {name: json.dumps(value, separators=(",", ":")) for name, value in params.items() if value is not None}
