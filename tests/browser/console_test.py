"""The browser consoles in headless Chromium, against the real executables in a private network
namespace: the camera console on 8080 (and 8081) and the light-source console of the test harness.
Usage: console_test.py <qor-camera-server> <qor-lumra-test-server> <screenshot folder> [unittest args]."""

from __future__ import annotations

import json
import os
import shutil
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from qor_process import ServerProcess, request  # noqa: E402

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import Select, WebDriverWait
except ImportError:  # pragma: no cover
    sys.exit("python3-selenium is required (apt-get install python3-selenium chromium chromium-driver)")

CAMERA_SERVER = LUMRA_SERVER = SCREENSHOTS = ""
MONO, COLOR, LUMRA = 8080, 8081, 8090


def browser(profile: str, downloads: str) -> webdriver.Chrome:
    options = webdriver.ChromeOptions()
    options.add_experimental_option("prefs", {"download.default_directory": downloads,
                                              "download.prompt_for_download": False})
    options.binary_location = "/usr/bin/chromium"
    for flag in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", f"--user-data-dir={profile}", "--window-size=1400,1000"]:
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    # The driver is named, so Selenium never looks for one on the internet.
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def severe_entries(driver) -> list[dict]:
    """JavaScript errors in the browser log, and files of the page itself that failed to load. Refused
    requests (a 503 the test provokes, the neighbour search on ports where nothing listens) are network
    entries of the browser, not errors of the page."""
    def counts(entry: dict) -> bool:
        if entry.get("level") != "SEVERE":
            return False
        if entry.get("source") != "network":
            return True
        return "/console/" in entry.get("message", "") or "404" in entry.get("message", "")
    return [e for e in driver.get_log("browser") if counts(e)]


def wait_for(driver, condition, timeout_s: float = 15.0, message: str = ""):
    return WebDriverWait(driver, timeout_s, poll_frequency=0.1).until(lambda d: condition(d), message)


class BrowserTest(unittest.TestCase):
    def setUp(self):
        self.profile = tempfile.mkdtemp(prefix="qor-chromium-")
        self.downloads = tempfile.mkdtemp(prefix="qor-downloads-")
        self.driver = browser(self.profile, self.downloads)
        self.driver.set_page_load_timeout(30)

    def tearDown(self):
        self.driver.quit()
        shutil.rmtree(self.profile, ignore_errors=True)
        shutil.rmtree(self.downloads, ignore_errors=True)

    def open_page(self, port: int):
        self.driver.get(f"http://127.0.0.1:{port}/")
        wait_for(self.driver, lambda d: d.find_element(By.TAG_NAME, "body").get_attribute("data-ready") == "true",
                 message="the page did not finish loading")

    def text(self, element_id: str) -> str:
        return self.driver.find_element(By.ID, element_id).text


