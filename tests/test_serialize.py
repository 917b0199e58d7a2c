"""Each board its own serial number, end to end: the command and the library against simulated
devices, with the line's database."""
import hashlib
import os
import signal
import sqlite3
import struct
import subprocess
import sys

import pytest

from downloader_flash import Board, BoardData, Callbacks, Device, Image, Issued, Settings, cli, flash_all, watch
from downloader_flash.store import ORPHANED, open_store
from fakes import eventually
from schema_check import valid_records
from test_faults import live_processes, processes_holding
from test_store import database  # noqa: F401  (an SQLite file, and a PostgreSQL database of its own)

IMAGE = bytes((i * 131 + (i >> 8)) % 256 for i in range(20000))  # 625 blocks
TOOL = [sys.executable, "-m", "downloader_flash"]
NEWCOMER = ["--serial-at", "256", "--serial-format", "u32le", "--serial-start", "1000"]


@pytest.fixture
def image(tmp_path):
    path = tmp_path / "fw.bin"
    path.write_bytes(IMAGE)
    return str(path)


@pytest.fixture
def boards(make_sim, monkeypatch):
    """Simulated devices that the command finds as it would find boards on USB."""
    def plug(*knobs):
        sims = [make_sim(**each) for each in knobs]
        monkeypatch.setattr("downloader_flash.simulated.find_devices",
                            lambda: [Device(sim.port, f"SN{n}", None, "") for n, sim in enumerate(sims)])
        return sims
    return plug


def held(sim, size=4):
    return struct.unpack("<I", sim.image[256:256 + size])[0]


def serials(database):
    return dict(sqlite3.connect(database).execute("SELECT value, state FROM serials"))


