"""The `qorcam` command: discovery, settings, snapshots, recordings and light sources from a shell."""

from __future__ import annotations

import argparse
import dataclasses
import json
import sys
import threading
import time
from pathlib import Path
from typing import Any, Callable, Iterable, Sequence, TypeVar

from ._device import Device
from ._optional import optional
from .camera import Camera
from .discovery import discover
from .errors import QorError
from .image import DATA_FORMATS
from .lightsource import LightSource

_T = TypeVar("_T")
_D = TypeVar("_D", bound=Device)

RECORD_MODES = (
    "sequence", "sequence_non_blocking", "ring_buffer", "fifo", "tif", "multitif", "qorraw", "b16", "dicom",
    "multidicom", "camram_ring", "camram_segment",
)


class UsageError(Exception):
    """A command line that names something that does not exist (exit status 2)."""


# Output.

def _table(rows: Sequence[Sequence[Any]], header: Sequence[str] | None = None) -> str:
    lines = [list(header)] if header else []
    lines += [[_cell(value) for value in row] for row in rows]
    if not lines:
        return ""
    widths = [max(len(line[i]) for line in lines) for i in range(len(lines[0]))]
    return "\n".join("  ".join(cell.ljust(width) for cell, width in zip(line, widths)).rstrip() for line in lines)


def _cell(value: Any) -> str:
    if isinstance(value, bool):
        return "yes" if value else "no"
    if isinstance(value, (dict, list)):
        return json.dumps(value, separators=(",", ":"))
    return str(value)


def _flatten(document: dict[str, Any], prefix: str = "") -> list[tuple[str, Any]]:
    rows: list[tuple[str, Any]] = []
    for key in sorted(document):
        value = document[key]
        if isinstance(value, dict):
            rows += _flatten(value, f"{prefix}{key}.")
        else:
            rows.append((prefix + key, value))
    return rows


def _emit(args: argparse.Namespace, document: Any, text: str) -> None:
    print(json.dumps(document, indent=2) if args.json else text)


def _progress(items: Iterable[_T], total: int, description: str) -> Iterable[_T]:
    tqdm = optional("tqdm")
    if tqdm is None:
        return items
    bar: Iterable[_T] = tqdm.tqdm(items, total=total, desc=description, unit="image", disable=None, file=sys.stderr)
    return bar


def _waiting(action: Callable[[], None], limit_s: float | None, description: str) -> None:
    """Runs a blocking call with an elapsed-time bar on standard error when tqdm is installed."""
    tqdm = optional("tqdm")
    if tqdm is None:
        action()
        return
    failure: list[BaseException] = []

    def run() -> None:
        try:
            action()
        except BaseException as error:  # handed to the main thread
            failure.append(error)

    worker = threading.Thread(target=run, daemon=True)
    start = time.monotonic()
    worker.start()
    with tqdm.tqdm(total=limit_s, desc=description, unit="s", disable=None, file=sys.stderr,
                   bar_format="{desc}: {elapsed}" if limit_s is None else None) as bar:
        while worker.is_alive():
            worker.join(0.1)
            elapsed = time.monotonic() - start
            bar.update(min(elapsed, limit_s or elapsed) - bar.n)
    if failure:
        raise failure[0]


# Selection of the device.

def _select(args: argparse.Namespace, cls: type[_D], default_port: int | None) -> _D:
    """The device named by --host/--port, or found by discovery with --serial/--name (or without a
    default port)."""
    if args.serial is not None or args.name is not None or (args.port is None and default_port is None):
        targets = [args.host] if args.host else None
        return cls.find(serial=args.serial, name=args.name, timeout=args.discovery_timeout, targets=targets)
    port = args.port if args.port is not None else default_port
    assert port is not None
    return cls(args.host or "127.0.0.1", port)


def _camera(args: argparse.Namespace) -> Camera:
    return _select(args, Camera, 8080)


# Sub-commands.

def _discover(args: argparse.Namespace) -> None:
    entries = discover(args.type, timeout=args.discovery_timeout, targets=[args.host] if args.host else None)
    rows = [(e.type, e.host, e.port, e.name, e.serial, e.free) for e in entries]
    _emit(args, [dataclasses.asdict(e) for e in entries],
          _table(rows, ("TYPE", "HOST", "PORT", "NAME", "SERIAL", "FREE")) if rows else f"no {args.type} server found")


def _info(args: argparse.Namespace) -> None:
    cam = _camera(args)
    entry = cam.info()
    document = {
        "host": entry.host,
        "port": entry.port,
        "name": cam.get_name(),
        "serial": cam.get_serial(),
        "interface": cam.get_interface(),
        "raw_format": cam.get_raw_format(),
        "colored": cam.is_colored(),
        "recording": cam.is_recording(),
        "free": entry.free,
        "exposure_time_s": cam.get_exposure_time(),
        "delay_time_s": cam.get_delay_time(),
        "recorded_images": cam.get_recorded_image_count(),
        "has_ram": cam.has_ram(),
    }
    _emit(args, document, _table(list(document.items())))


