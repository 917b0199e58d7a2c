"""What a person sees: bars while devices are flashed, a line per finished device, the table.

Results go to `out` (stdout, or stderr when --json has stdout), failures to stderr; with -q
only failures are shown. Every line, cell and label is printed through printable(): serial
numbers and descriptions come from the device, and must not move the operator's terminal.

The bars are tqdm's, and so is the one writer of every line, which clears them and draws them
again below it: tqdm is needed already, where rich, which could do the same, would be one more
dependency for a few lines of bars.
"""
import contextlib
import io
import json
import shutil
import sys
import threading
import time
from typing import IO, Any, Dict, List, MutableMapping, Optional, Sequence, Tuple

from tqdm import tqdm

from downloader_wire import BLOCK_SIZE

from .devices import port_order
from .errors import plural
from .model import Attempt, Callbacks, DeviceKey, Image, Job, Record
from .records import FLASHED
from .settings import Settings

PROG = "downloader-flash"
WIDEST = 80  # columns, whatever the terminal's width
BAR_FORMAT = "{desc}: {percentage:3.0f}%|{bar}| {n:.1f}/{total:.1f} KiB [{elapsed}<{remaining}, {rate_fmt}]"
NARROW_BAR_FORMAT = "{desc} {percentage:3.0f}%|{bar}|"
REDRAW_INTERVAL = 0.1  # seconds
NARROW = 64  # columns below which a bar leaves out sizes and times
TABLE_HEADER = ("port", "serial number", "result", "blocks", "resends", "seconds", "KiB/s")
SERIAL_COLUMN = "serial written"  # with serial numbers: the value written into the board's image
RIGHT_ALIGNED = ("blocks", "resends", "seconds", "KiB/s")
# Which columns go first when the table is too wide, and which are shortened after that.
DROPPED_FIRST = ("KiB/s", "seconds", "resends", "blocks")
SHORTENED = ("serial number", "port")


def printable(text: str) -> str:
    """`text` with what a terminal would act on (control characters, C1 and escape sequences,
    bidirectional overrides) shown as escapes instead, as \\x1b or \\u202e."""
    if text.isprintable():
        return text
    return "".join(character if character.isprintable() else escaped(character) for character in text)


def escaped(character: str) -> str:
    code = ord(character)
    return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}" if code < 0x10000 else f"\\U{code:08x}"


VALUE_INDENT = "  "  # a digest under its label


def width() -> int:
    return min(WIDEST, shutil.get_terminal_size((WIDEST, 24)).columns)


def table(rows: Sequence[Sequence[str]], right: Sequence[int] = ()) -> str:
    rows = [[printable(cell) for cell in row] for row in rows]
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    cells = (
        "  ".join(cell.rjust(size) if i in right else cell.ljust(size) for i, (cell, size) in enumerate(zip(row, widths)))
        for row in rows
    )
    return "\n".join(line.rstrip() for line in cells)


def shorten(text: str, size: int) -> str:
    return text if len(text) <= size else text[:max(1, size - 1)] + "…"


def fitted(rows: List[Tuple[str, ...]], columns: int) -> str:
    """The table within `columns`: columns dropped, then cells shortened, never wrapped."""
    header = list(rows[0])
    body = [list(row) for row in rows]

    def render() -> str:
        return table(body, right=[i for i, name in enumerate(header) if name in RIGHT_ALIGNED])

    def too_wide() -> bool:
        return max(len(line) for line in render().splitlines()) > columns

    for name in DROPPED_FIRST:
        if not too_wide():
            break
        index = header.index(name)
        del header[index]
        for row in body:
            del row[index]
    for name in SHORTENED:
        index = header.index(name)
        while too_wide() and max(len(row[index]) for row in body) > 4:
            size = max(len(row[index]) for row in body) - 1
            for row in body:
                row[index] = shorten(row[index], size)
    return "\n".join(line[:columns] for line in render().splitlines())


def about(port: str, message: Optional[str]) -> str:
    """The message, naming the port unless it does already."""
    return str(message) if port in str(message) else f"{port}: {message}"


def describe(attempt: Attempt) -> str:
    return attempt.port if attempt.serial_number is None else f"{attempt.port} (serial {attempt.serial_number})"


def summary(attempt: Attempt) -> str:
    result = attempt.flashed
    assert result is not None
    started = "run acknowledged" if result.run_acknowledged else "run NOT acknowledged"
    return (f"{plural(result.size, 'byte')} in {plural(result.blocks, 'block')}, {plural(result.resends, 'resend')}, "
            f"{result.seconds:.2f} s, {result.kib_per_second:,.1f} KiB/s; {started}"
            + ("" if attempt.serial is None else f"; serial {attempt.serial} written"))