def test_a_second_run_goes_on_where_the_first_stopped_and_a_range_ends_with_the_boards_in_flight(
        boards, image, tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    sims = boards({}, {}, {})
    numbers = []
    for _ in range(2):
        assert cli.main([image, "--all", *NEWCOMER, "--report", "r.jsonl"]) == 0
        numbers.append(sorted(held(sim) for sim in sims))
    assert numbers == [[1000, 1001, 1002], [1003, 1004, 1005]]
    assert capsys.readouterr().err == f"serial numbers are kept in {tmp_path / 'downloader.sqlite'}\n" * 2
    assert cli.main([image, "--all", *NEWCOMER, "--serial-end", "1006", "--report", "r.jsonl", "-q"]) == 5
    assert capsys.readouterr().err.count("downloader-flash: the serial numbers have run out") == 1
    records = valid_records((tmp_path / "r.jsonl").read_text())
    assert sorted(r["serial"] for r in records if r["result"] == "flashed") == list(range(1000, 1007))
    assert [r["error"] for r in records[6:] if r["serial"] is None] == ["not started: the serial numbers have run out"] * 2
    assert len({r["image_sha256"] for r in records[:6]}) == 6 and {r["file_sha256"] for r in records} == {
        hashlib.sha256(IMAGE).hexdigest()}
    assert set(serials("downloader.sqlite").values()) == {"used"}


def test_a_board_that_fails_for_good_gives_its_number_to_the_next_and_a_retry_keeps_it(boards, image, tmp_path):
    failing, retried = boards({"reject": {5: None}}, {"reject": {5: 4}})
    database = tmp_path / "line.sqlite"
    assert cli.main([image, "--all", "--jobs", "1", "--attempts", "2", *NEWCOMER, "--database", str(database),
                     "--report", str(tmp_path / "r.jsonl")]) == 1
    records = valid_records((tmp_path / "r.jsonl").read_text())
    assert [(r["serial_number"], r["attempt"], r["result"], r["serial"]) for r in records] == [
        ("SN0", 1, "failed", 1000), ("SN0", 2, "failed", 1000), ("SN1", 1, "failed", 1000), ("SN1", 2, "flashed", 1000)]
    assert held(retried) == 1000 and serials(database) == {"1000": "used"}
    rows = sqlite3.connect(database).execute("SELECT serial, result FROM attempts ORDER BY id").fetchall()
    assert rows == [("1000", r["result"]) for r in records]


@pytest.mark.parametrize("victim", ["tool", "worker"])
def test_a_board_whose_end_is_unknown_keeps_its_number_void_for_ever(make_sim, image, tmp_path, victim):
    # The reply to the last block comes late: the board holds the whole image while the tool waits.
    lost, next_board = make_sim(delay_blocks={624}, delay_ms=5000), make_sim()
    database, log = str(tmp_path / "line.sqlite"), str(tmp_path / "module.log")
    proc = subprocess.Popen([*TOOL, image, "--port", lost.port, "--retries", "5", "--log", log, *NEWCOMER,
                             "--database", database], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            start_new_session=True)
    try:
        assert eventually(lambda: len(lost.blocks) == 625 and processes_holding(proc.pid, log), 60)
        os.kill(proc.pid if victim == "tool" else processes_holding(proc.pid, log)[0], signal.SIGKILL)
        proc.communicate(timeout=60)  # reaped: its pid is gone
    finally:
        for pid in live_processes(proc.pid):
            os.kill(pid, signal.SIGKILL)
    assert proc.returncode == (-9 if victim == "tool" else 1)
    restarted = subprocess.run([*TOOL, image, "--port", next_board.port, *NEWCOMER, "--database", database],
                               capture_output=True, text=True, timeout=60)
    assert restarted.returncode == 0, restarted.stderr
    assert (held(lost), held(next_board)) == (1000, 1001)
    assert serials(database) == {"1000": "void", "1001": "used"}
    reason = sqlite3.connect(database).execute("SELECT reason FROM serials WHERE value = '1000'").fetchone()[0]
    assert reason == ORPHANED if victim == "tool" else reason.endswith("ended with exit code -9")


def test_three_tools_on_one_database_give_eighteen_boards_eighteen_numbers(database):
    tools = [subprocess.Popen([*TOOL, "--simulate", "6", "--all", "--sample", "2000", "--serial-at", "100",
                               "--serial-format", "dec:6", "--serial-start", "1", "--database", database, "-q"],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) for _ in range(3)]
    ends = [(tool.wait(timeout=120), tool.communicate()) for tool in tools]
    assert [(code, out, err) for code, (out, err) in ends] == [(0, "", "")] * 3
    store = open_store(database)
    try:
        used = store.execute("SELECT value FROM serials WHERE state = 'used'").fetchall()
        recorded = store.execute("SELECT serial FROM attempts WHERE result = 'flashed'").fetchall()
    finally:
        store.close()
    assert sorted(int(value) for value, in used) == list(range(1, 19))
    assert sorted(serial for serial, in recorded) == [f"{n:06d}" for n in range(1, 19)]


@pytest.mark.parametrize("options, line", [
    (["--serial-at", "4", "--serial-format", "u32le", "--serial-start", "1"],
     "the serial field at offset 4 (4 bytes) touches bytes 6-9, which carry the image's length (the image is "
     "20,000 bytes)"),
    (["--serial-at", "19998", "--serial-format", "u32le", "--serial-start", "1"],
     "the serial field at offset 19998 (4 bytes) does not lie inside the image of 20,000 bytes"),
    (["--serial-at", "256", "--serial-format", "dec:3", "--serial-start", "1", "--serial-end", "1000"],
     "the serial end: 1000 does not fit dec:3, whose largest value is 999"),
], ids=["length field", "past the end", "does not fit"])
def test_a_serial_field_or_value_that_cannot_be_written_is_refused_before_any_block(sim, image, capsys, options, line):
    assert cli.main([image, "--port", sim.port, *options]) == 2
    assert capsys.readouterr().err == f"downloader-flash: {line}\n" and sim.frames == 0


class Addresses(BoardData):
    """A host's own source: MAC addresses from a pool it keeps."""

    def __init__(self, *free):
        self.free, self.settled, self.boards = list(free), [], []

    def issue(self, board):
        self.boards.append(board)
        mac = self.free.pop(0) if self.free else None
        return Issued(mac, bytes.fromhex(mac.replace(":", "")), 512) if mac else None

    def settle(self, issued, state, record):
        self.settled.append((issued.value, state, record["serial"]))
        return False

    def left(self):
        return len(self.free)


class Told(Callbacks):
    def __init__(self):
        self.left, self.ran_out_reasons = [], []

    def serials_left(self, left):
        self.left.append(left)

    def ran_out(self, reason):
        self.ran_out_reasons.append(reason)


@pytest.mark.parametrize("mode", ["flash_all", "watch"])
def test_a_host_brings_its_own_board_data_and_the_database_keeps_every_record(make_sim, tmp_path, mode):
    sims = [make_sim() for _ in range(3)]
    devices = [Device(sim.port, f"SN{n}", None, "") for n, sim in enumerate(sims)]
    macs, told, store = Addresses("02:00:00:00:00:01", "02:00:00:00:00:02"), Told(), open_store(str(tmp_path / "db"))
    try:
        if mode == "flash_all":
            summary = flash_all(Settings(jobs=2), Image(IMAGE, "fw"), devices, told, serials=macs, store=store)
        else:  # a station ends by itself once the values have run out and nothing is in flight
            summary = watch(Settings(watch=True, jobs=2), Image(IMAGE, "fw"), told, devices=lambda: devices,
                            serials=macs, store=store)
        rows = store.execute("SELECT serial, result FROM attempts ORDER BY serial").fetchall()
    finally:
        store.close()
    assert summary.exit_code() == 5 and len(told.ran_out_reasons) == 1
    assert sorted(sim.image[512:518].hex() for sim in sims) == ["", "020000000001", "020000000002"]
    assert sorted(macs.settled) == [(mac, "used", mac) for mac in ("02:00:00:00:00:01", "02:00:00:00:00:02")]
    assert rows == [(None, "failed"), ("02:00:00:00:00:01", "flashed"), ("02:00:00:00:00:02", "flashed")]
    assert told.left[0] == 2 and told.left[-1] == 0 and isinstance(macs.boards[0], Board)
