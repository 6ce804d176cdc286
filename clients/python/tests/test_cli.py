"""The `qorcam` command run as a subprocess against the real server."""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

import numpy
import pytest
import tifffile
from servers import REPO, SOURCE, ServerProcess

from qorcam import Camera


def qorcam(*args: str, cwd: Path | None = None) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "qorcam", *args], capture_output=True, text=True, timeout=120, cwd=cwd,
        env={"PYTHONPATH": str(SOURCE), "PATH": "/usr/bin:/bin"},
    )


def test_discover_json_lists_both_cameras(server: ServerProcess) -> None:
    result = qorcam("discover", "--json")
    assert result.returncode == 0, result.stderr
    assert [(e["host"], e["port"], e["serial"], e["type"]) for e in json.loads(result.stdout)] == [
        ("127.0.0.1", 8080, 10001, "camera"), ("127.0.0.1", 8081, 10002, "camera")]
    table = qorcam("discover").stdout.splitlines()
    assert table[0].split() == ["TYPE", "HOST", "PORT", "NAME", "SERIAL", "FREE"]
    assert "SimCam Color" in table[2]


def test_snap_writes_a_tiff_with_pixels_and_properties(server: ServerProcess, tmp_path: Path) -> None:
    result = qorcam("snap", "--port", "8081", "--crop", "1,1,64,32", "-o", "a.tif", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    with tifffile.TiffFile(tmp_path / "a.tif") as tif:
        pixels = tif.pages[0].asarray()
        properties = json.loads(tif.pages[0].description)
    assert pixels.shape == (32, 64) and pixels.dtype == numpy.uint16
    assert properties["number"] == 1 and properties["crop"] == {"x0": 1, "y0": 1, "x1": 64, "y1": 32}
    expected = Camera("127.0.0.1", 8081).image(0, crop=(1, 1, 64, 32)).pixels
    assert numpy.array_equal(pixels, expected)


def test_snap_of_several_images_numbers_the_files(server: ServerProcess, tmp_path: Path) -> None:
    result = qorcam("snap", "-n", "3", "--crop", "1,1,16,16", "-o", str(tmp_path / "s.npy"), "--json")
    assert result.returncode == 0, result.stderr
    saved = json.loads(result.stdout)
    assert [Path(s["path"]).name for s in saved] == ["s_0000.npy", "s_0001.npy", "s_0002.npy"]
    assert [s["number"] for s in saved] == [1, 2, 3]
    assert numpy.load(tmp_path / "s_0002.npy").shape == (16, 16)


def test_config_set_by_keys_and_by_file(server: ServerProcess, tmp_path: Path) -> None:
    cam = Camera("127.0.0.1", 8080)
    try:
        result = qorcam("config", "set", "exposure_time_s=0.002", "roi.x1=512", "auto_exposure.region=full", "--json")
        assert result.returncode == 0, result.stderr
        config = json.loads(result.stdout)
        assert config["exposure_time_s"] == pytest.approx(0.002) and config["roi"]["x1"] == 512
        assert cam.get_configuration()["auto_exposure"]["region"] == "full"
        (tmp_path / "c.json").write_text('{"delay_time_s": 0.003}')
        result = qorcam("config", "set", "-f", str(tmp_path / "c.json"), "--port", "8080")
        assert result.returncode == 0, result.stderr
        assert cam.get_delay_time() == pytest.approx(0.003)
        assert "roi.x1" in qorcam("config", "get").stdout
    finally:
        cam.default_configuration()


def test_record_wait_info_and_lut(server: ServerProcess, tmp_path: Path) -> None:
    result = qorcam("record", "--mode", "ring_buffer", "--count", "5", "--json")
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout)["recording"] is True
    result = qorcam("wait", "--timeout", "5", "--json")
    assert result.returncode == 0, result.stderr
    info = json.loads(qorcam("info", "--json").stdout)
    assert (info["name"], info["recording"]) == ("SimCam Mono", True)
    Camera("127.0.0.1", 8080).stop()
    result = qorcam("lut", "upload", str(REPO / "sim" / "luts" / "sample.lt1"), "--format", "BGR8")
    assert result.returncode == 0, result.stderr
    assert "sample.lt1" in result.stdout


@pytest.mark.parametrize(
    "args, status, message",
    [
        (["snap", "-o", "a.png"], 2, "use the extension .tif, .npy or .raw"),
        (["snap", "--crop", "1,2,3", "-o", "a.tif"], 2, "x0,y0,x1,y1"),
        (["config", "set", "exposure=0.1"], 2, "unknown configuration key 'exposure'"),
        (["config", "set", "novalue"], 2, "expected KEY=VALUE"),
        (["record", "--mode", "bogus"], 2, "invalid choice"),
        ([], 2, "required"),
        (["config", "set", "exposure_time_s=100"], 1, "camera error 0x"),
        (["info", "--port", "1"], 1, "cannot talk to 127.0.0.1:1"),
        (["info", "--serial", "99"], 1, "no camera server found with serial 99"),
        (["lut", "load", "missing.lt1", "--format", "BGR8"], 1, "404: the look-up-table file does not exist"),
    ],
)
def test_exit_status_and_message(server: ServerProcess, tmp_path: Path, args: list[str], status: int,
                                 message: str) -> None:
    result = qorcam(*args, cwd=tmp_path)
    assert (result.returncode, result.stdout) == (status, "")
    assert message in result.stderr
