"""A camera's image stream: the ZeroMQ socket on which a server sends the images of its recordings.

    >>> from qorcam.stream import receive, StreamImage
    >>> for item in receive("tcp://lab-pc:9000"):     # enable it first: PUT /v1/setStreamConfiguration
    ...     if isinstance(item, StreamImage):
    ...         process(item.pixels)

Each recording arrives as a SeriesStart, its images in recording order and a SeriesEnd. With the
server's "push" pattern several receivers share the images (each image goes to one of them); with
"pub" every receiver gets all of them and passes pattern="sub". Needs pyzmq (python3-zmq).
"""

from __future__ import annotations

import array
import json
import sys
from dataclasses import dataclass, field
from typing import Any, Iterator, Union

from ._optional import optional, require
from .image import Image


@dataclass
class StreamImage(Image):
    """An Image that came over the stream, with the number of the recording (series) it belongs to.
    Its pixels are a read-only view of the received message where NumPy is installed."""

    series: int = 0


@dataclass
class SeriesStart:
    """A recording begins: the camera's description and configuration at its start."""

    series: int
    description: dict[str, Any] = field(default_factory=dict)
    configuration: dict[str, Any] = field(default_factory=dict)


@dataclass
class SeriesEnd:
    """A recording is through: how many of its images the server sent and how many it dropped."""

    series: int
    sent: int
    dropped: int


Event = Union[StreamImage, SeriesStart, SeriesEnd]


class StreamError(Exception):
    """A message that does not follow the stream's layout."""


def _payload(part: Any) -> Any:
    # Frames received without copying expose their bytes as a buffer.
    return part.buffer if hasattr(part, "buffer") else part


def _pixels(data: Any, width: int, height: int, bytes_per_pixel: int) -> Any:
    numpy = optional("numpy")
    if numpy is not None:
        dtype = numpy.dtype("<u2") if bytes_per_pixel == 2 else numpy.dtype(numpy.uint8)
        return numpy.frombuffer(data, dtype=dtype).reshape(height, width)
    pixels = array.array("H" if bytes_per_pixel == 2 else "B")
    pixels.frombytes(bytes(data))
    if sys.byteorder == "big" and bytes_per_pixel == 2:
        pixels.byteswap()
    return pixels


def _image(head: dict[str, Any], data: Any) -> StreamImage:
    image = StreamImage(
        pixels=None,
        width=int(head["width"]),
        height=int(head["height"]),
        crop={key: int(value) for key, value in head.get("crop", {}).items()},
        format=str(head["format"]),
        raw_format=str(head["raw_format"]),
        number=int(head["number"]),
        color_mode=int(head.get("color_mode", 0)),
        metadata=head.get("metadata"),
        timestamp=head.get("timestamp"),
        conv_ctrl=head.get("conv_ctrl"),
        series=int(head["series"]),
    )
    size = len(memoryview(data).cast("B"))
    expected = image.width * image.height * image.bytes_per_pixel
    if size != expected:
        raise StreamError(f"image {image.number} has {size} pixel bytes, {image.width} x {image.height} need {expected}")
    image.pixels = _pixels(data, image.width, image.height, image.bytes_per_pixel)
    return image


def decode(parts: list[Any]) -> Event:
    """One stream message (its parts as bytes or ZeroMQ frames) as a StreamImage, SeriesStart or
    SeriesEnd; raises StreamError for anything else."""
    try:
        head = json.loads(bytes(_payload(parts[0])))
        kind = head["type"]
        if kind == "image":
            if len(parts) != 2:
                raise StreamError(f"an image message has two parts, not {len(parts)}")
            return _image(head, _payload(parts[1]))
        if kind == "header":
            return SeriesStart(int(head["series"]), head.get("description", {}), head.get("configuration", {}))
        if kind == "end":
            return SeriesEnd(int(head["series"]), int(head["sent"]), int(head["dropped"]))
    except (ValueError, KeyError, TypeError, IndexError, AttributeError) as error:
        raise StreamError(f"not a stream message: {error}") from error
    raise StreamError(f"unknown message type {kind!r}")


def receive(endpoint: str, pattern: str = "pull", timeout_s: float | None = None, context: Any = None) -> Iterator[Event]:
    """Connects to a camera's stream and yields its messages as they come.

    pattern is "pull" for a server streaming with "push", "sub" for one streaming with "pub". With
    timeout_s the iteration ends when nothing arrived for that long; without it, it runs until the
    caller stops iterating. Raises MissingDependencyError without pyzmq.
    """
    if pattern not in ("pull", "sub"):
        raise ValueError("pattern must be 'pull' or 'sub'")
    zmq = require("zmq", "the image stream")
    ctx = context if context is not None else zmq.Context.instance()
    socket = ctx.socket(zmq.PULL if pattern == "pull" else zmq.SUB)
    socket.setsockopt(zmq.LINGER, 0)
    if pattern == "sub":
        socket.setsockopt(zmq.SUBSCRIBE, b"")
    socket.connect(endpoint)
    try:
        while True:
            if timeout_s is not None and not socket.poll(int(timeout_s * 1000)):
                return
            yield decode(socket.recv_multipart(copy=False))
    finally:
        socket.close()
