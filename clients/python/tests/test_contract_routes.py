"""The API reference against the server's sources, and the contract checker on hand-made exchanges.

Pure file checks: no server is started.
"""
from __future__ import annotations

import json
import re
import sys
from dataclasses import dataclass, field
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))
import contract  # noqa: E402

ROOT = Path(__file__).resolve().parents[3]
ROUTE_METHODS = ("get", "post", "put", "delete", "patch")

# Which source files register the routes of which server. The shared HTTP server core (claimed_*)
# registers routes on every server.
SOURCE_GLOBS = {
    "camera": ["server/**/*.cpp"],
    "lumra": ["lightsource/**/*.cpp", "server/**/claimed_*.cpp"],
}
REGISTRATION = re.compile(r"\b(get|post|put|delete|patch|Get|Post|Put|Delete|Patch)\s*\(\s*\"(/[^\"]*)\"")


def server_routes(kind: str) -> set[tuple[str, str]]:
    """(METHOD, path) of every route registration with a literal path in the server's sources."""
    routes = set()
    for pattern in SOURCE_GLOBS[kind]:
        for source in ROOT.glob(pattern):
            if kind == "camera" or "claimed_" in source.name or source.is_relative_to(ROOT / "lightsource"):
                text = source.read_text(encoding="utf-8")
                routes |= {(m.group(1).upper(), m.group(2)) for m in REGISTRATION.finditer(text)}
    return routes


def documented_routes(kind: str) -> dict[tuple[str, str], str | None]:
    """(METHOD, path) of every documented operation other than OPTIONS, with its extension feature."""
    paths = contract.load_document(kind)["paths"]
    return {(method.upper(), path): op.get("x-extension")
            for path, item in paths.items() for method, op in item.items() if method in ROUTE_METHODS}


KINDS = ["camera", "lumra"]


@pytest.mark.parametrize("kind", KINDS)
def test_every_server_route_is_documented(kind: str) -> None:
    missing = server_routes(kind) - documented_routes(kind).keys()
    assert not missing, f"routes of the {kind} server missing from {contract.DOCUMENTS[kind]}: {sorted(missing)}"


@pytest.mark.parametrize("kind", KINDS)
def test_every_core_route_exists_in_the_server(kind: str) -> None:
    core = {route for route, feature in documented_routes(kind).items() if feature is None}
    missing = core - server_routes(kind)
    assert not missing, f"documented {kind} routes that the server does not register: {sorted(missing)}"


def extension_features() -> list[tuple[str, str]]:
    return sorted({(kind, feature) for kind in KINDS for feature in documented_routes(kind).values() if feature})


@pytest.mark.parametrize("kind,feature", extension_features())
def test_extension_routes_exist_together(kind: str, feature: str) -> None:
    """An extension's routes are all in the server once any of them is; a feature not built into this
    tree yet is skipped, not failed."""
    routes = {route for route, f in documented_routes(kind).items() if f == feature}
    present = routes & server_routes(kind)
    if not present:
        pytest.skip(f"the {kind} server has no route of the extension {feature!r} yet")
    assert present == routes, f"{kind} extension {feature!r} lacks the routes {sorted(routes - present)}"


def test_camera_core_has_the_routes_the_server_promises() -> None:
    core = [route for route, feature in documented_routes("camera").items() if feature is None]
    assert len(core) == 49
    assert len([r for r, f in documented_routes("lumra").items() if f is None]) == 13


# The enumeration tables of the sources and the schema that documents each: (namespace, enum) to schema.
ENUM_SCHEMAS = {
    "camera": {
        ("qor", "DataFormat"): "DataFormat",
        ("qor", "RawFormat"): "RawFormat",
        ("qor", "RecordMode"): "RecordMode",
        ("qor", "InterfaceType"): "InterfaceType",
        ("qor", "SignalPolarity"): "LevelPolarity",
        ("qor", "SignalType"): "StatusExposSignalType",
        ("qor", "SignalTiming"): "SignalTiming",
        ("qor", "BinningMode"): "BinningMode",
        ("qor", "RegionType"): "RegionType",
        ("edge", "SignalPolarity"): "EdgePolarity",
        ("status_busy", "SignalType"): "StatusBusySignalType",
    },
    "lumra": {("lym", "LumraType"): "LumraType"},
}
ENUM_TABLE = re.compile(r"NLOHMANN_JSON_SERIALIZE_ENUM\(\s*(?:\w+::)*(\w+)\s*,(.*?)\}\s*\)", re.S)
NAMESPACE = re.compile(r"namespace\s+(?:\w+::)*(\w+)\s*\{")


