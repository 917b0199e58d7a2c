"""The report under faults: a full file system, a removed report, two tools appending to one
report, and the image file replaced while devices are being flashed; an image or a report that is
no regular file."""
import contextlib
import errno
import hashlib
import json
import os
import resource
import socket
import subprocess
import sys
import textwrap
from unittest import mock

import pytest

from downloader_flash import ImageError
from downloader_flash.files import read_image
from downloader_flash.records import Report, ReportUnwritable
from fake_usb import in_namespace
from schema_check import valid_records

TOOL = [sys.executable, "-m", "downloader_flash"]
RECORD_SIZE = 1000  # a little more than a record takes


def run_tool(*args, timeout=120, **options):
    return subprocess.run([*TOOL, *map(str, args)], capture_output=True, text=True, timeout=timeout, **options)


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
    report = Report(str(path))
    try:
        report.append({"n": 1})
        path.unlink()
        with pytest.raises(ReportUnwritable) as info:
            report.append({"n": 2})
    finally:
        report.close()
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


REPLACED = """
import json, os, subprocess, sys
from fake_usb import plug
for n, pty in enumerate(json.loads(os.environ["PORTS"]), 1):
    plug(n, pty, f"SN{n}")
image = os.environ["IMAGE"]
tool = subprocess.Popen(json.loads(os.environ["TOOL"]) + [image, "--all", "--jobs", "1", "--json", "--report",
                        os.environ["REPORT"]], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
for line in tool.stdout:
    if json.loads(line)["event"] == "progress":
        break
with open(image, "wb") as handle:  # truncated, then another image
    handle.write(os.urandom(100))
os.replace(image + ".other", image)
out, err = tool.communicate(timeout=120)
print(json.dumps([tool.returncode, err]))
"""


def test_an_image_replaced_mid_run_changes_nothing_flashed(make_sim, tmp_path):
    image = bytes((i * 13 + (i >> 7)) % 256 for i in range(20000))
    sims = [make_sim(process=True, delay_ms=1) for _ in range(4)]
    (tmp_path / "image.bin").write_bytes(image)
    (tmp_path / "image.bin.other").write_bytes(os.urandom(20000))
    env = {"PORTS": json.dumps([sim.port for sim in sims]), "IMAGE": str(tmp_path / "image.bin"),
           "REPORT": str(tmp_path / "report.jsonl")}
    result = in_namespace(textwrap.dedent(REPLACED), env)
    assert result.returncode == 0, result.stderr
    returncode, err = json.loads(result.stdout.splitlines()[-1])
    assert (returncode, err) == (0, err) and returncode == 0, err
    wanted = hashlib.sha256(image).hexdigest()
    records = valid_records((tmp_path / "report.jsonl").read_text())
    assert [(r["result"], r["size"], r["file_sha256"]) for r in records] == [("flashed", 20000, wanted)] * 4
    held = {sim.reports[-1].sha256 for sim in sims}
    assert held == {records[0]["device_sha256"]}


def test_each_record_is_one_write_then_an_fsync(tmp_path, monkeypatch):
    calls = []
    real_write, real_fsync = os.write, os.fsync
    monkeypatch.setattr(os, "write", lambda fd, data: calls.append(("write", data)) or real_write(fd, data))
    monkeypatch.setattr(os, "fsync", lambda fd: calls.append(("fsync", None)) or real_fsync(fd))
    report = Report(str(tmp_path / "report.jsonl"))
    try:
        report.append({"n": 1, "text": "x" * 70000})
        report.append({"n": 2})
    finally:
        report.close()
    assert [name for name, _ in calls] == ["write", "fsync", "write", "fsync"]
    assert [json.loads(data) for name, data in calls if name == "write"] == [{"n": 1, "text": "x" * 70000}, {"n": 2}]



def bound_socket(path):
    with socket.socket(socket.AF_UNIX) as listener:
        listener.bind(str(path))


MAKERS = {"a FIFO": os.mkfifo, "a directory": os.mkdir, "a socket": bound_socket,  # a FIFO with no other end
          "a symbolic link": lambda path: path.symlink_to(path.with_name("target")),  # dangling: not to be created
          "3 GB": lambda path: os.truncate(path.write_bytes(b"") or path, 3 << 30)}


@pytest.mark.parametrize("option, kind", [("IMAGE", kind) for kind in ("a FIFO", "a socket", "a directory", "3 GB")]
                         + [("--report", kind) for kind in ("a FIFO", "a symbolic link")]
                         + [("IMAGE", "/dev/zero"), ("--report", "/dev/null")])
def test_an_image_or_report_that_is_no_regular_file_is_refused_at_once_in_one_line(tmp_path, option, kind):
    path = tmp_path / "f" if kind in MAKERS else kind
    MAKERS.get(kind, lambda path: None)(path)
    (tmp_path / "image.bin").write_bytes(bytes(1000))
    args = [path] if option == "IMAGE" else [tmp_path / "image.bin", "--report", path]
    # Within a memory limit far below what reading /dev/zero, or the sparse file, whole would take.
    result = run_tool(*args, "--port", "/nonexistent/ttyACM9", timeout=30,
                      preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30)))
    what = ("a character device" if kind.startswith("/dev") else kind) + ", not a regular file"
    line = {"IMAGE": f"cannot read {path}: it is {what}", "--report": f"cannot write the report {path}: it is {what}"}
    if kind == "3 GB":
        line["IMAGE"] = f"{path} holds 3,221,225,472 bytes; an image holds 9 to 2,097,120"
    assert (result.returncode, result.stderr) == (2 if option == "IMAGE" else 4, f"downloader-flash: {line[option]}\n")
    assert not (tmp_path / "target").exists()


def test_an_image_that_grew_after_its_size_was_checked_is_read_no_further(tmp_path, monkeypatch):
    (tmp_path / "image.bin").write_bytes(bytes(3 << 20))
    real_fstat = os.fstat  # which says 1,000 bytes
    monkeypatch.setattr(os, "fstat", lambda fd: os.stat_result((*real_fstat(fd)[:6], 1000, *real_fstat(fd)[7:])))
    with pytest.raises(ImageError, match=" holds more than 2,097,120 bytes; "):
        read_image(str(tmp_path / "image.bin"))


@pytest.mark.parametrize("code", [errno.EINVAL, errno.ENOTSUP, errno.EIO], ids=["EINVAL", "ENOTSUP", "EIO"])
def test_a_line_written_whole_is_recorded_where_the_file_system_does_not_sync(tmp_path, monkeypatch, code):
    monkeypatch.setattr(os, "fsync", mock.Mock(side_effect=OSError(code, os.strerror(code))))
    with contextlib.closing(Report(str(tmp_path / "report.jsonl"))) as report:
        with pytest.raises(ReportUnwritable) if code == errno.EIO else contextlib.nullcontext():
            report.append({"n": 1})
    assert json.loads((tmp_path / "report.jsonl").read_text()) == {"n": 1}
