"""Reference leaks: every function through every path, 100,000 calls, and memory stays put."""
import gc
import os
import sys
import tracemalloc

import pytest
import serial.tools.list_ports

import downloader
from fakes import BadEquality, Discard, Image, PortInfo, ack

CALLS = int(os.environ.get("DOWNLOADER_LEAK_CALLS", "100000"))
# Allowed growth once warm: far below one leaked object per call.
MEMORY_BOUND = 64 * 1024
OBJECT_BOUND = 50


class Port:
    """A substitute ``ser`` that keeps nothing between calls but the last frame and its state."""

    def __init__(self):
        self.reply, self.last, self.is_open = None, b"", False

    def write(self, data):
        self.last = bytes(bytearray(data))

    def read(self, size):
        if self.reply is not None:
            return self.reply
        return ack(self.last[1] | self.last[2] << 8, self.last[0])

    def isOpen(self):
        return self.is_open

    def setPort(self, name):
        pass

    def open(self):
        self.is_open = True

    def close(self):
        self.is_open = False


def fails(error, *args):
    """A callable raising a new error(*args) each time: a re-raised instance would keep
    every traceback it was ever raised with."""

    def call(*ignored):
        raise error(*args)

    return call


class Unorderable(PortInfo):
    def __lt__(self, other):
        raise TypeError("cannot order")


class Odd(int):
    """A counter whose comparison raises."""

    def __add__(self, other):
        return Odd(int(self) + other)

    def __gt__(self, other):
        raise ArithmeticError("no order")


class RaisingPath:
    def __init__(self, *error):
        self.error = error

    def __fspath__(self):
        fails(*self.error)()