def source_enum_tables(kind: str) -> dict[tuple[str, str], list[str]]:
    """Names of every enumeration table in the JSON mapping sources, in table order."""
    directory = "server" if kind == "camera" else "lightsource"
    tables = {}
    for source in sorted((ROOT / directory).glob("*json*")):
        text = source.read_text(encoding="utf-8")
        for m in ENUM_TABLE.finditer(text):
            namespaces = NAMESPACE.findall(text, 0, m.start())
            key = (namespaces[-1] if namespaces else "", m.group(1))
            tables[key] = re.findall(r"\"([^\"]*)\"", m.group(2))
    return tables


@pytest.mark.parametrize("kind", KINDS)
def test_enumeration_names_match_the_server_tables(kind: str) -> None:
    tables = source_enum_tables(kind)
    assert tables.keys() == ENUM_SCHEMAS[kind].keys(), "a JSON enumeration table was added or moved: document it"
    schemas = contract.load_document(kind)["components"]["schemas"]
    for key, names in tables.items():
        schema = ENUM_SCHEMAS[kind][key]
        # Same order: an unknown name reads as the first entry, which the reference names.
        assert schemas[schema]["enum"] == names, f"schema {schema} differs from the server's table {key}"


# --- The checker on hand-made exchanges -------------------------------------------------------


@dataclass
class Exchange:
    method: str
    path: str
    status: int
    body: bytes = b""
    headers: dict[str, str] = field(default_factory=dict)
    query: dict[str, str] = field(default_factory=dict)
    request_body: bytes = b""
    server_kind: str = "camera"


def json_reply(method: str, path: str, status: int, document: object, **kwargs: object) -> Exchange:
    return Exchange(method, path, status, json.dumps(document).encode(), {"content-type": "application/json"},
                    **kwargs)  # type: ignore[arg-type]


def image_headers(**overrides: str | None) -> dict[str, str]:
    headers = {
        "content-type": "application/octet-stream",
        "crop": '{"x0":1,"x1":4,"y0":1,"y1":2}',
        "format": '"Mono16"',
        "rawformat": '"word"',
        "recorderimagenumber": "7",
        "colormode": "0",
        "timestamp": json.dumps({"wSize": 22, "dwImgCounter": 7, "wYear": 2026, "wMonth": 1, "wDay": 2, "wHour": 3,
                                 "wMinute": 4, "wSecond": 5, "dwMicroSeconds": 6}),
    }
    merged: dict[str, str | None] = {**headers, **overrides}
    return {k: v for k, v in merged.items() if v is not None}


IMAGE_QUERY = {"index": "0", "format": '"Mono16"'}
ERROR = {"code": -1609355263, "where": "setConfiguration"}
CONVERT_MONO = {"kind": "mono", "value": {"sharpen": True, "adaptive_sharpen": True, "flip_vertical": True,
                                          "auto_minmax": True, "add_conv_flags": 0, "min_limit": 0,
                                          "max_limit": 20000, "gamma": 1.0, "contrast": 0}}

GOOD = {
    "bare getter": json_reply("GET", "/v1/getSerial", 200, 12345),
    "object getter": json_reply("GET", "/v1/getExposureTime", 200, {"exposure_s": 0.01}),
    "action": Exchange("PUT", "/v1/setExposureTime", 200, request_body=b'{"exposure_s":0.01}'),
    "error reply": json_reply("PUT", "/v1/setConfiguration", 503, ERROR),
    "record refused": Exchange("POST", "/v1/record", 409),
    "convert settings": json_reply("GET", "/v1/getConvertControl", 200, CONVERT_MONO, query={"format": '"Mono8"'}),
    "image": Exchange("GET", "/v1/image", 200, b"\0" * 16, image_headers(), IMAGE_QUERY),
    "image of 8-bit camera": Exchange("GET", "/v1/image", 200, b"\0" * 8,
                                      image_headers(rawformat='"byte"', format='"Mono8"'), IMAGE_QUERY),
    "converted image": Exchange("GET", "/v1/image", 200, b"\0" * 16,
                                image_headers(format='"Mono8"', convctrl=json.dumps(CONVERT_MONO)), IMAGE_QUERY),
    "image head": Exchange("HEAD", "/v1/image", 200, b"", image_headers(), IMAGE_QUERY),
    "image not readable": Exchange("GET", "/v1/image", 503, json.dumps(ERROR).encode(),
                                   {"content-type": "application/json", "crop": '{"x0":1,"x1":1,"y0":1,"y1":1}'}),
    "series": Exchange("GET", "/v1/images", 200, b"", {"crop": '{"x0":1,"x1":4,"y0":1,"y1":2}', "count": "3"},
                       {"start_index": "0", "format": '"Mono16"'}),
    "unknown route": Exchange("GET", "/v1/nothing", 404),
    "extension route not built": Exchange("GET", "/v1/stream", 404),
    "known path, other method": Exchange("POST", "/v1/getName", 404),
    "light source info": json_reply("GET", "/v1/info", 200, {"free": True, "ip": "0.0.0.0", "name": "", "port": 8081,
                                                            "serial": 4294967295, "type": "lumra"},
                                    server_kind="lumra"),
    "light source reset without readable state": Exchange("POST", "/v1/defaultConfiguration", 503,
                                                          server_kind="lumra"),
}

