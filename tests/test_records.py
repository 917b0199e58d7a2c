"""--report: one record per attempt that tells the truth, and the report under faults: a full
file system, a removed report, two tools appending to one report, a file system that does not sync."""
import contextlib
import datetime
import errno
import json
import os
import platform
import subprocess
import sys
from unittest import mock

import pytest

from downloader_flash.records import FIELDS, Report, ReportUnwritable
from downloader_sim import expected_image
from fake_usb import INTERRUPTIBLE_TOOL
from fakes import sha
from schema_check import valid_records
from tool_runs import IMAGE, TOOL, image_file, interrupted, run_tool, tool  # noqa: F401


def test_report_appends_one_record_per_attempt(make_sim, image_file, tmp_path):
    sim = make_sim(reject={5: 4})  # the first attempt gives up on block 5; the second goes through
    report = tmp_path / "flash.jsonl"
    returncode, out, err = tool(image_file, "--port", sim.port, "--attempts", "2", "--report", report)
    rejected = f"device on {sim.port} rejected block 5, 4 times; giving up (last: packet checksum error: 21)"
    assert (returncode, err) == (0, f"{rejected}; flashing it again from block 0\n")
    records = valid_records(report.read_text())
    assert [list(record) for record in records] == [list(FIELDS)] * 2
    common = {"schema": 3, "port": sim.port, "serial_number": None, "image": image_file, "file_sha256": sha(IMAGE),
              "size": 100000, "blocks": 3125, "attempts": 2, "station": None}
    assert [{name: record[name] for name in common} for record in records] == [common] * 2
    assert [(r["attempt"], r["result"], r["error_kind"], r["error"], r["block"], r["resends"], r["device_sha256"])
            for r in records] == [(1, "failed", "BlockRejected", rejected, 5, 3, None),
                                  (2, "flashed", None, None, 3125, 0, sha(expected_image(IMAGE)))]
    for record in records:
        started, ended = (datetime.datetime.fromisoformat(record[name]) for name in ("started", "time"))
        assert started.utcoffset() == datetime.timedelta(0)
        assert abs((datetime.datetime.now(datetime.timezone.utc) - ended).total_seconds()) < 120
        assert record["seconds"] > 0 and abs((ended - started).total_seconds() - record["seconds"]) < 0.01


def test_records_tell_the_truth_about_failures_and_interruptions(make_sim, image_file, tmp_path):
    """A failure has its real duration and failing block; an interruption keeps its resends; a
    device that did not receive the whole image has no device digest; the image path is absolute."""
    silent, slow = make_sim(no_reply_blocks={7}), make_sim(reject={3: 1}, delay_ms=2)
    report = tmp_path / "r.jsonl"
    relative = os.path.relpath(image_file, tmp_path)
    common = ["--report", report, "--station", "line 4", "--retries", "1"]
    assert subprocess.run([*TOOL, relative, "--port", silent.port, *common], cwd=tmp_path, capture_output=True,
                          timeout=60).returncode == 1
    assert interrupted([*INTERRUPTIBLE_TOOL, relative, "--port", slow.port, *common],
                       lambda proc: len(slow.blocks) >= 100, cwd=tmp_path)[0] == 130
    failed, stopped = valid_records(report.read_text())
    assert (failed["result"], failed["error_kind"], failed["block"], failed["resends"]) == ("failed", "NoReply", 7, 1)
    assert failed["seconds"] >= 1.9  # two read time-outs
    assert (stopped["result"], stopped["resends"]) == ("interrupted", 1) and stopped["block"] >= 99
    for record in (failed, stopped):
        assert (record["image"], record["station"], record["device_sha256"]) == (image_file, "line 4", None)
        assert record["tool_version"] == record["module_version"] and record["python_version"] == platform.python_version()


RECORD_SIZE = 1000  # a little more than a record takes


