"""Checks one HTTP exchange with a server against the API reference in docs/api.

`check_exchange(ex)` raises AssertionError, naming the route and what differs, when the server's
answer is not one the reference describes: a status the route does not list, a body that does not
match the route's schema for that status, a missing or unparseable response header, or an image
body whose size does not fit its headers.

Needs Debian's python3-yaml and python3-jsonschema.
"""
from __future__ import annotations

import functools
import json
import warnings
from pathlib import Path
from typing import Any, Mapping, Protocol
from urllib.parse import parse_qs

import jsonschema
import yaml

API_DIR = Path(__file__).resolve().parents[3] / "docs" / "api"
DOCUMENTS = {"camera": "camera.openapi.yaml", "lumra": "lightsource.openapi.yaml"}


class Exchange(Protocol):
    """What the checker reads of one request and its answer (header names in lower case)."""

    @property
    def server_kind(self) -> str: ...  # "camera" or "lumra"
    @property
    def method(self) -> str: ...
    @property
    def path(self) -> str: ...
    @property
    def query(self) -> Mapping[str, str]: ...  # values as sent, e.g. '"Mono16"'
    @property
    def request_body(self) -> bytes: ...
    @property
    def status(self) -> int: ...
    @property
    def headers(self) -> Mapping[str, str]: ...
    @property
    def body(self) -> bytes: ...


@functools.cache
def load_document(server_kind: str) -> dict[str, Any]:
    """The parsed OpenAPI document of a server kind ("camera" or "lumra")."""
    if server_kind not in DOCUMENTS:
        raise AssertionError(f"unknown server kind {server_kind!r}; expected one of {sorted(DOCUMENTS)}")
    with open(API_DIR / DOCUMENTS[server_kind], encoding="utf-8") as f:
        return yaml.safe_load(f)


def resolve(document: Mapping[str, Any], node: Any) -> Any:
    """Follows local references ("#/components/...") until a node without one."""
    seen = set()
    while isinstance(node, Mapping) and "$ref" in node:
        ref = node["$ref"]
        if not ref.startswith("#/") or ref in seen:
            raise AssertionError(f"unusable reference {ref!r} in the API reference")
        seen.add(ref)
        node = document
        for part in ref[2:].split("/"):
            node = node[part.replace("~1", "/").replace("~0", "~")]
    return node


def operation(server_kind: str, method: str, path: str) -> dict[str, Any] | None:
    """The documented operation of a route, or None. HEAD is answered by the GET operation."""
    document = load_document(server_kind)
    path_item = document.get("paths", {}).get(path)
    if path_item is None:
        return None
    method = method.lower()
    op = path_item.get(method)
    if op is None and method == "head":
        op = path_item.get("get")
    return op


_validators: dict[tuple[str, int], Any] = {}


def _validate(server_kind: str, schema: Mapping[str, Any], value: Any, what: str) -> None:
    """Validates against a schema node of the document; its references resolve in that document."""
    key = (server_kind, id(schema))
    if key not in _validators:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            resolver = jsonschema.RefResolver(base_uri="", referrer=load_document(server_kind))
            _validators[key] = jsonschema.Draft202012Validator(schema, resolver=resolver)
    errors = list(_validators[key].iter_errors(value))
    if errors:
        error = jsonschema.exceptions.best_match(errors)
        at = "/".join(str(p) for p in error.absolute_path) or "(top)"
        raise AssertionError(f"{what} does not match the reference at {at}: {error.message}")


def _reject_constant(name: str) -> Any:
    raise ValueError(f"{name} is not JSON")


def _parse_json(text: str | bytes, what: str) -> Any:
    try:
        return json.loads(text, parse_constant=_reject_constant)
    except (ValueError, UnicodeDecodeError) as e:
        raise AssertionError(f"{what} is not valid JSON ({e}): {text[:200]!r}") from None


def _media_type(headers: Mapping[str, str]) -> str:
    return headers.get("content-type", "").split(";", 1)[0].strip().lower()


def _check_status(ex: Exchange, route: str, op: Mapping[str, Any]) -> str:
    status = str(ex.status)
    responses = op.get("responses", {})
    if status not in responses:
        listed = ", ".join(sorted(responses))
        raise AssertionError(f"{route} answered {status}, which the reference does not list (listed: {listed})")
    return status


