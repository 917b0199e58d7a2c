"""The module flashing a simulated device over the kernel's USB serial stack (in the USB guest).

The simulator serves the device side of a USB serial gadget; the module finds the host side, a
/dev/ttyACM* of the cdc_acm driver, by real enumeration, and every byte crosses the USB stack.
"""
import time

import pytest
import serial.tools.list_ports

import downloader
from downloader_wire import PRODUCT_ID, VENDOR_ID
from fakes import assert_holds, lines, module_state, sample  # noqa: F401
from usb_gadget import make_usb_device  # noqa: F401

pytestmark = pytest.mark.real_usb

DESCRIPTION = ["QLX-RB7", "Velmor", "K40372"]


@pytest.fixture
def host(module_state, tmp_path):
    """Loads images and flashes them through the module; closes its port afterwards."""

    class Host:
        def open_and_load(self, device, image):
            """The module's port opened on the device, and the image loaded."""
            downloader.com = device.port
            assert downloader.dev_open() is True
            self.load(image)

        def load(self, image):
            path = tmp_path / "image.bin"
            path.write_bytes(image)
            assert downloader.init(str(path)) is True

        def flash(self, until=None):
            """download() until 100 (or until Pcounter reaches `until`), resending after a 0."""
            results = []
            while len(results) < 4 * 65536:
                results.append(downloader.download())
                if results[-1] == 100 or downloader.Pcounter == until:
                    break
            return results

    yield Host()
    downloader.dev_close()


def test_host_sequence_finds_the_device_by_enumeration(make_usb_device, host, capsys):
    device = make_usb_device("SN-HOST-1")
    info = device.info
    assert (info.vid, info.pid, info.serial_number, info.manufacturer, info.product) == (
        VENDOR_ID, PRODUCT_ID, "SN-HOST-1", "Velmor", "QLX-RB7")
    image = sample(1000)

    assert downloader.dev_existing() == [device.port] + DESCRIPTION
    assert downloader.dev_open() is True
    assert downloader.beat() == "beated"
    host.load(image)
    results = host.flash()
    assert downloader.run() is True
    downloader.dev_close()

    assert len(results) == 32 and results[-1] == 100 and 0 not in results
    assert_holds(device.sim, image)
    assert device.sim.heartbeats == 1 and device.sim.runs == 1
    printed = lines(capsys)
    assert printed[:3] == [str([device.port] + DESCRIPTION), "串口打开成功", str(b"\x00\x01\x00\x00\x01")]
    assert printed[-1] == str(bytes([0x20, 32, 0, 0, 0x40]))


@pytest.mark.slow
def test_largest_image_crosses_the_usb_stack_whole(make_usb_device, host, capsys):
    device = make_usb_device()
    image = sample(2097120)
    host.open_and_load(device, image)
    start = time.monotonic()
    results = host.flash()
    elapsed = time.monotonic() - start
    downloader.run()
    assert results[-1] == 100 and len(results) == 65535 and 0 not in results
    assert_holds(device.sim, image)
    with capsys.disabled():
        print("\n2,097,120 bytes over USB: 65535 blocks in %.1f s, %.3f ms per block"
              % (elapsed, elapsed / 65535 * 1000))


def test_unplugged_device_fails_each_exchange_and_flashes_again_once_back(make_usb_device, host, capsys):
    device = make_usb_device()
    image = sample(3200)
    host.open_and_load(device, image)
    assert host.flash(until=50)[-1] == 50.0
    capsys.readouterr()

    device.unplug()
    results = [downloader.download() for _ in range(3)]
    # pyserial's write fails on the hung-up port; send reports it, download rejects the block.
    assert lines(capsys) == ["50", "write failed: [Errno 5] Input/output error", "send wrong"] * 3
    assert results == [0, 0, 0]
    assert downloader.Pcounter == 50
    downloader.dev_close()

    start = time.monotonic()
    device.replug()
    enumerated = time.monotonic() - start
    assert downloader.dev_existing() == [device.port] + DESCRIPTION
    assert downloader.dev_open() is True
    host.load(image)
    results = host.flash()
    downloader.run()
    assert results[-1] == 100 and 0 not in results
    assert_holds(device.sim, image)
    with capsys.disabled():
        print("re-enumerated in %.2f s" % enumerated)


def test_several_devices_each_with_its_serial_number(make_usb_device, host):
    devices = [make_usb_device("SN-MANY-%d" % n) for n in range(8)]
    found = {info.serial_number: info.device for info in serial.tools.list_ports.comports()
             if (info.vid, info.pid) == (VENDOR_ID, PRODUCT_ID)}
    assert found == {device.gadget.serial_number: device.port for device in devices}
    assert downloader.dev_existing() == [sorted(found.values())[0]] + DESCRIPTION
    for n, device in enumerate(devices):
        image = sample(640 + 32 * n)
        host.open_and_load(device, image)
        assert host.flash()[-1] == 100
        downloader.run()
        downloader.dev_close()
        assert_holds(device.sim, image)
