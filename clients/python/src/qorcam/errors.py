"""The error classes of the client and the one place where a failure status becomes an exception."""

from __future__ import annotations

import builtins
import json


class QorError(Exception):
    """Base class of every error this package raises."""


class ConnectionError(QorError, builtins.ConnectionError):
    """The server could not be reached or closed the connection; carries host and port."""

    def __init__(self, host: str, port: int, reason: str) -> None:
        super().__init__(f"cannot talk to {host}:{port}: {reason}")
        self.host = host
        self.port = port
        self.reason = reason


class DeviceError(QorError):
    """A device operation failed on the server (the device or its SDK refused it)."""

    def __init__(self, message: str, route: str) -> None:
        super().__init__(message)
        self.route = route


class CameraError(DeviceError):
    """A camera operation failed (status 503); `code` is the camera error code, `where` the operation."""

    def __init__(self, code: int, where: str, route: str) -> None:
        super().__init__(f"{route}: camera error {hex_code(code)} in {where}", route)
        self.code = code
        self.where = where


class LightSourceError(DeviceError):
    """A light-source operation failed; the light-source server reports no code."""


class RequestError(QorError):
    """The server refused the request itself; `status` is the HTTP status."""

    status = 0

    def __init__(self, message: str, route: str) -> None:
        super().__init__(message)
        self.route = route


class BadRequestError(RequestError):
    """Status 400: a required input is missing or unusable."""

    status = 400


class NotFoundError(RequestError):
    """Status 404: a look-up-table file or the route does not exist on the server."""

    status = 404


class ConflictError(RequestError):
    """Status 409: the camera is recording."""

    status = 409


class ServerError(RequestError):
    """Status 500: the server could not read the request (invalid JSON or a value of the wrong type)."""

    status = 500


def hex_code(code: int) -> str:
    """An error code as the SDK documents it: 0x followed by eight hex digits."""
    return f"0x{code & 0xFFFFFFFF:08X}"


# What the server expects, per status and route, where the generic text would not help.
_HINTS: dict[tuple[int, str], str] = {
    (400, "/v1/adaptWhiteBalance"): "nothing was recorded yet; record an image first",
    (400, "/v1/getImageFromImages"): (
        "the image series has no image at that index, or the crop or format differs from the ones used by images()"
    ),
    (400, "/v1/uploadLut"): "the upload must be a non-empty multipart file part named \"lut\"",
    (404, "/v1/loadLut"): "the look-up-table file does not exist on the server; upload it first",
    (404, "/v1/setConvertControl"): (
        "the pseudo-colour look-up-table file does not exist on the server; upload it first"
    ),
    (409, "/v1/record"): "the camera is recording; stop it first",
}

_GENERIC: dict[int, str] = {
    400: "a required parameter or key is missing",
    404: "the server has no such route",
    409: "the camera is recording; stop it first",
    500: "the server could not read the request (invalid JSON, a missing key or a value of the wrong type)",
}

_CLASSES: dict[int, type[RequestError]] = {
    400: BadRequestError,
    404: NotFoundError,
    409: ConflictError,
    500: ServerError,
}

# Light-source routes whose 500 means that the device refused, not that the request was malformed.
_LUMRA_DEVICE_500 = {"/v1/switchOn", "/v1/switchOff", "/v1/setFree"}


def raise_for_status(server_kind: str, method: str, route: str, status: int, body: bytes) -> None:
    """Raises the error class for a failure status; returns for 2xx answers."""
    if 200 <= status < 300:
        return
    if server_kind == "lumra" and (status == 503 or (status == 500 and route in _LUMRA_DEVICE_500)):
        raise LightSourceError(f"{status}: the light source refused {method} {route}", route)
    if status == 503:
        code, where = -1, "Unknown Error!"
        try:
            document = json.loads(body)
            code, where = int(document["code"]), str(document["where"])
        except (ValueError, KeyError, TypeError):
            pass
        raise CameraError(code, where, route)
    hint = _HINTS.get((status, route), _GENERIC.get(status, "unexpected answer"))
    error = _CLASSES.get(status, RequestError)(f"{status}: {hint} ({method} {route})", route)
    error.status = status
    raise error


class DeviceNotFoundError(QorError):
    """Discovery found no server that matches the selection."""


class ImageFormatError(QorError):
    """An image reply whose body or headers do not describe an image."""


class MissingDependencyError(QorError):
    """An optional package that a feature needs is not installed; the message names its Debian package."""
