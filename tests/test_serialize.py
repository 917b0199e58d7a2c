"""Each board its own serial number, end to end: the command and the library against simulated
devices, with the line's database."""
import contextlib
import hashlib
import os
import pathlib
import signal
import struct
import subprocess
import sys

import pytest

from downloader_flash import BoardData, Callbacks, Device, Image, Issued, Settings, cli, flash_all, watch
from downloader_flash.database import open_store
from downloader_flash.store import ORPHANED
from fakes import eventually
from schema_check import valid_records
from tool_processes import live_processes, processes_holding

IMAGE = bytes((i * 131 + (i >> 8)) % 256 for i in range(20000))  # 625 blocks
TOOL = [sys.executable, "-m", "downloader_flash"]
SERIAL = ["--serial-at", "256", "--serial-format", "u32le", "--serial-start", "1000"]


@pytest.fixture
def boards(make_sim, monkeypatch, tmp_path):
    """Simulated devices that the command finds as it finds boards on USB; fw.bin in the working folder."""
    monkeypatch.chdir(tmp_path)
    (tmp_path / "fw.bin").write_bytes(IMAGE)

    def plug(*knobs):
        sims = [make_sim(**each) for each in knobs]
        monkeypatch.setattr("downloader_flash.simulated.find_devices", lambda: devices_of(sims))
        return sims
    return plug


def devices_of(sims):
    return [Device(sim.port, f"SN{n}", None, "") for n, sim in enumerate(sims)]


def held(sim):
    return struct.unpack("<I", sim.image[256:260])[0]


def report():
    return valid_records(pathlib.Path("r.jsonl").read_text())


def query(database, sql):
    with contextlib.closing(open_store(database)) as store:
        return [tuple(row) for row in store.execute(sql).fetchall()]


def test_a_second_run_goes_on_where_the_first_stopped_and_a_range_ends_with_the_boards_in_flight(boards, capsys):
    sims = boards({}, {}, {})
    assert [cli.main(["fw.bin", "--all", *SERIAL, "--report", "r.jsonl"]) for _ in range(2)] == [0, 0]
    assert sorted(held(sim) for sim in sims) == [1003, 1004, 1005]
    out, err = capsys.readouterr()
    assert err == f"serial numbers are kept in {os.path.abspath('downloader.sqlite')}\n" * 2
    assert sorted(int(row.split()[3]) for row in out.splitlines() if row.startswith("/dev/")) == list(range(1000, 1006))
    assert cli.main(["fw.bin", "--all", *SERIAL, "--serial-end", "1006", "--report", "r.jsonl", "-q"]) == 5
    assert capsys.readouterr().err.count("downloader-flash: the serial numbers have run out") == 1
    records = report()
    assert sorted(r["serial"] for r in records if r["result"] == "flashed") == list(range(1000, 1007))
    assert [r["error"] for r in records if r["serial"] is None] == ["not started: the serial numbers have run out"] * 2
    assert len({r["image_sha256"] for r in records[:6]}) == 6 and {r["file_sha256"] for r in records} == {
        hashlib.sha256(IMAGE).hexdigest()}
    assert query("downloader.sqlite", "SELECT DISTINCT state FROM serials") == [("used",)]


def test_a_board_that_fails_for_good_gives_its_number_to_the_next_and_a_retry_keeps_it(boards):
    failing, retried = boards({"reject": {5: None}}, {"reject": {5: 4}})
    assert cli.main(["fw.bin", "--all", "--jobs", "1", "--attempts", "2", *SERIAL, "--database", "line.sqlite",
                     "--report", "r.jsonl"]) == 1
    records = [(r["serial_number"], r["result"], r["serial"]) for r in report()]
    assert records == [("SN0", "failed", 1000)] * 2 + [("SN1", "failed", 1000), ("SN1", "flashed", 1000)]
    assert held(retried) == 1000 and query("line.sqlite", "SELECT value, state FROM serials") == [("1000", "used")]
    assert query("line.sqlite", "SELECT serial_number, result, serial FROM attempts ORDER BY id") == [
        (usb, result, str(serial)) for usb, result, serial in records]


