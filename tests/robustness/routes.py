"""The routes of the camera server and of the light-source server: method, the statuses a route may
answer, and generators of its inputs (mostly valid, partly hostile).

Inputs that would legitimately take long are bounded here, so that a slow answer means a fault:
waits always carry a short time-out, recordings a few images, exposure and delay stay small, and
trigger and acquire modes stay free-running (a blocking recording would otherwise wait for triggers
that never come).
"""
from __future__ import annotations

import copy
import random
from dataclasses import dataclass, field
from typing import Callable, Sequence

from values import Raw, dumps, file_name, hostile, json_text, maybe, nested

Params = list[tuple[str, bytes]]

FORMATS = ["Undefined", "Mono8", "Mono16", "BGR8", "BGRA8", "BGR16", "RGB8", "RGBA8", "RGB16", "CompressedMono8"]
RECORD_MODES = ["sequence", "sequence_non_blocking", "ring_buffer", "fifo", "tif", "multitif", "qorraw", "b16",
                "dicom", "multidicom", "camram_ring", "camram_segment", "unknown_mode"]
POLARITIES = ["high_level", "low_level", "rising_edge", "falling_edge", "sideways"]
SIGNAL_TYPES = ["status_busy", "status_expos", "status_line", "status_armed", "status_other"]
SIGNAL_TIMINGS = ["undefined", "first_line", "global", "last_line", "all_lines", "never"]
REGIONS = ["balanced", "center_based", "corner_based", "full", "center"]
LUMRA_COMMANDS = ["PING", "GET_SERIAL", "GET_TYPE", "GET_PORT", "GET_CHANNELS", "GET_OUTPUT", "GET_TEMPERATURE",
                  "GET_WAVELENGTH", "GET_INTENSITY", "GET_STATE", "SET_INTENSITY", "ping", "REBOOT", ""]

# Values that keep a recording short: exposure and delay in seconds, trigger and acquire modes.
SHORT_TIMES = [0.0, 1e-5, 1e-4, 0.001, 0.005]
NOT_A_TIME = [Raw(b'"0.001"'), Raw(b"null"), Raw(b"[]"), Raw(b"{}"), Raw(b"true"), -1e308, -5.0, -1.0, 1e-9,
              Raw(nested(random.Random(1), 200))]
SAFE_MODES = [0, 4, 99, -2, 65536, Raw(b'"0"'), Raw(b"null")]


CANONICAL_CROP = b'{"x0":1,"y0":1,"x1":64,"y1":64}'


@dataclass
class Context:
    """Everything the generators need: the random source and what the server told at start."""
    rng: random.Random
    port: int = 8080
    configuration: dict = field(default_factory=dict)
    color_settings: dict = field(default_factory=dict)
    mono_settings: dict = field(default_factory=dict)
    lumra_configuration: dict = field(default_factory=dict)
    lut_paths: list[str] = field(default_factory=list)
    recording_folder: str = "rec"


@dataclass
class Route:
    method: str
    path: str
    allowed: frozenset[int]
    params: Callable[[Context], Params] | None = None
    body: Callable[[Context], tuple[bytes, str]] | None = None

    @property
    def name(self) -> str:
        return f"{self.method} {self.path}"


def statuses(*codes: int) -> frozenset[int]:
    return frozenset(codes)


# --- camera inputs --------------------------------------------------------------------------------

def data_format(c: Context) -> bytes:
    name = c.rng.choice(FORMATS + ["Mono16", "Mono16", "BGR8", "Bogus", "mono16"])
    return maybe(c.rng, json_text(name), 0.08) if c.rng.random() > 0.03 else name.encode()


def small_crop(c: Context) -> bytes:
    """A crop of at most 256 x 256 pixels, sometimes outside the image or malformed."""
    if c.rng.random() < 0.3:
        return CANONICAL_CROP  # shared by the series routes, so that a stored series matches now and then
    x0, y0 = c.rng.choice([1, 1, 9, 33, 1001, 2041]), c.rng.choice([1, 1, 17, 401, 1193])
    w, h = c.rng.choice([8, 16, 64, 256, 0, -4]), c.rng.choice([8, 16, 64, 256, 0])
    crop: dict[str, object] = {"x0": x0, "y0": y0, "x1": x0 + w - 1, "y1": y0 + h - 1}
    if c.rng.random() < 0.1:
        crop[c.rng.choice(list(crop))] = Raw(hostile(c.rng, max_length=200, deep=200))
    if c.rng.random() < 0.03:
        del crop[c.rng.choice(list(crop))]
    return maybe(c.rng, dumps(crop), 0.08, max_length=2000, deep=2000)


