"""The station's page in a real browser: Debian's chromium, headless, driven by selenium."""
import os
import re
import shutil

import pytest

pytest.importorskip("aiohttp", reason="the station's web front end needs the extra downloader[station]")
webdriver = pytest.importorskip("selenium.webdriver", reason="the page's test needs selenium (the test extra)")

from fakes import eventually  # noqa: E402
from station_client import sample, serve_while, simulated_devices  # noqa: E402

CHROMIUM = shutil.which("chromium")
CHROMEDRIVER = shutil.which("chromedriver")
pytestmark = [pytest.mark.once,
              pytest.mark.skipif(CHROMIUM is None or CHROMEDRIVER is None,
                                 reason="needs Debian's chromium and chromium-driver: "
                                 "apt-get install -y chromium chromium-driver")]
# Where the screenshot is kept: CI keeps it as an artifact; the README's is docs/station.png.
SCREENSHOT = os.environ.get("STATION_SCREENSHOT", os.path.join("build", "artifacts", "station.png"))
SCREEN = (1920, 1080)
IMAGE = sample(60000)


def browser():
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                     f"--window-size={SCREEN[0]},{SCREEN[1]}"):
        options.add_argument(argument)
    return webdriver.Chrome(options=options, service=Service(executable_path=CHROMEDRIVER))


def tiles(driver):
    return driver.execute_script(
        "return [...document.querySelectorAll('.tile')].map(t => [t.dataset.state, t.innerText, "
        "getComputedStyle(t).backgroundImage + getComputedStyle(t).backgroundColor, "
        "t.getBoundingClientRect().bottom])")


def test_tiles_reach_their_final_states_in_text_and_colour(make_sim):
    sims = [make_sim(process=True) for _ in range(3)] + [make_sim(process=True, reject={2: 10})]
    devices = simulated_devices(sims)

    def client(server):
        driver = browser()
        try:
            driver.get(server.url)
            final = eventually(lambda: sorted(t[0] for t in tiles(driver)) == ["failed"] + ["flashed"] * 3, 60)
            assert eventually(lambda: "flashed\n3" in driver.find_element("id", "shift").text.replace("\n\n", "\n")
                              or driver.find_element("id", "flashed").text == "3", 10)
            assert eventually(lambda: len(driver.find_elements("css selector", "#records tr")) == 4, 10)
            # The "time since" line has ticked at least once, so that it shows in the screenshot.
            assert eventually(lambda: any(re.search(r"\b[1-9]\d* s ago", text) for _, text, _, _ in tiles(driver)), 10)
            shown = tiles(driver)
            counts = [driver.find_element("id", name).text for name in ("flashed", "failed", "yield")]
            connection = driver.find_element("id", "connection").text
            os.makedirs(os.path.dirname(os.path.abspath(SCREENSHOT)), exist_ok=True)
            driver.save_screenshot(SCREENSHOT)
            return final, shown, counts, connection
        finally:
            driver.quit()

    (final, shown, counts, connection), _ = serve_while(client, devices, IMAGE)
    assert final, shown
    by_port = {text.splitlines()[0]: (state, text, colour) for state, text, colour, _ in shown}
    for device in devices:
        state, text, colour = by_port[device.device]
        lines = text.splitlines()
        assert lines[1] == device.serial_number and lines[2].lower() == state
        assert lines[-1].endswith("s ago")
        if device is devices[3]:
            assert state == "failed" and "rejected block 2" in lines[3]
        else:
            assert state == "flashed"
    assert by_port[devices[0].device][2] != by_port[devices[3].device][2]  # the colours differ too
    assert counts == ["3", "1", "75.0 %"] and connection == "live"
    assert max(bottom for *_, bottom in shown) <= SCREEN[1]


def test_the_page_reconnects_when_the_tool_restarts():
    from downloader_flash.devices import Device
    from downloader_flash.records import Origin
    from downloader_flash.web import Server

    def serving(port, channels):
        server = Server(IMAGE, Origin(station="restart"), "127.0.0.1", port)
        server.state.present([Device(f"/dev/ttyACM{n}", f"SN{n}", None, "") for n in range(channels)])
        server.start()
        return server

    first = serving(0, 1)
    driver = browser()
    try:
        driver.get(first.url)
        assert eventually(lambda: len(tiles(driver)) == 1, 20)
        first.close()
        assert eventually(lambda: driver.find_element("id", "connection").text == "reconnecting…", 20)
        second = serving(first.port, 3)
        try:
            assert eventually(lambda: [t[0] for t in tiles(driver)] == ["waiting"] * 3, 30)
            assert eventually(lambda: driver.find_element("id", "connection").text == "live", 30)
        finally:
            second.close()
    finally:
        driver.quit()