def row(attempt: Attempt, serialized: bool = False) -> Tuple[str, ...]:
    flashed = attempt.flashed
    cells = (attempt.port, attempt.serial_number or "-", attempt.result, f"{flashed.blocks:,}" if flashed else "-",
             str(attempt.resends), f"{attempt.seconds:.2f}" if flashed else "-",
             f"{flashed.kib_per_second:,.1f}" if flashed else "-")
    return with_serial(cells, "-" if attempt.serial is None else str(attempt.serial), serialized)


def with_serial(cells: Tuple[str, ...], serial: str, serialized: bool) -> Tuple[str, ...]:
    """A row of the table, with the serial number written after the result when there is one."""
    return cells[:3] + (serial,) + cells[3:] if serialized else cells


Row = Tuple[str, float, float, Optional[float]]  # a bar's label, KiB done, when it started, KiB/s


class Bar(tqdm):  # type: ignore[type-arg]
    """A line of the block of bars. The block keeps its bars in port order by changing which row
    each line shows, so a line is drawn from its row, at the rate the device's worker measured:
    timed here, progress that arrives in bursts would show a rate many times the real one."""

    monitor_interval = 0  # nothing to watch for: every draw is asked for

    def __init__(self, stream: IO[str], position: int, total_kib: float, row: Row) -> None:
        self.row = row  # read by the first draw, within tqdm's constructor
        super().__init__(total=total_kib, file=stream, position=position, leave=False, ascii=False, unit="KiB")

    def display(self, msg: Optional[str] = None, pos: Optional[int] = None) -> Any:  # bool, None in older stubs
        shown = super().display(msg, pos)
        # Back to the first column: what the terminal echoes (^C) overwrites the block's first
        # characters until they are drawn again, and never wraps onto the block's next line.
        self.fp.write("\r")  # tqdm's wrapper of the stream: a closed one, or a hung-up terminal, is let be
        self.fp.flush()
        return shown

    @property
    def format_dict(self) -> MutableMapping[str, Any]:
        label, kib, started, rate = self.row
        columns = width() - 1  # a full last column would leave the cursor waiting to wrap
        bar_format = BAR_FORMAT if columns >= NARROW else NARROW_BAR_FORMAT
        # A rate of 0 is shown as unknown, "?"; None would have tqdm time the bar itself.
        return {**super().format_dict, "n": kib, "prefix": label, "elapsed": time.monotonic() - started,
                "rate": rate or 0, "ncols": columns, "bar_format": bar_format}


# Held while the bars are drawn or a line is written. One process draws the bars, so a thread
# lock is all they need: tqdm's default would make a semaphore for processes too.
DRAWING = threading.RLock()
Bar.set_lock(DRAWING)


def show(text: str, stream: IO[str]) -> None:
    """Every line the command prints goes here: while bars are drawn, tqdm clears them, the line
    is written, and they are drawn again below it, whichever thread says it. A line for a pipe or
    a file lands elsewhere than the bars, and leaves them be."""
    with Bar.external_write_mode(file=stream) if stream.isatty() else contextlib.nullcontext():
        stream.write(text + "\n")
        stream.flush()


def say(message: str) -> None:
    show(f"{PROG}: {printable(message)}", sys.stderr)


class ShownLines(io.StringIO):
    """A stream for a writer of whole lines (--json's events), each of which goes through show()."""

    def __init__(self, stream: IO[str]) -> None:
        super().__init__()
        self.stream = stream

    def write(self, text: str) -> int:
        for line in text.splitlines():
            show(line, self.stream)
        return len(text)


class Bars:
    """One bar per device, in port order, in a block of lines below everything else: a line is
    printed above the block, through show()."""

    def __init__(self, stream: IO[str], total_kib: float) -> None:
        self.stream, self.total = stream, total_kib
        self.enabled = stream.isatty()
        self.rows: Dict[DeviceKey, Row] = {}
        self.lines: List[Bar] = []  # on the screen, top down
        self.last_draw = 0.0

    def __bool__(self) -> bool:
        return bool(self.rows)

    def update(self, key: DeviceKey, label: str, kib: float, kib_per_second: Optional[float]) -> None:
        """The bar of `key` at `kib`, at the rate its worker measured."""
        if not self.enabled:
            return
        started = self.rows[key][2] if key in self.rows else time.monotonic()
        self.rows[key] = (printable(label), kib, started, kib_per_second)
        if time.monotonic() - self.last_draw >= REDRAW_INTERVAL or kib >= self.total:
            self.draw()

    def remove(self, key: DeviceKey) -> None:
        if self.rows.pop(key, None) is not None:
            self.draw()

    def close(self) -> None:
        self.rows.clear()
        self.draw()

    def draw(self) -> None:
        rows = [row for _, row in sorted(self.rows.items(), key=lambda item: port_order(item[0].port))]
        with DRAWING:
            while len(self.lines) > len(rows):
                self.lines.pop().close()  # which clears its line
            for line, row in zip(self.lines, rows):
                line.row = row
                line.refresh()
            for position in range(len(self.lines), len(rows)):
                self.lines.append(Bar(self.stream, position, self.total, rows[position]))
        self.last_draw = time.monotonic()