def any_crop(c: Context) -> bytes:
    """A crop anywhere, up to the full image (only where the answer holds a single image)."""
    if c.rng.random() < 0.3:
        return json_text({"x0": 1, "y0": 1, "x1": c.rng.choice([1920, 2048]), "y1": c.rng.choice([1200, 2048])})
    return small_crop(c)


def comp_params(c: Context) -> bytes:
    params: dict[str, object] = {"dGainK": c.rng.choice([1.0, 0.46, 0.0, -1.0]), "dDarkNoise_e": 1.2, "dDSNU_e": 0.3,
              "dPRNU_pct": 0.5, "dLightSourceNoise_pct": c.rng.choice([0.0, 1.0, 1e308])}
    if c.rng.random() < 0.1:
        del params[c.rng.choice(list(params))]
    if c.rng.random() < 0.1:
        params[c.rng.choice(list(params))] = Raw(hostile(c.rng, max_length=200, deep=200))
    return maybe(c.rng, dumps(params), 0.05, max_length=2000, deep=2000)


def index(c: Context) -> bytes:
    return maybe(c.rng, json_text(c.rng.choice([0, 0, 0, 1, 1, 2, 3, 5, -1, 4294967295, 70000])), 0.1)


def timeout(c: Context) -> bytes:
    # Only short time-outs or texts that are not numbers at all: a missing time-out waits forever.
    if c.rng.random() < 0.2:
        return c.rng.choice([b"x", b"{", b"[]", b'"0.1"', b"true", b"null", b"", b"NaN", b"1e400", b"\xff"])
    return json_text(c.rng.choice([0, 0.01, 0.05, 0.2, -1, -1e308]))


def lut_file(c: Context) -> bytes:
    if c.rng.random() < 0.15:
        return hostile(c.rng, max_length=3000, deep=500)
    return json_text(c.rng.choice(c.lut_paths))


def optional(c: Context, params: Params, name: str, value: Callable[[Context], bytes], chance: float = 0.5) -> None:
    if c.rng.random() < chance:
        params.append((name, value(c)))


def p_format(c: Context) -> Params:
    return [("format", data_format(c))]


def p_record(c: Context) -> Params:
    params: Params = []
    optional(c, params, "imgCount", lambda c: maybe(c.rng, json_text(c.rng.choice([0, 1, 1, 2, 3])), 0.1,
                                                      max_length=300, deep=300)
             if c.rng.random() < 0.9 else c.rng.choice([b"x", b"[]", b'"3"', b"{", b"NaN"]), 0.8)
    mode = c.rng.choice(RECORD_MODES)
    optional(c, params, "recMode", lambda c: json_text(mode) if c.rng.random() < 0.9
             else c.rng.choice([mode.encode(), b"7", b"[]", b"{", b'"\xff"']), 0.85)
    if mode not in ("sequence", "sequence_non_blocking", "ring_buffer", "fifo") or c.rng.random() < 0.2:
        params.append(("file", record_path(c)))
    optional(c, params, "flags", lambda c: maybe(c.rng, json_text(c.rng.choice([0, 1, 3, 65535])), 0.2), 0.2)
    return params


def record_path(c: Context) -> bytes:
    """A path inside the run's recording folder, or the scratch folder "qor_vram"."""
    if c.rng.random() < 0.2:
        return b"qor_vram"
    folder = c.recording_folder
    name = c.rng.choice(["img", "series.tif", "a b.dcm", "sub/x.b16", "n\xe9.raw", "deep/er/f.tif", ".",
                         "", "x" * 300, "..", "ok/../ok2.tif", "missing/folder/x.tif"])
    return f"{folder}/{name}".encode("utf-8", "surrogateescape")


def p_wait(c: Context) -> Params:
    params = [("timeout", timeout(c))]
    optional(c, params, "delay", lambda c: maybe(c.rng, c.rng.choice([b"true", b"false"]), 0.2), 0.5)
    return params


def p_image(c: Context) -> Params:
    params = [("index", index(c)), ("format", data_format(c))]
    optional(c, params, "crop", any_crop)
    optional(c, params, "comp_params", comp_params, 0.25)
    return params


# A series request and a read from it that match, sent now and then so that reads from a stored
# series succeed too.
CANONICAL_SERIES = [("format", b'"Mono16"'), ("crop", CANONICAL_CROP)]


