"""Every route of the servers has its method, named as the route in snake_case."""

from __future__ import annotations

import re

import pytest

from qorcam import Camera, LightSource

CAMERA_ROUTES = """
info heartbeat setFree uploadLut getName getRawFormat getSerial getInterface isRecording isColored getDescription
defaultConfiguration getConfiguration setConfiguration getExposureTime setExposureTime getDelayTime setDelayTime
record stop waitForFirstImage waitForNewImage getRecordedImageCount getRecorderBufferSize trigger autoExposureOn
autoExposureOff configureAutoExposure getConvertControl setConvertControl configureHWIO_1_exposureTrigger
configureHWIO_2_acquireEnable configureHWIO_3_statusBusy configureHWIO_4_statusExpos loadLut adaptWhiteBalance
image images getImageFromImages imageAverage hasRam switchToCamRam getCamRamSegment getCamRamMaxImages
getCamRamNumImages setCamRamAllocation getCamRamAllocation getSensorInfo getQORDescription
""".split()

LIGHT_SOURCE_ROUTES = """
info heartbeat setFree getComPort getType getDescription getConfiguration setConfiguration defaultConfiguration
switchOff switchOn executeCommand getVersions
""".split()


def snake_case(route: str) -> str:
    words = re.sub(r"([a-z0-9])([A-Z])", r"\1_\2", route)
    return re.sub(r"([A-Z]+)([A-Z][a-z])", r"\1_\2", words).lower()


@pytest.mark.parametrize("cls, routes, count", [(Camera, CAMERA_ROUTES, 49), (LightSource, LIGHT_SOURCE_ROUTES, 13)])
def test_every_route_has_its_method(cls: type, routes: list[str], count: int) -> None:
    assert len(set(routes)) == count
    missing = [route for route in routes if not callable(getattr(cls, snake_case(route), None))]
    assert missing == []
