"""One command exchange (send) and the heartbeat (beat)."""
import os
import sys
import tty

import pytest

import downloader
import downloader_wire as wire
from fakes import FakePort, Raising, ack, lines, module_entries, module_state, port  # noqa: F401
from form import entry

FRAMES = [
    (258, [0x20, 0, 0, 0, 0], "20 02 01 00 23"),
    (0, [0x20, 0, 0, 0, 0], "20 00 00 00 20"),
    (5, [0x10, 0, 0, 0, 0xAA, 0xBB, 0xCC, 0], "10 05 00 03 aa bb cc 49"),
    (65535, [0, 0, 0, 0, 0], "00 ff ff 00 fe"),
    (7, [0x10, 9, 9, 9], "10 07 00 17"),  # 4 elements: the length byte becomes the checksum
    (True, [0, 0, 0, 0, 0], "00 01 00 00 01"),  # a bool counter counts as the int it equals
]


@pytest.mark.parametrize("counter, out, wire", FRAMES)
def test_send_completes_the_frame_in_place_and_writes_it(port, counter, out, wire):
    downloader.Pcounter = counter
    downloader.send(out, 1)
    assert port.written == [bytes.fromhex(wire)]
    assert out == list(bytes.fromhex(wire))


REPLIES = [
    (1, b"\x00\x01\x00\x00\x01", 0, "ok", []),
    (1, b"\x77\x01\x00\x00\x78", 2, "ok", []),
    (1, b"\x00\x01\x00\x00\x02", 0, "checksum", ["packet checksum error: 1"]),
    (1, b"\x00\x02\x00\x00\x02", 0, "counter", ["packet counter error 2 1"]),
    (0, b"\x00\x02\x00\x00\x09", 1, "ok", []),
    (0, b"\x00\x02\x00\x00\x09", 1.0, "ok", []),
    (0, b"\x00\x02\x00\x00\x09", True, "ok", []),
    (0, b"", 1, "ok", []),
    (0, b"", 0, "length", ["packet length error"]),
    (3, b"\x00\x03\x00", 0, "length", ["packet length error"]),
    (3, b"\x00\x03\x00\x01\x04", 0, "length", ["packet length error"]),
    (3, b"\x00\x03\x00\x00\x03\x55", 0, "ok", []),
    (3, bytearray(b"\x00\x03\x00\x00\x03"), 0, "ok", []),
    (3, [0, 3, 0, 0, 2], 0, "checksum", ["packet checksum error: 3"]),
    (300, [0, 44, 1.0, 0, 45.0], 0, "ok", []),
]


@pytest.mark.parametrize("counter, reply, validation, result, messages", REPLIES)
def test_send_judges_the_reply(port, capsys, counter, reply, validation, result, messages):
    port.echo, port.replies = False, [reply]
    downloader.Pcounter = counter
    assert downloader.send([0] * 5, validation) == result
    assert lines(capsys) == [str(reply)] + messages


@pytest.mark.parametrize(
    "setup, message",
    [
        (lambda m: delattr(m, "ser"), "name 'ser' is not defined"),
        (lambda m: setattr(m.ser, "write", Raising(OSError("Attempting to use a port that is not open"))),
         "Attempting to use a port that is not open"),
        (lambda m: setattr(m.ser, "read", Raising(ValueError("read failed"))), "read failed"),
        (lambda m: setattr(m, "Pcounter", 70000), "byte must be in range(0, 256)"),
    ],
)
def test_send_reports_transport_failures_as_error(port, module_state, capsys, setup, message):
    setup(module_state)
    out = [0x20, 0, 0, 0, 0]
    assert downloader.send(out, 0) == "error"
    assert lines(capsys)[-1] == message
    assert out[3] == 0 and out[4] == sum(out[:4]) % 256


class Counter(int):
    """An int subclass: takes the generic number-protocol path."""


def wording(operation):
    """The running interpreter's own text for the error that operation raises (it varies by version)."""
    try:
        operation()
    except Exception as error:
        return str(error)
    raise AssertionError("the operation raised nothing")