def p_images(c: Context) -> Params:
    if c.rng.random() < 0.3:
        return [("start_index", b"0"), *CANONICAL_SERIES]
    params = [("start_index", index(c)), ("format", data_format(c))]
    # The mono camera's RAM holds 64 full images: without a crop a series could take most of a GiB.
    if c.port == 8080 or c.rng.random() < 0.5:
        params.append(("crop", small_crop(c)))
    optional(c, params, "comp_params", comp_params, 0.25)
    return params


def p_from_images(c: Context) -> Params:
    if c.rng.random() < 0.4:
        return [("index", c.rng.choice([b"0", b"1"])), *CANONICAL_SERIES]
    return [("index", index(c)), ("crop", small_crop(c)), ("format", data_format(c))]


def p_average(c: Context) -> Params:
    params = p_format(c)
    optional(c, params, "crop", any_crop)
    return params


def p_segment(c: Context) -> Params:
    params: Params = []
    optional(c, params, "segment", lambda c: maybe(c.rng, json_text(c.rng.choice([1, 2, 3, 4, 0, 5])), 0.3))
    return params


def p_white_balance(c: Context) -> Params:
    params = p_format(c)
    optional(c, params, "crop", small_crop)
    return params


def p_load_lut(c: Context) -> Params:
    return [("format", data_format(c)), ("lutFile", lut_file(c))]


def json_body(value) -> Callable[[Context], tuple[bytes, str]]:
    return lambda c: (dumps(value(c)), "application/json")


def spoil(c: Context, document: dict, chance: float = 0.25, keep_times: tuple[str, ...] = ()) -> dict:
    """Replaces, drops or adds keys of an object; keys in `keep_times` only get short times or non-numbers."""
    document = copy.deepcopy(document)
    for key in list(document):
        roll = c.rng.random()
        if roll < chance / 3:
            del document[key]
        elif roll < chance:
            if key in keep_times:
                document[key] = c.rng.choice(NOT_A_TIME + SHORT_TIMES)
            else:
                document[key] = Raw(hostile(c.rng, max_length=2000, deep=5000))
    if c.rng.random() < 0.1:
        document[c.rng.choice(["extra", "", "\u0000", "x" * 100])] = Raw(hostile(c.rng))
    if document and c.rng.random() < 0.03:
        # A value nested deeper than any recursive copy or comparison could follow on a thread's stack.
        document[c.rng.choice(list(document))] = Raw(nested(c.rng, 100000))
    return document


def b_configuration(c: Context) -> dict:
    config = copy.deepcopy(c.configuration) or {"exposure_time_s": 0.001}
    if c.rng.random() < 0.5:  # a subset of the keys
        config = {k: v for k, v in config.items() if c.rng.random() < 0.4}
    for key in ("exposure_time_s", "delay_time_s"):
        if key in config:
            config[key] = c.rng.choice(SHORT_TIMES)
    for key in ("trigger_mode", "acquire_mode"):
        if key in config:
            config[key] = c.rng.choice(SAFE_MODES)
    if "auto_exposure" in config and isinstance(config["auto_exposure"], dict):
        config["auto_exposure"] = spoil(c, {**config["auto_exposure"], "max_exposure_s": c.rng.choice(SHORT_TIMES)},
                                        keep_times=("min_exposure_s", "max_exposure_s"))
    if "roi" in config and c.rng.random() < 0.3:
        config["roi"] = {"x0": c.rng.choice([1, 0, 9, 1025]), "y0": c.rng.choice([1, 3, 601]),
                         "x1": c.rng.choice([1920, 2048, 64, 4096]), "y1": c.rng.choice([1200, 2048, 64, 0])}
    keep = ("exposure_time_s", "delay_time_s", "trigger_mode", "acquire_mode", "auto_exposure")
    spoiled = spoil(c, {k: v for k, v in config.items() if k not in keep})
    spoiled.update({k: v for k, v in config.items() if k in keep})
    return spoiled


def b_convert(c: Context) -> dict:
    kind = c.rng.choice(["mono", "color", "pseudocolor", "other"])
    if kind == "mono":
        value = c.mono_settings
    else:
        value = dict(c.color_settings)
        if kind == "pseudocolor":
            value.pop("qor_debayer_algorithm", None)
            value["lut_file"] = Raw(lut_file(c))
    document = {"format": Raw(data_format(c)), "convert": {"kind": kind, "value": spoil(c, value, 0.1)}}
    return spoil(c, document, 0.1)