class CameraConsoleTest(BrowserTest):
    @classmethod
    def setUpClass(cls):
        cls.server = ServerProcess(CAMERA_SERVER).start()
        # A smaller region keeps the headless browser's decoding cheap on a busy machine.
        config = json.loads(request(MONO, "GET", "/v1/getConfiguration").body)
        config["roi"] = {"x0": 1, "y0": 1, "x1": 1024, "y1": 1024}
        assert request(MONO, "PUT", "/v1/setConfiguration", body=json.dumps(config).encode()).status == 200

    @classmethod
    def tearDownClass(cls):
        cls.server.close()

    def tearDown(self):
        request(MONO, "POST", "/v1/stop")
        super().tearDown()

    def test_console_drives_the_camera_and_shows_it_live(self):
        d = self.driver
        self.open_page(MONO)
        self.assertEqual(self.text("camera-name"), "SimCam Mono")
        self.assertEqual(self.text("serial"), "10001")
        self.assertEqual(self.text("interface"), "USB3")
        self.assertIn("2048", self.text("description"))
        # An earlier test's claim may not have lapsed yet.
        if d.find_element(By.ID, "claim-take").is_displayed():
            d.find_element(By.ID, "claim-take").click()
        wait_for(d, lambda _: self.text("claim-state") == "claimed by this console")
        self.assertFalse(json.loads(request(MONO, "GET", "/v1/info").body)["free"])
        self.assertFalse(d.find_element(By.ID, "format").is_displayed(), "no format choice on a mono camera")
        wait_for(d, lambda _: "SimCam Color" in self.text("neighbours"), message="neighbour link missing")
        link = d.find_element(By.PARTIAL_LINK_TEXT, "SimCam Color")
        self.assertTrue(link.get_attribute("href").endswith(":8081/"))

        # The exposure typed into the form reaches the camera.
        exposure = d.find_element(By.ID, "exposure-ms")
        exposure.clear()
        exposure.send_keys("25")
        d.find_element(By.ID, "apply-config").click()
        wait_for(d, lambda _: abs(json.loads(request(MONO, "GET", "/v1/getExposureTime").body)["exposure_s"] - 0.025) < 1e-9,
                 message="the exposure did not change")
        wait_for(d, lambda _: self.text("message") == "Configuration applied")

        # A refused value shows the server's code and operation.
        exposure.clear()
        exposure.send_keys("100000")
        d.find_element(By.ID, "apply-config").click()
        wait_for(d, lambda _: "refused" in self.text("message"))
        self.assertIn("HTTP 503: error -1609158655 (0xA0163001) in setConfiguration", self.text("message"))
        self.assertIn("error", d.find_element(By.ID, "message").get_attribute("class"))
        self.assertAlmostEqual(json.loads(request(MONO, "GET", "/v1/getExposureTime").body)["exposure_s"], 0.025)
        self.assertEqual(exposure.get_attribute("value"), "25", "the form shows the camera's value again")

        # Record from the console; the live view draws new frames and the histogram follows.
        exposure.clear()
        exposure.send_keys("10")
        d.find_element(By.ID, "apply-config").click()
        wait_for(d, lambda _: self.text("message") == "Configuration applied")
        histogram_before = d.execute_script("return document.getElementById('hist-canvas').toDataURL()")
        self.assertEqual(self.text("hist-mean"), "–")
        Select(d.find_element(By.ID, "rec-mode")).select_by_value("ring_buffer")
        d.find_element(By.ID, "rec-start").click()
        wait_for(d, lambda _: int(self.text("frame-count")) >= 1, timeout_s=20, message="no frame drawn")
        first = int(self.text("frame-count"))
        time.sleep(5)
        drawn = int(self.text("frame-count")) - first
        self.assertGreaterEqual(drawn, 10, f"only {drawn} frames in 5 s")
        self.assertTrue(request(MONO, "GET", "/v1/isRecording").body == b"true")
        self.assertGreater(int(self.text("recorded-count")), 0)
        minimum, maximum, mean = (self.text(i) for i in ("hist-min", "hist-max", "hist-mean"))
        self.assertLessEqual(int(minimum), float(mean))
        self.assertLessEqual(float(mean), int(maximum))
        self.assertGreater(int(maximum), int(minimum), "the histogram saw a picture")
        self.assertNotEqual(d.execute_script("return document.getElementById('hist-canvas').toDataURL()"),
                            histogram_before, "the histogram was drawn")

        # The current image as PNG, read back with an independent decoder.
        d.find_element(By.ID, "download-png").click()
        wait_for(d, lambda _: any(n.endswith(".png") for n in os.listdir(self.downloads)), message="no PNG saved")
        png = next(n for n in os.listdir(self.downloads) if n.endswith(".png"))
        from PIL import Image
        with Image.open(os.path.join(self.downloads, png)) as picture:
            self.assertEqual((picture.format, picture.mode, picture.size), ("PNG", "L", (1024, 1024)))
        canvas = d.find_element(By.ID, "live-canvas")
        self.assertEqual((canvas.get_attribute("width"), canvas.get_attribute("height")), ("1024", "1024"))
        Select(d.find_element(By.ID, "zoom")).select_by_value("0.5")
        self.assertEqual(canvas.value_of_css_property("width"), "512px")
        Select(d.find_element(By.ID, "zoom")).select_by_value("fit")
        d.save_screenshot(os.path.join(SCREENSHOTS, "console.png"))

        # Stop from the console: the stream ends, the state shows it.
        d.find_element(By.ID, "rec-stop").click()
        wait_for(d, lambda _: self.text("recording-state") == "stopped")
        wait_for(d, lambda _: self.text("live-state") in ("stream ended", "no recording"))
        self.assertEqual(severe_entries(d), [])

    def test_a_camera_claimed_elsewhere_is_shown_with_a_warning(self):
        self.assertEqual(request(MONO, "POST", "/v1/heartbeat").status, 200)
        self.open_page(MONO)
        self.assertTrue(self.driver.find_element(By.ID, "claim-warning").is_displayed())
        self.assertEqual(self.text("claim-state"), "claimed by another client")
        self.driver.find_element(By.ID, "claim-take").click()
        wait_for(self.driver, lambda _: self.text("claim-state") == "claimed by this console")
        self.assertFalse(self.driver.find_element(By.ID, "claim-warning").is_displayed())
        self.assertEqual(severe_entries(self.driver), [])

    def test_colour_camera_offers_its_formats(self):
        self.open_page(COLOR)
        self.assertEqual(self.text("camera-name"), "SimCam Color")
        select = self.driver.find_element(By.ID, "format")
        self.assertTrue(select.is_displayed())
        options = [o.get_attribute("value") for o in Select(select).options]
        self.assertEqual(options[:4], ["BGR8", "RGB8", "BGRA8", "RGBA8"])
        self.assertEqual(severe_entries(self.driver), [])