def scenarios(tmp_path):
    """(name, setup, call): setup(m) prepares the namespace m; call() makes one call."""
    image_file = tmp_path / "image.bin"
    image_file.write_bytes(bytes(range(100)))
    found = [PortInfo("/dev/ttyS0", None, None), PortInfo("/dev/ttyACM0")]
    other = [PortInfo("/dev/ttyS0", 1, 2)]
    huge = bytes(32 * 65535 + 1)
    d = downloader

    def ports(listed):
        return lambda m: setattr(serial.tools.list_ports, "comports", lambda: listed)

    def reply(data):
        return lambda m: setattr(m.ser, "reply", data)

    def image(data, counter=0, answer=None, without=None):
        def setup(m):
            m.res, m.Pcounter, m.ser.reply = data, counter, answer
            if without:
                delattr(m, without)

        return setup

    def missing(name):
        return lambda m: delattr(m, name)

    def setting(name, value):
        return lambda m: setattr(m, name, value)

    def port_method(name, *error):
        return lambda m: setattr(m.ser, name, fails(*error))

    nothing = lambda m: None  # noqa: E731
    yield from [
        ("dev_existing found", ports(found), d.dev_existing, "['/dev/ttyACM0', 'QLX-RB7', 'Velmor', 'K40372']"),
        ("dev_existing other", ports(other), d.dev_existing, 'None'),
        ("dev_existing none", ports([]), d.dev_existing, 'False'),
        ("dev_existing comports raises", lambda m: setattr(serial.tools.list_ports, "comports", fails(OSError, "no")), d.dev_existing, 'OSError: no'),
        ("dev_existing not a list", ports(None), d.dev_existing, "TypeError: 'NoneType' object is not iterable"),
        ("dev_existing unorderable", ports([Unorderable("a"), Unorderable("b")]), d.dev_existing, 'TypeError: cannot order'),
        ("dev_existing no attributes", ports([object()]), d.dev_existing, "AttributeError: 'object' object has no attribute 'vid'"),
        ("dev_existing no serial", missing("serial"), d.dev_existing, "NameError: name 'serial' is not defined"),
        ("dev_open opens", setting("com", "/dev/x"), d.dev_open, 'True'),
        ("dev_open already open", lambda m: setattr(m.ser, "is_open", True), d.dev_open, 'True'),
        ("dev_open setPort raises", port_method("setPort", OSError, "busy"), d.dev_open, 'False'),
        ("dev_open open interrupted", port_method("open", KeyboardInterrupt), d.dev_open, 'False'),
        ("dev_open no com", missing("com"), d.dev_open, 'False'),
        ("dev_open isOpen raises", port_method("isOpen", OSError, "gone"), d.dev_open, 'OSError: gone'),
        ("dev_open ser without methods", setting("ser", object()), d.dev_open,
         "AttributeError: 'object' object has no attribute 'isOpen'"),
        ("dev_open no ser", missing("ser"), d.dev_open, "NameError: name 'ser' is not defined"),
        ("dev_close", nothing, d.dev_close, 'None'),
        ("dev_close raises", port_method("close", OSError, "gone"), d.dev_close, 'OSError: gone'),
        ("dev_close no ser", missing("ser"), d.dev_close, "NameError: name 'ser' is not defined"),
        ("beat", nothing, d.beat, "'beated'"),
        ("beat wraps", setting("Pcounter", 65535), d.beat, "'beated'"),
        ("beat rejected", reply(b"\x00\x09\x00\x00\x09"), d.beat, "'beaat error'"),
        ("beat no Pcounter", missing("Pcounter"), d.beat, "NameError: name 'Pcounter' is not defined"),
        ("beat Pcounter str", setting("Pcounter", "x"), d.beat, 'TypeError: can only concatenate str (not "int") to str'),
        ("beat Pcounter unordered", setting("Pcounter", Odd(1)), d.beat, 'ArithmeticError: no order'),
        ("beat no send", missing("send"), d.beat, "NameError: name 'send' is not defined"),
        ("beat send raises", setting("send", fails(OSError, "x")), d.beat, 'OSError: x'),
        ("init", nothing, lambda: d.init(str(image_file)), 'True'),
        ("init path-like", nothing, lambda: d.init(image_file), 'True'),
        ("init bytes path", nothing, lambda: d.init(os.fsencode(image_file)), 'True'),
        ("init missing file", nothing, lambda: d.init(str(tmp_path / "missing")), 'False'),
        ("init directory", nothing, lambda: d.init(str(tmp_path)), 'False'),
        ("init None", nothing, lambda: d.init(None), 'False'),
        ("init interrupted", nothing, lambda: d.init(RaisingPath(KeyboardInterrupt)), 'KeyboardInterrupt: '),
        ("init fspath raises", nothing, lambda: d.init(RaisingPath(ValueError, "no path")), 'False'),
        ("send ok", nothing, lambda: d.send([0x10, 0, 0, 0, 1, 2, 0], 0), "'ok'"),
        ("send by keyword", nothing, lambda: d.send(res=1, out=[0x20, 0, 0, 0, 0]), "'ok'"),
        ("send checksum", reply(b"\x00\x00\x00\x00\x07"), lambda: d.send([0] * 5, 0), "'checksum'"),
        ("send counter", reply(b"\x00\x05\x00\x00\x05"), lambda: d.send([0] * 5, 0), "'counter'"),
        ("send length", reply(b"\x00\x00"), lambda: d.send([0] * 5, 0), "'length'"),
        ("send generic reply", reply([0, 0, 0, 0, 1.0]), lambda: d.send([0] * 5, 0), "'checksum'"),
        ("send write raises", port_method("write", OSError, "gone"), lambda: d.send([0] * 5, 0), "'error'"),
        ("send read raises", port_method("read", ValueError, "bad"), lambda: d.send([0] * 5, 0), "'error'"),
        ("send read interrupted", port_method("read", KeyboardInterrupt), lambda: d.send([0] * 5, 0), 'KeyboardInterrupt: '),
        ("send ser without methods", setting("ser", 5), lambda: d.send([0] * 5, 0), "'error'"),
        ("send no ser", missing("ser"), lambda: d.send([0] * 5, 0), "'error'"),
        ("send out of range", setting("Pcounter", 70000), lambda: d.send([0] * 5, 0), "'error'"),
        ("send generic counter", setting("Pcounter", 300.0), lambda: d.send([0] * 5, 1), "'error'"),
        ("send huge counter", setting("Pcounter", 10 ** 400), lambda: d.send([0] * 5, 0), 'OverflowError: integer division result too large for a float'),
        ("send no Pcounter", missing("Pcounter"), lambda: d.send([0] * 5, 0), "NameError: name 'Pcounter' is not defined"),
        ("send tuple", nothing, lambda: d.send((0,) * 5, 0), "TypeError: 'tuple' object does not support item assignment"),
        ("send short list", nothing, lambda: d.send([0, 0], 0), 'IndexError: list assignment index out of range'),
        ("send str element", nothing, lambda: d.send([0, 0, 0, 0, "x", 0], 0), "TypeError: unsupported operand type(s) for +: 'int' and 'str'"),
        ("send validation raises", nothing, lambda: d.send([0] * 5, BadEquality()), 'ValueError: no equality'),
        ("send no arguments", nothing, lambda: d.send(), 'TypeError: send() takes exactly 2 positional arguments (0 given)'),
        ("send extra keyword", nothing, lambda: d.send([0] * 5, res=0, x=1), "TypeError: send() got an unexpected keyword argument 'x'"),
        ("send repeated keyword", nothing, lambda: d.send([0] * 5, 0, out=1), "TypeError: send() got multiple values for keyword argument 'out'"),
        ("send keyword not a string", nothing, lambda: d.send([0] * 5, 0, **{1: 2}), 'TypeError: send() keywords must be strings'),
        ("download progress", image(bytes(100)), d.download, '32.0'),
        ("download completes", image(bytes(100), 3), d.download, '100'),
        ("download completed", image(bytes(100), 4), d.download, '100'),
        ("download too short", image(b"\x00"), d.download, '0'),
        ("download rejected", image(bytes(100), 1, b"\x10\x01\x00\x00\x00"), d.download, '0'),
        ("download overflow", image(huge, 65535), d.download, '0'),
        ("download generic", image(Image(bytes(100)), 1), d.download, '64.0'),
        ("download no Pcounter", missing("Pcounter"), d.download, "NameError: name 'Pcounter' is not defined"),
        ("download no res", missing("res"), d.download, "NameError: name 'res' is not defined"),
        ("download res int", image(5), d.download, "TypeError: object of type 'int' has no len()"),
        ("download Pcounter str", image(bytes(100), "a"), d.download, "TypeError: '>=' not supported between instances of 'str' and 'int'"),
        ("download Pcounter float", image(bytes(100), 0.5), d.download, 'TypeError: byte indices must be integers or slices, not float'),
        ("download no send", image(bytes(100), 0, without="send"), d.download, "NameError: name 'send' is not defined"),
        ("run", nothing, d.run, 'True'),
        ("run no ser", missing("ser"), d.run, 'True'),
        ("run no send", missing("send"), d.run, "NameError: name 'send' is not defined"),
        ("init keyword", nothing, lambda: d.init(file="x"), 'TypeError: init() takes no keyword arguments'),
        ("init two arguments", nothing, lambda: d.init("x", "y"), 'TypeError: init() takes exactly one argument (2 given)'),
    ] + [
        (name + " arguments", nothing, (lambda f: lambda: f(1))(getattr(d, name)),
         "TypeError: %s() takes no arguments (1 given)" % name)
        for name in ("dev_existing", "dev_open", "dev_close", "beat", "download", "run")
    ] + [
        (name + " keyword", nothing, (lambda f: lambda: f(x=1))(getattr(d, name)),
         "TypeError: %s() takes no keyword arguments" % name)
        for name in ("dev_existing", "dev_open", "dev_close", "beat", "download", "run")
    ]