class Screen(Callbacks):
    """Bars in port order while devices are flashed; then a line per device, or the table."""

    def __init__(self, settings: Settings, image: Image, out: IO[str]) -> None:
        self.settings, self.out = settings, out
        self.size = len(image.data)
        self.bars = Bars(sys.stderr, self.size / 1024)
        self.final: Dict[DeviceKey, Attempt] = {}  # for the table, so not in station mode

    def rated_progress(self, job: Job, done: int, blocks: int, kib_per_second: Optional[float]) -> None:
        if not self.settings.quiet:
            label = job.port if job.key.serial_number is None else f"{job.port} {job.key.serial_number}"
            self.bars.update(job.key, label, min(done * BLOCK_SIZE, self.size) / 1024, kib_per_second)

    def close_bars(self) -> None:
        self.bars.close()

    def attempt_ended(self, job: Job, attempt: Attempt, final: bool, recorded: Optional[bool]) -> None:
        key = job.key
        self.bars.remove(key)
        if attempt.note is not None:
            self.failure(f"{PROG}: {attempt.note}")
        if not final:
            self.failure(f"{about(attempt.port, attempt.error)}; flashing it again from block 0")
        elif self.settings.watch:
            self.device_line(attempt)
        elif self.settings.all:
            self.final[key] = attempt
        else:
            self.single(attempt)

    def report_failed(self, reason: str) -> None:
        self.failure(f"{PROG}: {reason}; no new device is started, and outcomes are printed here")

    def ran_out(self, reason: str) -> None:
        self.failure(f"{PROG}: {reason}")

    def unrecorded(self, values: Record) -> None:
        self.failure(f"{PROG}: not recorded: {json.dumps(values)}")

    def write(self, line: str, stream: IO[str]) -> None:
        show(printable(line), stream)

    def failure(self, line: str) -> None:
        self.write(line, sys.stderr)

    def result(self, line: str) -> None:
        if not self.settings.quiet:
            self.write(line, self.out)

    def device_line(self, attempt: Attempt) -> None:
        if attempt.flashed is not None and attempt.result == FLASHED:
            self.result(f"{describe(attempt)}: flashed, {summary(attempt)}")
        else:
            self.failure(f"{describe(attempt)}: {attempt.error}")

    def single(self, attempt: Attempt) -> None:
        if attempt.result != FLASHED:
            say(str(attempt.error))
        if attempt.flashed is not None:
            self.result(f"flashed {describe(attempt)}: {summary(attempt)}")
            self.digests(attempt)

    def digests(self, attempt: Attempt) -> None:
        self.labelled("  sha256 of the image as the device holds it:", str(attempt.device_sha256))
        if self.settings.verbose:
            self.labelled("  sha256 of the file (bytes 6 to 9 differ: block 0 carries the length there):",
                          attempt.file_sha256)

    def labelled(self, label: str, value: str) -> None:
        """On one line where it fits the terminal, else the value under the label, in as many
        equal pieces as a narrow terminal needs, so that the terminal never wraps it."""
        columns = width()
        if len(label) + 1 + len(value) <= columns or not self.out.isatty():
            self.result(f"{label} {value}")
            return
        self.result(label)
        pieces = 1
        while len(VALUE_INDENT) + -(-len(value) // pieces) > columns and pieces < len(value):
            pieces *= 2
        size = -(-len(value) // pieces)
        for start in range(0, len(value), size):
            self.result(f"{VALUE_INDENT}{value[start:start + size]}")

    def summary_table(self) -> None:
        """The table, in port order, once every bar is closed and cleared; failures under it, on stderr."""
        self.close_bars()
        attempts = [self.final[key] for key in sorted(self.final, key=lambda key: port_order(key.port))]
        if attempts and not self.settings.quiet:
            serialized = any(attempt.serial is not None for attempt in attempts)
            rows = [with_serial(TABLE_HEADER, SERIAL_COLUMN, serialized)] + [row(a, serialized) for a in attempts]
            show(fitted(rows, width()), self.out)
        for attempt in attempts:
            if attempt.result != FLASHED:
                self.failure(about(attempt.port, attempt.error))
        # With serial numbers each board holds its own image: its digest is in its record.
        transferred = [attempt for attempt in attempts if attempt.flashed is not None and attempt.serial is None]
        if transferred:
            self.digests(transferred[0])
