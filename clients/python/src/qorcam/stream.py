"""Receiving a camera's image stream: the ZeroMQ socket a camera server publishes its recordings on.

    for item in receive("tcp://camera-host:9000"):
        if isinstance(item, Image):
            process(item.pixels)

Each recording arrives as a SeriesStart, its images in recording order and a SeriesEnd. With the
server's "push" pattern several receivers share the images (each image goes to one of them); with
"pub" every receiver gets all of them and passes pattern="sub".
"""
from __future__ import annotations

import json
from dataclasses import dataclass, field
from typing import Any, Iterator, Optional, Union

try:
    import zmq
except ImportError as error:  # pragma: no cover - depends on the machine
    raise ImportError("qorcam.stream needs pyzmq: apt-get install python3-zmq") from error


@dataclass
class Image:
    """One streamed image: the pixel bytes as GET /v1/image sends them, and what describes them."""

    series: int
    number: int
    width: int
    height: int
    format: str
    raw_format: str
    pixels: Union[bytes, memoryview]  # a view of the received message, not a copy
    crop: dict = field(default_factory=dict)
    color_mode: int = 0
    metadata: Optional[dict] = None
    timestamp: Optional[dict] = None
    conv_ctrl: Optional[dict] = None

    @property
    def bytes_per_pixel(self) -> int:
        return 1 if self.raw_format == "byte" else 2

    def array(self) -> Any:
        """The pixels as a height x width NumPy array (uint8 or little-endian uint16)."""
        try:
            import numpy
        except ImportError as error:
            raise ImportError("Image.array needs NumPy: apt-get install python3-numpy") from error
        dtype = numpy.uint8 if self.bytes_per_pixel == 1 else numpy.dtype("<u2")
        return numpy.frombuffer(self.pixels, dtype=dtype).reshape(self.height, self.width)


@dataclass
class SeriesStart:
    """A recording begins: the camera's description and configuration at its start."""

    series: int
    description: dict = field(default_factory=dict)
    configuration: dict = field(default_factory=dict)


@dataclass
class SeriesEnd:
    """A recording is through: how many of its images the server sent and how many it dropped."""

    series: int
    sent: int
    dropped: int


Event = Union[Image, SeriesStart, SeriesEnd]


class StreamError(Exception):
    """A message that is not part of the stream's layout."""


def _payload(part: Any) -> Any:
    # Frames received without copying expose their bytes as a buffer.
    return part.buffer if hasattr(part, "buffer") else part


def decode(parts: list) -> Event:
    """One stream message (its parts as bytes or ZeroMQ frames) as an Image, SeriesStart or SeriesEnd."""
    try:
        head = json.loads(bytes(_payload(parts[0])))
        kind = head["type"]
        if kind == "image":
            if len(parts) != 2:
                raise StreamError(f"an image message has two parts, not {len(parts)}")
            return Image(
                series=head["series"],
                number=head["number"],
                width=head["width"],
                height=head["height"],
                format=head["format"],
                raw_format=head["raw_format"],
                pixels=_payload(parts[1]),
                crop=head.get("crop", {}),
                color_mode=head.get("color_mode", 0),
                metadata=head.get("metadata"),
                timestamp=head.get("timestamp"),
                conv_ctrl=head.get("conv_ctrl"),
            )
        if kind == "header":
            return SeriesStart(head["series"], head.get("description", {}), head.get("configuration", {}))
        if kind == "end":
            return SeriesEnd(head["series"], head["sent"], head["dropped"])
    except (ValueError, KeyError, TypeError, IndexError) as error:
        raise StreamError(f"not a stream message: {error}") from error
    raise StreamError(f"unknown message type {kind!r}")


def receive(
    endpoint: str,
    pattern: str = "pull",
    timeout_s: Optional[float] = None,
    context: Optional["zmq.Context"] = None,
) -> Iterator[Event]:
    """Connects to a camera's stream and yields its messages as they come.

    pattern is "pull" for a server streaming with "push", "sub" for one streaming with "pub".
    With timeout_s the iteration ends when nothing arrived for that long; without it, it runs until
    the caller stops iterating.
    """
    if pattern not in ("pull", "sub"):
        raise ValueError("pattern must be 'pull' or 'sub'")
    ctx = context or zmq.Context.instance()
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
