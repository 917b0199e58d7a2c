"""/metrics as a line's monitoring reads it, with prometheus_client's own parser."""
import sys

import pytest

pytest.importorskip("aiohttp", reason="the station's web front end needs the extra downloader[station]")
parser = pytest.importorskip("prometheus_client.parser", reason="/metrics needs prometheus_client (the test extra)")

from downloader_flash import serializing  # noqa: E402
from downloader_flash.model import Origin  # noqa: E402
from downloader_flash.settings import Settings  # noqa: E402
from downloader_flash.web import Server  # noqa: E402
from fakes import eventually  # noqa: E402
from station_client import call, sample, serve_while, simulated_devices  # noqa: E402

IMAGE = sample(20000)  # 625 blocks
TOKEN = "s3cret-token"


def samples(text):
    return {(s.name, tuple(s.labels.values())): s.value
            for family in parser.text_string_to_metric_families(text) for s in family.samples}


def test_metrics_count_what_a_station_flashed(make_sim, tmp_path):
    settings = Settings(watch=True, retries=0, serial_at=256, serial_format="u32le", serial_start=1000,
                        serial_end=1009, database=str(tmp_path / "serials.sqlite"))

    def client(server):
        assert eventually(lambda: len(call(server, "GET", "/api/v1/records")[1]["records"]) == 2, 60)
        return call(server, "GET", "/metrics")

    with serializing.line_database(settings, serializing.numbers_of(settings, len(IMAGE.data))) as (serials, _):
        (status, text, kind), _ = serve_while(client, simulated_devices([make_sim(process=True) for _ in range(2)]),
                                              IMAGE, settings=settings, serials=serials)
    assert status == 200 and kind.startswith("text/plain; version=")
    found = samples(text)
    assert [found[name, labels] for name, labels in [
        ("downloader_attempts_total", ("flashed",)), ("downloader_attempts_total", ("failed",)),  # 0 from the start
        ("downloader_boards_total", ("flashed",)), ("downloader_blocks_sent_total", ()),  # each block once
        ("downloader_bytes_sent_total", ()), ("downloader_attempt_duration_seconds_count", ()),
        ("downloader_report_errors_total", ()), ("downloader_serials_left", ())]] == [2, 0, 2, 1250, 40000, 2, 0, 8]


@pytest.mark.parametrize("missing", [False, True], ids=["prometheus_client", "without it"])
def test_metrics_follow_the_api_s_rules_and_say_what_to_install_without_the_library(monkeypatch, missing):
    if missing:
        monkeypatch.setitem(sys.modules, "prometheus_client", None)
    server = Server(IMAGE, Origin(), "0.0.0.0", 0, TOKEN)
    server.start()
    try:
        assert call(server, "GET", "/metrics")[0] == 401  # off loopback
        assert call(server, "GET", "/metrics", token=TOKEN, headers={"Host": "evil.example"})[0] == 403
        assert call(server, "GET", "/metrics", token=TOKEN)[:2] == ((501, {"status": 501, "error": (
            "/metrics needs prometheus_client: pip install 'downloader[station]'")}) if missing else
            (200, server.metrics.text().decode()))
    finally:
        server.close()