BAD = {
    "status not listed": (json_reply("GET", "/v1/getName", 409, "x"), "does not list"),
    "unknown route answered": (Exchange("GET", "/v1/nothing", 200), "not in the reference"),
    "core route missing": (Exchange("GET", "/v1/getName", 404), "does not list"),
    "wrong key": (json_reply("GET", "/v1/getExposureTime", 200, {"exposure": 0.01}), "exposure_s"),
    "extra key": (json_reply("GET", "/v1/getRecordedImageCount", 200, {"recorded": 1, "more": 2}), "more"),
    "negative unsigned": (json_reply("GET", "/v1/getSerial", 200, -1), "minimum"),
    "unknown enum name": (json_reply("GET", "/v1/getRawFormat", 200, "short"), "short"),
    "error code as text": (json_reply("POST", "/v1/stop", 503, {"code": "0xA0163001", "where": "stop"}), "code"),
    "body on empty answer": (Exchange("POST", "/v1/stop", 200, b"{}", {"content-type": "application/json"}),
                             "body where the reference has none"),
    "body not JSON": (Exchange("GET", "/v1/getSerial", 200, b"12 34", {"content-type": "application/json"}),
                      "not valid JSON"),
    "NaN written": (Exchange("GET", "/v1/getExposureTime", 200, b'{"exposure_s":NaN}',
                             {"content-type": "application/json"}), "not valid JSON"),
    "wrong content type": (Exchange("GET", "/v1/getSerial", 200, b"1", {"content-type": "text/plain"}), "text/plain"),
    "missing image header": (Exchange("GET", "/v1/image", 200, b"\0" * 16, image_headers(rawformat=None),
                                      IMAGE_QUERY), "rawFormat"),
    "format header without quotes": (Exchange("GET", "/v1/image", 200, b"\0" * 16,
                                              image_headers(format="Mono16"), IMAGE_QUERY), "format"),
    "image number not decimal": (Exchange("GET", "/v1/image", 200, b"\0" * 16,
                                          image_headers(recorderimagenumber="0x7"), IMAGE_QUERY), "decimal"),
    "metadata not JSON": (Exchange("GET", "/v1/image", 200, b"\0" * 16, image_headers(metadata="{"), IMAGE_QUERY),
                          "metadata"),
    "body size against crop": (Exchange("GET", "/v1/image", 200, b"\0" * 15, image_headers(), IMAGE_QUERY),
                               "call for 16"),
    "success without required parameter": (Exchange("GET", "/v1/image", 200, b"\0" * 16, image_headers(),
                                                    {"index": "0"}), "format"),
    "success with non-JSON parameter": (Exchange("GET", "/v1/image", 200, b"\0" * 16, image_headers(),
                                                 {"index": "0", "format": "Mono16"}), "not valid JSON"),
    "series without count": (Exchange("GET", "/v1/images", 200, b"", {"crop": '{"x0":1,"x1":4,"y0":1,"y1":2}'},
                                      {"start_index": "0", "format": '"Mono16"'}), "count"),
    "camera entry from light source": (json_reply("GET", "/v1/info", 200, {"free": True, "ip": "1.2.3.4", "name": "x",
                                                                           "port": 8081, "serial": 1,
                                                                           "type": "camera"}, server_kind="lumra"),
                                       "lumra"),
}


@pytest.mark.parametrize("name", GOOD)
def test_checker_accepts_answers_the_reference_describes(name: str) -> None:
    contract.check_exchange(GOOD[name])


@pytest.mark.parametrize("name", BAD)
def test_checker_rejects_answers_the_reference_does_not_describe(name: str) -> None:
    exchange, expected = BAD[name]
    with pytest.raises(AssertionError, match=re.escape(expected)):
        contract.check_exchange(exchange)
