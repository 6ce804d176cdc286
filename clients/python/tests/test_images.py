"""Image downloads: pixels, properties, files and live iteration, against the real server."""

from __future__ import annotations

import array
import json
from pathlib import Path

import numpy
import pytest
import tifffile

import qorcam
from qorcam import Camera, Image, _optional


def test_mono16_image_is_a_uint16_array_with_its_properties(mono: Camera) -> None:
    mono.record(2)
    image = mono.image(1, "Mono16", crop=(101, 51, 300, 150))
    assert image.pixels.shape == (100, 200) and image.pixels.dtype == numpy.uint16
    assert (image.width, image.height) == (200, 100)
    assert image.crop == {"x0": 101, "y0": 51, "x1": 300, "y1": 150}
    assert (image.format, image.raw_format, image.number, image.conv_ctrl) == ("Mono16", "word", 2, None)
    assert image.metadata is not None and image.metadata["dwCAMERA_SERIAL_NO"] == 10001
    # The pixels are the crop of the whole image, row for row.
    whole = mono.image(1, "Mono16")
    assert numpy.array_equal(whole.pixels[50:150, 100:300], image.pixels)
    image.pixels[0, 0] = 7  # callers may process the array in place


def test_converted_format_comes_as_raw_pixels_with_conversion_settings(color: Camera) -> None:
    color.set_configuration({"timestamp_mode": 1})
    try:
        color.record(1)
        image = color.image(0, "BGR8", crop=(1, 1, 64, 32))
    finally:
        color.default_configuration()
    assert image.pixels.shape == (32, 64) and image.pixels.dtype == numpy.uint16
    assert image.format == "BGR8"
    assert image.conv_ctrl is not None and image.conv_ctrl["kind"] == "color"
    assert image.timestamp is not None and image.timestamp["dwImgCounter"] == 1


@pytest.mark.parametrize("suffix", [".tif", ".npy", ".raw"])
def test_saved_files_hold_the_same_pixels(mono: Camera, tmp_path: Path, suffix: str) -> None:
    mono.record(1)
    image = mono.image(0, crop=(1, 1, 128, 64))
    path = image.save(tmp_path / f"frame{suffix}")
    if suffix == ".tif":
        with tifffile.TiffFile(path) as tif:
            pixels = tif.pages[0].asarray()
            properties = json.loads(tif.pages[0].description)
        assert properties == json.loads(json.dumps(image.properties()))
        assert properties["metadata"]["wIMAGE_SIZE_X"] == image.metadata["wIMAGE_SIZE_X"]  # type: ignore[index]
    elif suffix == ".npy":
        pixels = numpy.load(path)
    else:
        pixels = numpy.frombuffer(path.read_bytes(), dtype="<u2").reshape(64, 128)
    assert pixels.dtype == numpy.uint16
    assert numpy.array_equal(pixels, image.pixels)


def test_unknown_extension_is_refused(mono: Camera, tmp_path: Path) -> None:
    mono.record(1)
    with pytest.raises(ValueError, match=".tif, .npy or .raw"):
        mono.image(0, crop=(1, 1, 8, 8)).save(tmp_path / "frame.png")


def test_iter_images_delivers_every_fifo_image_once_in_order(mono: Camera) -> None:
    mono.set_configuration({"roi": {"x1": 128, "y1": 128}, "exposure_time_s": 0.001})
    try:
        numbers = []
        for image in mono.iter_images(30, "Mono16", mode="fifo"):
            numbers.append(image.number)
            assert image.pixels.shape == (128, 128)
        assert numbers == list(range(1, 31))
        assert not mono.is_recording()
        # A loop left early stops the recording as well.
        for _ in mono.iter_images(10, mode="sequence_non_blocking"):
            break
        assert not mono.is_recording()
    finally:
        mono.default_configuration()


def _reply(crop: dict[str, int], body: bytes, raw_format: str = "word", fmt: str = "Mono16") -> Image:
    headers = {
        "crop": json.dumps(crop),
        "format": json.dumps(fmt),
        "rawformat": json.dumps(raw_format),
        "recorderimagenumber": "5",
        "colormode": "0",
    }
    return Image.from_reply(headers, body)


def test_without_numpy_pixels_are_a_flat_array(monkeypatch: pytest.MonkeyPatch, tmp_path: Path) -> None:
    monkeypatch.setattr(_optional, "optional", lambda module: None)
    monkeypatch.setattr("qorcam.image.optional", lambda module: None)
    image = _reply({"x0": 1, "y0": 1, "x1": 3, "y1": 2}, bytes([1, 0, 2, 0, 3, 0, 0, 1, 0, 2, 255, 255]))
    assert isinstance(image.pixels, array.array)
    assert list(image.pixels) == [1, 2, 3, 256, 512, 65535]
    assert image.save(tmp_path / "a.raw").read_bytes() == bytes([1, 0, 2, 0, 3, 0, 0, 1, 0, 2, 255, 255])
    with pytest.raises(qorcam.MissingDependencyError, match="install python3-tifffile"):
        image.save(tmp_path / "a.tif")
    with pytest.raises(qorcam.MissingDependencyError, match="install python3-numpy"):
        image.save(tmp_path / "a.npy")


@pytest.mark.parametrize(
    "crop, body, raw_format, fmt",
    [
        ({"x0": 1, "y0": 1, "x1": 2, "y1": 2}, bytes(6), "word", "Mono16"),  # one pixel short
        ({"x0": 1, "y0": 1, "x1": 2, "y1": 2}, bytes(8), "byte", "Mono8"),  # 16-bit body for 8-bit pixels
        ({"x0": 1, "y0": 1, "x1": 2, "y1": 2}, bytes(8), "word", "CompressedMono8"),
        ({"x0": 5, "y0": 1, "x1": 2}, bytes(8), "word", "Mono16"),  # crop without y1
    ],
)
def test_replies_that_do_not_describe_an_image_are_refused(
    crop: dict[str, int], body: bytes, raw_format: str, fmt: str
) -> None:
    with pytest.raises(qorcam.ImageFormatError):
        _reply(crop, body, raw_format, fmt)


def test_eight_bit_pixels_are_uint8() -> None:
    image = _reply({"x0": 1, "y0": 1, "x1": 2, "y1": 2}, bytes([1, 2, 3, 4]), "byte", "Mono8")
    assert image.pixels.dtype == numpy.uint8 and image.pixels.tolist() == [[1, 2], [3, 4]]
