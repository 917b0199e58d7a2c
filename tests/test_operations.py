"""The operations inside the module's statements: their C branch for exact ints, lists and
bytes against the object protocol, observed through the module functions.

Scenarios run with exact types (the C branches) and with subclasses (the object protocol);
both must give what Python statements that read every global at each use would give.
Subclasses with their own methods show that the object protocol is asked whenever one is
involved, and values at the edges (2**53, negatives, big ints) where the C branch hands over.
"""
import builtins
import sys

import pytest

import downloader
import downloader_wire as wire
from fakes import FakePort, Image, Num, ack, module_entries, module_state, port  # noqa: F401
from form import entry


COUNTER = {"direct": int, "generic": Num}
IMAGE = {"direct": bytes, "generic": Image}
paths = pytest.mark.parametrize("path", ["direct", "generic"])

BIG = [2**53 - 1, 2**53, 2**53 + 1, 2**63, 2**64 + 5, -1, -255, -256, -257, -(2**53), -(2**53) - 1]


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
    assert port.written == [wire.block_request(new, 1)]


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
    assert module_entries(excinfo) == [entry("download", "exchange"), entry("send", "bad_counter")]


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


# ---- each operation's branches, at its edges ------------------------------------------------


@pytest.mark.parametrize("counter", BIG + [Num(2**53 + 1), Num(-257)])
def test_counter_bytes_are_the_python_remainder_and_truncated_quotient(module_state, counter):
    module_state.ser = FakePort()
    module_state.Pcounter = counter
    out = [0x20, 0, 0, 0, 0]
    downloader.send(out, 1)
    assert out[1:4] == [counter % 256, int(counter / 256), 0]
    assert out[4] == (0x20 + counter % 256 + int(counter / 256)) % 256
    assert [type(value) for value in out] == [int] * 5


class Shifty(int):
    """An int with arithmetic of its own: the module must ask it, not compute in C."""

    def __add__(self, other):
        return Shifty(int(self) + other + 10)

    __radd__ = __add__

    def __rmul__(self, other):
        return int(self) * other + 1

    def __mod__(self, other):
        return 7

    def __truediv__(self, other):
        return 2.9


def test_counters_with_their_own_arithmetic_are_asked(module_state, port):
    module_state.Pcounter = Shifty(5)
    assert downloader.beat() == "beaat error"  # Pcounter + 1 gave 16; the device echoes 16
    assert type(downloader.Pcounter) is Shifty and downloader.Pcounter == 16
    assert list(port.written[-1]) == [0, 7, 2, 0, 9]  # 16 % 256 -> 7, int(16 / 256) -> 2


@pytest.mark.parametrize(
    "payload",
    [
        [1, 2, 3],
        [2**53 - 1, 1, 2],  # the C sum would reach 2**53: handed over from the partial sum
        [-300, 2**70, 5],
        [1, Shifty(2), 3],  # Shifty's __radd__ adds 10 to the running sum
        [True, 4.0, 1],
    ],
    ids=["small", "at 2**53", "big and negative", "own __radd__", "bool and float"],
)
def test_checksum_is_the_python_sum_of_the_items(module_state, payload):
    module_state.ser = FakePort()
    module_state.Pcounter = 3
    out = [0x10, 0, 0, 0] + payload + [0]
    downloader.send(out, 1)
    total = 0
    for value in out[:-1]:
        total = total + value
    assert out[-1] == total % 256 and type(out[-1]) is type(total % 256)


class Recording(list):
    """A frame whose item access is its own: every read and write goes through it."""

    def __init__(self, *args):
        super().__init__(*args)
        self.log = []

    def __len__(self):
        self.log.append("len")
        return super().__len__()

    def __getitem__(self, index):
        self.log.append(("get", index))
        return super().__getitem__(index) * 2

    def __setitem__(self, index, value):
        self.log.append(("set", index, value))
        super().__setitem__(index, value)


def test_frames_with_their_own_item_access_are_asked(module_state):
    module_state.ser = FakePort()
    module_state.Pcounter = 258
    out = Recording([0x10, 0, 0, 0, 5, 0])
    downloader.send(out, 1)
    checksum = (2 * (0x10 + 2 + 1 + 1 + 5)) % 256
    assert out.log == ["len", ("set", 1, 2), ("set", 2, 1), ("set", 3, 1)] + [
        ("get", i) for i in range(5)] + [("set", 5, checksum)]


class Scrambled(bytes):
    """A reply or image whose items are its own."""

    def __getitem__(self, index):
        return bytes.__getitem__(self, index) ^ 1


@pytest.mark.parametrize(
    "reply, result",
    [(ack(5), "ok"), (Scrambled(ack(5)), "length"), (Scrambled(bytes([1, 4, 1, 1, 4])), "ok"),
     (Scrambled(bytes([1, 4, 1, 1, 5])), "checksum"),
     (list(ack(5)), "ok"), (ack(5) + b"tail", "ok"), (Num(0).to_bytes(1, "big") + ack(5)[1:], "ok")],
    ids=["bytes", "own items", "own items, consistent", "own items, bad sum", "a list", "longer", "first byte 0"],
)
def test_reply_items_come_from_the_reply_itself(module_state, capsys, reply, result):
    module_state.ser = FakePort(reply)
    module_state.Pcounter = 5
    assert downloader.send([0, 0, 0, 0, 0], 0) == result


def test_image_items_and_negative_counters_follow_python_indexing(module_state, port):
    image = bytes(range(64))
    module_state.res, module_state.Pcounter = Scrambled(image), 1
    downloader.download()
    assert port.written[-1][4:-1] == bytes(b ^ 1 for b in image[32:64])
    module_state.res, module_state.Pcounter = image, -1  # block -1: the image's last 32 bytes
    assert downloader.download() == 0  # the device echoes counter 255, not -1
    assert port.written[-1][:4] == bytes([0x10, 255, 0, 32]) and port.written[-1][4:-1] == image[-32:]


class Scaled(int):
    def __rmul__(self, other):
        return int(self) * other + 1


@pytest.mark.parametrize("counter", [Num(1), Scaled(1)])
def test_block_copy_asks_a_counter_with_its_own_type(module_state, port, counter):
    image = bytes(range(200))
    module_state.res, module_state.Pcounter = image, counter
    downloader.download()
    start = 32 * counter
    assert port.written[-1][4:-1] == bytes(image[start + i] for i in range(32))
