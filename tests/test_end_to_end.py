"""The built module flashing the simulated device over real pyserial on a real pty."""
import json
import os
import shutil
import subprocess
import sys
import textwrap

import pytest
import serial
from serial.tools.list_ports_common import ListPortInfo

import downloader
from fake_usb import SETUP
from fakes import assert_holds, lines, module_state, sample  # noqa: F401

DESCRIPTION = ["QLX-RB7", "Velmor", "K40372"]


@pytest.fixture
def host(module_state, tmp_path, capsys):
    """Opens the module's port on a simulator; init()s images; closes the port afterwards."""

    class Host:
        def connect(self, sim):
            module_state.com = sim.port
            assert downloader.dev_open() is True

        def load(self, image):
            path = tmp_path / "image.bin"
            path.write_bytes(image)
            assert downloader.init(str(path)) is True

        def flash(self, sim, resends=20):
            """download() until 100, resending after each 0; checks the device never lags."""
            results = []
            while resends >= 0:
                results.append(downloader.download())
                if results[-1] == 0:
                    resends -= 1
                elif results[-1] == 100:
                    assert sim.blocks == frozenset(range(downloader.Pcounter))
                    break
            return results

    yield Host()
    downloader.dev_close()


def test_host_sequence_with_discovery_through_comports(make_sim, host, monkeypatch, capsys):
    sim = make_sim()
    device = ListPortInfo(sim.port, skip_link_detection=True)
    device.vid, device.pid = 6645, 22336
    others = [ListPortInfo("/dev/ttyS0", skip_link_detection=True), ListPortInfo("/dev/ttyS9", True)]
    monkeypatch.setattr(serial.tools.list_ports, "comports", lambda: others + [device])
    image = sample(1000)

    assert downloader.dev_existing() == [sim.port] + DESCRIPTION
    assert downloader.dev_open() is True
    assert downloader.beat() == "beated"
    host.load(image)
    results = host.flash(sim)
    assert downloader.run() is True
    downloader.dev_close()

    assert len(results) == 32 and results[-1] == 100 and results[0] == 3.2
    assert_holds(sim, image)
    assert sim.heartbeats == 1 and sim.runs == 1 and sim.reports[-1].counter == 32
    printed = lines(capsys)
    assert printed[:3] == [str([sim.port] + DESCRIPTION), "串口打开成功", str(b"\x00\x01\x00\x00\x01")]
    assert printed[-3:] == ["31", str(bytes([0x10, 31, 0, 0, 0x2F])), str(bytes([0x20, 32, 0, 0, 0x40]))]


