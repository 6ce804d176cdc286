"""A camera server: one method per route, taking and returning Python values."""

from __future__ import annotations

import math
import os
import uuid
from pathlib import Path
from typing import Any, Iterator, Mapping, Sequence, Union

from ._device import Device, json_params
from .image import Image, crop_header

#: A crop: (x0, y0, x1, y1) in 1-based, inclusive pixel coordinates, or the same as a dict.
Crop = Union[Sequence[int], Mapping[str, int]]

# Extra seconds the HTTP read waits beyond a camera-side wait time-out, for the answer to arrive.
_WAIT_MARGIN_S = 10.0


def crop_document(crop: Crop | None) -> dict[str, int] | None:
    """A crop as the servers spell it, {"x0", "y0", "x1", "y1"}; raises ValueError for other shapes."""
    if crop is None:
        return None
    if isinstance(crop, Mapping):
        return {key: int(crop[key]) for key in ("x0", "y0", "x1", "y1")}
    values = [int(v) for v in crop]
    if len(values) != 4:
        raise ValueError(f"a crop has four values x0, y0, x1, y1, not {len(values)}")
    return dict(zip(("x0", "y0", "x1", "y1"), values))


def merged(current: Mapping[str, Any], changes: Mapping[str, Any]) -> dict[str, Any]:
    """`current` with `changes` applied, nested objects key by key."""
    result = dict(current)
    for key, value in changes.items():
        if isinstance(value, Mapping) and isinstance(result.get(key), Mapping):
            result[key] = merged(result[key], value)
        else:
            result[key] = value
    return result


