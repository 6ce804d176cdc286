"""Random values for requests: valid JSON texts, hostile texts, nested documents and file names."""
from __future__ import annotations

import json
import random
from dataclasses import dataclass


@dataclass(frozen=True)
class Raw:
    """JSON text spliced into a document as it is (it may be invalid on purpose)."""
    text: bytes


def dumps(value) -> bytes:
    """Serialises a value that may contain `Raw` parts."""
    if isinstance(value, Raw):
        return value.text
    if isinstance(value, dict):
        return b"{" + b",".join(json.dumps(str(k)).encode() + b":" + dumps(v) for k, v in value.items()) + b"}"
    if isinstance(value, (list, tuple)):
        return b"[" + b",".join(dumps(v) for v in value) + b"]"
    return json.dumps(value).encode()


def nested(rng: random.Random, depth: int) -> bytes:
    """A document nested `depth` levels deep, as arrays, objects or a mix."""
    kind = rng.choice(("array", "object", "mixed"))
    if kind == "array":
        return b"[" * depth + b"1" + b"]" * depth
    if kind == "object":
        return b'{"a":' * depth + b"1" + b"}" * depth
    opening, closing = [], []
    for _ in range(depth):
        if rng.random() < 0.5:
            opening.append(b"[")
            closing.append(b"]")
        else:
            opening.append(b'{"k":')
            closing.append(b"}")
    return b"".join(opening) + b"0" + b"".join(reversed(closing))


NUMBERS = [b"0", b"-0", b"1", b"-1", b"2", b"255", b"256", b"65535", b"65536", b"-32769", b"2147483647",
           b"2147483648", b"-2147483649", b"4294967295", b"4294967296", b"9223372036854775807",
           b"18446744073709551615", b"18446744073709551616", b"-9223372036854775809", b"1e308", b"-1e308",
           b"1e400", b"-1e400", b"1e-320", b"0.5", b"-0.5", b"3.999999999999999999", b"1E2", b"0x10", b"01",
           b"NaN", b"nan", b"Infinity", b"-Infinity", b"+1", b".5", b"1."]

TEXTS = [b"", b" ", b"{", b"}", b"[", b"[1,", b'{"a":', b'"unterminated', b"null", b"true", b"false", b"[]", b"{}",
         b'""', b'"x"', b"bare", b"'single'", b'"\\u0000"', b'"a\\ud800b"', b'"\\x41"', b'"\xff\xfe"', b"\xff\xfe\x00",
         b"\x00", b'"a\x00b"', b'"\t\r\n"', b"[1,2,3]", b'{"x0":1}', b"[null]", b'{"":null}', b"//comment\n1",
         b"1 2", b'"\xc3\x28"', b'"\xf0\x28\x8c\x28"', b"\xef\xbb\xbf{}", b"[" * 40, b"]" * 40]


def hostile(rng: random.Random, max_length: int = 6000, deep: int = 3000) -> bytes:
    """One hostile JSON text: malformed, a wrong kind, an extreme number, long, nested or not UTF-8."""
    pick = rng.random()
    if pick < 0.35:
        return rng.choice(NUMBERS)
    if pick < 0.75:
        return rng.choice(TEXTS)
    if pick < 0.85:
        return b'"' + bytes(rng.choice(b"abcXYZ/.\\ %\x7f") for _ in range(rng.randint(100, max_length))) + b'"'
    if pick < 0.93:
        return nested(rng, rng.randint(2, deep))
    return rng.randbytes(rng.randint(1, 64))


def maybe(rng: random.Random, valid: bytes, hostility: float = 0.3, **kwargs) -> bytes:
    """`valid`, or with probability `hostility` a hostile text instead."""
    return hostile(rng, **kwargs) if rng.random() < hostility else valid


def json_text(value) -> bytes:
    return json.dumps(value).encode()


HOSTILE_FILE_NAMES = [
    "../../escape.lt1", "../escape.lt1", "/tmp/absolute.lt1", "..", ".", "", "/", "a/b/c.lt1", "dir/",
    "name\x00.lt1", "evil5\x00.lt1", "\x01\x02control.lt1", "tab\tname.lt1", "line\nbreak.lt1", "quote\".lt1",
    "semi;colon.lt1", "percent%00.lt1", "back\\slash.lt1", "x" * 300 + ".lt1", "y" * 5000, "\u00e9t\u00e9.lt1",
    "\udcff\udcfe.lt1", "..\\..\\win.lt1", "CON", ".hidden.lt1", "trailing.lt1 ", "* ?.lt1", "-rf.lt1",
]


def file_name(rng: random.Random) -> bytes:
    """A file name for a multipart part: ordinary, hostile, or raw bytes that are not UTF-8."""
    pick = rng.random()
    if pick < 0.3:
        return rng.choice(["hot.lt1", "jet.lt2", "cool.lt3", "viridis.lt4", "plain.txt", "x.lt1"]).encode()
    if pick < 0.85:
        return rng.choice(HOSTILE_FILE_NAMES).encode("utf-8", "surrogateescape")
    return bytes(rng.randrange(1, 256) for _ in range(rng.randint(1, 40)))