@pytest.mark.parametrize("size", [9, 32, 33, 70, 4096, 100000, pytest.param(2097120, marks=pytest.mark.slow)])
def test_device_receives_exactly_the_image(make_sim, host, size):
    sim = make_sim(process=size > 100000)
    host.connect(sim)
    image = sample(size)
    host.load(image)
    results = host.flash(sim)
    assert 0 not in results and len(results) == -(-size // 32)
    downloader.run()
    assert_holds(sim, image)


@pytest.mark.slow
def test_one_byte_too_many_ends_in_counter_overflow(make_sim, host, capsys):
    sim = make_sim(process=True)
    host.connect(sim)
    host.load(sample(2097121))
    results = [downloader.download() for _ in range(65536)]
    assert results[-1] == 0 and 100 not in results and downloader.Pcounter == 0
    assert lines(capsys)[-2:] == [str(bytes([0x10, 0xFF, 0xFF, 0, 0x0E])), "计数值错误"]
    assert sim.blocks == frozenset(range(65536))


# (knobs, block the fault hits, the module's lines for the rejection, slow)
FAULTS = {
    "reject": ({"reject": {3: 2}}, 3, ["packet checksum error: 19"], False),
    "wrong counter": ({"bad_counter_blocks": {2: 1}}, 2, ["packet counter error 3 2"], False),
    "bad length byte": ({"bad_length_blocks": {2: 1}}, 2, ["packet length error"], False),
    "no reply": ({"no_reply_blocks": {2: 1}}, 2, ["packet length error"], True),
    "short reply": ({"short_reply_blocks": {2: 1}}, 2, ["packet length error"], True),
    "late reply": ({"delay_ms": 1500, "delay_blocks": {2: 1}}, 2, ["packet length error"], True),
    "extra bytes": ({"extra_reply_blocks": {2: 1}}, 3, ["packet counter error 2 3"], False),
    "slow reply": ({"delay_ms": 300, "delay_blocks": {2: 1}}, None, [], False),
}


@pytest.mark.parametrize(
    "knobs, block, messages",
    [pytest.param(*v[:3], id=k, marks=[pytest.mark.slow] if v[3] else []) for k, v in FAULTS.items()],
)
def test_device_faults_are_reported_and_a_resending_host_completes(make_sim, host, capsys, knobs, block, messages):
    sim = make_sim(**knobs)
    host.connect(sim)
    image = sample(200)
    host.load(image)
    capsys.readouterr()
    results = host.flash(sim)
    assert results[-1] == 100
    printed = lines(capsys)
    if block is None:
        assert 0 not in results
    else:
        first = results.index(0)
        assert first == block
        rejection = printed[printed.index(str(block)) + 1 :][:3]
        assert rejection[1:] == messages + ["send wrong"]
    downloader.run()
    assert_holds(sim, image)


def test_disconnect_mid_transfer(make_sim, host, capsys):
    sim = make_sim(disconnect_after_block=2)
    host.connect(sim)
    host.load(sample(200))
    results = host.flash(sim, resends=2)
    assert results[:3] == [16.0, 32.0, 48.0] and results[3:] == [0, 0, 0]
    assert sim.disconnected and sim.blocks == frozenset({0, 1, 2})
    assert lines(capsys)[-1] == "send wrong"


# One fake USB device on /dev/ttyACM0, a link to the simulator's pty.
DISCOVERY = SETUP + r"""
ln -s "$PTY" /dev/ttyACM0
cd /sys/class/tty
mkdir -p usb/1-1/1-1:1.0 ttyACM0
echo 19f5 > usb/1-1/idVendor
echo 5740 > usb/1-1/idProduct
echo 1 > usb/1-1/bNumInterfaces
ln -s /sys/class/tty/bus/usb usb/1-1/1-1:1.0/subsystem
ln -s /sys/class/tty/usb/1-1/1-1:1.0 ttyACM0/device
cd /
exec "$PYTHON" -c "$HOST"
"""

HOST_SEQUENCE = """
import json, downloader as d
found = d.dev_existing()
steps = [found, d.dev_open(), d.beat(), d.init(IMAGE)]
progress = [d.download()]
while progress[-1] not in (0, 100):
    progress.append(d.download())
steps += [progress[-1], len(progress), d.run(), d.dev_close(), d.com, d.vid, d.pid]
print(json.dumps(steps))
"""


@pytest.mark.skipif(
    not sys.platform.startswith("linux") or os.geteuid() != 0 or not shutil.which("unshare"),
    reason="needs Linux, root and unshare",
)
def test_real_discovery_in_a_private_mount_namespace(make_sim, tmp_path):
    sim = make_sim(process=True)
    image = sample(3000)
    (tmp_path / "image.bin").write_bytes(image)
    host = HOST_SEQUENCE.replace("IMAGE", repr(str(tmp_path / "image.bin")))
    result = subprocess.run(
        ["unshare", "-m", "--propagation", "private", "sh", "-c", DISCOVERY],
        env=dict(os.environ, PTY=sim.port, PYTHON=sys.executable, HOST=textwrap.dedent(host)),
        capture_output=True, text=True, timeout=120,
    )
    assert result.returncode == 0, result.stderr
    steps = json.loads(result.stdout.splitlines()[-1])
    assert steps == [["/dev/ttyACM0"] + DESCRIPTION, True, "beated", True, 100, 94, True, None,
                     "/dev/ttyACM0", 6645, 22336]
    assert_holds(sim, image)
    assert not os.path.exists("/dev/ttyACM0")
