"""USB serial gadgets made through configfs, for the tests that run in the USB guest.

Each Gadget is one CDC-ACM function on one emulated controller pair: plugging it binds it to its
controller (the cdc_acm driver then makes a /dev/ttyACM* on the host side), unplugging unbinds it
as pulling the cable would. Needs root, configfs and the dummy_hcd, libcomposite, usb_f_acm and
cdc_acm modules, which the guest loads (tests/guest).
"""
import os
import time

import pytest
import serial.tools.list_ports

from downloader_sim import Simulator
from downloader_wire import PRODUCT_ID, VENDOR_ID

GADGETS = "/sys/kernel/config/usb_gadget"
CONTROLLERS = "/sys/class/udc"
ENUMERATE_TIMEOUT = 10.0


def available():
    """True where gadgets can be made: configfs with the gadget stack, and a controller."""
    return os.path.isdir(GADGETS) and os.path.isdir(CONTROLLERS) and bool(os.listdir(CONTROLLERS))


def controllers():
    return sorted(os.listdir(CONTROLLERS), key=lambda name: int(name.rpartition(".")[2]))


def _write(path, text):
    with open(path, "w") as file:
        file.write(text)


def _read(path):
    with open(path) as file:
        return file.read().strip()


class Gadget:
    """One USB serial device with its own serial number on the given controller."""

    def __init__(self, name, serial_number, controller, manufacturer="Velmor",
                 product="QLX-RB7"):
        self.name = name
        self.serial_number = serial_number
        self.controller = controller
        self.root = os.path.join(GADGETS, name)
        os.mkdir(self.root)
        _write(self._path("idVendor"), "0x%04x" % VENDOR_ID)
        _write(self._path("idProduct"), "0x%04x" % PRODUCT_ID)
        strings = self._path("strings", "0x409")
        os.makedirs(strings)
        _write(os.path.join(strings, "serialnumber"), serial_number)
        _write(os.path.join(strings, "manufacturer"), manufacturer)
        _write(os.path.join(strings, "product"), product)
        os.makedirs(self._path("configs", "c.1"))
        os.makedirs(self._path("functions", "acm.usb0"))
        os.symlink(self._path("functions", "acm.usb0"), self._path("configs", "c.1", "acm.usb0"))
        # The device side of the link, fixed for the gadget's life across plugging.
        self.tty = "/dev/ttyGS" + _read(self._path("functions", "acm.usb0", "port_num"))

    def _path(self, *parts):
        return os.path.join(self.root, *parts)

    @property
    def plugged(self):
        return _read(self._path("UDC")) != ""

    def plug(self):
        _write(self._path("UDC"), self.controller)

    def unplug(self):
        _write(self._path("UDC"), "\n")

    def port(self, timeout=ENUMERATE_TIMEOUT):
        """The host-side port once the host has enumerated the device, as comports() sees it."""
        deadline = time.monotonic() + timeout
        while True:
            for info in serial.tools.list_ports.comports():
                if info.serial_number == self.serial_number and os.path.exists(info.device):
                    return info
            if time.monotonic() > deadline:
                raise TimeoutError("%s (serial number %s) was not enumerated within %g s"
                                   % (self.name, self.serial_number, timeout))
            time.sleep(0.05)

    def wait_gone(self, timeout=ENUMERATE_TIMEOUT):
        deadline = time.monotonic() + timeout
        while any(info.serial_number == self.serial_number
                  for info in serial.tools.list_ports.comports()):
            if time.monotonic() > deadline:
                raise TimeoutError("%s still enumerated %g s after unplugging"
                                   % (self.name, timeout))
            time.sleep(0.05)

    def remove(self):
        if self.plugged:
            self.unplug()
        os.unlink(self._path("configs", "c.1", "acm.usb0"))
        for path in (self._path("strings", "0x409"), self._path("configs", "c.1"),
                     self._path("functions", "acm.usb0"), self.root):
            os.rmdir(path)


class UsbDevice:
    """A gadget served by the simulator on its device side, plugged in and enumerated."""

    def __init__(self, gadget, sim):
        self.gadget = gadget
        self.sim = sim
        self.info = gadget.port()
        self.port = self.info.device

    def unplug(self):
        self.gadget.unplug()
        self.gadget.wait_gone()

    def replug(self):
        self.gadget.plug()
        self.info = self.gadget.port()
        self.port = self.info.device


@pytest.fixture
def make_usb_device():
    """Make simulated USB devices, one per controller; all removed after the test."""
    made = []

    def make(serial_number=None, **knobs):
        index = len(made)
        gadget = Gadget("downloader%d" % index, serial_number or "DL%05d" % index,
                        controllers()[index])
        made.append((gadget, None))
        sim = Simulator(tty=gadget.tty, process=True, **knobs).start()
        made[-1] = (gadget, sim)
        gadget.plug()
        return UsbDevice(gadget, sim)

    yield make
    for gadget, sim in reversed(made):
        if sim is not None:
            sim.close()
        gadget.remove()
