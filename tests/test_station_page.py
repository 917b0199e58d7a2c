"""The station's page in a real browser: Debian's chromium, headless, driven by selenium."""
import functools
import http.server
import json
import os
import re
import shutil
import threading

import pytest

pytest.importorskip("aiohttp", reason="the station's web front end needs the extra downloader[station]")
webdriver = pytest.importorskip("selenium.webdriver", reason="the page's test needs selenium (the test extra)")

from fakes import eventually  # noqa: E402
from station_client import call, sample, serve_while, simulated_devices  # noqa: E402
from downloader_flash import serializing  # noqa: E402
from downloader_flash.settings import Settings  # noqa: E402

CHROMIUM = shutil.which("chromium")
CHROMEDRIVER = shutil.which("chromedriver")
pytestmark = [pytest.mark.once,
              pytest.mark.skipif(CHROMIUM is None or CHROMEDRIVER is None,
                                 reason="needs Debian's chromium and chromium-driver: "
                                 "apt-get install -y chromium chromium-driver")]
# Where the screenshots are kept, 4 channels and 24: CI keeps them as artifacts; the README's are in docs/.
SCREENSHOT = os.environ.get("STATION_SCREENSHOT", os.path.join("build", "artifacts", "station.png"))
SCREENSHOT_24 = "{}-24{}".format(*os.path.splitext(SCREENSHOT))
SCREEN = (1920, 1080)
IMAGE = sample(60000)
SMALL_IMAGE = sample(2000)
CHANNELS = 24
RECORD_ROWS = 6  # at least, below 24 tiles


def browser():
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    options.set_capability("goog:loggingPrefs", {"performance": "ALL"})  # the answers, even those a page cannot read
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                     f"--window-size={SCREEN[0]},{SCREEN[1]}"):
        options.add_argument(argument)
    driver = webdriver.Chrome(options=options, service=Service(executable_path=CHROMEDRIVER))
    # The page itself gets the whole screen, as a kiosk browser gives it; the window's own bars would take some.
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                           {"width": SCREEN[0], "height": SCREEN[1], "deviceScaleFactor": 1, "mobile": False})
    return driver


def save_screenshot(driver, path):
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    driver.save_screenshot(path)


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
            save_screenshot(driver, SCREENSHOT)
            return final, shown, counts, connection
        finally:
            driver.quit()

    (final, shown, counts, connection), _ = serve_while(client, devices, IMAGE)
    assert final, shown
    by_port = {text.splitlines()[0]: (state, text, colour) for state, text, colour, _ in shown}
    for device in devices:
        state, text, colour = by_port[device.device]
        lines = text.splitlines()
        assert (lines[1], lines[2].lower(), lines[-1][-5:]) == (device.serial_number, state, "s ago")
        assert state == "failed" and "rejected block 2" in lines[3] if device is devices[3] else state == "flashed"
    assert by_port[devices[0].device][2] != by_port[devices[3].device][2]  # the colours differ too
    assert counts == ["3", "1", "75.0 %"] and connection == "live"
    assert max(bottom for *_, bottom in shown) <= SCREEN[1]


# Where everything is on the page, in CSS pixels of the viewport.
LAYOUT = """
const box = node => { const r = node.getBoundingClientRect(); return [r.left, r.top, r.right, r.bottom]; };
const root = document.documentElement;
return {viewport: [innerWidth, innerHeight], scrolled: [root.scrollWidth, root.scrollHeight],
        tiles: [...document.querySelectorAll('.tile')].map(t => [t.dataset.state, box(t), [...t.children].map(box),
                                                                  t.querySelector('.issued')?.textContent]),
        counts: [...document.querySelectorAll('#shift .count')].map(box),
        records: [...document.querySelectorAll('#last h2, #records tr')].map(box)};
"""


def inside(box, outer):
    left, top, right, bottom = box
    return outer[0] <= left and outer[1] <= top and right <= outer[2] and bottom <= outer[3]