def b_hwio(keys: tuple[str, ...]) -> Callable[[Context], dict]:
    tables: dict[str, Sequence[object]] = {"on": [True, False, 1, "yes"], "polarity": POLARITIES,
                                           "signal_type": SIGNAL_TYPES, "signal_timing": SIGNAL_TIMINGS}
    return lambda c: spoil(c, {k: c.rng.choice(tables[k]) for k in keys}, 0.15)


def b_auto_exposure(c: Context) -> dict:
    document = {"region": c.rng.choice(REGIONS + [3, None]), "min_exposure_s": c.rng.choice(SHORT_TIMES),
                "max_exposure_s": c.rng.choice(SHORT_TIMES)}
    return spoil(c, document, 0.2, keep_times=("min_exposure_s", "max_exposure_s"))


def b_percents(c: Context) -> dict:
    percents = c.rng.choice([[25, 25, 25, 25], [100, 0, 0, 0], [50, 50], [101, 0, 0, 0], [-1, 0, 0, 0],
                             [1e308, 0, 0, 0], [], [10, 20, 30, 40, 0], ["a", 0, 0, 0]])
    return spoil(c, {"percents": percents}, 0.1)


def b_time(key: str) -> Callable[[Context], dict]:
    return lambda c: spoil(c, {key: c.rng.choice(SHORT_TIMES)}, 0.2, keep_times=(key,))


def multipart_upload(c: Context) -> tuple[bytes, str]:
    """A multipart form with a "lut" part (usually), a hostile file name and random content."""
    boundary = c.rng.choice(["qorfuzz", "x" * 70, "----b", "a b"])
    parts = []
    for _ in range(c.rng.choice([1, 1, 1, 2, 3])):
        name = b"lut" if c.rng.random() < 0.85 else c.rng.choice([b"LUT", b"file", b"", b"lut\x00"])
        header = b'Content-Disposition: form-data; name="' + name + b'"'
        if c.rng.random() < 0.9:
            header += b'; filename="' + file_name(c.rng) + b'"'
        size = c.rng.choice([0, 1, 768, 768, 1000, 70000])
        content = c.rng.randbytes(size)
        parts.append(b"--" + boundary.encode() + b"\r\n" + header + b"\r\nContent-Type: application/octet-stream"
                     b"\r\n\r\n" + content + b"\r\n")
    closing = b"--" + boundary.encode() + b"--\r\n" if c.rng.random() < 0.95 else b""
    return b"".join(parts) + closing, f"multipart/form-data; boundary={boundary}"


R2 = statuses(200, 503)


def camera_routes() -> list[Route]:
    """The 49 camera routes in registration order."""
    get = lambda path, allowed=R2, params=None: Route("GET", path, allowed, params)  # noqa: E731
    return [
        Route("GET", "/v1/info", statuses(200)),
        Route("POST", "/v1/heartbeat", statuses(200)),
        Route("POST", "/v1/setFree", R2),
        Route("POST", "/v1/uploadLut", statuses(200, 400, 500), body=multipart_upload),
        get("/v1/getName"), get("/v1/getRawFormat"), get("/v1/getSerial"), get("/v1/getInterface"),
        get("/v1/isRecording"), get("/v1/isColored"), get("/v1/getDescription"),
        Route("PUT", "/v1/defaultConfiguration", R2),
        get("/v1/getConfiguration"),
        Route("PUT", "/v1/setConfiguration", statuses(200, 500, 503), body=json_body(b_configuration)),
        get("/v1/getExposureTime"),
        Route("PUT", "/v1/setExposureTime", statuses(200, 500, 503), body=json_body(b_time("exposure_s"))),
        get("/v1/getDelayTime"),
        Route("PUT", "/v1/setDelayTime", statuses(200, 500, 503), body=json_body(b_time("delay_s"))),
        Route("POST", "/v1/record", statuses(200, 409, 500, 503), p_record),
        Route("POST", "/v1/stop", R2),
        Route("POST", "/v1/waitForFirstImage", statuses(200, 500, 503), p_wait),
        Route("POST", "/v1/waitForNewImage", statuses(200, 500, 503), p_wait),
        get("/v1/getRecordedImageCount"), get("/v1/getRecorderBufferSize"),
        Route("POST", "/v1/trigger", R2),
        Route("POST", "/v1/autoExposureOn", R2),
        Route("POST", "/v1/autoExposureOff", R2),
        Route("PUT", "/v1/configureAutoExposure", statuses(200, 500, 503), body=json_body(b_auto_exposure)),
        get("/v1/getConvertControl", statuses(200, 400, 500, 503), p_format),
        Route("PUT", "/v1/setConvertControl", statuses(200, 400, 404, 500, 503), body=json_body(b_convert)),
        Route("PUT", "/v1/configureHWIO_1_exposureTrigger", statuses(200, 400, 500, 503),
              body=json_body(b_hwio(("on", "polarity")))),
        Route("PUT", "/v1/configureHWIO_2_acquireEnable", statuses(200, 400, 500, 503),
              body=json_body(b_hwio(("on", "polarity")))),
        Route("PUT", "/v1/configureHWIO_3_statusBusy", statuses(200, 400, 500, 503),
              body=json_body(b_hwio(("on", "polarity", "signal_type")))),
        Route("PUT", "/v1/configureHWIO_4_statusExpos", statuses(200, 400, 500, 503),
              body=json_body(b_hwio(("on", "polarity", "signal_type", "signal_timing")))),
        Route("POST", "/v1/loadLut", statuses(200, 400, 404, 500, 503), p_load_lut),
        Route("POST", "/v1/adaptWhiteBalance", statuses(200, 400, 500, 503), p_white_balance),
        get("/v1/image", statuses(200, 400, 500, 503), p_image),
        get("/v1/images", statuses(200, 400, 500, 503), p_images),
        get("/v1/getImageFromImages", statuses(200, 400, 500), p_from_images),
        get("/v1/imageAverage", statuses(200, 400, 500, 503), p_average),
        get("/v1/hasRam"),
        Route("POST", "/v1/switchToCamRam", statuses(200, 500, 503), p_segment),
        get("/v1/getCamRamSegment"), get("/v1/getCamRamMaxImages"), get("/v1/getCamRamNumImages"),
        Route("PUT", "/v1/setCamRamAllocation", statuses(200, 400, 500, 503), body=json_body(b_percents)),
        get("/v1/getCamRamAllocation"),
        get("/v1/getSensorInfo"), get("/v1/getQORDescription"),
    ]