@pytest.mark.parametrize("victim", ["tool", "worker"])
def test_a_board_whose_end_is_unknown_keeps_its_number_void_for_ever(boards, victim):
    # The reply to the last block comes late: the board holds the whole image while the tool waits.
    lost, next_board = boards({"delay_blocks": {624}, "delay_ms": 5000}, {})
    proc = subprocess.Popen([*TOOL, "fw.bin", "--port", lost.port, "--retries", "5", "--log", "log", *SERIAL],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        log = os.path.abspath("log")
        assert eventually(lambda: len(lost.blocks) == 625 and processes_holding(proc.pid, log), 60)
        os.kill(proc.pid if victim == "tool" else processes_holding(proc.pid, log)[0], signal.SIGKILL)
        assert proc.wait(timeout=60) == (-9 if victim == "tool" else 1)  # reaped: its pid is gone
    finally:
        for pid in live_processes(proc.pid):
            os.kill(pid, signal.SIGKILL)
    assert cli.main(["fw.bin", "--port", next_board.port, *SERIAL]) == 0
    assert (held(lost), held(next_board)) == (1000, 1001)
    (state, reason), used = query("downloader.sqlite", "SELECT state, reason FROM serials ORDER BY value")
    assert state == "void" and used == ("used", None)
    assert reason == ORPHANED if victim == "tool" else reason.endswith("ended with exit code -9")


def test_three_tools_on_one_database_give_eighteen_boards_eighteen_numbers(database):  # noqa: F811
    tools = [subprocess.Popen([*TOOL, "--simulate", "6", "--all", "--sample", "2000", "--serial-at", "100",
                               "--serial-format", "dec:6", "--serial-start", "1", "--database", database, "-q"],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) for _ in range(3)]
    assert [(tool.wait(timeout=120), *tool.communicate()) for tool in tools] == [(0, "", "")] * 3
    used = query(database, "SELECT value FROM serials WHERE state = 'used'")
    assert sorted(int(value) for value, in used) == list(range(1, 19))
    flashed = query(database, "SELECT serial FROM attempts WHERE result = 'flashed'")
    assert sorted(serial for serial, in flashed) == [f"{n:06d}" for n in range(1, 19)]


@pytest.mark.parametrize("options, line", [
    (["--serial-at", "4"], "the serial field at offset 4 (4 bytes) touches bytes 6-9, which carry the image's"),
    (["--serial-at", "0x4e1e"], "the serial field at offset 19998 (4 bytes) does not lie inside the image of 20,000"),
    (["--serial-format", "dec:3"], "the serial start: 1000 does not fit dec:3, whose largest value is 999"),
], ids=["length field", "past the end", "does not fit"])
def test_a_serial_field_or_value_that_cannot_be_written_is_refused_before_any_block(boards, capsys, options, line):
    sim, = boards({})
    assert cli.main(["fw.bin", "--port", sim.port, *SERIAL, *options]) == 2
    err = capsys.readouterr().err
    assert err.startswith(f"downloader-flash: {line}") and err.count("\n") == 1 and sim.frames == 0


class Host(BoardData, Callbacks):
    """A host's own source, MAC addresses from a pool of its own, and what it hears of the run."""

    def __init__(self, *free):
        self.free, self.settled, self.told = list(free), [], []

    def issue(self, board):
        mac = self.free.pop(0) if self.free else None
        return Issued(mac, bytes.fromhex(mac.replace(":", "")), 512) if mac else None

    def settle(self, issued, state, record):
        self.settled.append((issued.value, state, record["serial"]))
        return False  # the run keeps the record

    def left(self):
        return len(self.free)

    serials_left = ran_out = lambda self, told: self.told.append(told)  # noqa: E731


MACS = ("02:00:00:00:00:01", "02:00:00:00:00:02")


@pytest.mark.parametrize("mode", ["flash_all", "watch"])
def test_a_host_brings_its_own_board_data_and_the_database_keeps_every_record(make_sim, tmp_path, mode):
    sims, macs, image = [make_sim() for _ in range(3)], Host(*MACS), Image(IMAGE, "fw")
    with contextlib.closing(open_store(str(tmp_path / "db"))) as store:
        if mode == "flash_all":
            summary = flash_all(Settings(jobs=2), image, devices_of(sims), macs, serials=macs, store=store)
        else:  # a station ends by itself once the values have run out and nothing is in flight
            summary = watch(Settings(watch=True, jobs=2), image, macs, devices=lambda: devices_of(sims), serials=macs,
                            store=store)
    rows = query(str(tmp_path / "db"), "SELECT serial, result FROM attempts ORDER BY serial")
    assert summary.exit_code() == 5 and macs.told[:3] == [2, 1, 0] and sum(isinstance(t, str) for t in macs.told) == 1
    assert sorted(sim.image[512:518].hex() for sim in sims) == ["", *(mac.replace(":", "") for mac in MACS)]
    assert sorted(macs.settled) == [(mac, "used", mac) for mac in MACS]
    assert rows == [(None, "failed"), *((mac, "flashed") for mac in MACS)]
