import os

import pytest

from downloader_flash.model import RELEASED, USED, VOID, Attempt, Issued
from downloader_flash.serials import Range, SerialFormat, ValueList, field_problem, place, settled_state


@pytest.mark.parametrize("text, number, data, shown", [
    ("u16le", 0x1234, b"\x34\x12", 0x1234),
    ("u16be", 0x1234, b"\x12\x34", 0x1234),
    ("u32le", 1042, b"\x12\x04\x00\x00", 1042),
    ("u64be", 2 ** 64 - 1, b"\xff" * 8, 2 ** 64 - 1),
    ("dec:8", 1042, b"00001042", "00001042"),
    ("dec:1", 9, b"9", "9"),
    ("hex:4", 0xBEEF, b"beef", "beef"),
    ("hex:64", 16 ** 64 - 1, b"f" * 64, "f" * 64),
])
def test_a_format_writes_and_shows_a_number(text, number, data, shown):
    serial_format = SerialFormat(text)
    assert (serial_format.encode(number), serial_format.shown(number), serial_format.size) == (data, shown, len(data))


@pytest.mark.parametrize("text, number, message", [
    ("u16le", 65536, "65536 does not fit u16le, whose largest value is 65535"),
    ("dec:3", 1000, "1000 does not fit dec:3, whose largest value is 999"),
    ("hex:2", 256, "256 does not fit hex:2, whose largest value is 255"),
    ("u32be", -1, "-1 is negative"),
])
def test_a_number_that_does_not_fit_is_refused(text, number, message):
    with pytest.raises(ValueError) as raised:
        SerialFormat(text).encode(number)
    assert str(raised.value) == message


@pytest.mark.parametrize("text, message", [
    ("u8", "unknown serial format 'u8': one of u16le, u16be, u32le, u32be, u64le, u64be, dec:W, hex:W"),
    ("DEC:4", "unknown serial format 'DEC:4': one of u16le, u16be, u32le, u32be, u64le, u64be, dec:W, hex:W"),
    ("hex:", "unknown serial format 'hex:': one of u16le, u16be, u32le, u32be, u64le, u64be, dec:W, hex:W"),
    ("dec:0", "serial format dec:0: the width is 1 to 64 digits"),
    ("hex:65", "serial format hex:65: the width is 1 to 64 digits"),
])
def test_an_unknown_format_is_refused(text, message):
    with pytest.raises(ValueError) as raised:
        SerialFormat(text)
    assert str(raised.value) == message


def test_a_range_runs_from_its_start_by_its_step_to_the_largest_value_by_default():
    numbers = Range(65530, 2, None, SerialFormat("u16le"), 16)
    assert (numbers.count(), numbers.value(0), numbers.value(2), numbers.value(3)) == (3, 65530, 65534, None)
    assert numbers.name == "range 65530 step 2" == Range(65530, 2, 65532, SerialFormat("u16le"), 16).name
    assert numbers.issued("65532", "65532") == Issued(65532, b"\xfc\xff", 16, "65532")


@pytest.mark.parametrize("start, step, end, message", [
    (-1, 1, None, "the serial start must be a whole number of 0 or more, not -1"),
    (1.5, 1, None, "the serial start must be a whole number of 0 or more, not 1.5"),
    (True, 1, None, "the serial start must be a whole number of 0 or more, not True"),
    (1, 0, None, "the serial step must be 1 or more"),
    (100, 1, 99, "the serial end 99 is below its start 100"),
    (1, 1, 1000, "the serial end: 1000 does not fit dec:3, whose largest value is 999"),
    (1000, 1, None, "the serial start: 1000 does not fit dec:3, whose largest value is 999"),
])
def test_a_range_that_cannot_be_issued_is_refused(start, step, end, message):
    with pytest.raises(ValueError) as raised:
        Range(start, step, end, SerialFormat("dec:3"), 16)
    assert str(raised.value) == message


