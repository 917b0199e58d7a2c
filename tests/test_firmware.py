"""Loading the image (init), sending it block by block (download), starting it (run)."""
import math
import os

import pytest

import downloader
import downloader_wire as wire
from fakes import FakePort, Image, Raising, ack, lines, module_entries, module_state, port  # noqa: F401
from form import entry

TOO_SHORT = "镜像太短，装不下镜像长度"


def flash(image, **kwargs):
    downloader.res, downloader.Pcounter = image, 0
    results = []
    while not results or results[-1] not in (0, 100):
        results.append(downloader.download())
    return results


@pytest.fixture
def image_file(tmp_path):
    def make(content, name="image.bin"):
        path = tmp_path / name
        path.write_bytes(content)
        return path

    return make


def test_init_reads_the_whole_file_and_resets_the_counter(module_state, image_file, capsys):
    downloader.Pcounter = 7
    first, second = image_file(b"first image", "a.bin"), image_file(b"", "b.bin")
    assert downloader.init(str(first)) is True and downloader.res == b"first image"
    assert downloader.Pcounter == 0 and type(downloader.Pcounter) is int
    downloader.Pcounter = 7
    assert downloader.init(second) is True and downloader.res == b"" and downloader.Pcounter == 0
    assert lines(capsys) == [str(first), "文件打开正常", str(second), "文件打开正常"]


@pytest.mark.parametrize("path", ["/nonexistent/image.bin", None, os.sep, 3.5])
def test_init_reports_a_file_that_will_not_open(module_state, capsys, path):
    downloader.res, downloader.Pcounter = b"old", 7
    assert downloader.init(path) is False
    assert (downloader.res, downloader.Pcounter) == (b"old", 7)
    assert lines(capsys) == [str(path), "文件打不开"]


class InterruptingPath:
    def __fspath__(self):
        raise KeyboardInterrupt

    def __str__(self):
        return "interrupting path"


def test_init_lets_an_interrupt_while_opening_through(module_state):
    with pytest.raises(KeyboardInterrupt) as excinfo:
        downloader.init(InterruptingPath())
    assert module_entries(excinfo) == [entry("init", "open")]


SCHEDULES = {
    32: [100],
    64: [50.0, 100],
    70: [45.714285714285715, 91.42857142857143, 100],
    100: [32.0, 64.0, 96.0, 100],
    9: [100],
}


@pytest.mark.parametrize("size", SCHEDULES)
def test_download_sends_every_block_and_reports_progress(port, capsys, size):
    image = bytes((7 * i + 3) % 256 for i in range(size))
    results = flash(image)
    assert results == SCHEDULES[size]
    assert [type(r) for r in results] == [float] * (len(results) - 1) + [int]
    blocks = math.ceil(size / 32)
    assert port.written == [wire.block_request(image, n) for n in range(blocks)]
    assert downloader.Pcounter == blocks
    assert [line for line in lines(capsys) if not line.startswith("b'")] == [str(n) for n in range(blocks)]


def test_download_block_zero_of_a_nine_byte_image(port):
    flash(bytes(range(1, 10)))
    assert port.written == [bytes([0x10, 0, 0, 9, 1, 2, 3, 4, 5, 6, 9, 0, 0, 0x37])]


@pytest.mark.parametrize("image", [b"", b"\x00", bytes(8)])
def test_download_refuses_an_image_too_short_to_carry_its_length(port, capsys, image):
    downloader.res, downloader.Pcounter = image, 0
    assert downloader.download() == 0 and type(downloader.download()) is int
    assert port.written == [] and downloader.Pcounter == 0
    assert lines(capsys) == ["0", TOO_SHORT] * 2


def test_download_right_after_import_is_refused(capsys):
    out = __import__("fakes").run_python("import downloader as d; print(d.download(), d.Pcounter)")
    assert out.splitlines() == ["0", TOO_SHORT, "0 0"]


@pytest.mark.parametrize("size", [64, 70])
def test_download_after_completion_sends_nothing(port, capsys, size):
    flash(bytes(size))
    sent, counter = len(port.written), downloader.Pcounter
    capsys.readouterr()
    assert downloader.download() == 100 and downloader.download() == 100
    assert len(port.written) == sent and downloader.Pcounter == counter
    assert lines(capsys) == [str(counter)] * 2


