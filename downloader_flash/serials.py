"""Serial numbers: how a value is written into an image (its format), the values a run issues (a
range, or a list read from a file), where in the image the field may lie, and what became of a
board's value once its final attempt ended. Errors a user can cause are ValueError, one line."""
import hashlib
import os
import re
from typing import Any, Dict, List, Literal, Optional, Tuple

from downloader_wire import LENGTH_FIELD

from .files import open_regular
from .model import RELEASED, USED, VOID, Attempt, Issued, Numbers, Record, SerialValue
from .outcomes import FLASHED, INTERRUPTED, NOT_ACKNOWLEDGED

BINARY_FORMATS: Dict[str, Tuple[int, Literal["little", "big"]]] = {
    f"u{bits}{order}": (bits // 8, "little" if order == "le" else "big")
    for bits in (16, 32, 64) for order in ("le", "be")}
TEXT_BASES = {"dec": (10, "d"), "hex": (16, "x")}  # hex digits in lower case
WIDEST_TEXT = 64  # digits of an ASCII format, and characters of a list's value
TEXT_FORMAT = re.compile(r"(dec|hex):([0-9]+)")
FORMAT_NAMES = ", ".join([*BINARY_FORMATS, "dec:W", "hex:W"])
LIST_CHARACTERS = re.compile(r"[\x20-\x7e]+")  # printable ASCII

USED_RESULTS = (FLASHED.name, NOT_ACKNOWLEDGED.name)
WORKER_DIED, INTERRUPTION = "WorkerDied", "Interrupted"  # kinds of error


class SerialFormat:
    """How a number is written into an image: `u16le` to `u64be` (binary, that many bits, in
    that byte order), `dec:W` (ASCII decimal, zero-padded to W digits) or `hex:W` (W hex digits)."""

    def __init__(self, text: str) -> None:
        self.text = text
        if text in BINARY_FORMATS:
            self.size, self.byte_order = BINARY_FORMATS[text]
            self.base: Optional[int] = None
            self.largest = 256 ** self.size - 1
            return
        match = TEXT_FORMAT.fullmatch(text)
        if match is None:
            raise ValueError(f"unknown serial format {text!r}: one of {FORMAT_NAMES}")
        self.size = int(match.group(2))
        if not 1 <= self.size <= WIDEST_TEXT:
            raise ValueError(f"serial format {text}: the width is 1 to {WIDEST_TEXT} digits")
        self.base, self.spec = TEXT_BASES[match.group(1)]
        self.largest = self.base ** self.size - 1

    def __repr__(self) -> str:
        return f"SerialFormat({self.text!r})"

    @property
    def binary(self) -> bool:
        return self.base is None

    def misfit(self, number: int) -> Optional[str]:
        """Why `number` cannot be written in this format; None when it can."""
        if number < 0:
            return f"{number} is negative"
        if number > self.largest:
            return f"{number} does not fit {self.text}, whose largest value is {self.largest}"
        return None

    def encode(self, number: int) -> bytes:
        problem = self.misfit(number)
        if problem is not None:
            raise ValueError(problem)
        if self.binary:
            return number.to_bytes(self.size, self.byte_order)
        return format(number, f"0{self.size}{self.spec}").encode("ascii")

    def shown(self, number: int) -> SerialValue:
        """`number` as a record shows it: the number itself, or the text an ASCII format writes."""
        return number if self.binary else self.encode(number).decode("ascii")


def whole_number(text: str, what: str) -> int:
    """`text` as a whole number of 0 or more, in decimal or, after 0x, in hex, for the option `what`:
    offsets and serial numbers."""
    digits = text.strip()
    if re.fullmatch(r"0[xX][0-9a-fA-F]+", digits):
        return int(digits, 16)
    if not re.fullmatch(r"[0-9]+", digits):
        raise ValueError(f"{what} takes a whole number of 0 or more, not {text!r}")
    return int(digits)


class Range(Numbers):
    """start, start + step, ... up to end inclusive (without an end, the largest value the format
    holds), written in `format` at `offset`. The pool's name leaves the end out, so that a longer
    range goes on where a shorter one with the same start and step stopped."""

    def __init__(self, start: int, step: int, end: Optional[int], format: SerialFormat, offset: int) -> None:
        self.format = format
        self.end = format.largest if end is None else end
        for what, number in (("start", start), ("step", step), ("end", self.end)):
            if isinstance(number, bool) or not isinstance(number, int) or number < 0:
                raise ValueError(f"the serial {what} must be a whole number of 0 or more, not {number!r}")
        if step < 1:
            raise ValueError("the serial step must be 1 or more")
        for what, number in (("start", start), ("end", self.end)):
            problem = format.misfit(number)
            if problem is not None:
                raise ValueError(f"the serial {what}: {problem}")
        if self.end < start:
            raise ValueError(f"the serial end {self.end} is below its start {start}")
        self.start, self.step, self.offset = start, step, offset
        self.name = f"range {start} step {step}"
        self.size = format.size

    def __repr__(self) -> str:
        return f"Range({self.start}, {self.step}, {self.end}, {self.format!r}, {self.offset})"

    def value(self, index: int) -> Optional[SerialValue]:
        number = self.start + index * self.step
        return number if number <= self.end else None

    def count(self) -> int:
        return (self.end - self.start) // self.step + 1

    def holds(self, key: str) -> bool:
        """Whether the value the database keys as `key` is one of these: a number given back by a
        run with a later end is not, in a run that ends sooner."""
        number = int(key)
        return self.start <= number <= self.end and (number - self.start) % self.step == 0

    def issued(self, value: SerialValue, ticket: Any) -> Issued:
        number = int(value)  # the database keeps it as text
        return Issued(self.format.shown(number), self.format.encode(number), self.offset, ticket)


class ValueList(Numbers):
    """Values given one by one, in order, each written as its ASCII bytes at `offset`. The pool's
    name is the digest of the values, so that every station given the same list shares it."""

    def __init__(self, values: List[str], offset: int, source: str = "the serial list") -> None:
        if not values:
            raise ValueError(f"{source} holds no values")
        for value in values:
            problem = value_problem(value)
            if problem is not None:
                raise ValueError(f"{source}: the value {value!r} {problem}")
        repeated = first_repeated(values)
        if repeated is not None:
            raise ValueError(f"{source} holds {repeated!r} twice: two boards would get one number")
        self.values, self.offset = list(values), offset
        self.name = "list " + hashlib.sha256("\n".join(values).encode("ascii")).hexdigest()
        self.size = max(len(value) for value in values)  # the widest field a value takes

    @classmethod
    def read(cls, path: str, offset: int) -> "ValueList":
        """The values of the file at `path`: one a line, blank lines skipped."""
        try:
            with os.fdopen(open_regular(path, os.O_RDONLY), "rb") as handle:
                data = handle.read()
        except OSError as error:
            raise ValueError(f"cannot read the serial list {path}: {error.strerror or error}") from None
        values = []
        for number, line in enumerate(data.split(b"\n"), 1):
            line = line[:-1] if line.endswith(b"\r") else line  # a list written on Windows
            if not line.strip(b" "):
                continue
            if not LIST_CHARACTERS.fullmatch(line.decode("latin-1")):
                raise ValueError(f"the serial list {path}, line {number}: a value is printable ASCII only")
            values.append(line.decode("ascii"))
        return cls(values, offset, f"the serial list {path}")

    def __repr__(self) -> str:
        return f"ValueList({len(self.values)} values, {self.offset})"

    def value(self, index: int) -> Optional[SerialValue]:
        return self.values[index] if index < len(self.values) else None

    def count(self) -> int:
        return len(self.values)

    def holds(self, key: str) -> bool:
        return key in self.values

    def issued(self, value: SerialValue, ticket: Any) -> Issued:
        text = str(value)
        return Issued(text, text.encode("ascii"), self.offset, ticket)


def value_problem(value: str) -> Optional[str]:
    if not LIST_CHARACTERS.fullmatch(value) or not value.isascii():
        return "is not printable ASCII"
    if value != value.strip(" "):
        return "has a space at an end"
    if len(value) > WIDEST_TEXT:
        return f"is longer than {WIDEST_TEXT} characters"
    return None


def first_repeated(values: List[str]) -> Optional[str]:
    seen = set()
    for value in values:
        if value in seen:
            return value
        seen.add(value)
    return None


def field_problem(offset: int, size: int, image_size: int) -> Optional[str]:
    """Why a field of `size` bytes at `offset` cannot hold a serial number in an image of
    `image_size` bytes; None when it can. Block 0 replaces the length field with the image's length."""
    where = f"the serial field at offset {offset} ({size} bytes)"
    if offset < 0 or offset + size > image_size:
        return f"{where} does not lie inside the image of {image_size:,} bytes"
    if offset < LENGTH_FIELD.stop and LENGTH_FIELD.start < offset + size:
        return (f"{where} touches bytes {LENGTH_FIELD.start}-{LENGTH_FIELD.stop - 1}, which carry the image's "
                f"length (the image is {image_size:,} bytes)")
    return None


def place(data: bytes, issued: Issued) -> bytes:
    """The image `data` with `issued`'s bytes written at its offset."""
    end = issued.offset + len(issued.data)
    problem = field_problem(issued.offset, len(issued.data), len(data))
    if problem is not None:
        raise ValueError(problem)
    return data[:issued.offset] + issued.data + data[end:]


def settled_state(attempt: Attempt) -> Tuple[str, Optional[str]]:
    """What becomes of a board's value after its final attempt, and why. Only a failure the tool
    saw gives the value back; where how the board ended is unknown, the value is void."""
    return settlement(attempt.result, attempt.kind, attempt.block, attempt.device_sha256, attempt.error)


def recorded_state(record: Record) -> Tuple[str, Optional[str]]:
    """settled_state() of the attempt that `record` describes."""
    return settlement(record["result"], record.get("error_kind") or "", record.get("block"),
                      record.get("device_sha256"), record.get("error"))


def settlement(result: str, kind: str, block: Optional[int], device_sha256: Optional[str],
               error: Optional[str]) -> Tuple[str, Optional[str]]:
    if result in USED_RESULTS:
        return USED, None
    if device_sha256 is not None:
        return VOID, f"the device received the whole image, but the attempt ended {result}: {error}"
    if kind == WORKER_DIED:
        return VOID, f"the worker ended before it told how the board ended: {error}"
    if (result == INTERRUPTED.name or kind == INTERRUPTION) and block is not None:
        return VOID, f"the board was interrupted after its first block: {error}"
    return RELEASED, error
