"""What a person sees: bars while devices are flashed, a line per finished device, the table.

Results go to `out` (stdout, or stderr when --json has stdout), failures to stderr; with -q
only failures are shown.
"""
import json
import shutil
import sys
from typing import IO, Any, Dict, List, Optional, Sequence, Tuple

from tqdm import tqdm

from .devices import Device, DeviceKey, port_order
from .errors import plural
from .flashing import BLOCK_SIZE
from .records import FLASHED, Attempt, Record
from .settings import Settings
from .station import Callbacks, Image
from .workers import Job

PROG = "downloader-flash"
WIDEST = 80  # columns, whatever the terminal's width
BAR_FORMAT = "{desc}: {percentage:3.0f}%|{bar}| {n:.1f}/{total:.1f} KiB [{elapsed}<{remaining}, {rate_fmt}]"
NARROW_BAR_FORMAT = "{desc} {percentage:3.0f}%|{bar}|"
NARROW = 64  # columns below which a bar leaves out sizes and times
TABLE_HEADER = ("port", "serial number", "result", "blocks", "resends", "seconds", "KiB/s")
RIGHT_ALIGNED = ("blocks", "resends", "seconds", "KiB/s")
# Which columns go first when the table is too wide, and which are shortened after that.
DROPPED_FIRST = ("KiB/s", "seconds", "resends", "blocks")
SHORTENED = ("serial number", "port")


def say(message: str) -> None:
    print(f"{PROG}: {message}", file=sys.stderr, flush=True)


def width() -> int:
    return min(WIDEST, shutil.get_terminal_size((WIDEST, 24)).columns)


def table(rows: Sequence[Sequence[str]], right: Sequence[int] = ()) -> str:
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
            f"{result.seconds:.2f} s, {result.kib_per_second:,.1f} KiB/s; {started}")


def row(attempt: Attempt) -> Tuple[str, ...]:
    flashed = attempt.flashed
    return (attempt.port, attempt.serial_number or "-", attempt.result, f"{flashed.blocks:,}" if flashed else "-",
            str(attempt.resends), f"{attempt.seconds:.2f}" if flashed else "-",
            f"{flashed.kib_per_second:,.1f}" if flashed else "-")


class Screen(Callbacks):
    """Bars in port order while devices are flashed; then a line per device, or the table."""

    def __init__(self, settings: Settings, image: Image, out: IO[str]) -> None:
        self.settings, self.out = settings, out
        self.size = len(image.data)
        self.bars: Dict[DeviceKey, "tqdm[Any]"] = {}
        self.lines: Dict[DeviceKey, int] = {}  # the screen line of each bar
        self.order: List[DeviceKey] = []  # devices of this run, in port order, for the bars' lines
        self.final: Dict[DeviceKey, Attempt] = {}  # for the table, so not in station mode

    def found(self, device: Device) -> None:
        if not self.settings.watch:
            self.order = sorted(self.order + [device.key], key=lambda key: port_order(key.port))

    def line_for(self, key: DeviceKey) -> int:
        if key in self.order:
            return self.order.index(key)
        # A station runs for hours: a new bar takes the first line that no bar holds.
        return min(set(range(len(self.lines) + 1)) - set(self.lines.values()))

    def progress(self, job: Job, done: int, blocks: int) -> None:
        if self.settings.quiet:
            return
        bar = self.bars.get(job.key)
        if bar is None:
            columns = width()
            label = job.port if job.key.serial_number is None else f"{job.port} {job.key.serial_number}"
            line = self.line_for(job.key)
            bar = tqdm(total=self.size / 1024, unit="KiB", desc=label, position=line, leave=False, disable=None,
                       ncols=columns, bar_format=BAR_FORMAT if columns >= NARROW else NARROW_BAR_FORMAT)
            self.bars[job.key], self.lines[job.key] = bar, line
        bar.update(min(done * BLOCK_SIZE, self.size) / 1024 - bar.n)

    def close_bar(self, key: DeviceKey) -> None:
        bar = self.bars.pop(key, None)
        if bar is not None:
            bar.close()
            del self.lines[key]

    def close_bars(self) -> None:
        for key in list(self.bars):
            self.close_bar(key)

    def attempt_ended(self, job: Job, attempt: Attempt, final: bool, recorded: Optional[bool]) -> None:
        key = job.key
        self.close_bar(key)
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

    def unrecorded(self, values: Record) -> None:
        self.failure(f"{PROG}: not recorded: {json.dumps(values)}")

    def write(self, line: str, stream: IO[str]) -> None:
        if self.bars:
            tqdm.write(line, file=stream)
        else:
            print(line, file=stream, flush=True)

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
        self.result(f"  sha256 of the image as the device holds it: {attempt.device_sha256}")
        if self.settings.verbose:
            self.result(f"  sha256 of the file (bytes 6 to 9 differ: block 0 carries the length there): "
                        f"{attempt.file_sha256}")

    def summary_table(self) -> None:
        """The table, in port order, once every bar is closed and cleared; failures under it, on stderr."""
        self.close_bars()
        attempts = [self.final[key] for key in sorted(self.final, key=lambda key: port_order(key.port))]
        if attempts and not self.settings.quiet:
            print(fitted([TABLE_HEADER] + [row(attempt) for attempt in attempts], width()), file=self.out, flush=True)
        for attempt in attempts:
            if attempt.result != FLASHED:
                self.failure(about(attempt.port, attempt.error))
        transferred = [attempt for attempt in attempts if attempt.flashed is not None]
        if transferred:
            self.digests(transferred[0])
