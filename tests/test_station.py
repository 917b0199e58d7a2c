"""--all and --watch over pyserial's own Linux enumeration of fake USB devices, in a private mount
namespace; each fake device is a link to a simulator's pty."""
import json
import os
import re
import shutil
import sys

import pytest

from fake_usb import in_namespace
from schema_check import valid_records
from tool_runs import untimed

pytestmark = pytest.mark.skipif(
    not sys.platform.startswith("linux") or os.geteuid() != 0 or not shutil.which("unshare"),
    reason="needs Linux, root and unshare",
)

IMAGE = bytes((i * 7 + (i >> 8)) % 256 for i in range(40000))  # 1,250 blocks

def drive(driver, sims, tmp_path, **more):
    """Runs `driver` in the namespace with the simulators' ptys, IMAGE, a REPORT and `more`; its last
    line, parsed."""
    (tmp_path / "image.bin").write_bytes(IMAGE)
    env = {"PORTS": json.dumps([sim.port for sim in sims]), "IMAGE": str(tmp_path / "image.bin"),
           "REPORT": str(tmp_path / "report.jsonl"), **more}
    result = in_namespace(driver, env)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout.splitlines()[-1])


ALL = """
import json, os, subprocess, sys
from fake_usb import plug
tool = [sys.executable, "-m", "downloader_flash"]
none = subprocess.run(tool + [os.environ["IMAGE"]], capture_output=True, text=True)
for n, pty in enumerate(json.loads(os.environ["PORTS"]), 1):
    plug(n, pty, f"SN{n}")
plug(9, os.environ["OTHER"], "X9", vendor="0403", product="6001")  # another maker's device: not listed
listed = subprocess.run(tool + ["--list"], capture_output=True, text=True)
chosen = subprocess.run(tool + [os.environ["IMAGE"], "--serial-number", "SN2", "-q"], capture_output=True, text=True)
run = subprocess.run(tool + [os.environ["IMAGE"], "--all", "--report", os.environ["REPORT"]],
                     capture_output=True, text=True, timeout=90)
print(json.dumps([[none.returncode, none.stderr], [chosen.returncode, chosen.stdout, chosen.stderr], listed.stdout,
                  run.returncode, run.stdout, run.stderr]))
"""


def test_all_flashes_every_device_and_one_faulty_device_fails_alone(make_sim, tmp_path):
    sims = [make_sim(process=True) for _ in range(3)] + [make_sim(process=True, reject={2: 10})]
    none, chosen, listed, returncode, out, err = drive(ALL, sims, tmp_path, OTHER=make_sim().port)
    assert none == [2, "downloader-flash: no device found (USB vendor 0x19F5, product 0x5740)\n"]
    assert chosen == [0, "", ""] and sims[1].runs == 2  # -q: nothing but failures
    assert listed.splitlines() == ["port          serial number  location  description"] + [
        f"/dev/ttyACM{n}  SN{n}            1-{n}       ttyACM{n}" for n in range(1, 5)]
    assert (returncode, err) == (
        1, "device on /dev/ttyACM4 rejected block 2, 4 times; giving up (last: packet checksum error: 18)\n")
    rows = [line.split() for line in out.splitlines()[1:5]]
    assert [row[:5] for row in rows] == [[f"/dev/ttyACM{n}", f"SN{n}", "flashed", "1,250", "0"] for n in range(1, 4)] + [
        ["/dev/ttyACM4", "SN4", "failed", "-", "3"]]
    assert [sim.reports[-1].complete for sim in sims[:3]] == [True] * 3 and not sims[3].reports
    records = valid_records((tmp_path / "report.jsonl").read_text())
    assert sorted((r["port"], r["serial_number"], r["result"]) for r in records) == [
        (f"/dev/ttyACM{n}", f"SN{n}", "flashed" if n < 4 else "failed") for n in range(1, 5)]


WATCH = """
import json, os, signal, subprocess, sys
from fake_usb import Looks, plug, unplug
a, b, c = json.loads(os.environ["PORTS"])
lines = []
looks = Looks()
plug(1, a, "A1")
looks.device(1)                             # the first in every look
proc = subprocess.Popen(json.loads(os.environ["TOOL"]) + [os.environ["IMAGE"], "--watch"],
                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
lines.append(proc.stdout.readline())        # A, present from the start
plug(2, b, "B2")                            # slow: still flashing at the end
looks.wait(through=1)                       # B found and started
plug(3, c, "C3")
lines.append(proc.stdout.readline())        # C, while B is flashing
unplug(3)
looks.wait(through=1)                       # C seen gone
plug(3, c, "C3")                            # plugged in again: flashed again
lines.append(proc.stdout.readline())
for _ in range(2):
    looks.wait(through=1)                   # A and C stay plugged in: not flashed again
proc.send_signal(signal.SIGINT)
out, err = proc.communicate(timeout=30)
print(json.dumps([lines + out.splitlines(keepends=True) + err.splitlines(keepends=True)[1:], proc.returncode,
                  err.splitlines(keepends=True)[0]]))
"""