def _check_parameters(ex: Exchange, route: str, document: Mapping[str, Any], op: Mapping[str, Any]) -> None:
    """A successful answer means the server took the request: its required parameters were there,
    and the ones that carry JSON text parsed."""
    values = dict(ex.query)
    if ex.request_body and ex.method.upper() == "POST":
        try:
            form = parse_qs(ex.request_body.decode("utf-8"), keep_blank_values=True)
        except UnicodeDecodeError:
            form = {}
        for name, found in form.items():
            values.setdefault(name, found[0])
    for parameter in op.get("parameters", []):
        parameter = resolve(document, parameter)
        if parameter.get("in") != "query":
            continue
        name = parameter["name"]
        if name not in values:
            if parameter.get("required"):
                raise AssertionError(f"{route} answered {ex.status} without its required parameter {name!r}")
            continue
        if "application/json" in parameter.get("content", {}):
            _parse_json(values[name], f"{route} parameter {name!r} (answered {ex.status})")


def _check_headers(ex: Exchange, route: str, document: Mapping[str, Any], response: Mapping[str, Any]) -> None:
    for name, header in response.get("headers", {}).items():
        header = resolve(document, header)
        value = ex.headers.get(name.lower())
        if value is None:
            if header.get("required"):
                raise AssertionError(f"{route} answered {ex.status} without the header {name!r}")
            continue
        what = f"{route} header {name!r}"
        if "content" in header:
            media_type, media = next(iter(header["content"].items()))
            if media_type != "application/json":
                continue
            schema = media["schema"]
            parsed = _parse_json(value, what)
        else:
            schema = header.get("schema", {})
            parsed = value
            if resolve(document, schema).get("type") == "integer":
                if not value.strip().lstrip("-").isdigit():
                    raise AssertionError(f"{what} is not a decimal integer: {value!r}")
                parsed = int(value)
        _validate(ex.server_kind, schema, parsed, what)


def _check_body(ex: Exchange, route: str, response: Mapping[str, Any]) -> None:
    if ex.method.upper() == "HEAD":
        return
    content = response.get("content")
    if not content:
        if ex.body:
            raise AssertionError(f"{route} answered {ex.status} with a body where the reference has none: {ex.body[:200]!r}")
        return
    if not ex.body and response.get("x-body-optional"):
        return
    media_type = _media_type(ex.headers)
    if media_type not in content:
        raise AssertionError(
            f"{route} answered {ex.status} as {media_type or 'no content type'!r}; the reference lists {sorted(content)}")
    if media_type == "application/json":
        body = _parse_json(ex.body, f"{route} body")
        _validate(ex.server_kind, content[media_type]["schema"], body, f"{route} body ({ex.status})")
    elif media_type == "application/octet-stream":
        _check_image_size(ex, route)


def _check_image_size(ex: Exchange, route: str) -> None:
    """Raw image bodies hold the crop's pixels, one byte each for raw format byte and for the
    compressed format, else two."""
    needed = ("crop", "rawformat", "format")
    if not all(name in ex.headers for name in needed):
        return
    crop = json.loads(ex.headers["crop"])
    width = crop["x1"] - crop["x0"] + 1
    height = crop["y1"] - crop["y0"] + 1
    one_byte = json.loads(ex.headers["rawformat"]) == "byte" or json.loads(ex.headers["format"]) == "CompressedMono8"
    expected = width * height * (1 if one_byte else 2)
    if len(ex.body) != expected:
        raise AssertionError(
            f"{route} image body has {len(ex.body)} bytes; its headers (crop {width} x {height}, "
            f"{'8' if one_byte else '16'}-bit) call for {expected}")


def check_exchange(ex: Exchange) -> None:
    """Raises AssertionError when the answer in `ex` is not one the API reference describes."""
    path = ex.path.split("?", 1)[0]
    route = f"{ex.method.upper()} {path} ({ex.server_kind})"
    op = operation(ex.server_kind, ex.method, path)
    if op is None:
        # Unknown paths, and known paths with another method, are answered 404 by every server.
        if ex.status != 404:
            raise AssertionError(f"{route} is not in the reference, but the server answered {ex.status} instead of 404")
        return
    document = load_document(ex.server_kind)
    if ex.status == 404 and op.get("x-extension") and "404" not in op.get("responses", {}):
        return  # a server built without that extension does not have the route
    status = _check_status(ex, route, op)
    if status.startswith("2"):
        _check_parameters(ex, route, document, op)
    response = resolve(document, op["responses"][status])
    _check_headers(ex, route, document, response)
    _check_body(ex, route, response)