@pytest.mark.parametrize(
    "out, counter, error, message, statement",
    [
        ((0, 0, 0, 0, 0), 0, TypeError, "'tuple' object does not support item assignment", "counter_low"),
        (b"\x00" * 5, 0, TypeError, "'bytes' object does not support item assignment", "counter_low"),
        ([0, 0, 0], 0, IndexError, "list assignment index out of range", "payload_length"),
        ([], 0, IndexError, "list assignment index out of range", "counter_low"),
        ([0, 0, 0, 0, "x", 0], 0, TypeError, "unsupported operand type(s) for +: 'int' and 'str'", "add_up"),
        ([0] * 5, "7", TypeError, wording(lambda: "7" % 256), "counter_low"),
        ([0] * 5, 10**400, OverflowError, "integer division result too large for a float", "counter_high"),
        (None, 0, TypeError, "object of type 'NoneType' has no len()", "measure"),
    ],
)
def test_send_propagates_frame_faults(port, out, counter, error, message, statement):
    downloader.Pcounter = counter
    with pytest.raises(error) as excinfo:
        downloader.send(out, 0)
    assert str(excinfo.value) == message
    assert module_entries(excinfo) == [entry("send", statement)]
    assert port.written == []


def test_send_generic_and_direct_paths_agree(port):
    frames = []
    for counter in (300, Counter(300), 300.0):
        downloader.Pcounter = counter
        out = [0x10, 0, 0, 0, 1, 2, 3, 0]
        downloader.send(out, 1)
        frames.append(out)
    assert frames[0] == frames[1] == [0x10, 44, 1, 3, 1, 2, 3, 70]
    assert frames[2] == [0x10, 44.0, 1, 3, 1, 2, 3, 70.0]  # a float counter cannot be written
    assert port.written == [bytes(frames[0])] * 2


def test_send_lets_interrupts_through_and_reads_pcounter_afresh(port, module_state):
    port.read = Raising(KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt) as excinfo:
        downloader.send([0] * 5, 0)
    assert module_entries(excinfo) == [entry("send", "read")]
    del module_state.Pcounter
    with pytest.raises(NameError) as excinfo:
        downloader.send([0] * 5, 0)
    assert str(excinfo.value) == "name 'Pcounter' is not defined"
    assert module_entries(excinfo) == [entry("send", "counter_low")]


def test_send_when_printing_the_caught_error_fails(port, monkeypatch):
    port.write = Raising(OSError("gone"))

    class Output:
        def write(self, text):
            raise RuntimeError("no output")

    monkeypatch.setattr(sys, "stdout", Output())
    with pytest.raises(RuntimeError) as excinfo:
        downloader.send([0] * 5, 0)
    assert str(excinfo.value.__context__) == "gone"
    assert module_entries(excinfo) == [entry("send", "say_caught")]


class RaisesItself(Exception):
    """Printing it raises the exception itself."""

    def __str__(self):
        raise self


class RaisesItsContext(Exception):
    """Printing it raises the exception that is already its own context."""

    def __str__(self):
        raise self.__context__


def caught_error(shape):
    if shape == "self":
        return RaisesItself()
    error = RaisesItsContext()
    error.__context__ = LookupError("earlier")
    return error


def chain(error):
    """The context chain from ``error``, as class names, stopping at a repeat."""
    names, seen = [], set()
    while error is not None and id(error) not in seen:
        seen.add(id(error))
        names.append(type(error).__name__)
        error = error.__context__
    return names + (["(cycle)"] if error is not None else [])


def printed_in_an_except_block(error):
    """What Python's own ``except Exception as e: print(e)`` leaves: the escaping exception."""
    try:
        try:
            raise error
        except Exception as caught:
            print(caught)
    except Exception as escaped:
        return escaped


SEND_ENTRIES = [entry("send", "say_caught")]


@pytest.mark.parametrize("call, entries", [(lambda: downloader.send([0] * 5, 0), SEND_ENTRIES),
                                           (downloader.beat, [entry("beat", "exchange")] + SEND_ENTRIES)],
                         ids=["send", "beat"])
@pytest.mark.parametrize("shape", ["self", "cycle"])
def test_an_exception_raised_while_printing_the_caught_one_chains_as_in_except(port, call, entries, shape):
    expected = printed_in_an_except_block(caught_error(shape))
    error = caught_error(shape)
    port.write = Raising(error)
    with pytest.raises(Exception) as excinfo:
        call()
    assert chain(excinfo.value) == chain(expected)
    assert chain(excinfo.value) == (["RaisesItself"] if shape == "self" else ["LookupError", "RaisesItsContext"])
    assert module_entries(excinfo) == entries