def test_24_channels_fit_one_full_hd_screen_with_the_counts_and_the_last_records(make_sim, tmp_path):
    sims = [make_sim() for _ in range(CHANNELS - 1)] + [make_sim(reject={2: 10})]
    devices = simulated_devices(sims)
    # Each board with its own serial number, a line more in its tile, and the numbers left among the counts.
    settings = Settings(watch=True, retries=0, serial_at=256, serial_format="u32le", serial_start=1000,
                        serial_end=1099, database=str(tmp_path / "serials.sqlite"))

    def client(server):
        driver = browser()
        try:
            driver.get(server.url)
            assert eventually(lambda: sorted(set(t[0] for t in tiles(driver))) == ["failed", "flashed"], 120)
            assert eventually(lambda: len(driver.find_elements("css selector", "#records tr")) >= RECORD_ROWS, 10)
            left = call(server, "GET", "/api/v1/channels")[1]["serials_left"]
            assert eventually(lambda: driver.find_element("id", "serials-left").text == str(left), 10)
            save_screenshot(driver, SCREENSHOT_24)
            return driver.execute_script(LAYOUT)
        finally:
            driver.quit()

    with serializing.line_database(settings, serializing.numbers_of(settings, len(SMALL_IMAGE.data))) as (serials, _):
        layout, _ = serve_while(client, devices, SMALL_IMAGE, settings=settings, serials=serials)
    assert layout["viewport"] == list(SCREEN) and layout["scrolled"] == list(SCREEN)  # no scroll bar either way
    screen = (0, 0) + SCREEN
    assert len(layout["tiles"]) == CHANNELS
    for state, tile, lines, _ in layout["tiles"]:
        assert inside(tile, screen), (state, tile)
        assert all(inside(line, tile) for line in lines), (state, tile, lines)  # the time since is not cut off
    flashed = [issued for state, *_, issued in layout["tiles"] if state == "flashed"]
    assert len(set(flashed)) == CHANNELS - 1 and all(issued.startswith("serial 10") for issued in flashed)
    assert len(layout["counts"]) == 6 and all(inside(count, screen) for count in layout["counts"])
    shown = [row for row in layout["records"] if inside(row, screen)]
    assert len(shown) >= 1 + RECORD_ROWS, layout["records"]  # the heading and the newest records


def test_the_page_reconnects_when_the_tool_restarts():
    from downloader_flash.model import Device, Origin
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


# Another site's page, as it would try to flash a board: a script's fetch() and a plain form with no
# script, both sending text/plain, which a browser sends to any site without asking it first. The
# form's "=" between name and value lands in a key that the last duplicate replaces.
HOSTILE_PAGE = """<!doctype html><title>another site</title><iframe name="sink"></iframe>
<form method="POST" action="{flash}" enctype="text/plain" target="sink">
<input name='{{"port": "' value='", "port": "{port}"}}'></form>
<script>
fetch("{flash}", {{method: "POST", mode: "no-cors", headers: {{"Content-Type": "text/plain"}},
                  body: JSON.stringify({{port: "{port}"}})}});
document.forms[0].submit();
</script>"""


def answers(driver, url):
    """The status of each answer the browser had from `url`, from its network log."""
    messages = [json.loads(entry["message"])["message"] for entry in driver.get_log("performance")]
    return [m["params"]["response"]["status"] for m in messages
            if m["method"] == "Network.responseReceived" and m["params"]["response"]["url"] == url]


def test_a_page_of_another_site_cannot_flash_a_board(make_sim, tmp_path):
    sim = make_sim(process=True)
    devices = simulated_devices([sim])

    def client(server):
        flash = f"{server.url}api/v1/flash"
        (tmp_path / "index.html").write_text(HOSTILE_PAGE.format(flash=flash, port=devices[0].device))
        files = functools.partial(http.server.SimpleHTTPRequestHandler, directory=str(tmp_path))
        site = http.server.ThreadingHTTPServer(("127.0.0.2", 0), files)  # another origin, on this machine
        threading.Thread(target=site.serve_forever, daemon=True).start()
        driver, seen = browser(), []
        try:
            driver.get(f"http://127.0.0.2:{site.server_address[1]}/")
            assert eventually(lambda: len(seen.__iadd__(answers(driver, flash))) >= 2, 30), seen
            return seen, call(server, "GET", "/api/v1/records?since=0")[1]
        finally:
            driver.quit()
            site.shutdown()
            site.server_close()

    (statuses, records), _ = serve_while(client, devices, IMAGE, on_demand=True)
    assert statuses == [403, 403] and records == {"records": [], "next": 0} and sim.runs == 0
