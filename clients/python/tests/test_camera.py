"""Every camera method against the real server on the default simulated cameras."""

from __future__ import annotations

import math

import pytest
from servers import REPO

import qorcam
from qorcam import Camera


def test_identity_of_both_default_cameras(mono: Camera, color: Camera) -> None:
    expected = {
        8080: ("SimCam Mono", 10001, "USB3", False),
        8081: ("SimCam Color", 10002, "GigE", True),
    }
    for cam in (mono, color):
        name, serial, interface, colored = expected[cam.port]
        assert (cam.get_name(), cam.get_serial(), cam.get_interface(), cam.is_colored()) == (
            name, serial, interface, colored)
        assert cam.get_raw_format() == "word"
        entry = cam.info()
        assert (entry.type, entry.host, entry.port, entry.name, entry.serial) == (
            "camera", "127.0.0.1", cam.port, name, serial)


def test_description_records_are_plain_dicts(mono: Camera) -> None:
    description = mono.get_description()
    assert (description["max_width"], description["max_height"], description["has_ram"]) == (2048, 2048, True)
    assert description["interface_type"] == "USB3"
    assert mono.get_sensor_info()["iCamNum"] >= 0
    sdk = mono.get_qor_description()
    assert sdk["wMaxHorzResStdDESC"] == 2048 and len(sdk["ZZdwDummy"]) == 40


def test_exposure_and_delay_in_seconds(mono: Camera) -> None:
    mono.set_exposure_time(0.0025)
    mono.set_delay_time(0.001)
    assert mono.get_exposure_time() == pytest.approx(0.0025)
    assert mono.get_delay_time() == pytest.approx(0.001)
    assert mono.get_configuration()["exposure_time_s"] == pytest.approx(0.0025)


def test_partial_configuration_is_completed_from_the_current_one(mono: Camera) -> None:
    before = mono.default_configuration()
    mono.set_configuration({"roi": {"x1": 1024, "y1": 512}, "binning": {"mode": "sum"}})
    after = mono.get_configuration()
    assert after["roi"] == {"x0": 1, "y0": 1, "x1": 1024, "y1": 512}
    assert {k: v for k, v in after.items() if k != "roi"} == {k: v for k, v in before.items() if k != "roi"}
    mono.record(1)
    image = mono.image(0)
    assert (image.width, image.height) == (1024, 512)
    assert mono.default_configuration()["roi"] == before["roi"]


def test_auto_exposure_switches_and_configures(mono: Camera) -> None:
    mono.configure_auto_exposure("full", 0.002, 0.05)
    assert mono.get_configuration()["auto_exposure"] == {
        "region": "full", "min_exposure_s": pytest.approx(0.002), "max_exposure_s": pytest.approx(0.05)}
    mono.auto_exposure_on()
    mono.auto_exposure_off()


def test_convert_control_keeps_unnamed_values(color: Camera) -> None:
    before = color.get_convert_control("BGR8")
    assert before["kind"] == "color"
    color.set_convert_control("BGR8", {"value": {"gamma": 1.8, "color_saturation": 20}})
    after = color.get_convert_control("BGR8")
    assert after["value"]["gamma"] == pytest.approx(1.8)
    assert after["value"]["color_saturation"] == 20
    unchanged = {k: v for k, v in after["value"].items() if k not in ("gamma", "color_saturation")}
    assert unchanged == {k: v for k, v in before["value"].items() if k not in ("gamma", "color_saturation")}
    color.set_convert_control("BGR8", before)


def test_hardware_signals(mono: Camera) -> None:
    mono.configure_hwio_1_exposure_trigger(True, "falling_edge")
    mono.configure_hwio_2_acquire_enable(False, "low_level")
    assert isinstance(mono.configure_hwio_3_status_busy(True, "high_level", "status_busy"), bool)
    assert isinstance(mono.configure_hwio_4_status_expos(True, "high_level", "status_expos", "global"), bool)


def test_lut_upload_and_load(mono: Camera) -> None:
    saved = mono.upload_lut(REPO / "sim" / "luts" / "sample.lt1")
    assert saved == "sample.lt1"
    assert mono.upload_lut(bytes(range(256)) * 3) == "lut.lt1"  # a nameless upload
    mono.load_lut("BGR8", saved)
    mono.load_lut("BGR8", "lut.lt1")


def test_white_balance_adapts_to_the_newest_image(color: Camera) -> None:
    color.record(1)
    color.adapt_white_balance("BGR8")
    color.adapt_white_balance("BGR8", crop=(1, 1, 64, 64))


def test_blocking_and_non_blocking_recordings(mono: Camera) -> None:
    mono.set_configuration({"roi": {"x1": 256, "y1": 256}})
    try:
        mono.record(3)
        assert not mono.is_recording()
        assert mono.get_recorded_image_count() == 3
        assert mono.get_recorder_buffer_size() >= 3

        mono.record(1000, "ring_buffer")
        assert mono.is_recording()
        mono.wait_for_first_image(timeout=5)
        mono.wait_for_new_image(timeout=5)
        mono.trigger()  # ignored in free-running mode, but accepted
        mono.stop()
        assert not mono.is_recording()
        assert mono.get_recorded_image_count() >= 1
    finally:
        mono.default_configuration()


def test_image_series_and_average(mono: Camera) -> None:
    mono.record(4)
    assert mono.images(1, "Mono16", crop=(1, 1, 32, 16)) == 3
    numbers = [mono.get_image_from_images(i).number for i in range(3)]
    assert numbers == [2, 3, 4]
    second = mono.get_image_from_images(0, crop={"x0": 1, "y0": 1, "x1": 32, "y1": 16}, format="Mono16")
    assert (second.width, second.height, second.number) == (32, 16, 2)
    average = mono.image_average("Mono16", crop=(1, 1, 8, 8))
    assert (average.width, average.height) == (8, 8)
    assert average.metadata is None and average.timestamp is None


def test_camera_ram(mono: Camera, color: Camera) -> None:
    assert mono.has_ram() and not color.has_ram()
    mono.set_cam_ram_allocation([50, 50, 0, 0])
    assert mono.get_cam_ram_allocation() == [50, 50, 0, 0]
    mono.switch_to_cam_ram(2)
    assert mono.get_cam_ram_segment() == 2
    mono.switch_to_cam_ram()
    assert mono.get_cam_ram_max_images() > 0
    assert mono.get_cam_ram_num_images() >= 0
    mono.set_cam_ram_allocation([100, 0, 0, 0])


def test_claim_routes_show_in_info(mono: Camera) -> None:
    mono.heartbeat()
    assert mono.info().free is False
    mono.release()  # /v1/setFree also reopens the camera
    assert mono.info().free is True
    assert mono.get_serial() == 10001


def test_find_selects_by_serial_and_name(server: object) -> None:
    assert Camera.find(serial=10002).port == 8081
    assert Camera.find(name="SimCam Mono").port == 8080
    with pytest.raises(qorcam.DeviceNotFoundError, match="serial 4"):
        Camera.find(serial=4, timeout=0.3)


def test_wait_without_time_out_sends_no_time_out(mono: Camera) -> None:
    mono.record(2)
    mono.wait_for_first_image(timeout=math.nan)  # NaN means no limit, like None
