"""Threads sharing the module, and bad input not covered by the subsystem tests."""
import os
import sys
import threading
import time
import traceback

import pytest
import serial.tools.list_ports

import downloader
from fakes import Discard, FakePort, PortInfo, ack, lines, module_entries, module_entries_of, module_state, run_python  # noqa: F401
from form import entry

STRESS_SECONDS = float(os.environ.get("DOWNLOADER_STRESS_SECONDS", "10"))
# The bytearray stress below is short by default; the free-threaded CI check runs it longer.
BYTEARRAY_STRESS_SECONDS = float(os.environ.get("DOWNLOADER_BYTEARRAY_STRESS_SECONDS", "2"))


class SharedPort:
    """A device on a substitute port: answers the last frame written, whoever wrote it."""

    def __init__(self):
        self.last = bytes(5)
        self.frames = 0

    def write(self, data):
        frame = bytes(bytearray(data))
        time.sleep(0)  # let another thread in between the write and the read
        self.last, self.frames = frame, self.frames + 1

    def read(self, size):
        time.sleep(0)
        return ack(self.last[1] | self.last[2] << 8, self.last[0])


@pytest.fixture
def image_path(tmp_path):
    """An image of 10,240 bytes (320 blocks) in a file."""
    path = tmp_path / "image.bin"
    path.write_bytes(bytes(range(256)) * 40)
    return path


