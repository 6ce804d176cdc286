"""The light-source client and the `light` command against the light-source test server."""

from __future__ import annotations

import json
import subprocess
import sys
from typing import Iterator

import pytest
from servers import SOURCE, ServerProcess, lumra_server

import qorcam
from qorcam import LightSource

# Four channels; 488 nm and 561 nm share exclusivity group 2, so only one of them may be on.
DEVICES = json.dumps({
    "cameras": [],
    "light_sources": [{
        "type": 3, "port": "/dev/ttyLR7", "serial": 4711,
        "channels": [
            {"wavelength": 405, "group": 0, "min": 0, "max": 1000, "intensity": 100, "on": True},
            {"wavelength": 488, "group": 2, "min": 0, "max": 1000, "intensity": 200},
            {"wavelength": 561, "group": 2, "min": 5, "max": 900, "intensity": 300},
            {"wavelength": 640, "group": 0, "min": 0, "max": 1000, "intensity": 400},
        ],
    }],
})


@pytest.fixture(scope="module")
def light_server() -> Iterator[ServerProcess]:
    process = ServerProcess(lumra_server(), ["8090"], devices=DEVICES)
    yield process
    process.stop()


@pytest.fixture
def light(light_server: ServerProcess) -> Iterator[LightSource]:
    with LightSource("127.0.0.1", 8090) as source:
        yield source


def test_found_by_discovery_as_lumra(light: LightSource) -> None:
    found = LightSource.find(serial=4711)
    assert (found.host, found.port) == ("127.0.0.1", 8090)
    assert [(e.type, e.name, e.serial) for e in qorcam.discover("lumra")] == [("lumra", light.info().name, 4711)]
    assert qorcam.discover("camera", timeout=0.3) == []


def test_identity(light: LightSource) -> None:
    assert light.get_com_port() == "/dev/ttyLR7"
    assert isinstance(light.get_type(), str)
    description = light.get_description()
    assert description["serial"] == 4711 and description["wavelenghts_vec"] == [405, 488, 561, 640]
    assert light.get_versions() == light.get_versions("lym_lumra") != ""


def test_configuration_round_trip_and_partial_update(light: LightSource) -> None:
    light.set_configuration([10, 20, 30, 40], [1, 0, 1, 0])
    assert light.get_configuration() == {"intensities": [10, 20, 30, 40], "on_states": [1, 0, 1, 0]}
    light.set_configuration(on_states=[0, 1, 0, 1])  # keeps the intensities
    assert light.get_configuration() == {"intensities": [10, 20, 30, 40], "on_states": [0, 1, 0, 1]}
    with pytest.raises(qorcam.LightSourceError):
        light.set_configuration([1, 2], [0, 0])  # the device has four channels
    assert light.default_configuration()["on_states"] == [0, 0, 0, 0]


def test_switch_and_commands(light: LightSource) -> None:
    light.switch_on()
    assert light.execute_command("GET_OUTPUT") == "ON"
    light.switch_off()
    assert light.execute_command("GET_OUTPUT") == "OFF"
    assert light.execute_command("GET_WAVELENGTH", 2) == "561"
    with pytest.raises(qorcam.LightSourceError, match="executeCommand"):
        light.execute_command("NO_SUCH_COMMAND")


def test_claim_and_release(light: LightSource) -> None:
    with light.claim():
        assert light.info().free is False
    light.release()
    assert light.info().free is True


def _cli(*args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "qorcam", *args], capture_output=True, text=True, timeout=60,
        env={"PYTHONPATH": str(SOURCE), "PATH": "/usr/bin:/bin"},
    )


def test_light_command_switches_and_reports(light: LightSource) -> None:
    light.set_configuration([100, 200, 300, 400], [1, 0, 0, 1])
    result = _cli("light", "on", "--json")  # found by discovery
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout)["configuration"]["on_states"] == [1, 0, 0, 1]
    assert light.execute_command("GET_OUTPUT") == "ON"
    result = _cli("light", "off", "--port", "8090")
    assert result.returncode == 0, result.stderr
    assert "405 nm" in result.stdout and "intensity 100" in result.stdout
    assert light.execute_command("GET_OUTPUT") == "OFF"
    result = _cli("light", "status", "--serial", "1")
    assert result.returncode == 1 and "no lumra server found with serial 1" in result.stderr
