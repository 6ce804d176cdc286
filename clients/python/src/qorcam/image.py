"""Images downloaded from a camera: pixels with the properties the server sends in the reply headers."""

from __future__ import annotations

import array
import json
import os
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Mapping

from ._optional import optional, require
from .errors import ImageFormatError

#: The data formats the cameras know, in the servers' spelling.
DATA_FORMATS = ("Mono8", "Mono16", "BGR8", "BGRA8", "BGR16", "RGB8", "RGBA8", "RGB16", "CompressedMono8")


def _json_header(headers: Mapping[str, str], name: str) -> Any:
    text = headers.get(name.lower())
    if text is None:
        return None
    try:
        return json.loads(text)
    except ValueError as error:
        raise ImageFormatError(f"the image header {name} is not JSON: {text!r}") from error


def _int_header(headers: Mapping[str, str], name: str) -> int:
    text = headers.get(name.lower(), "")
    try:
        return int(text)
    except ValueError as error:
        raise ImageFormatError(f"the image header {name} is not a number: {text!r}") from error


def crop_header(headers: Mapping[str, str]) -> dict[str, int] | None:
    """The "crop" header of a reply as a crop dict, or None when it is absent or malformed."""
    try:
        crop = _json_header(headers, "crop")
        return {key: int(crop[key]) for key in ("x0", "y0", "x1", "y1")}
    except (ImageFormatError, TypeError, KeyError, ValueError):
        return None


@dataclass
class Image:
    """One image: `pixels` (a NumPy array of shape (height, width), or a flat array.array without
    NumPy) holds the raw pixels of the crop; converted formats come as raw 16-bit pixels together
    with the conversion settings in `conv_ctrl`."""

    pixels: Any
    width: int
    height: int
    crop: dict[str, int]
    format: str
    raw_format: str
    number: int
    color_mode: int
    metadata: dict[str, Any] | None
    timestamp: dict[str, Any] | None
    conv_ctrl: dict[str, Any] | None

    @property
    def bytes_per_pixel(self) -> int:
        """1 for 8-bit and compressed pixels, else 2."""
        return 1 if self.raw_format == "byte" or self.format == "CompressedMono8" else 2

    @classmethod
    def from_reply(cls, headers: Mapping[str, str], body: bytes) -> Image:
        """Builds an image from an image reply's lower-cased headers and body; raises ImageFormatError."""
        crop = _json_header(headers, "crop")
        try:
            width = int(crop["x1"]) - int(crop["x0"]) + 1
            height = int(crop["y1"]) - int(crop["y0"]) + 1
        except (TypeError, KeyError, ValueError) as error:
            raise ImageFormatError(f"the crop header does not name a crop: {crop!r}") from error
        image = cls(
            pixels=None,
            width=width,
            height=height,
            crop={key: int(crop[key]) for key in ("x0", "y0", "x1", "y1")},
            format=str(_json_header(headers, "format")),
            raw_format=str(_json_header(headers, "rawFormat")),
            number=_int_header(headers, "recorderImageNumber"),
            color_mode=_int_header(headers, "colorMode"),
            metadata=_json_header(headers, "metadata"),
            timestamp=_json_header(headers, "timestamp"),
            conv_ctrl=_json_header(headers, "convCtrl"),
        )
        expected = width * height * image.bytes_per_pixel
        if len(body) != expected:
            raise ImageFormatError(f"the image body has {len(body)} bytes, the crop {crop} needs {expected}")
        image.pixels = _pixels(body, width, height, image.bytes_per_pixel)
        return image

    def properties(self) -> dict[str, Any]:
        """Everything but the pixels, as a JSON-ready document (also written into saved TIFF files)."""
        return {
            "width": self.width,
            "height": self.height,
            "crop": self.crop,
            "format": self.format,
            "raw_format": self.raw_format,
            "number": self.number,
            "color_mode": self.color_mode,
            "metadata": self.metadata,
            "timestamp": self.timestamp,
            "conv_ctrl": self.conv_ctrl,
        }

    def raw_bytes(self) -> bytes:
        """The pixels as the server sent them: little-endian, rows without padding."""
        if isinstance(self.pixels, array.array):
            copy = array.array(self.pixels.typecode, self.pixels)
            if sys.byteorder == "big" and copy.itemsize > 1:
                copy.byteswap()
            return copy.tobytes()
        dtype = "<u2" if self.bytes_per_pixel == 2 else "u1"
        return bytes(self.pixels.astype(dtype, copy=False).tobytes())

    def save(self, path: str | os.PathLike[str]) -> Path:
        """Writes the image by extension: .tif/.tiff (tifffile, properties in the description), .npy or
        .raw. Raises ValueError for other extensions and MissingDependencyError without the package."""
        target = Path(path)
        suffix = target.suffix.lower()
        if suffix in (".tif", ".tiff"):
            tifffile = require("tifffile", "saving TIFF files")
            tifffile.imwrite(target, self._numpy_pixels("saving TIFF files"), description=json.dumps(self.properties()),
                             metadata=None)
        elif suffix == ".npy":
            numpy = require("numpy", "saving .npy files")
            numpy.save(target, self._numpy_pixels("saving .npy files"))
        elif suffix == ".raw":
            target.write_bytes(self.raw_bytes())
        else:
            raise ValueError(f"cannot save {target.name}: use the extension .tif, .npy or .raw")
        return target

    def _numpy_pixels(self, feature: str) -> Any:
        numpy = require("numpy", feature)
        if isinstance(self.pixels, array.array):
            return numpy.array(self.pixels).reshape(self.height, self.width)
        return self.pixels


def _pixels(body: bytes, width: int, height: int, bytes_per_pixel: int) -> Any:
    numpy = optional("numpy")
    if numpy is not None:
        dtype = numpy.dtype("<u2") if bytes_per_pixel == 2 else numpy.dtype(numpy.uint8)
        # A writable native-order array, so that callers may process it in place.
        pixels = numpy.frombuffer(bytearray(body), dtype=dtype).reshape(height, width)
        return pixels.astype(dtype.newbyteorder("="), copy=False)
    pixels = array.array("H" if bytes_per_pixel == 2 else "B")
    pixels.frombytes(body)
    if sys.byteorder == "big" and bytes_per_pixel == 2:
        pixels.byteswap()
    return pixels
