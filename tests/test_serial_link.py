"""Finding the device among the serial ports; opening and closing the port."""
import os
import sys
import tty

import pytest
import serial
from serial.tools.list_ports_common import ListPortInfo

import downloader
from fakes import BadEquality, FakePort, PortInfo, Raising, module_entries, lines, module_state  # noqa: F401
from form import entry

VENDOR, PRODUCT = 6645, 22336
DESCRIPTION = ["QLX-RB7", "Velmor", "K40372"]


def port_info(device, vid=None, pid=None):
    info = ListPortInfo(device, skip_link_detection=True)
    info.vid, info.pid = vid, pid
    return info


@pytest.fixture
def ports(monkeypatch, module_state):
    """Sets what serial.tools.list_ports.comports() returns."""
    listed = []
    monkeypatch.setattr(serial.tools.list_ports, "comports", lambda: listed)
    for name in ("com", "vid", "pid"):
        if hasattr(module_state, name):
            delattr(module_state, name)
    return listed


MATCHING = [
    ([], False, None, []),
    ([port_info("/dev/ttyS0"), port_info("/dev/ttyUSB0", 1234, PRODUCT)], None, ("", "", ""), []),
    ([port_info("/dev/ttyACM1", VENDOR, 1)], None, ("", "", ""), []),
    (
        [port_info("/dev/ttyS0"), port_info("/dev/ttyACM3", VENDOR, PRODUCT), port_info("/dev/ttyACM1", VENDOR, PRODUCT)],
        ["/dev/ttyACM1"] + DESCRIPTION,
        ("/dev/ttyACM1", VENDOR, PRODUCT),
        [str(["/dev/ttyACM1"] + DESCRIPTION)],
    ),
]


@pytest.mark.parametrize("listed, result, recorded, printed", MATCHING, ids=["none", "other", "pid", "two"])
def test_dev_existing_takes_the_first_matching_port_in_sorted_order(ports, listed, result, recorded, printed, capsys):
    ports.extend(listed)
    if result is False:
        printed = ["没有可用的串口"]
    assert downloader.dev_existing() == result
    assert lines(capsys) == printed
    if recorded is None:
        assert not any(hasattr(downloader, name) for name in ("com", "vid", "pid"))
    else:
        assert (downloader.com, downloader.vid, downloader.pid) == recorded


def test_dev_existing_after_unplugging(ports, capsys):
    device = port_info("/dev/ttyACM0", VENDOR, PRODUCT)
    ports.extend([port_info("/dev/ttyS0"), device])
    first = downloader.dev_existing()
    assert first == ["/dev/ttyACM0"] + DESCRIPTION and first is not downloader.dev_existing()
    ports.remove(device)
    assert downloader.dev_existing() is None and downloader.com == ""
    downloader.com = "/dev/ttyACM0"
    ports.clear()
    assert downloader.dev_existing() is False and downloader.com == "/dev/ttyACM0"


class Unorderable:
    def __lt__(self, other):
        raise TypeError("cannot order")


DISCOVERY_FAULTS = [
    ("comports raises", lambda: Raising(OSError("enumeration failed")), OSError, "list_ports"),
    ("not iterable", lambda: lambda: 5, TypeError, "list_ports"),
    ("unorderable", lambda: lambda: [Unorderable(), Unorderable()], TypeError, "sort"),
    ("no vid", lambda: lambda: [object()], AttributeError, "match"),
    ("vid comparison raises", lambda: lambda: [PortInfo("/dev/x", BadEquality())], ValueError, "match"),
    ("no device", lambda: lambda: [type("P", (), {"vid": VENDOR, "pid": PRODUCT})()], AttributeError, "record_com"),
    ("truth test raises", lambda: lambda: [PortInfo(BadTruth())], ValueError, "recorded"),
]


class BadTruth:
    def __bool__(self):
        raise ValueError("no truth")


@pytest.mark.parametrize("case, comports, error, statement", DISCOVERY_FAULTS, ids=[f[0] for f in DISCOVERY_FAULTS])
def test_dev_existing_propagates_faults_with_the_failing_line(ports, monkeypatch, case, comports, error, statement):
    monkeypatch.setattr(serial.tools.list_ports, "comports", comports())
    with pytest.raises(error) as excinfo:
        downloader.dev_existing()
    assert module_entries(excinfo) == [entry("dev_existing", statement)]


def test_dev_existing_without_serial_global(module_state):
    del module_state.serial
    with pytest.raises(NameError) as excinfo:
        downloader.dev_existing()
    assert str(excinfo.value) == "name 'serial' is not defined"
    assert module_entries(excinfo) == [entry("dev_existing", "list_ports")]


@pytest.fixture
def pty_path():
    master, slave = os.openpty()
    tty.setraw(slave)
    yield os.ttyname(slave)
    os.close(slave)
    os.close(master)


def test_dev_open_and_close_on_a_real_pseudo_terminal(module_state, pty_path, capsys):
    vars(module_state).pop("com", None)
    assert downloader.dev_open() is False
    module_state.com = ""
    assert downloader.dev_open() is False
    module_state.com = pty_path
    assert downloader.dev_open() is True
    assert downloader.ser.isOpen() and downloader.ser.port == pty_path and downloader.ser.baudrate == 12000000
    assert downloader.dev_open() is True
    assert downloader.dev_close() is None and not downloader.ser.isOpen()
    assert downloader.dev_close() is None
    assert downloader.dev_open() is True
    downloader.dev_close()
    assert lines(capsys) == ["串口打开失败", "串口打开失败", "串口打开成功", "串口已打开", "串口打开成功"]


@pytest.mark.parametrize("failing", ["setPort", "open"])
@pytest.mark.parametrize("error", [OSError("busy"), KeyboardInterrupt(), SystemExit(3)])
def test_dev_open_swallows_every_exception_of_selecting_and_opening(module_state, failing, error, capsys):
    fake = FakePort()
    setattr(fake, failing, Raising(error))
    module_state.ser, module_state.com = fake, "/dev/x"
    assert downloader.dev_open() is False
    assert lines(capsys) == ["串口打开失败"]
    assert sys.exc_info() == (None, None, None)


class FailingOutput:
    def write(self, text):
        raise OSError("stdout closed")

    def flush(self):
        pass


@pytest.mark.parametrize("is_open, opens, statement", [
    (True, True, "say_already_open"), (False, False, "say_open_failed"), (False, True, "say_opened")])
def test_dev_open_print_failure_propagates_at_its_line(module_state, monkeypatch, is_open, opens, statement):
    fake = FakePort(is_open=is_open)
    if not opens:
        fake.open = Raising(OSError("busy"))
    module_state.ser, module_state.com = fake, "/dev/x"
    monkeypatch.setattr(sys, "stdout", FailingOutput())
    with pytest.raises(OSError) as excinfo:
        downloader.dev_open()
    assert module_entries(excinfo) == [entry("dev_open", statement)]


@pytest.mark.parametrize("function, method, statement", [("dev_open", "isOpen", "is_open"), ("dev_close", "close", "close")])
def test_port_faults_outside_the_handler_propagate(module_state, function, method, statement):
    fake = FakePort()
    setattr(fake, method, Raising(OSError("gone")))
    module_state.ser = fake
    with pytest.raises(OSError) as excinfo:
        getattr(downloader, function)()
    assert module_entries(excinfo) == [entry(function, statement)]
    del module_state.ser
    with pytest.raises(NameError) as excinfo:
        getattr(downloader, function)()
    assert str(excinfo.value) == "name 'ser' is not defined"
    assert module_entries(excinfo) == [entry(function, statement)]