class Camera(Device):
    """The HTTP server of one camera (port 8080 for the first camera of a computer, then 8081, ...).

    Every method raises CameraError when the camera refuses the operation, a RequestError subclass
    when the server refuses the request and ConnectionError when the server cannot be reached.
    """

    server_kind = "camera"

    def __init__(self, host: str = "127.0.0.1", port: int = 8080, timeout: float | None = 30.0) -> None:
        super().__init__(host, port, timeout)
        self._series_crop: dict[str, int] | None = None
        self._series_format: str | None = None

    # Identity.

    def get_name(self) -> str:
        """The camera's name."""
        return str(self._get_json("/v1/getName"))

    def get_raw_format(self) -> str:
        """"word" for 16-bit raw pixels, "byte" for 8-bit."""
        return str(self._get_json("/v1/getRawFormat"))

    def get_serial(self) -> int:
        """The camera's serial number."""
        return int(self._get_json("/v1/getSerial"))

    def get_interface(self) -> str:
        """The interface the camera is attached by ("USB3", "GigE", ...)."""
        return str(self._get_json("/v1/getInterface"))

    def is_recording(self) -> bool:
        """Whether a recording runs."""
        return bool(self._get_json("/v1/isRecording"))

    def is_colored(self) -> bool:
        """Whether the sensor is a colour sensor."""
        return bool(self._get_json("/v1/isColored"))

    def get_description(self) -> dict[str, Any]:
        """The camera's capabilities and limits."""
        return dict(self._get_json("/v1/getDescription"))

    def get_sensor_info(self) -> dict[str, Any]:
        """The conversion library's sensor information record."""
        return dict(self._get_json("/v1/getSensorInfo"))

    def get_qor_description(self) -> dict[str, Any]:
        """The camera SDK's description record, field by field."""
        return dict(self._get_json("/v1/getQORDescription"))

    # Configuration, exposure and delay.

    def default_configuration(self) -> dict[str, Any]:
        """Restores the default settings and returns the resulting configuration."""
        return dict(self._send_json("PUT", "/v1/defaultConfiguration", {}).json())

    def get_configuration(self) -> dict[str, Any]:
        """The current configuration."""
        return dict(self._get_json("/v1/getConfiguration"))

    def set_configuration(self, config: Mapping[str, Any]) -> None:
        """Applies a configuration; a partial one (for example {"roi": {"x1": 512}}) is completed from
        the current configuration first, since the server takes only complete documents."""
        self._send_json("PUT", "/v1/setConfiguration", merged(self.get_configuration(), config))

    def get_exposure_time(self) -> float:
        """The exposure time in seconds."""
        return float(self._get_json("/v1/getExposureTime")["exposure_s"])

    def set_exposure_time(self, seconds: float) -> None:
        """Sets the exposure time in seconds (also while recording)."""
        self._send_json("PUT", "/v1/setExposureTime", {"exposure_s": float(seconds)})

    def get_delay_time(self) -> float:
        """The delay time in seconds."""
        return float(self._get_json("/v1/getDelayTime")["delay_s"])

    def set_delay_time(self, seconds: float) -> None:
        """Sets the delay time in seconds (also while recording)."""
        self._send_json("PUT", "/v1/setDelayTime", {"delay_s": float(seconds)})

    # Auto exposure.

    def auto_exposure_on(self) -> None:
        """Lets the recorder adjust the exposure time."""
        self._post("/v1/autoExposureOn")

    def auto_exposure_off(self) -> None:
        """Stops adjusting the exposure time."""
        self._post("/v1/autoExposureOff")

    def configure_auto_exposure(
        self, region: str = "balanced", min_exposure_s: float = 0.001, max_exposure_s: float = 0.1
    ) -> None:
        """Sets the auto-exposure region ("balanced", "center_based", "corner_based", "full") and limits."""
        self._send_json(
            "PUT",
            "/v1/configureAutoExposure",
            {"region": region, "min_exposure_s": float(min_exposure_s), "max_exposure_s": float(max_exposure_s)},
        )

    # Conversion settings and look-up tables.

    def get_convert_control(self, format: str) -> dict[str, Any]:
        """The conversion settings of a data format: {"kind": "mono"|"color"|"pseudocolor", "value": {...}}."""
        return dict(self._get_json("/v1/getConvertControl", {"format": format}))

    def set_convert_control(self, format: str, settings: Mapping[str, Any]) -> None:
        """Sets the conversion settings of a data format; a `value` that names only some keys is
        completed from the current settings when the kind stays the same."""
        current = self.get_convert_control(format)
        if settings.get("kind", current["kind"]) == current["kind"]:
            document = merged(current, settings)
        else:
            document = dict(settings)
        self._send_json("PUT", "/v1/setConvertControl", {"format": format, "convert": document})

    def upload_lut(self, source: str | os.PathLike[str] | bytes, filename: str | None = None) -> str:
        """Uploads a look-up table (a file path or its bytes) into the server's table directory and
        returns the name it was stored under."""
        if isinstance(source, bytes):
            content = source
        else:
            content = Path(source).read_bytes()
            filename = filename or Path(source).name
        boundary = uuid.uuid4().hex
        disposition = 'form-data; name="lut"' + (f'; filename="{filename}"' if filename else "")
        body = (
            f"--{boundary}\r\nContent-Disposition: {disposition}\r\n"
            "Content-Type: application/octet-stream\r\n\r\n"
        ).encode() + content + f"\r\n--{boundary}--\r\n".encode()
        reply = self._transport.request(
            "POST", "/v1/uploadLut", body=body, content_type=f"multipart/form-data; boundary={boundary}"
        )
        return str(reply.json()["saved"])

    def load_lut(self, format: str, lut_file: str) -> None:
        """Loads a look-up table for a data format; a relative name is looked up in the server's table directory."""
        self._post("/v1/loadLut", {"format": format, "lutFile": lut_file})

    def adapt_white_balance(self, format: str, crop: Crop | None = None) -> None:
        """Adapts the white balance of a data format to the newest recorded image (or a crop of it)."""
        self._post("/v1/adaptWhiteBalance", {"format": format, "crop": crop_document(crop)})

    # Hardware signals.

    def configure_hwio_1_exposure_trigger(self, on: bool, polarity: str = "rising_edge") -> None:
        """The exposure-trigger input: on or off, "rising_edge" or "falling_edge"."""
        self._send_json("PUT", "/v1/configureHWIO_1_exposureTrigger", {"on": bool(on), "polarity": polarity})

    def configure_hwio_2_acquire_enable(self, on: bool, polarity: str = "high_level") -> None:
        """The acquire-enable input: on or off, "high_level" or "low_level"."""
        self._send_json("PUT", "/v1/configureHWIO_2_acquireEnable", {"on": bool(on), "polarity": polarity})

    def configure_hwio_3_status_busy(
        self, on: bool, polarity: str = "high_level", signal_type: str = "status_busy"
    ) -> bool:
        """The status-busy output ("status_busy", "status_line", "status_armed"); returns the camera's result flag."""
        document = {"on": bool(on), "polarity": polarity, "signal_type": signal_type}
        return bool(self._send_json("PUT", "/v1/configureHWIO_3_statusBusy", document).json()["result"])

    def configure_hwio_4_status_expos(
        self, on: bool, polarity: str = "high_level", signal_type: str = "status_expos", signal_timing: str = "global"
    ) -> bool:
        """The status-exposure output with its signal type and timing; returns the camera's result flag."""
        document = {"on": bool(on), "polarity": polarity, "signal_type": signal_type, "signal_timing": signal_timing}
        return bool(self._send_json("PUT", "/v1/configureHWIO_4_statusExpos", document).json()["result"])

    # Recording.

    def record(
        self,
        count: int = 1,
        mode: str = "sequence",
        file: str | os.PathLike[str] | None = None,
        flags: int = 0,
        timeout: float | None = None,
    ) -> None:
        """Starts a recording of `count` images; the blocking "sequence" mode returns when they are
        recorded. `file` names the target of the file modes (relative to the server's directory, or
        "qor_vram"). `timeout` limits the wait for the answer (None: no limit)."""
        params = _params(imgCount=int(count), recMode=mode, flags=int(flags))
        if file is not None:
            params["file"] = os.fspath(file)  # a plain path, not JSON text
        self._transport.request("POST", "/v1/record", params, timeout=timeout)

    def stop(self) -> None:
        """Stops the recording."""
        self._post("/v1/stop")

    def wait_for_first_image(self, timeout: float | None = None, delay: bool = True) -> None:
        """Waits until the recording has its first image; raises CameraError after `timeout` seconds."""
        self._wait("/v1/waitForFirstImage", timeout, delay)

    def wait_for_new_image(self, timeout: float | None = None, delay: bool = True) -> None:
        """Waits until the recording has an image newer than the last one read (in fifo mode: any
        unread image); raises CameraError after `timeout` seconds."""
        self._wait("/v1/waitForNewImage", timeout, delay)

    def _wait(self, route: str, timeout: float | None, delay: bool) -> None:
        if timeout is not None and math.isnan(timeout):
            timeout = None
        http_timeout = None if timeout is None else timeout + _WAIT_MARGIN_S
        self._post(route, {"timeout": timeout, "delay": delay}, timeout=http_timeout)

    def get_recorded_image_count(self) -> int:
        """How many images the recording holds (in fifo mode: how many wait to be read)."""
        return int(self._get_json("/v1/getRecordedImageCount")["recorded"])

    def get_recorder_buffer_size(self) -> int:
        """How many images the recorder's buffer holds."""
        return int(self._get_json("/v1/getRecorderBufferSize")["buffSize"])

    def trigger(self) -> None:
        """Sends a software trigger (taken only in the trigger modes that wait for one)."""
        self._post("/v1/trigger")

    # Images.

    def image(
        self,
        index: int,
        format: str = "Mono16",
        crop: Crop | None = None,
        comp_params: Mapping[str, float] | None = None,
    ) -> Image:
        """One recorded image (index 0 is the first; 0xFFFFFFFF the newest; in fifo mode the oldest unread)."""
        reply = self._transport.request(
            "GET", "/v1/image", _params(index=index, format=format, crop=crop_document(crop), comp_params=comp_params)
        )
        return Image.from_reply(reply.headers, reply.body)

    def images(
        self,
        start_index: int = 0,
        format: str = "Mono16",
        crop: Crop | None = None,
        comp_params: Mapping[str, float] | None = None,
    ) -> int:
        """Copies the recorded images from `start_index` on into the server's image series and returns
        their number; read them with get_image_from_images."""
        reply = self._transport.request(
            "GET",
            "/v1/images",
            _params(start_index=start_index, format=format, crop=crop_document(crop), comp_params=comp_params),
        )
        self._series_crop = crop_document(crop) or crop_header(reply.headers)
        self._series_format = format
        return int(reply.headers.get("count", "0"))

    def get_image_from_images(self, index: int, crop: Crop | None = None, format: str | None = None) -> Image:
        """An image of the series filled by images(); crop and format default to the ones images() used."""
        reply = self._transport.request(
            "GET",
            "/v1/getImageFromImages",
            _params(
                index=index,
                crop=crop_document(crop) or self._series_crop or {},
                format=format or self._series_format or "Mono16",
            ),
        )
        return Image.from_reply(reply.headers, reply.body)

    def image_average(self, format: str = "Mono16", crop: Crop | None = None) -> Image:
        """The average of the recorded images."""
        reply = self._transport.request("GET", "/v1/imageAverage", _params(format=format, crop=crop_document(crop)))
        return Image.from_reply(reply.headers, reply.body)

    def iter_images(
        self, count: int, format: str = "Mono16", mode: str = "fifo", crop: Crop | None = None, timeout: float = 10.0
    ) -> Iterator[Image]:
        """Records `count` images and yields each as soon as it arrives, in order ("fifo" or
        "sequence_non_blocking"). The recording is stopped when the loop ends; `timeout` limits the
        wait for each image."""
        if mode not in ("fifo", "sequence_non_blocking"):
            raise ValueError(f"iter_images records in fifo or sequence_non_blocking mode, not {mode!r}")
        self.record(count, mode)
        try:
            for index in range(count):
                if mode == "fifo":
                    self.wait_for_new_image(timeout)
                else:
                    while self.get_recorded_image_count() <= index:
                        self.wait_for_new_image(timeout)
                yield self.image(index, format, crop)
        finally:
            if self.is_recording():
                self.stop()

    # Camera RAM.

    def has_ram(self) -> bool:
        """Whether the camera has its own image memory."""
        return bool(self._get_json("/v1/hasRam"))

    def switch_to_cam_ram(self, segment: int | None = None) -> None:
        """Reads images from the camera's memory (the given segment, or the active one)."""
        self._post("/v1/switchToCamRam", {"segment": segment})

    def get_cam_ram_segment(self) -> int:
        """The active camera-memory segment."""
        return int(self._get_json("/v1/getCamRamSegment"))

    def get_cam_ram_max_images(self) -> int:
        """How many images the active segment can hold."""
        return int(self._get_json("/v1/getCamRamMaxImages"))

    def get_cam_ram_num_images(self) -> int:
        """How many images the active segment holds."""
        return int(self._get_json("/v1/getCamRamNumImages"))

    def set_cam_ram_allocation(self, percents: Sequence[int]) -> None:
        """Divides the camera memory among its four segments, in percent."""
        self._send_json("PUT", "/v1/setCamRamAllocation", {"percents": [int(p) for p in percents]})

    def get_cam_ram_allocation(self) -> list[int]:
        """The share of each of the four segments, in percent."""
        return [int(p) for p in self._get_json("/v1/getCamRamAllocation")]


def _params(**values: Any) -> dict[str, str]:
    """Route parameters as JSON text, leaving out those that are None."""
    return json_params(values) or {}