@pytest.fixture
def fast_switching():
    """Threads switch as often as the interpreter can, for the length of the test."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(interval)


def test_four_threads_share_the_module(module_state, image_path, monkeypatch, fast_switching):
    port = SharedPort()
    module_state.ser = port
    assert downloader.init(str(image_path)) is True
    monkeypatch.setattr(sys, "stdout", Discard())
    run_threads(image_path, port)


def run_threads(path, port):
    deadline = time.monotonic() + STRESS_SECONDS
    seen = {name: set() for name in ("send", "beat", "download")}
    unexpected = []

    def loop(name, call, allowed):
        while time.monotonic() < deadline:
            try:
                result = call()
            except IndexError as error:
                # Another thread moved Pcounter between two statements of download, so
                # its block came out shorter than a frame: the documented IndexError.
                result = (type(error).__name__, module_entries_of(error)[-1][1])
            except BaseException:
                unexpected.append(traceback.format_exc())
                return
            if not allowed(result):
                unexpected.append("%s returned %r" % (name, result))
                return
            seen[name].add(result if isinstance(result, (str, tuple)) else type(result).__name__)

    def flash_once():
        result = downloader.download()
        if result in (0, 100):
            downloader.init(str(path))
        return result

    sends = lambda: downloader.send([0x10, 0, 0, 0, 1, 2, 3, 0], 0)  # noqa: E731
    threads = [
        threading.Thread(target=loop, args=("send", sends, RESULTS.__contains__)),
        threading.Thread(target=loop, args=("send", lambda: downloader.send([0x20, 0, 0, 0, 0], 1),
                                            "ok".__eq__)),
        threading.Thread(target=loop, args=("beat", downloader.beat, ("beated", "beaat error").__contains__)),
        threading.Thread(target=loop, args=("download", flash_once, progress_or_error)),
    ]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(STRESS_SECONDS + 30)
    assert not any(thread.is_alive() for thread in threads)
    assert unexpected == []
    # The shared state is still what the module's functions keep there.
    assert type(downloader.Pcounter) is int and 0 <= downloader.Pcounter <= 65535
    assert downloader.res == bytes(range(256)) * 40
    assert "ok" in seen["send"] and "beated" in seen["beat"] and port.frames > 100


RESULTS = ("ok", "error", "length", "checksum", "counter")


def progress_or_error(result):
    if isinstance(result, tuple):
        return result[1] in ("downloader.download",)
    return result in (0, 100) or (type(result) is float and 0 < result < 100)


class SharedDevice(SharedPort):
    """The shared substitute port with the methods dev_open and dev_close call."""

    opened = False

    def isOpen(self):
        return self.opened

    def setPort(self, name):
        self.name = name

    def open(self):
        self.opened = True

    def close(self):
        self.opened = False


DESCRIPTION = ["/dev/substitute", "QLX-RB7", "Velmor", "K40372"]
# What each function may return while three other threads change the globals it reads: another
# dev_existing clears com, vid and pid before it records them, so this one may find them empty
# at its check (None) or com empty when it reads it for the description.
ALLOWED = {
    "dev_existing": lambda result: result in (DESCRIPTION, [""] + DESCRIPTION[1:], None),
    "dev_open": lambda result: result is True,
    "dev_close": lambda result: result is None,
    "beat": ("beated", "beaat error").__contains__,
    "send": RESULTS.__contains__,
    "init": lambda result: result is True,
    "download": progress_or_error,
    "run": lambda result: result is True,
}


def test_four_threads_call_every_function(module_state, image_path, monkeypatch, fast_switching):
    path = image_path
    port = SharedDevice()
    module_state.ser = port
    monkeypatch.setattr(serial.tools.list_ports, "comports", lambda: [PortInfo(DESCRIPTION[0])])
    monkeypatch.setattr(sys, "stdout", Discard())
    calls = {
        "dev_existing": downloader.dev_existing,
        "dev_open": downloader.dev_open,
        "dev_close": downloader.dev_close,
        "beat": downloader.beat,
        "send": lambda: downloader.send([0x10, 0, 0, 0, 1, 2, 3, 0], 0),
        "init": lambda: downloader.init(str(path)),
        "download": downloader.download,
        "run": downloader.run,
    }
    order = list(calls)
    deadline = time.monotonic() + STRESS_SECONDS
    counts, unexpected = [0] * 4, []

    def loop(number):
        names = order[2 * number:] + order[:2 * number]  # each thread its own rotation
        while time.monotonic() < deadline:
            for name in names:
                try:
                    result = calls[name]()
                except IndexError as error:  # download's block cut short by another thread
                    result = (type(error).__name__, module_entries_of(error)[-1][1])
                except BaseException:
                    unexpected.append(name + ": " + traceback.format_exc())
                    return
                if not ALLOWED[name](result):
                    unexpected.append("%s returned %r" % (name, result))
                    return
                counts[number] += 1

    threads = [threading.Thread(target=loop, args=(number,)) for number in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(STRESS_SECONDS + 30)
    assert not any(thread.is_alive() for thread in threads)
    assert unexpected == []
    assert type(downloader.Pcounter) is int and 0 <= downloader.Pcounter <= 65535
    assert downloader.res == path.read_bytes() and downloader.com == DESCRIPTION[0]
    assert min(counts) >= len(calls) and port.frames > 100


def test_an_exception_cleared_while_unwinding_becomes_system_error():
    """The same fault made at will: Pcounter's ``+`` drops the last other reference to it and
    raises; the module's own reference then goes while it unwinds, and the bytearray, holding
    an export that was never released, clears the pending exception as it goes. The module
    reports SystemError at the failing statement, as the interpreter does (it crashed)."""
    out = run_python(
        """
        import ctypes, sys, traceback
        import downloader

        class Vanishing(bytearray):
            def __add__(self, other):
                del downloader.Pcounter, self  # the traceback's frame must not keep it either
                raise TypeError("refused")

        counter = Vanishing(b"x")
        view = ctypes.create_string_buffer(256)  # room for a Py_buffer, never released
        ctypes.pythonapi.PyObject_GetBuffer(ctypes.py_object(counter), view, 0)
        ctypes.pythonapi.Py_DecRef(ctypes.py_object(counter))  # the export holds no reference
        downloader.Pcounter = counter
        del counter
        try:
            downloader.beat()
        except BaseException as e:
            frames = traceback.extract_tb(e.__traceback__)
            print(type(e).__name__, str(e), [(f.lineno, f.name) for f in frames if f.filename == "downloader"])
        """,
        env=dict(os.environ, PYTHONFAULTHANDLER="1"),
    )
    assert out.splitlines() == ["SystemError error return without exception set %s" % [entry("beat", "advance")]]


def test_beat_fails_cleanly_while_a_bytearray_counter_is_replaced(module_state):
    """Six threads call beat() while a seventh keeps making Pcounter a new bytearray.

    Every call fails at ``Pcounter + 1``. On a free-threaded build with the GIL off, the
    interpreter's own count of a bytearray's buffer exports races between the threads, and
    releasing the bytearray may then clear the pending TypeError: with no exception left, the
    module reports SystemError, as the interpreter does, instead of crashing.
    """
    deadline = time.monotonic() + BYTEARRAY_STRESS_SECONDS
    replacing = threading.Event()
    outcomes = [[] for _ in range(6)]  # one list per thread: no shared counter to race on

    def replace_counter():
        while replacing.is_set():
            downloader.Pcounter = bytearray(b"x")

    def call_beat(seen):
        # At least one call each: a slow machine (or valgrind) may start a thread after the
        # deadline has passed.
        while not seen or time.monotonic() < deadline:
            try:
                seen.append(("returned", downloader.beat()))
            except (TypeError, SystemError) as error:
                seen.append((type(error).__name__, str(error), tuple(module_entries_of(error))))

    downloader.Pcounter = bytearray(b"x")
    replacing.set()
    replacer = threading.Thread(target=replace_counter)
    callers = [threading.Thread(target=call_beat, args=(seen,)) for seen in outcomes]
    replacer.start()
    for thread in callers:
        thread.start()
    for thread in callers:
        thread.join(BYTEARRAY_STRESS_SECONDS + 30)
    replacing.clear()
    replacer.join(30)
    assert not any(thread.is_alive() for thread in callers + [replacer])

    advance = (entry("beat", "advance"),)
    allowed = {("TypeError", "can't concat int to bytearray", advance),
               ("SystemError", "error return without exception set", advance)}
    seen = [outcome for thread_outcomes in outcomes for outcome in thread_outcomes]
    assert set(seen) <= allowed and all(outcomes)
    print("bytearray stress: 6 threads, %.1f s, %d calls, %d SystemError" % (
        BYTEARRAY_STRESS_SECONDS, len(seen), sum(kind == "SystemError" for kind, _, _ in seen)))


# ---- bad input ------------------------------------------------------------------------------

class NoPid:
    vid, device = 6645, "/dev/x"


@pytest.mark.parametrize(
    "listed, result",
    [
        ((PortInfo("/dev/b"), PortInfo("/dev/a")), ["/dev/a", "QLX-RB7", "Velmor", "K40372"]),
        (iter([PortInfo("/dev/c")]), ["/dev/c", "QLX-RB7", "Velmor", "K40372"]),
        ({PortInfo("/dev/d", vid=None): 1}, None),
        ((), False),
        (None, (TypeError, "'NoneType' object is not iterable", "list_ports")),
        ([NoPid()], (AttributeError, "'NoPid' object has no attribute 'pid'", "match")),
        ([PortInfo("/dev/a"), 3], (TypeError, "'<' not supported between instances of 'int' and 'PortInfo'", "sort")),
    ],
    ids=["tuple", "iterator", "dict", "empty", "None", "no pid", "mixed"],
)
def test_dev_existing_takes_any_iterable_from_comports(module_state, monkeypatch, capsys, listed, result):
    monkeypatch.setattr(serial.tools.list_ports, "comports", lambda: listed)
    if isinstance(result, tuple):
        with pytest.raises(result[0]) as excinfo:
            downloader.dev_existing()
        assert str(excinfo.value) == result[1]
        assert module_entries(excinfo) == [entry("dev_existing", result[2])]
    else:
        assert downloader.dev_existing() == result


class Incomplete:
    """A ``ser`` with only the methods given."""

    def __init__(self, **methods):
        self.__dict__.update(methods)


@pytest.mark.parametrize(
    "ser, call, result, printed",
    [
        (Incomplete(read=lambda n: b""), lambda: downloader.send([0] * 5, 0), "error",
         ["'Incomplete' object has no attribute 'write'"]),
        (Incomplete(write=len), lambda: downloader.send([0] * 5, 1), "error",
         ["'Incomplete' object has no attribute 'read'"]),
        (Incomplete(write=len, read=lambda n: None), lambda: downloader.send([0] * 5, 1), "ok", ["None"]),
        (Incomplete(isOpen=lambda: False, open=lambda: None), downloader.dev_open, False, ["串口打开失败"]),
        (Incomplete(isOpen=lambda: 0, setPort=print), downloader.dev_open, False, ["/dev/x", "串口打开失败"]),
        (Incomplete(isOpen=lambda: [1]), downloader.dev_open, True, ["串口已打开"]),
    ],
    ids=["no write", "no read", "read gives None", "no setPort", "no open", "isOpen gives a list"],
)
def test_ser_missing_methods(module_state, capsys, ser, call, result, printed):
    module_state.ser, module_state.com = ser, "/dev/x"
    assert call() == result
    assert lines(capsys) == printed


@pytest.mark.parametrize(
    "ser, function, error, message, statement",
    [
        (Incomplete(), "dev_open", AttributeError, "'Incomplete' object has no attribute 'isOpen'", "is_open"),
        (Incomplete(isOpen=lambda: 1 / 0), "dev_open", ZeroDivisionError, "division by zero", "is_open"),
        (Incomplete(), "dev_close", AttributeError, "'Incomplete' object has no attribute 'close'", "close"),
        (Incomplete(write=len, read=lambda n: None), "beat", TypeError, "object of type 'NoneType' has no len()",
         "exchange"),
    ],
)
def test_ser_faults_propagate_where_not_caught(module_state, ser, function, error, message, statement):
    module_state.ser = ser
    with pytest.raises(error) as excinfo:
        getattr(downloader, function)()
    assert str(excinfo.value) == message
    assert module_entries(excinfo)[0] == entry(function, statement)


def test_init_takes_bytes_and_path_like_paths(module_state, tmp_path, capsys):
    path = tmp_path / "image.bin"
    path.write_bytes(b"abc")
    assert downloader.init(os.fsencode(path)) is True and downloader.res == b"abc"
    assert downloader.init(os.fsencode(tmp_path / "missing")) is False
    assert downloader.init(tmp_path) is False
    assert lines(capsys) == [str(os.fsencode(path)), "文件打开正常", str(os.fsencode(tmp_path / "missing")),
                             "文件打不开", str(tmp_path), "文件打不开"]
