"""The image and the report must be regular files; the image is read once, with its size checked,
so that replacing it mid-run changes nothing flashed."""
import json
import os
import resource
import socket
import textwrap

import pytest

from downloader_flash import ImageError
from downloader_flash.files import read_image
from fake_usb import in_namespace
from fakes import sha
from schema_check import valid_records
from tool_runs import run_tool

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
    wanted = sha(image)
    records = valid_records((tmp_path / "report.jsonl").read_text())
    assert [(r["result"], r["size"], r["file_sha256"]) for r in records] == [("flashed", 20000, wanted)] * 4
    held = {sim.reports[-1].sha256 for sim in sims}
    assert held == {records[0]["device_sha256"]}


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
