"""The direct paths (exact ints and bytes, cached reads of the globals) against the
object-protocol paths, where host code runs between the statements or changes the globals.

Each scenario runs twice: with an exact int counter and exact bytes image (the direct path) and
with subclasses of them (the object-protocol path); both must give what Python statements that
read every global at each use would give.
"""
import builtins
import sys

import pytest

import downloader
from fakes import FakePort, ack, module_entries, module_state, port  # noqa: F401


class Num(int):
    """An int subclass: equal to an int, never on a direct path."""


class Image(bytes):
    """A bytes subclass: the object-protocol path of download."""


COUNTER = {"direct": int, "generic": Num}
IMAGE = {"direct": bytes, "generic": Image}
paths = pytest.mark.parametrize("path", ["direct", "generic"])


def block(image, n):
    """The request frame for block n of an image of at least 64 bytes, n > 0."""
    data = bytes(image[32 * n : 32 * n + 32])
    frame = bytes([0x10, n & 0xFF, n >> 8, len(data)]) + data
    return frame + bytes([sum(frame) % 256])


class Meddler:
    """Standard output whose writes run host code: ``act(text)`` for each message printed."""

    def __init__(self, act):
        self.act, self.written = act, []

    def write(self, text):
        self.written.append(text)
        if text != "\n":  # print writes the message, then the line end
            self.act(text)
        return len(text)

    def flush(self):
        pass

    def lines(self):
        return "".join(self.written).splitlines()


# ---- globals rebound by host code while the module prints ----------------------------------


@paths
def test_download_reads_the_image_again_after_printing_the_counter(module_state, port, monkeypatch, path):
    old, new = IMAGE[path](bytes(range(64))), IMAGE[path](bytes(range(100, 164)))
    module_state.res, module_state.Pcounter = old, COUNTER[path](1)
    monkeypatch.setattr(sys, "stdout", Meddler(lambda text: text == "1" and setattr(downloader, "res", new)))
    assert downloader.download() == 100
    assert port.written == [block(new, 1)]


@paths
def test_progress_uses_the_image_as_rebound_while_the_reply_printed(module_state, port, monkeypatch, path):
    module_state.res, module_state.Pcounter = IMAGE[path](bytes(96)), COUNTER[path](1)
    longer = IMAGE[path](bytes(320))
    monkeypatch.setattr(sys, "stdout", Meddler(lambda text: text.startswith("b'") and setattr(downloader, "res", longer)))
    result = downloader.download()
    assert (type(result), result) == (float, 2 * 3200 / 320)
    assert downloader.Pcounter == 2


@paths
def test_the_reply_is_checked_against_the_counter_rebound_while_it_printed(module_state, monkeypatch, path):
    module_state.Pcounter = COUNTER[path](5)
    module_state.ser = FakePort(ack(5))
    output = Meddler(lambda text: text.startswith("b'") and setattr(downloader, "Pcounter", COUNTER[path](6)))
    monkeypatch.setattr(sys, "stdout", output)
    assert downloader.send([0, 0, 0, 0, 0], 0) == "counter"
    assert output.lines() == [repr(ack(5)), "packet counter error 5 6"]


@paths
def test_a_counter_deleted_while_the_reply_printed_is_missed(module_state, port, monkeypatch, path):
    module_state.res, module_state.Pcounter = IMAGE[path](bytes(64)), COUNTER[path](1)
    monkeypatch.setattr(sys, "stdout", Meddler(lambda text: text.startswith("b'") and delattr(downloader, "Pcounter")))
    with pytest.raises(NameError, match="name 'Pcounter' is not defined") as excinfo:
        downloader.download()
    assert module_entries(excinfo) == [(154, "downloader.download"), (115, "downloader.send")]


# ---- globals changed between calls and by the module's own stores ---------------------------