@pytest.mark.parametrize("offset, size, problem", [
    (2, 4, None),
    (10, 4, None),
    (96, 4, None),
    (3, 4, "touches bytes 6-9, which carry the image's length (the image is 100 bytes)"),
    (9, 1, "touches bytes 6-9, which carry the image's length (the image is 100 bytes)"),
    (0, 64, "touches bytes 6-9, which carry the image's length (the image is 100 bytes)"),
    (97, 4, "does not lie inside the image of 100 bytes"),
    (-1, 4, "does not lie inside the image of 100 bytes"),
])
def test_the_field_lies_inside_the_image_clear_of_its_length(offset, size, problem):
    expected = problem and f"the serial field at offset {offset} ({size} bytes) {problem}"
    assert field_problem(offset, size, 100) == expected


def test_a_value_is_placed_at_its_offset():
    assert place(bytes(16), Issued("ab", b"ab", 12, None)) == bytes(12) + b"ab" + bytes(2)


@pytest.mark.parametrize("content, values", [
    (b"A-1\r\nA-2\n\n  \nA 3", ["A-1", "A-2", "A 3"]),
    (b"~" * 64 + b"\n", ["~" * 64]),
])
def test_a_list_is_read_one_value_a_line(tmp_path, content, values):
    path = tmp_path / "serials.txt"
    path.write_bytes(content)
    numbers = ValueList.read(str(path), 16)
    assert (numbers.values, numbers.size, numbers.value(len(values))) == (values, max(map(len, values)), None)
    assert numbers.name == ValueList(values, 300).name != ValueList(values + ["B"], 16).name


@pytest.mark.parametrize("content, message", [
    (b"A1\nA2\nA1\n", "holds 'A1' twice: two boards would get one number"),
    (b"\n \n", "holds no values"),
    (b"A1\n A2\n", ": the value ' A2' has a space at an end"),
    (b"A" * 65, ": the value '" + "A" * 65 + "' is longer than 64 characters"),
    ("A1\nB\u00e9\n".encode(), ", line 2: a value is printable ASCII only"),
    (b"A1\tA2", ", line 1: a value is printable ASCII only"),
])
def test_a_list_that_would_mislead_is_refused(tmp_path, content, message):
    path = tmp_path / "serials.txt"
    path.write_bytes(content)
    with pytest.raises(ValueError) as raised:
        ValueList.read(str(path), 16)
    assert str(raised.value) == f"the serial list {path}" + ("" if message.startswith((":", ",")) else " ") + message


def test_a_list_that_is_no_regular_file_is_refused(tmp_path):
    with pytest.raises(ValueError) as raised:
        ValueList.read(str(tmp_path), 16)
    assert str(raised.value) == f"cannot read the serial list {tmp_path}: it is a directory, not a regular file"


def attempt(result, kind="", block=None, device_sha256=None):
    return Attempt("/dev/ttyACM0", None, result, None if result == "flashed" else "why", kind, block=block,
                   device_sha256=device_sha256)


@pytest.mark.parametrize("ended, state, reason", [
    (attempt("flashed", block=3, device_sha256="0" * 64), USED, None),
    (attempt("not acknowledged", block=3, device_sha256="0" * 64), USED, None),
    (attempt("failed", "ProtocolError", block=3, device_sha256="0" * 64), VOID,
     "the device received the whole image, but the attempt ended failed: why"),
    (attempt("failed", "WorkerDied"), VOID, "the worker ended before it told how the board ended: why"),
    (attempt("interrupted", "Interrupted", block=0), VOID, "the board was interrupted after its first block: why"),
    (attempt("failed", "Interrupted", block=2), VOID, "the board was interrupted after its first block: why"),
    (attempt("interrupted", "Interrupted"), RELEASED, "why"),
    (attempt("failed", "ProtocolError", block=2), RELEASED, "why"),
])
def test_only_a_failure_seen_gives_a_value_back(ended, state, reason):
    assert settled_state(ended) == (state, reason)
