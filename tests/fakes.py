"""Substitute objects and fixtures shared by the module's own tests."""
import hashlib
import io
import subprocess
import sys
import textwrap
import time
import traceback

import pytest

import downloader
import downloader_wire as wire
from downloader_sim import expected_image


def eventually(condition, seconds=10):
    """Whether ``condition()`` holds within ``seconds``, polled every 10 ms."""
    deadline = time.monotonic() + seconds
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.01)
    return condition()


def sha(data):
    return hashlib.sha256(data).hexdigest()


class Discard(io.TextIOBase):
    """An output that takes everything and keeps nothing."""

    def write(self, text):
        return len(text)


class PortInfo:
    """What pyserial lists for a port; the board's own vendor and product unless told otherwise."""

    def __init__(self, device, vid=6645, pid=22336):
        self.device, self.vid, self.pid = device, vid, pid

    def __lt__(self, other):
        return self.device < other.device


class BadEquality:
    def __eq__(self, other):
        raise ValueError("no equality")


def sample(size):
    """An image of `size` bytes in which neighbouring blocks differ."""
    return bytes((i * 131 + (i >> 8)) % 256 for i in range(size))


def assert_holds(sim, image, seconds=10):
    """The simulated device reports that it holds the whole of `image`: a moment after the run
    command, which is not waited for."""
    assert eventually(lambda: sim.reports, seconds), "the device reported no run"
    report = sim.reports[-1]
    assert (report.complete, report.length) == (True, len(image))
    assert report.sha256 == sha(expected_image(image)) and sim.image == expected_image(image)


def ack(counter, first=0):
    """A well-formed 5-byte device reply carrying ``counter`` (taken to 16 bits)."""
    return wire.reply(first, counter & wire.MAX_COUNTER)


class Num(int):
    """An int subclass without methods of its own: equal to an int, never on the module's direct path."""


class Image(bytes):
    """A bytes subclass without methods of its own: the module's object-protocol path."""


class FakePort:
    """Stands in for ``ser``: records every call, answers reads from a list of replies.

    With ``echo=True`` each read answers the counter of the last frame written, as a
    healthy device would; otherwise reads pop ``replies`` (empty bytes once exhausted).
    """

    def __init__(self, *replies, echo=False, is_open=False):
        self.replies = list(replies)
        self.echo = echo
        self.is_open = is_open
        self.written = []
        self.calls = []

    def write(self, data):
        self.calls.append("write")
        self.written.append(bytes(bytearray(data)))  # as pyserial converts a list

    def read(self, size):
        self.calls.append(("read", size))
        if self.echo:
            frame = self.written[-1]
            return ack(frame[1] | frame[2] << 8, frame[0])
        return self.replies.pop(0) if self.replies else b""

    def isOpen(self):
        self.calls.append("isOpen")
        return self.is_open

    def setPort(self, port):
        self.calls.append(("setPort", port))

    def open(self):
        self.calls.append("open")
        self.is_open = True

    def close(self):
        self.calls.append("close")
        self.is_open = False


class Raising:
    """A callable that raises ``error`` (an exception instance or class) when called."""

    def __init__(self, error):
        self.error = error

    def __call__(self, *args, **kwargs):
        raise self.error


@pytest.fixture
def module_state():
    """Restores the module's namespace after a test that replaced or deleted globals."""
    saved = dict(vars(downloader))
    yield downloader
    for name in set(vars(downloader)) - set(saved):
        delattr(downloader, name)
    for name, value in saved.items():
        setattr(downloader, name, value)


@pytest.fixture
def port(module_state):
    """A FakePort installed as ``ser``, answering like a healthy device."""
    fake = FakePort(echo=True, is_open=True)
    module_state.ser = fake
    return fake


def lines(capsys):
    """What the module printed since the last call, one entry per line."""
    return capsys.readouterr().out.splitlines()


def module_entries(excinfo):
    """The traceback entries the module added, as (line, function), outermost first."""
    return module_entries_of(excinfo.value)


def module_entries_of(error):
    """The traceback entries the module added to `error`, as in module_entries()."""
    frames = traceback.extract_tb(error.__traceback__)
    return [(frame.lineno, frame.name) for frame in frames if frame.filename == "downloader"]


def run_python(code, **kwargs):
    """Runs ``code`` in a fresh interpreter; returns its standard output."""
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60, **kwargs
    )
    assert result.returncode == 0, result.stderr
    return result.stdout