class LightSourceConsoleTest(BrowserTest):
    @classmethod
    def setUpClass(cls):
        cls.server = ServerProcess(LUMRA_SERVER, args=[str(LUMRA)], ready="HTTP listening").start()
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                if request(LUMRA, "GET", "/v1/info", timeout_s=2).status == 200:
                    break
            except OSError:
                time.sleep(0.1)

    @classmethod
    def tearDownClass(cls):
        cls.server.close()

    def test_channels_with_wavelengths_groups_sliders_and_switches(self):
        d = self.driver
        self.open_page(LUMRA)
        rows = d.find_elements(By.CSS_SELECTOR, "#channels tbody tr")
        self.assertEqual([r.find_element(By.TAG_NAME, "td").text for r in rows], ["385 nm", "470 nm", "555 nm", "630 nm"])
        self.assertEqual([r.find_elements(By.TAG_NAME, "td")[1].text for r in rows], ["0", "1", "1", "0"])
        self.assertEqual(d.find_element(By.ID, "intensity-3").get_attribute("min"), "10")
        toggle = d.find_element(By.ID, "on-1")
        if toggle.is_selected():
            toggle.click()
        toggle.click()
        wait_for(d, lambda _: json.loads(request(LUMRA, "GET", "/v1/getConfiguration").body)["on_states"][1] == 1,
                 message="switching a channel on did not reach the light source")
        d.find_element(By.ID, "on-2").click()
        wait_for(d, lambda _: json.loads(request(LUMRA, "GET", "/v1/getConfiguration").body)["on_states"][1:3] == [0, 1],
                 message="the exclusivity group was not kept")
        self.assertEqual(severe_entries(d), [])


if __name__ == "__main__":
    CAMERA_SERVER, LUMRA_SERVER, SCREENSHOTS = (os.path.abspath(a) for a in sys.argv[1:4])
    del sys.argv[1:4]
    unittest.main(verbosity=2)
