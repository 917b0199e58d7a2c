"""/metrics as a line's monitoring reads it, and the serial numbers a station shows."""
import dataclasses
import sys

import pytest

pytest.importorskip("aiohttp", reason="the station's web front end needs the extra downloader[station]")
parser = pytest.importorskip("prometheus_client.parser", reason="/metrics needs prometheus_client (the test extra)")

from downloader_flash.attempts import unstarted  # noqa: E402
from downloader_flash.model import Device, Issued, Job, Origin  # noqa: E402
from downloader_flash.web import Server  # noqa: E402
from fakes import eventually  # noqa: E402
from station_client import call, sample, serve_while, simulated_devices  # noqa: E402

IMAGE = sample(20000)  # 625 blocks
TOKEN = "s3cret-token"


def samples(text):
    """{(name, labels as a sorted tuple): value} of a /metrics answer, by prometheus_client's own parser."""
    return {(s.name, tuple(sorted(s.labels.items()))): s.value
            for family in parser.text_string_to_metric_families(text) for s in family.samples}


@pytest.fixture
def server(request):
    options = getattr(request, "param", {})
    started = Server(IMAGE, Origin(station="test"), options.get("host", "127.0.0.1"), 0, options.get("token"))
    started.start()
    yield started
    started.close()


def test_metrics_count_what_a_station_flashed(make_sim):
    sims = [make_sim(process=True) for _ in range(2)]

    def client(server):
        assert eventually(lambda: len(call(server, "GET", "/api/v1/records")[1]["records"]) == 2, 60)
        return call(server, "GET", "/metrics")

    (status, text, kind), _ = serve_while(client, simulated_devices(sims), IMAGE)
    assert status == 200 and kind.startswith("text/plain; version=")
    found = samples(text)
    assert found[("downloader_attempts_total", (("result", "flashed"),))] == 2
    assert found[("downloader_attempts_total", (("result", "failed"),))] == 0  # there before the first
    assert found[("downloader_boards_total", (("result", "flashed"),))] == 2
    # Counted as the transfers went and at their ends, each block once.
    assert found[("downloader_blocks_sent_total", ())] == 2 * 625
    assert found[("downloader_bytes_sent_total", ())] == 2 * len(IMAGE.data)
    assert found[("downloader_attempt_duration_seconds_count", ())] == 2
    assert found[("downloader_report_errors_total", ())] == 0
    assert not any(name == "downloader_serials_left" for name, _ in found)  # the run writes no serial numbers


@pytest.mark.parametrize("server", [{"token": TOKEN, "host": "0.0.0.0"}], indirect=True)
def test_metrics_off_loopback_need_the_token_and_the_station_s_name(server):
    assert call(server, "GET", "/metrics")[0] == 401
    assert call(server, "GET", "/metrics", token=TOKEN)[0] == 200
    assert call(server, "GET", "/metrics", token=TOKEN, headers={"Host": "evil.example"})[0] == 403


def test_without_prometheus_client_metrics_say_what_to_install(monkeypatch):
    monkeypatch.setitem(sys.modules, "prometheus_client", None)
    started = Server(IMAGE, Origin(), "127.0.0.1", 0)
    started.start()
    try:
        assert call(started, "GET", "/metrics")[:2] == (501, {
            "error": "/metrics needs prometheus_client: pip install 'downloader[station]'", "status": 501})
        assert call(started, "GET", "/api/v1/channels")[0] == 200
    finally:
        started.close()


def test_a_board_s_serial_number_and_the_numbers_left_are_shown(server):
    device = Device("/dev/ttyACM0", "A1", None, "")
    job = Job(device.key, IMAGE.data, IMAGE.name, 0, None, 0.0, serial=Issued(1042, b"\x12\x04", 256))
    told = server.callbacks
    told.serials_left(9)
    told.found(device)
    told.rated_progress(job, 10, 625, None)
    flashing = call(server, "GET", "/api/v1/channels")[1]
    told.attempt_ended(job, dataclasses.replace(unstarted(job, error="gave up"), serial=1042), True, None)
    told.ran_out("the serial numbers have run out")
    ended = call(server, "GET", "/api/v1/channels")[1]
    assert (flashing["channels"][0]["serial"], flashing["serials_left"]) == (1042, 9)
    assert (ended["channels"][0]["serial"], ended["channels"][0]["state"], ended["serials_left"]) == (1042, "failed", 0)
    assert samples(call(server, "GET", "/metrics")[1])[("downloader_serials_left", ())] == 0