def test_no_references_leak_on_any_path(tmp_path, monkeypatch):
    monkeypatch.setattr(sys, "stdout", Discard())
    monkeypatch.setattr(serial.tools.list_ports, "comports", serial.tools.list_ports.comports)
    cases = list(scenarios(tmp_path))
    saved = dict(vars(downloader))
    base = dict(saved, com="/dev/x")
    watched = (None, True, False, 0, 1, 16, 100, "ok", "error", "beated", downloader.send, downloader.download)
    outcomes = {}

    def call_each():
        for name, setup, call, _ in cases:
            vars(downloader).clear()
            vars(downloader).update(base, ser=Port())
            setup(downloader)
            try:
                outcomes[name] = repr(call())
            except BaseException as error:  # every kind of failure is one of the paths
                outcomes[name] = "%s: %s" % (type(error).__name__, error)

    rounds = max(CALLS // len(cases), 2)
    try:
        for _ in range(max(rounds // 10, 1)):  # warm up: caches, interned names, the held print
            call_each()
        gc.collect()
        tracemalloc.start()
        memory_before, objects_before = tracemalloc.get_traced_memory()[0], len(gc.get_objects())
        references_before = [sys.getrefcount(x) for x in watched]
        for _ in range(rounds):
            call_each()
        gc.collect()
        memory_growth = tracemalloc.get_traced_memory()[0] - memory_before
        object_growth = len(gc.get_objects()) - objects_before
        reference_growth = max(sys.getrefcount(x) - n for x, n in zip(watched, references_before))
    finally:
        tracemalloc.stop()
        vars(downloader).clear()
        vars(downloader).update(saved)

    assert outcomes == {name: expected for name, _, _, expected in cases}  # every path was taken
    print("%d calls: traced memory %+d bytes, live objects %+d, references %+d"
          % (rounds * len(cases), memory_growth, object_growth, reference_growth), file=sys.__stdout__)
    assert memory_growth < MEMORY_BOUND
    assert object_growth < OBJECT_BOUND
    assert reference_growth < OBJECT_BOUND