@pytest.fixture
def small_tmpfs(tmp_path):
    """A 64 KiB file system, full but for less than one record in the report's last page."""
    if os.geteuid() != 0:
        pytest.skip("mounting a tmpfs needs root")
    mount = tmp_path / "small"
    mount.mkdir()
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", str(mount)], check=True)
    try:
        page_fill = json.dumps({"filler": "x" * (4096 - RECORD_SIZE // 2 - 20)}) + "\n"
        (mount / "report.jsonl").write_text(page_fill)
        filler = os.open(mount / "filler", os.O_WRONLY | os.O_CREAT)
        try:
            while os.write(filler, bytes(4096)) == 4096:
                pass
        except OSError:
            pass
        finally:
            os.close(filler)
        yield mount
    finally:
        subprocess.run(["umount", "-l", str(mount)], check=True)


@pytest.mark.pty
def test_a_full_disk_stops_new_devices_and_prints_what_was_not_recorded(small_tmpfs):
    report = small_tmpfs / "report.jsonl"
    result = run_tool("--simulate", "3", "--all", "--jobs", "1", "--sample", "20000", "--report", report)
    full = f"cannot write the report {report}: No space left on device"
    lines = result.stderr.splitlines()
    assert result.returncode == 4 and "Traceback" not in result.stderr, result.stderr
    assert lines[0] == f"downloader-flash: {full}; no new device is started, and outcomes are printed here"
    unrecorded = valid_records("\n".join(line.split(": ", 2)[2] for line in lines
                                          if line.startswith("downloader-flash: not recorded: ")))
    # The first in port order was flashed, whichever simulated device got the lowest pty number.
    assert sorted(r["serial_number"] for r in unrecorded) == ["SIM0001", "SIM0002", "SIM0003"]
    assert sorted((r["result"], r["error_kind"] or "") for r in unrecorded) == [
        ("failed", "NotStarted"), ("failed", "NotStarted"), ("flashed", "")]
    assert lines[-1] == f"downloader-flash: {full}; 3 outcome(s) not recorded, printed above"
    text = report.read_text()
    assert text.endswith("\n") and [list(json.loads(line)) for line in text.splitlines()] == [["filler"]]


def test_a_report_removed_under_the_tool_is_unwritable(tmp_path):
    path = tmp_path / "report.jsonl"
    with contextlib.closing(Report(str(path))) as report:
        report.append({"n": 1})
        path.unlink()
        with pytest.raises(ReportUnwritable) as info:
            report.append({"n": 2})
    assert str(info.value) == f"cannot write the report {path}: it was removed"


APPENDER = """
import sys
from downloader_flash.records import Report
report = Report(sys.argv[1])
for n in range(200):
    report.append({"writer": sys.argv[2], "n": n, "padding": sys.argv[2] * 9000})
"""


@pytest.mark.pty
def test_two_tools_appending_to_one_report_never_mix_their_lines(tmp_path):
    report = tmp_path / "report.jsonl"
    tools = [subprocess.Popen([*TOOL, "--simulate", "2", "--all", "--sample", "20000", "--report", str(report)],
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True) for _ in range(2)]
    # Lines longer than a pipe's atomic write, from two writers at once.
    writers = [subprocess.Popen([sys.executable, "-c", APPENDER, str(report), name]) for name in "ab"]
    assert [proc.wait(timeout=120) for proc in writers] == [0, 0]
    ended = [proc.communicate(timeout=120) for proc in tools]
    assert [proc.returncode for proc in tools] == [0, 0], ended
    lines = [json.loads(line) for line in report.read_text().splitlines()]
    ours = [line for line in lines if "writer" not in line]
    assert len(valid_records("\n".join(map(json.dumps, ours)))) == 4
    for name in "ab":
        assert [line["n"] for line in lines if line.get("writer") == name] == list(range(200))


def test_each_record_is_one_write_then_an_fsync(tmp_path, monkeypatch):
    calls = []
    real_write, real_fsync = os.write, os.fsync
    monkeypatch.setattr(os, "write", lambda fd, data: calls.append(("write", data)) or real_write(fd, data))
    monkeypatch.setattr(os, "fsync", lambda fd: calls.append(("fsync", None)) or real_fsync(fd))
    with contextlib.closing(Report(str(tmp_path / "report.jsonl"))) as report:
        report.append({"n": 1, "text": "x" * 70000})
        report.append({"n": 2})
    assert [name for name, _ in calls] == ["write", "fsync", "write", "fsync"]
    assert [json.loads(data) for name, data in calls if name == "write"] == [{"n": 1, "text": "x" * 70000}, {"n": 2}]


@pytest.mark.parametrize("code", [errno.EINVAL, errno.ENOTSUP, errno.EIO], ids=["EINVAL", "ENOTSUP", "EIO"])
def test_a_line_written_whole_is_recorded_where_the_file_system_does_not_sync(tmp_path, monkeypatch, code):
    monkeypatch.setattr(os, "fsync", mock.Mock(side_effect=OSError(code, os.strerror(code))))
    with contextlib.closing(Report(str(tmp_path / "report.jsonl"))) as report:
        with pytest.raises(ReportUnwritable) if code == errno.EIO else contextlib.nullcontext():
            report.append({"n": 1})
    assert json.loads((tmp_path / "report.jsonl").read_text()) == {"n": 1}
