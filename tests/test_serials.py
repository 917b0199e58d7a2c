import pytest

from downloader_flash.model import RELEASED, USED, VOID, Attempt, Issued
from downloader_flash.serials import (Range, SerialFormat, ValueList, field_problem, place, settled_state,
                                      whole_number)


@pytest.mark.parametrize("text, number, data, shown", [
    ("u16le", 0x1234, b"\x34\x12", 0x1234),
    ("u16be", 0x1234, b"\x12\x34", 0x1234),
    ("u32le", 1042, b"\x12\x04\x00\x00", 1042),
    ("u64be", 2 ** 64 - 1, b"\xff" * 8, 2 ** 64 - 1),
    ("dec:8", 1042, b"00001042", "00001042"),
    ("hex:4", 0xBEEF, b"beef", "beef"),
    ("hex:64", 16 ** 64 - 1, b"f" * 64, "f" * 64),
])
def test_a_format_writes_and_shows_a_number(text, number, data, shown):
    serial_format = SerialFormat(text)
    assert (serial_format.encode(number), serial_format.shown(number), serial_format.size) == (data, shown, len(data))


UNKNOWN = "one of u16le, u16be, u32le, u32be, u64le, u64be, dec:W, hex:W"
DEC3 = SerialFormat("dec:3")


@pytest.mark.parametrize("make, message", [
    (lambda: SerialFormat("u16le").encode(65536), "65536 does not fit u16le, whose largest value is 65535"),
    (lambda: SerialFormat("u32be").encode(-1), "-1 is negative"),
    (lambda: SerialFormat("u8"), f"unknown serial format 'u8': {UNKNOWN}"),
    (lambda: SerialFormat("DEC:4"), f"unknown serial format 'DEC:4': {UNKNOWN}"),
    (lambda: SerialFormat("dec:0"), "serial format dec:0: the width is 1 to 64 digits"),
    (lambda: SerialFormat("hex:65"), "serial format hex:65: the width is 1 to 64 digits"),
    (lambda: Range(-1, 1, None, DEC3, 16), "the serial start must be a whole number of 0 or more, not -1"),
    (lambda: Range(1.5, 1, None, DEC3, 16), "the serial start must be a whole number of 0 or more, not 1.5"),
    (lambda: Range(True, 1, None, DEC3, 16), "the serial start must be a whole number of 0 or more, not True"),
    (lambda: Range(1, 0, None, DEC3, 16), "the serial step must be 1 or more"),
    (lambda: Range(100, 1, 99, DEC3, 16), "the serial end 99 is below its start 100"),
    (lambda: Range(1, 1, 1000, DEC3, 16), "the serial end: 1000 does not fit dec:3, whose largest value is 999"),
    (lambda: whole_number("1.5", "--serial-start"), "--serial-start takes a whole number of 0 or more, not '1.5'"),
    (lambda: whole_number("-3", "--serial-step"), "--serial-step takes a whole number of 0 or more, not '-3'"),
])
def test_a_number_or_range_that_cannot_be_written_is_refused(make, message):
    with pytest.raises(ValueError) as raised:
        make()
    assert str(raised.value) == message


def test_a_range_runs_from_its_start_by_its_step_to_the_largest_value_by_default():
    numbers = Range(65530, 2, None, SerialFormat("u16le"), 16)
    assert (numbers.count(), numbers.value(0), numbers.value(2), numbers.value(3)) == (3, 65530, 65534, None)
    assert numbers.name == "range 65530 step 2" == Range(65530, 2, 65532, SerialFormat("u16le"), 16).name
    assert numbers.issued("65532", "65532") == Issued(65532, b"\xfc\xff", 16, "65532")


@pytest.mark.parametrize("offset, size, problem", [
    (2, 4, None),
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
    (b"A1\nA2\nA1\n", "the serial list {} holds 'A1' twice: two boards would get one number"),
    (b"\n \n", "the serial list {} holds no values"),
    (b"A1\n A2\n", "the serial list {}: the value ' A2' has a space at an end"),
    (b"A" * 65, "the serial list {}: the value '" + "A" * 65 + "' is longer than 64 characters"),
    ("A1\nB\u00e9\n".encode(), "the serial list {}, line 2: a value is printable ASCII only"),
    (None, "cannot read the serial list {}: it is a directory, not a regular file"),
])
def test_a_list_that_would_mislead_or_cannot_be_read_is_refused(tmp_path, content, message):
    path = tmp_path / "serials.txt"
    path.mkdir() if content is None else path.write_bytes(content)
    with pytest.raises(ValueError) as raised:
        ValueList.read(str(path), 16)
    assert str(raised.value) == message.format(path)


def attempt(result, kind="", block=None, device_sha256=None):
    return Attempt("/dev/ttyACM0", None, result, None if result == "flashed" else "why", kind, block=block,
                   device_sha256=device_sha256)


@pytest.mark.parametrize("ended, state, reason", [
    (attempt("flashed", block=3, device_sha256="0" * 64), USED, None),
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
