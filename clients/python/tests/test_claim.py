"""Claiming a camera by heartbeats from a background thread."""

from __future__ import annotations

import time

from qorcam import Camera, discover


def _free_in_discovery(port: int) -> bool:
    return next(entry.free for entry in discover(timeout=0.3) if entry.port == port)


def test_claim_holds_for_12_s_and_lapses_5_to_6_s_after_the_block(mono: Camera) -> None:
    assert mono.info().free
    mono.set_configuration({"exposure_time_s": 0.5, "roi": {"x1": 64, "y1": 64}})
    try:
        with mono.claim():
            start = time.monotonic()
            assert mono.info().free is False
            # A blocking call on the camera's own connection longer than the 5 s claim time-out:
            # the heartbeats go on meanwhile.
            mono.record(13)
            assert time.monotonic() - start > 6
            assert mono.info().free is False
            while time.monotonic() - start < 12:
                assert mono.info().free is False
                time.sleep(0.5)
            assert _free_in_discovery(8080) is False
            assert _free_in_discovery(8081) is True
        ended = time.monotonic()
        while not mono.info().free and time.monotonic() - ended < 10:
            time.sleep(0.05)
        lapse = time.monotonic() - ended
        assert 4.9 <= lapse <= 6.3, lapse
        assert _free_in_discovery(8080) is True
    finally:
        mono.default_configuration()