def test_watch_flashes_each_device_as_it_appears_once_until_it_is_unplugged(make_sim, tmp_path):
    a, b, c = make_sim(process=True), make_sim(process=True, delay_ms=5), make_sim(process=True)
    lines, returncode, err = drive(WATCH, [a, b, c], tmp_path)
    flashed = "flashed, 40,000 bytes in 1,250 blocks, 0 resends, S s, R KiB/s; run acknowledged\n"
    assert [untimed(line) for line in lines[:3]] == [
        f"/dev/ttyACM1 (serial A1): {flashed}", f"/dev/ttyACM3 (serial C3): {flashed}",
        f"/dev/ttyACM3 (serial C3): {flashed}"]
    assert len(lines) == 4 and re.fullmatch(
        r"/dev/ttyACM2 \(serial B2\): interrupted at block \d+ of 1,250; the device holds a partial image\n", lines[3])
    assert (returncode, err) == (130, "watching for devices; Ctrl-C ends\n")
    assert (a.runs, b.runs, c.runs) == (1, 0, 2) and b.blocks


RECOVER = """
import json, os, subprocess, sys
from fake_usb import Looks, plug, unplug
first, second = json.loads(os.environ["PORTS"])
looks = Looks()
plug(1, first, "SN7")
tool = subprocess.Popen(json.loads(os.environ["TOOL"]) + [os.environ["IMAGE"], "--serial-number", "SN7", "--attempts",
                        "2", "--wait", "30", "--report", os.environ["REPORT"]], stdout=subprocess.PIPE,
                        stderr=subprocess.PIPE, text=True)
retry = tool.stderr.readline()      # the cable was pulled
unplug(1)
looks.wait()                        # the board re-enumerates: the next attempt looks for it...
plug(2, second, "SN7")              # ...and finds it on another port
out, err = tool.communicate(timeout=60)
print(json.dumps([retry, tool.returncode, out, err]))
"""


def test_after_a_disconnect_the_next_attempt_waits_for_the_board_and_finds_it_by_serial_number(make_sim, tmp_path):
    pulled, back = make_sim(process=True, disconnect_after_block=10), make_sim(process=True)
    retry, returncode, out, err = drive(RECOVER, [pulled, back], tmp_path)
    assert retry == "device on /dev/ttyACM1 disconnected at block 11 of 1,250; flashing it again from block 0\n"
    assert (returncode, err) == (0, "") and out.startswith("flashed /dev/ttyACM2 (serial SN7): 40,000 bytes")
    records = valid_records((tmp_path / "report.jsonl").read_text())
    assert [(r["attempt"], r["port"], r["result"], r["block"]) for r in records] == [
        (1, "/dev/ttyACM1", "failed", 11), (2, "/dev/ttyACM2", "flashed", 1250)]
    assert back.reports[-1].complete


WATCH_QUIET = """
import json, os, signal, subprocess, sys
from fake_usb import plug
from fakes import eventually
good, bad = json.loads(os.environ["PORTS"])
plug(1, good, "A1")
plug(2, bad, "B2")
report = os.environ["REPORT"]
proc = subprocess.Popen(json.loads(os.environ["TOOL"]) + [os.environ["IMAGE"], "--watch", "-q", "--report", report],
                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
eventually(lambda: os.path.exists(report) and len(open(report).read().splitlines()) >= 2, 60)  # both records
proc.send_signal(signal.SIGINT)
out, err = proc.communicate(timeout=30)
print(json.dumps([proc.returncode, out, err]))
"""


def test_watch_quiet_prints_failures_only_and_on_stderr(make_sim, tmp_path):
    good, bad = make_sim(process=True), make_sim(process=True, reject={2: 10})
    assert drive(WATCH_QUIET, [good, bad], tmp_path) == [1, "", (
        "/dev/ttyACM2 (serial B2): device on /dev/ttyACM2 rejected block 2, 4 times; giving up "
        "(last: packet checksum error: 18)\n")]
    assert good.reports[-1].complete


WATCH_RECOVER = """
import json, os, signal, subprocess, sys
from fake_usb import Looks, plug, unplug
first, second = json.loads(os.environ["PORTS"])
report = os.environ["REPORT"]
looks = Looks()
plug(1, first, "SN7")
proc = subprocess.Popen(json.loads(os.environ["TOOL"]) + [os.environ["IMAGE"], "--watch", "--attempts", "2", "--wait",
                        "30", "--report", report], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
proc.stderr.readline()              # watching
retry = proc.stderr.readline()      # the cable was pulled
unplug(1)
looks.wait()                        # looked for in vain
plug(2, second, "SN7")              # back, on another port
looks.device(2)
flashed = proc.stdout.readline()
for _ in range(2):
    looks.wait(through=2)           # still plugged in: not flashed again
proc.send_signal(signal.SIGINT)
out, err = proc.communicate(timeout=30)
print(json.dumps([retry, flashed, proc.returncode, out, err]))
"""


def test_watch_waits_for_a_pulled_board_and_flashes_it_once_on_its_new_port(make_sim, tmp_path):
    pulled, back = make_sim(process=True, disconnect_after_block=10), make_sim(process=True)
    retry, flashed, returncode, out, err = drive(WATCH_RECOVER, [pulled, back], tmp_path)
    assert retry == "device on /dev/ttyACM1 disconnected at block 11 of 1,250; flashing it again from block 0\n"
    assert flashed.startswith("/dev/ttyACM2 (serial SN7): flashed, 40,000 bytes")
    assert (returncode, out, err) == (0, "", "")
    assert back.runs == 1 and len(valid_records((tmp_path / "report.jsonl").read_text())) == 2