def _parse_assignments(assignments: Sequence[str]) -> dict[str, Any]:
    changes: dict[str, Any] = {}
    for assignment in assignments:
        key, sep, text = assignment.partition("=")
        if not sep or not key:
            raise UsageError(f"expected KEY=VALUE, not {assignment!r}")
        try:
            value: Any = json.loads(text)
        except ValueError:
            value = text  # a bare word such as full or average
        target = changes
        *parents, leaf = key.split(".")
        for parent in parents:
            target = target.setdefault(parent, {})
        target[leaf] = value
    return changes


def _check_keys(changes: dict[str, Any], current: dict[str, Any], prefix: str = "") -> None:
    for key, value in changes.items():
        if key not in current:
            known = ", ".join(sorted(prefix + k for k in current))
            raise UsageError(f"unknown configuration key {prefix + key!r}; known keys: {known}")
        if isinstance(value, dict) and isinstance(current[key], dict):
            _check_keys(value, current[key], f"{prefix}{key}.")


def _config(args: argparse.Namespace) -> None:
    cam = _camera(args)
    if args.action == "get":
        config = cam.get_configuration()
        _emit(args, config, _table(_flatten(config)))
        return
    if args.file is not None:
        changes = json.loads(Path(args.file).read_text())
        if not isinstance(changes, dict):
            raise UsageError(f"{args.file} does not hold a JSON object")
        if args.assignments:
            changes.update(_parse_assignments(args.assignments))
    elif args.assignments:
        changes = _parse_assignments(args.assignments)
    else:
        raise UsageError("config set needs KEY=VALUE pairs or -f FILE")
    _check_keys(changes, cam.get_configuration())
    cam.set_configuration(changes)
    config = cam.get_configuration()
    _emit(args, config, _table(_flatten(config)))


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a positive number of images, not {text!r}")
    return value


def _crop(text: str) -> tuple[int, int, int, int]:
    try:
        x0, y0, x1, y1 = (int(v) for v in text.split(","))
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected x0,y0,x1,y1 (four integers), not {text!r}") from None
    return x0, y0, x1, y1


def _snap(args: argparse.Namespace) -> None:
    out = Path(args.output)
    if out.suffix.lower() not in (".tif", ".tiff", ".npy", ".raw"):
        raise UsageError(f"cannot save {out.name}: use the extension .tif, .npy or .raw")
    cam = _camera(args)
    cam.record(args.count, "sequence")
    paths = [out] if args.count == 1 else [out.with_name(f"{out.stem}_{i:04d}{out.suffix}") for i in range(args.count)]
    saved = []
    for index, path in _progress(enumerate(paths), len(paths), "download"):
        image = cam.image(index, args.format, args.crop)
        image.save(path)
        saved.append({"path": str(path), **{k: v for k, v in image.properties().items() if k != "metadata"}})
    _emit(args, saved, "\n".join(f"{s['path']}: {s['width']} x {s['height']} {s['format']}, image {s['number']}"
                                 for s in saved))


def _record(args: argparse.Namespace) -> None:
    cam = _camera(args)

    def action() -> None:
        cam.record(args.count, args.mode, args.file)

    if args.mode == "sequence":  # the only mode whose request returns when the images are in
        _waiting(action, None, "recording")
    else:
        action()
    document = {"mode": args.mode, "recording": cam.is_recording(), "recorded": cam.get_recorded_image_count()}
    _emit(args, document, _table(list(document.items())))


def _wait(args: argparse.Namespace) -> None:
    cam = _camera(args)
    wait = cam.wait_for_new_image if args.new else cam.wait_for_first_image
    start = time.monotonic()
    _waiting(lambda: wait(args.timeout), args.timeout, "waiting for an image")
    document = {"waited_s": round(time.monotonic() - start, 3), "recorded": cam.get_recorded_image_count()}
    _emit(args, document, _table(list(document.items())))


def _lut(args: argparse.Namespace) -> None:
    cam = _camera(args)
    if args.action == "upload":
        saved = cam.upload_lut(args.file)
        document: dict[str, Any] = {"saved": saved}
        if args.format:
            cam.load_lut(args.format, saved)
            document["loaded_for"] = args.format
    else:
        cam.load_lut(args.format or "Mono8", args.file)
        document = {"loaded": args.file, "format": args.format or "Mono8"}
    _emit(args, document, _table(list(document.items())))


