import os

import pytest
import serial

import usb_gadget
from downloader_sim import Simulator

BAUD = 12000000


# The simulator behind these fixtures serves a pseudo-terminal.
PTY_FIXTURES = {"make_sim", "sim", "open_port", "ser"}


def pytest_collection_modifyitems(config, items):
    """Tests that use a pty-backed simulator carry the pty mark, for -m 'not pty' where there are
    no ptys. Tests over the kernel's USB stack run only in the USB guest (tests/guest/guest.sh)."""
    for item in items:
        if PTY_FIXTURES.intersection(getattr(item, "fixturenames", ())):
            item.add_marker(pytest.mark.pty)
    if os.environ.get("DOWNLOADER_REAL_USB") == "1" and usb_gadget.available():
        return
    skip = pytest.mark.skip(reason="needs the USB guest: tests/guest/guest.sh run -- pytest -m real_usb")
    for item in items:
        if "real_usb" in item.keywords:
            item.add_marker(skip)


@pytest.fixture
def make_sim():
    """Start simulators with the given knobs; all are closed after the test."""
    started = []

    def make(**knobs):
        sim = Simulator(**knobs).start()
        started.append(sim)
        return sim

    yield make
    for sim in reversed(started):
        sim.close()


@pytest.fixture
def sim(make_sim):
    """A fault-free simulator in a background thread."""
    return make_sim()


@pytest.fixture
def open_port():
    """Open a simulator's port with pyserial as the host does; closed after the test."""
    opened = []

    def open_(sim, timeout=1):
        ser = serial.Serial(sim.port, BAUD, timeout=timeout)
        opened.append(ser)
        return ser

    yield open_
    for ser in opened:
        ser.close()


@pytest.fixture
def ser(sim, open_port):
    """pyserial on the fault-free simulator."""
    return open_port(sim)
