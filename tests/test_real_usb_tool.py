"""downloader-flash over the kernel's USB serial stack (in the USB guest): devices found by real
enumeration, pulled out mid-flash, plugged in again, several at once."""
import contextlib
import os
import re
import signal
import subprocess
import sys
import threading
import time

import pytest

from downloader_sim import expected_image
from fakes import eventually, sample, sha
from usb_gadget import make_usb_device  # noqa: F401

pytestmark = pytest.mark.real_usb
pytest.importorskip("downloader_flash")

# faulthandler: a tool that hangs is made to print every thread's stack, its workers' too.
TOOL = [sys.executable, "-X", "faulthandler", "-m", "downloader_flash"]
SIZE = 32000  # 1,000 blocks: 1 s over USB at the 1 ms round trip of an idle machine
TOOL_TIMEOUT = 300
STOP_TIMEOUT = 60
ABORT_TIMEOUT = 5  # seconds for an aborted tool to print its stacks
# How long a device stays out when pulled and plugged again: longer than one of --watch's polls
# of the ports takes in the guest, as a hand's replug is.
OUT_OF_PORT = 2.0


@pytest.fixture
def image(tmp_path):
    path = tmp_path / "image.bin"
    path.write_bytes(sample(SIZE))
    return str(path)


def holds_image(device):
    wanted = sha(expected_image(sample(SIZE)))
    return eventually(lambda: device.sim.reports and device.sim.reports[-1].sha256 == wanted)


def wait_until(condition, timeout, what):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise TimeoutError(what)
        time.sleep(0.02)


def start(*args):
    return subprocess.Popen(TOOL + list(args), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, start_new_session=True)


def interrupt(process):
    """Ctrl-C to the tool alone; its exit code. A tool that outlives STOP_TIMEOUT fails the test
    with the stacks of its processes, which SIGABRT makes faulthandler print."""
    process.send_signal(signal.SIGINT)
    try:
        return process.wait(STOP_TIMEOUT)
    except subprocess.TimeoutExpired:
        tree = subprocess.run(["ps", "-o", "pid,ppid,stat,etime,args", "-s", str(process.pid)],
                              capture_output=True, text=True).stdout
        os.killpg(process.pid, signal.SIGABRT)
        with contextlib.suppress(subprocess.TimeoutExpired):
            process.wait(ABORT_TIMEOUT)  # faulthandler prints the stacks, then the tool ends
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()
        pytest.fail("the tool did not end within %d s of Ctrl-C:\n%s\n%s"
                    % (STOP_TIMEOUT, tree, process.stderr.read()), pytrace=False)


def collect_lines(stream):
    """The stream's lines as they come, gathered into the list by the thread, which ends with it."""
    lines = []
    reader = threading.Thread(target=lambda: lines.extend(iter(stream.readline, "")), daemon=True)
    reader.start()
    return lines, reader


def finish(process, timeout=TOOL_TIMEOUT):
    out, err = process.communicate(timeout=timeout)
    return process.returncode, out.splitlines(), err.splitlines()


def unplug_at(device, frames):
    """Pulls the device out once it has handled `frames` requests; its block count then."""
    wait_until(lambda: device.sim.frames >= frames, 300, "the transfer did not start")
    device.unplug()
    return len(device.sim.blocks)


def test_all_flashes_several_devices_each_by_its_serial_number(make_usb_device, image):
    devices = [make_usb_device("SN-ALL-%d" % n) for n in range(3)]
    code, out, err = finish(start(image, "--all"))
    assert (code, err) == (0, []), out
    for device in devices:
        assert holds_image(device)
        row = [line for line in out if line.startswith(device.port + " ")]
        assert len(row) == 1 and device.gadget.serial_number in row[0] and "flashed" in row[0]


def test_unplugged_mid_flash_ends_in_one_disconnect_line(make_usb_device, image):
    device = make_usb_device("SN-UNPLUG")
    process = start(image, "--port", device.port)
    held = unplug_at(device, 100)
    code, out, err = finish(process)
    assert code == 1 and out == []
    assert len(err) == 1, err
    found = re.fullmatch(r"downloader-flash: device on %s disconnected at block (\d+) of 1,000"
                         % re.escape(device.port), err[0])
    assert found, err
    assert held - 1 <= int(found.group(1)) <= held + 1


def test_attempts_flash_a_replugged_device_again_from_block_0(make_usb_device, image):
    device = make_usb_device("SN-AGAIN")
    port = device.port
    process = start(image, "--port", port, "--attempts", "2")
    unplug_at(device, 100)
    device.replug()
    code, out, err = finish(process)
    assert device.port == port
    assert code == 0, (out, err)
    # The failed attempt on stderr, as every failure; the result on stdout.
    assert len(err) == 1 and re.fullmatch(r"device on %s disconnected at block \d+ of 1,000; "
                                          r"flashing it again from block 0" % re.escape(port), err[0]), err
    assert out[0].startswith("flashed %s (serial SN-AGAIN): 32,000 bytes in 1,000 blocks" % port), out
    assert holds_image(device)


def test_watch_flashes_each_device_plugged_in_and_again_after_replugging(make_usb_device, image):
    first = make_usb_device("SN-WATCH-1")
    process = start(image, "--watch")
    out, reader = collect_lines(process.stdout)

    def flashed():
        return [line.split(":")[0] for line in out if ": flashed, " in line]

    try:
        wait_until(lambda: len(flashed()) == 1, 300, "the first device was not flashed")
        second = make_usb_device("SN-WATCH-2")
        wait_until(lambda: len(flashed()) == 2, 300, "the second device was not flashed")
        first.unplug()
        time.sleep(OUT_OF_PORT)
        first.replug()
        wait_until(lambda: len(flashed()) == 3, 300, "the replugged device was not flashed again")
    finally:
        code = interrupt(process)
        reader.join(10)
        process.stdout.close()
        with process.stderr:
            err = process.stderr.read().splitlines()
    assert holds_image(first) and holds_image(second)
    assert flashed() == ["%s (serial SN-WATCH-1)" % first.port, "%s (serial SN-WATCH-2)" % second.port,
                       "%s (serial SN-WATCH-1)" % first.port], (out, err)
    assert code == 0, (out, err)
