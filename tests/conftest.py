import os
import uuid
import warnings

import pytest
import serial

import usb_gadget
from downloader_sim.server import default_transport

BAUD = 12000000


# The simulator behind these fixtures serves a pseudo-terminal.
PTY_FIXTURES = {"make_sim", "sim", "open_port", "ser"}

# Which runs each test file takes part in; CI selects by these marks (.ci/checks), never by file.
# `module`: the C++ module's behaviour, run on every interpreter and build (each CPython, 3.13t,
# AddressSanitizer, valgrind). Every other file is `tool`: the flashing tool, the simulator and
# their plugin, pure Python, run on one interpreter under each start method of the tool's
# workers, and on the oldest and the newest. `workers` marks the tool's files whose tests start
# its worker processes: those are the ones that the other start methods run again.
MODULE_FILES = {"test_module", "test_protocol", "test_operations", "test_firmware", "test_properties",
                "test_python_form", "test_serial_link", "test_leaks", "test_stress", "test_late_reply",
                "test_end_to_end", "test_wire", "test_typed_host", "test_real_usb"}
WORKER_FILES = {"test_flashing", "test_cli", "test_attempts", "test_outcomes", "test_run", "test_records",
                "test_files", "test_scheduler", "test_station", "test_terminal", "test_processes", "test_hotplug",
                "test_serialize", "test_jobs", "test_metrics"}


def mark_by_file(item):
    name = item.path.stem
    item.add_marker(pytest.mark.module if name in MODULE_FILES else pytest.mark.tool)
    if name in WORKER_FILES:
        item.add_marker(pytest.mark.workers)


def pytest_collection_modifyitems(config, items):
    """Each test carries the marks of its file's runs (above). Tests that use a pty-backed
    simulator carry the pty mark, for -m 'not pty' where there are no ptys. Tests over the
    kernel's USB stack run only in the USB guest (tests/guest/guest.sh)."""
    for item in items:
        mark_by_file(item)
        if PTY_FIXTURES.intersection(getattr(item, "fixturenames", ())) and served_on(item) != "tcp":
            item.add_marker(pytest.mark.pty)
    if os.environ.get("DOWNLOADER_REAL_USB") == "1" and usb_gadget.available():
        return
    skip = pytest.mark.skip(reason="needs the USB guest: tests/guest/guest.sh run -- pytest -m real_usb")
    for item in items:
        if "real_usb" in item.keywords:
            item.add_marker(skip)


def served_on(item):
    """The transport a test is parametrized with, if any."""
    callspec = getattr(item, "callspec", None)
    return callspec.params.get("transport") if callspec is not None else None


@pytest.fixture
def transport():
    """The line simulators are served on; a test module may run its tests on each in turn."""
    return default_transport()


@pytest.fixture
def make_sim(transport, simulated_device_factory):
    """Start simulators with the given knobs, on `transport` unless a tty is given; all are closed
    after the test (the installed package's pytest plugin does that)."""
    def make(**knobs):
        if knobs.get("tty") is None:
            knobs.setdefault("transport", transport)
        return simulated_device_factory(**knobs)

    return make


@pytest.fixture
def sim(make_sim):
    """A fault-free simulator in a background thread."""
    return make_sim()


@pytest.fixture
def open_port():
    """Open a simulator's port with pyserial as the host does, a path or a URL; closed after the test."""
    opened = []

    def open_(sim, timeout=1):
        ser = serial.serial_for_url(sim.url, baudrate=BAUD, timeout=timeout)
        opened.append(ser)
        return ser

    yield open_
    for ser in opened:
        with warnings.catch_warnings():
            # pyserial's socket:// close() leaves the socket to the garbage collector when the
            # device end has already gone (its shutdown() fails first): not this suite's leak.
            warnings.simplefilter("ignore", ResourceWarning)
            ser.close()


@pytest.fixture
def ser(sim, open_port):
    """pyserial on the fault-free simulator."""
    return open_port(sim)


@pytest.fixture(scope="session")
def postgres_url():
    """A private PostgreSQL server for the whole session (tests/postgres.py), stopped at its end.
    Skipped, naming what to install, where the server's binaries or psycopg are missing."""
    import postgres
    reason = postgres.missing()
    if reason is not None:
        pytest.skip(reason)
    with postgres.Cluster() as cluster:
        yield cluster.url


@pytest.fixture(params=["sqlite", "postgresql"])
def database(request, tmp_path):
    """A new, empty database: an SQLite file, or a database of its own on the private server."""
    if request.param == "sqlite":
        return str(tmp_path / "line.sqlite")
    import psycopg
    url = request.getfixturevalue("postgres_url")
    name = "test_" + uuid.uuid4().hex
    with psycopg.connect(url, autocommit=True) as connection:
        connection.execute(f"CREATE DATABASE {name}")
    return url.rpartition("/")[0] + "/" + name