def test_a_counter_in_the_builtins_is_read_when_the_module_has_none(module_state, port, monkeypatch):
    counters = []
    for module_value, builtin_value in [(3, None), (None, 7), (4, 7), (None, 9)]:
        vars(downloader).pop("Pcounter", None)
        if module_value is not None:
            module_state.Pcounter = module_value
        monkeypatch.setattr(builtins, "Pcounter", builtin_value, raising=False)
        downloader.send([0, 0, 0, 0, 0], 1)
        counters.append(port.written[-1][1])
    assert counters == [3, 7, 4, 9]


class Doomed(bytes):
    """An image whose end, when the module lets go of it, installs another port."""

    def __del__(self):
        downloader.ser = self.successor


@paths
def test_host_code_run_by_freeing_the_old_image_is_seen(module_state, port, tmp_path, path):
    successor = FakePort(echo=True, is_open=True)
    image = Doomed(bytes(64))
    image.successor = successor
    module_state.res, module_state.Pcounter = image, COUNTER[path](0)
    del image
    assert downloader.download() == 50.0  # reads res, so the module's cache holds it
    file = tmp_path / "image.bin"
    file.write_bytes(bytes(100))
    assert downloader.init(str(file)) is True  # replaces res: the Doomed image goes
    module_state.Pcounter = COUNTER[path](0)
    assert downloader.beat() == "beated"
    assert len(port.written) == 1 and len(successor.written) == 1


class Colliding:
    """A key hashed like "Pcounter": every look-up or store of that name compares with it,
    and every ``period``-th comparison installs a new port, as host code may."""

    def __init__(self, events, period):
        self.events, self.period, self.compared = events, period, 0

    def __hash__(self):
        return hash("Pcounter")

    def __eq__(self, other):
        self.compared += 1
        if self.compared % self.period:
            return False
        fresh = FakePort(echo=True, is_open=True)
        fresh.write = lambda data, fresh=fresh: self.events.append(("write", fresh))
        self.events.append(("installed", fresh))
        downloader.ser = fresh
        return False


@paths
@pytest.mark.parametrize("period", [1, 2, 3])
def test_every_exchange_uses_the_port_installed_last(module_state, port, path, period):
    events = []
    namespace = vars(downloader)
    counter = namespace.pop("Pcounter")
    key = Colliding(events, period)
    namespace[key] = None  # now ahead of "Pcounter" on its probe sequence
    try:
        module_state.Pcounter = COUNTER[path](counter)
        for _ in range(3):
            downloader.send([0, 0, 0, 0, 0], 1)
            downloader.beat()
    finally:
        del namespace[key]
    assert len(port.written) + sum(kind == "write" for kind, _ in events) == 6
    for i, (kind, target) in enumerate(events):
        if kind == "write":
            assert target is [fresh for kind, fresh in events[:i] if kind == "installed"][-1]


# ---- arithmetic at the edges of the counter and of the image --------------------------------


@paths
def test_heartbeat_wraps_the_counter_past_65535(module_state, port, path):
    module_state.Pcounter = COUNTER[path](65534)
    assert downloader.beat() == "beated"
    assert downloader.beat() == "beated"
    assert [frame[1:3] for frame in port.written] == [b"\xff\xff", b"\x00\x00"]
    assert (type(downloader.Pcounter), downloader.Pcounter) == (int, 0)


@paths
def test_progress_of_the_largest_image_is_the_true_quotient(module_state, port, path):
    module_state.res = IMAGE[path](bytes(2097120))
    module_state.Pcounter = COUNTER[path](65532)
    results = [downloader.download() for _ in range(3)]
    assert results == [65533 * 3200 / 2097120, 65534 * 3200 / 2097120, 100]
    assert [type(r) for r in results] == [float, float, int]


@paths
def test_one_byte_past_the_largest_image_wraps_the_counter(module_state, port, capsys, path):
    module_state.res = IMAGE[path](bytes(2097121))
    module_state.Pcounter = COUNTER[path](65535)
    assert downloader.download() == 0
    assert capsys.readouterr().out.splitlines()[-1] == "计数值错误"
    assert port.written[-1][3] == 1  # the last block, one byte
    assert (type(downloader.Pcounter), downloader.Pcounter) == (int, 0)