def test_download_rejection_resends_the_same_block(port, capsys):
    image = bytes(range(100))
    downloader.res, downloader.Pcounter = image, 0
    port.echo = False
    port.replies = [ack(0), ack(9), ack(1, first=3)[:4] + b"\x00", b"", ack(1)]
    assert [downloader.download() for _ in range(5)] == [32.0, 0, 0, 0, 64.0]
    assert port.written == [wire.block_request(image, 0)] + [wire.block_request(image, 1)] * 4
    printed = [line for line in lines(capsys) if not line.startswith("b'")]
    assert printed == ["0", "1", "packet counter error 9 1", "send wrong", "1", "packet checksum error: 4",
                       "send wrong", "1", "packet length error", "send wrong", "1"]


def test_download_counter_overflow(port, capsys):
    results = flash(bytes(range(256)) * 8192 + b"\x01")  # 2,097,153 bytes: 65,537 blocks
    assert len(results) == 65536 and results[-1] == 0 and results[-2] < 100
    assert downloader.Pcounter == 0
    assert lines(capsys)[-3:] == ["65535", str(ack(65535, 0x10)), "计数值错误"]
    assert port.written[-1] == wire.block_request(bytes(range(256)) * 8192 + b"\x01", 65535)


def test_download_largest_image_completes(port, capsys):
    results = flash(bytes(32 * 65535))
    assert len(results) == 65535 and results[-1] == 100 and downloader.Pcounter == 65535


@pytest.mark.parametrize("kind", [Image, bytearray, list, lambda b: memoryview(b).tolist()])
def test_download_generic_path_matches_the_direct_one(port, kind):
    image = bytes((5 * i) % 256 for i in range(75))
    results = flash(kind(image))
    assert results == [42.666666666666664, 85.33333333333333, 100]
    assert port.written == [wire.block_request(image, n) for n in range(3)]


def test_download_with_a_bool_counter_and_a_substitute_send(module_state):
    calls = []
    module_state.send = lambda out, res: calls.append((list(out), res)) or "ok"
    downloader.res, downloader.Pcounter = bytes(range(40)), False
    assert downloader.download() == 80.0 and downloader.Pcounter == 1
    assert calls == [([16, 0, 0, 0, 0, 1, 2, 3, 4, 5, 40, 0, 0, 0] + list(range(10, 32)) + [0], 0)]


@pytest.mark.parametrize(
    "setup, error, statement",
    [
        (lambda m: delattr(m, "Pcounter"), NameError, "say_counter"),
        (lambda m: delattr(m, "res"), NameError, "too_short"),
        (lambda m: setattr(m, "res", 5), TypeError, "too_short"),
        (lambda m: setattr(m, "Pcounter", "a"), TypeError, "nothing_left"),
        (lambda m: setattr(m, "Pcounter", 0.5), TypeError, "make_frame"),
        (lambda m: delattr(m, "send"), NameError, "exchange"),
    ],
)
def test_download_propagates_faults(port, module_state, setup, error, statement):
    downloader.res, downloader.Pcounter = bytes(40), 0
    setup(module_state)
    with pytest.raises(error) as excinfo:
        downloader.download()
    assert module_entries(excinfo) == [entry("download", statement)]
    assert port.written == []


def test_download_lets_exceptions_from_send_through(port):
    downloader.res, downloader.Pcounter = bytes(40), 1
    port.read = Raising(KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt) as excinfo:
        downloader.download()
    assert module_entries(excinfo) == [entry("download", "exchange"), entry("send", "read")]
    assert downloader.Pcounter == 1


@pytest.mark.parametrize("counter, wire", [(258, "20 02 01 00 23"), (0, "20 00 00 00 20")])
def test_run_sends_the_run_command_without_judging_the_reply(port, capsys, counter, wire):
    port.echo = False
    downloader.Pcounter = counter
    assert downloader.run() is True and downloader.run() is True
    assert port.written == [bytes.fromhex(wire)] * 2 and downloader.Pcounter == counter
    assert lines(capsys) == ["b''"] * 2


def test_run_on_a_closed_port_and_without_send(module_state, capsys):
    assert downloader.run() is True
    assert lines(capsys) == ["Attempting to use a port that is not open"]
    del module_state.send
    with pytest.raises(NameError) as excinfo:
        downloader.run()
    assert module_entries(excinfo) == [entry("run", "exchange")]