def _light(args: argparse.Namespace) -> None:
    light = _select(args, LightSource, None)
    if args.action == "on":
        light.switch_on()
    elif args.action == "off":
        light.switch_off()
    description = light.get_description()
    config = light.get_configuration()
    document = {"host": light.host, "port": light.port, "description": description, "configuration": config}
    rows = [("light source", f"{description.get('name', '')} (serial {description.get('serial', '?')}) at "
             f"{light.host}:{light.port}")]
    for i, (intensity, on) in enumerate(zip(config["intensities"], config["on_states"])):
        wavelengths = description.get("wavelenghts_vec", [])
        label = f"{wavelengths[i]} nm" if i < len(wavelengths) else f"channel {i}"
        rows.append((label, f"{'on ' if on else 'off'} intensity {intensity}"))
    _emit(args, document, _table(rows))


# The parser.

def _selection() -> argparse.ArgumentParser:
    common = argparse.ArgumentParser(add_help=False)
    group = common.add_argument_group("device selection")
    group.add_argument("--host", help="server host (default 127.0.0.1)")
    group.add_argument("--port", type=int, help="server port (default 8080 for cameras)")
    group.add_argument("--serial", type=int, help="find the device with this serial number by discovery")
    group.add_argument("--name", help="find the device with this name by discovery")
    group.add_argument("--discovery-timeout", type=float, default=1.0, metavar="S",
                       help="seconds to collect discovery replies (default 1)")
    common.add_argument("--json", action="store_true", help="print JSON for scripts instead of a table")
    return common


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of the `qorcam` command."""
    common = _selection()
    parser = argparse.ArgumentParser(prog="qorcam", description="Drive qor camera and light-source servers.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    p = commands.add_parser("discover", parents=[common], help="list the servers on this computer and network")
    p.add_argument("--type", default="camera", choices=("camera", "lumra"), help="kind of server (default camera)")
    p.set_defaults(run=_discover)

    p = commands.add_parser("info", parents=[common], help="show a camera's identity and state")
    p.set_defaults(run=_info)

    p = commands.add_parser("config", help="read or change a camera's configuration")
    actions = p.add_subparsers(dest="action", required=True, metavar="ACTION")
    actions.add_parser("get", parents=[common], help="print the configuration")
    s = actions.add_parser("set", parents=[common], help="change some settings (KEY=VALUE, dotted keys: roi.x1=512)")
    s.add_argument("assignments", nargs="*", metavar="KEY=VALUE")
    s.add_argument("-f", "--file", help="a JSON file with (part of) a configuration")
    p.set_defaults(run=_config)

    p = commands.add_parser("snap", parents=[common], help="record images and save them")
    p.add_argument("-n", "--count", type=_positive, default=1, help="number of images (files get a _NNNN suffix)")
    p.add_argument("--format", default="Mono16", choices=DATA_FORMATS, help="data format (default Mono16)")
    p.add_argument("--crop", type=_crop, help="x0,y0,x1,y1 in 1-based, inclusive pixels")
    p.add_argument("-o", "--output", required=True, help="OUT.tif, OUT.npy or OUT.raw")
    p.set_defaults(run=_snap)

    p = commands.add_parser("record", parents=[common], help="start a recording")
    p.add_argument("--mode", default="sequence", choices=RECORD_MODES, help="record mode (default sequence)")
    p.add_argument("--count", type=_positive, default=1, help="number of images (default 1)")
    p.add_argument("--file", help="target of the file modes, on the server (or qor_vram)")
    p.set_defaults(run=_record)

    p = commands.add_parser("wait", parents=[common], help="wait for the first (or a new) image of the recording")
    p.add_argument("--new", action="store_true", help="wait for an image newer than the last one read")
    p.add_argument("--timeout", type=float, help="give up after this many seconds")
    p.set_defaults(run=_wait)

    p = commands.add_parser("lut", help="upload or load look-up tables")
    actions = p.add_subparsers(dest="action", required=True, metavar="ACTION")
    u = actions.add_parser("upload", parents=[common], help="upload a table file to the server")
    u.add_argument("file")
    u.add_argument("--format", choices=DATA_FORMATS, help="also load it for this data format")
    ld = actions.add_parser("load", parents=[common], help="load a table on the server for a data format")
    ld.add_argument("file")
    ld.add_argument("--format", choices=DATA_FORMATS, help="data format (default Mono8)")
    p.set_defaults(run=_lut)

    p = commands.add_parser("light", parents=[common], help="switch a light source or show its state")
    p.add_argument("action", choices=("on", "off", "status"))
    p.set_defaults(run=_light)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command; returns 0 on success, 1 on a device or request error, 2 on a usage error
    (130 when interrupted)."""
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        args.run(args)
    except UsageError as error:
        parser.print_usage(sys.stderr)
        print(f"qorcam: error: {error}", file=sys.stderr)
        return 2
    except (QorError, OSError, ValueError) as error:
        print(f"qorcam: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("qorcam: interrupted", file=sys.stderr)
        return 130
    return 0