# --- light-source inputs --------------------------------------------------------------------------

def b_lumra_configuration(c: Context) -> tuple[bytes, str]:
    config = copy.deepcopy(c.lumra_configuration) or {"intensities": [0, 0], "on_states": [0, 0]}
    roll = c.rng.random()
    if roll < 0.2:
        # Deep nesting under a known key: converted values must not recurse without bound.
        config[c.rng.choice(["intensities", "on_states"])] = Raw(nested(c.rng, c.rng.choice([10, 1000, 100000,
                                                                                                 100000])))
    elif roll < 0.6:
        for key in config:
            values = config[key] if isinstance(config[key], list) else []
            if c.rng.random() < 0.5:
                config[key] = [c.rng.choice([0, 1, 500, 1000, 1001, -1, 4294967296, True, 2.5, "1", None])
                               for _ in values] + ([1] if c.rng.random() < 0.2 else [])
    config = spoil(c, config, 0.15)
    return dumps(config), "application/json"


def p_command(c: Context) -> Params:
    params: Params = []
    command = c.rng.choice(LUMRA_COMMANDS)
    optional(c, params, "command", lambda c: maybe(c.rng, json_text(command), 0.2) if c.rng.random() < 0.95
             else command.encode(), 0.9)
    optional(c, params, "in_val", lambda c: maybe(c.rng, json_text(c.rng.choice(["0", "1", "0,500", "1,1001",
                                                                                   "99", "", "a,b", "0,"])), 0.2))
    return params


def p_library(c: Context) -> Params:
    params: Params = []
    optional(c, params, "library", lambda c: maybe(c.rng, json_text(c.rng.choice(["", "lumra", "x" * 2000])), 0.3))
    return params


def lumra_routes() -> list[Route]:
    """The 13 light-source routes in registration order."""
    return [
        Route("GET", "/v1/info", statuses(200)),
        Route("POST", "/v1/heartbeat", statuses(200)),
        Route("POST", "/v1/setFree", statuses(200, 500)),
        Route("GET", "/v1/getComPort", R2),
        Route("GET", "/v1/getType", R2),
        Route("GET", "/v1/getDescription", R2),
        Route("GET", "/v1/getConfiguration", R2),
        Route("POST", "/v1/setConfiguration", statuses(200, 500, 503), body=b_lumra_configuration),
        Route("POST", "/v1/defaultConfiguration", statuses(200, 500, 503)),
        Route("POST", "/v1/switchOff", statuses(200, 500)),
        Route("POST", "/v1/switchOn", statuses(200, 500)),
        Route("POST", "/v1/executeCommand", statuses(200, 400, 500, 503), p_command),
        Route("GET", "/v1/getVersions", statuses(200, 500), p_library),
    ]