@pytest.mark.parametrize("call", [lambda: downloader.send([0] * 5, 0), downloader.beat], ids=["send", "beat"])
def test_the_caught_exception_is_being_handled_while_it_prints(port, capsys, call):
    seen = []

    class Noted(Exception):
        def __str__(self):
            seen.append(sys.exc_info()[1])
            return "noted"

    error = Noted()
    port.write = Raising(error)
    assert call() in ("error", "beaat error")
    assert seen == [error] and sys.exc_info() == (None, None, None)
    assert lines(capsys)[0] == "noted"


def test_send_over_a_real_pseudo_terminal(module_state, capsys):
    master, slave = os.openpty()
    tty.setraw(slave)
    try:
        module_state.com = os.ttyname(slave)
        assert downloader.dev_open()
        downloader.Pcounter = 0x1234
        os.write(master, ack(0x1234, first=0x10) + b"\x99")  # one byte too many
        assert downloader.send([0x10, 0, 0, 0, 0xAB, 0], 0) == "ok"
        assert os.read(master, 100) == bytes([0x10, 0x34, 0x12, 0x01, 0xAB, 0x02])
        # The extra byte starts the next reply, which then fails its length check.
        os.write(master, ack(0x1234))
        assert downloader.send([0, 0, 0, 0, 0], 0) == "length"
    finally:
        downloader.dev_close()
        os.close(slave)
        os.close(master)
    assert lines(capsys)[1:] == [str(ack(0x1234, 0x10)), str(b"\x99" + ack(0x1234)[:4]), "packet length error"]


@pytest.mark.parametrize("before, after", [(0, 1), (65534, 65535), (65535, 0), (Counter(4), 5)])
def test_beat_advances_the_counter_before_its_exchange(port, capsys, before, after):
    downloader.Pcounter = before
    assert downloader.beat() == "beated"
    assert downloader.Pcounter == after and type(downloader.Pcounter) is int
    assert port.written == [wire.request(wire.HEARTBEAT, after)]
    assert lines(capsys) == [str(ack(after))]


@pytest.mark.parametrize("result", ["ok", "error", None, b"ok", 0, "counter"])
def test_beat_judges_what_send_returns(module_state, capsys, result):
    calls = []
    module_state.send = lambda *args: calls.append(args) or result
    expected = "beated" if result == "ok" else "beaat error"
    assert downloader.beat() == expected
    assert calls == [([0, 0, 0, 0, 0], 0)] and type(calls[0][1]) is int
    assert lines(capsys) == ([] if result == "ok" else ["beaat error"])


def test_beat_on_a_closed_port(module_state, capsys):
    assert not downloader.ser.isOpen()
    downloader.Pcounter = 0
    assert downloader.beat() == "beaat error"
    assert lines(capsys) == ["Attempting to use a port that is not open", "beaat error"]
    assert downloader.Pcounter == 1


class Uncomparable(int):
    def __gt__(self, other):
        raise TypeError("no order")

    def __add__(self, other):
        return Uncomparable(int(self) + other)


@pytest.mark.parametrize(
    "setup, error, entries, counter",
    [
        (lambda m: setattr(m, "Pcounter", "x"), TypeError, [entry("beat", "advance")], "x"),
        (lambda m: setattr(m, "Pcounter", Uncomparable(3)), TypeError, [entry("beat", "past_last")], 4),
        (lambda m: delattr(m, "send"), NameError, [entry("beat", "exchange")], 1),
        (lambda m: setattr(m, "send", Raising(OSError("x"))), OSError, [entry("beat", "exchange")], 1),
        (lambda m: setattr(m.ser, "replies", [b""]), None, None, 1),
    ],
)
def test_beat_propagates_faults(port, module_state, setup, error, entries, counter):
    downloader.Pcounter = 0
    setup(module_state)
    if error is None:  # a missing reply is a "length" result now, not an exception
        port.echo = False
        assert downloader.beat() == "beaat error"
    else:
        with pytest.raises(error) as excinfo:
            downloader.beat()
        assert module_entries(excinfo) == entries
    assert downloader.Pcounter == counter


def test_exceptions_from_send_carry_both_entries(port):
    downloader.Pcounter = 1
    port.read = Raising(KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt) as excinfo:
        downloader.beat()
    assert module_entries(excinfo) == [entry("beat", "exchange"), entry("send", "read")]
