"""The types the parts of the tool share: a device, the image, a job and its attempts, how a run
ended and what a front end hears of it. Imports nothing of the tool, so that every part can."""
import dataclasses
import platform
import socket
from dataclasses import dataclass, field
from importlib import metadata
from typing import Any, Dict, Iterable, List, NamedTuple, Optional, Set, Union

KIB = 1024
SUCCESS = 0  # the exit code of a run in which nothing went wrong
SIGNAL_EXIT_BASE = 128  # a process ended by signal N exits with 128 + N, as shells report it
Record = Dict[str, Any]  # one attempt, as the report and the database keep it


@dataclass(frozen=True)
class Outcome:
    """How a device, the report or a whole run ended. The table of them is outcomes.OUTCOMES."""

    name: str
    exit_code: int
    help: str
    precedence: int  # among a run's outcomes, the lowest decides its exit code
    recorded: bool = False  # a result that an attempt's record may hold
    counted: bool = False  # a board that ends in it counts in the shift's yield, and the page counts it
    by_signal: bool = False  # ends the run with 128 + the number of the signal that stopped it

    @property
    def key(self) -> str:
        """Its name as a JSON key: the station's counters."""
        return self.name.replace(" ", "_")

    @property
    def css_class(self) -> str:
        """Its name as the page's class."""
        return self.name.replace(" ", "-")


def exit_code_of(outcomes: Iterable[Outcome], signum: Optional[int] = None) -> int:
    """The exit code of a run whose devices and report ended in `outcomes`; a run stopped by a
    signal exits with 128 + its number."""
    if signum is not None:
        return SIGNAL_EXIT_BASE + signum
    deciding = min(outcomes, key=lambda outcome: outcome.precedence, default=None)
    return deciding.exit_code if deciding is not None else SUCCESS


class DeviceKey(NamedTuple):
    """One device: its port, and its USB serial number where it has one."""

    port: str
    serial_number: Optional[str]


@dataclass(frozen=True)
class Device:
    """A matching port, as pyserial describes it."""

    device: str
    serial_number: Optional[str]
    location: Optional[str]
    description: str

    @property
    def key(self) -> DeviceKey:
        return DeviceKey(self.device, self.serial_number)


@dataclass(frozen=True)
class Image:
    """The image, read once: every attempt flashes exactly these bytes."""

    data: bytes
    name: str  # the absolute path of the file they came from, or what generated them


SerialValue = Union[int, str]  # a serial number as records show it: a number, or the text of list and ASCII values

# What became of a value issued to a board. It is reserved when the board's first attempt starts,
# and its retries keep it. It is used once the board is flashed, released (to be issued again) only
# when the tool saw the board fail for good, and void when how the board ended is unknown: a void
# value is never issued again.
RESERVED, USED, RELEASED, VOID = "reserved", "used", "released", "void"


@dataclass(frozen=True)
class Board:
    """Whom a value is issued to: the board on `port` at this station, in this process."""

    port: str
    serial_number: Optional[str]  # the USB serial number
    station: Optional[str]
    host: str
    pid: int


@dataclass(frozen=True)
class Issued:
    """A value reserved for one board: how its record shows it, and the bytes written into its
    image at `offset`."""

    value: SerialValue
    data: bytes
    offset: int
    ticket: Any = None  # the source's own handle on it, such as a row's id


class BoardData:
    """A source of per-board data: serial numbers, MAC addresses, keys. A run asks it for a board's
    value when the board's first attempt starts, and tells it how the board ended after its final
    attempt. Both are called from the run's thread, never at once."""

    def issue(self, board: Board) -> Optional[Issued]:
        """A value for `board`, reserved for it; None when there are no more."""
        raise NotImplementedError

    def settle(self, issued: Issued, state: str, record: Record) -> bool:
        """`issued` is now USED, RELEASED or VOID; `record` is the board's final attempt. True when
        the source kept the record with it (the database marks a value used in the same
        transaction), so that the run need not store the record again."""
        raise NotImplementedError

    def left(self) -> Optional[int]:
        """How many values are left to issue; None when it cannot tell."""
        return None

    def close(self) -> None:
        """Nothing more will be asked of it."""


class Numbers:
    """The values a built-in source issues, in order, and how each is written into an image. The
    database keeps which of them have been issued, under the pool's `name`."""

    name: str  # the same numbers on every station of a line have the same name

    def value(self, index: int) -> Optional[SerialValue]:
        """The value at `index` (from 0), as the database keeps it; None past the last."""
        raise NotImplementedError

    def count(self) -> int:
        """How many values there are in all."""
        raise NotImplementedError

    def issued(self, value: SerialValue, ticket: Any) -> Issued:
        """`value` as it is shown in records and written into an image."""
        raise NotImplementedError


@dataclass(frozen=True)
class Job:
    key: DeviceKey
    data: bytes = dataclasses.field(repr=False)  # the image, read once: every attempt flashes exactly these bytes
    image: str  # where they were read from, as records name it
    retries: int
    log: Optional[str]  # the module's lines are appended here
    wait: float  # seconds a retry waits for the device to come back, or its port to be free
    attempt: int = 1  # this attempt's number, set by the Scheduler
    attempts: int = 1  # of how many
    serial: Optional[Issued] = None  # the value reserved for this board, already placed in `data`

    @property
    def port(self) -> str:
        return self.key[0]


@dataclass(frozen=True)
class FlashResult:
    """A finished transfer. `device_sha256` is the digest of the image the device holds: block 0
    carries the image length in place of image bytes 6 to 9, so the device holds zeros there."""

    port: str
    serial_number: Optional[str]
    size: int
    blocks: int
    resends: int
    seconds: float
    file_sha256: str
    device_sha256: str
    run_acknowledged: bool
    note: Optional[str] = None  # how the port was opened, when it took more than asked

    @property
    def kib_per_second(self) -> float:
        return self.size / 1024 / self.seconds if self.seconds > 0 else 0.0



@dataclass(frozen=True)
class Attempt:
    """One attempt at one device: a result, or the error that ended it, and what is known of it."""

    port: str
    serial_number: Optional[str]
    result: str
    error: Optional[str] = None
    kind: str = ""  # the exception's class name, for deciding on another attempt
    flashed: Optional[FlashResult] = None
    attempt: int = 1
    attempts: int = 1
    started: float = 0.0  # seconds since the epoch
    seconds: float = 0.0  # how long it really took, failures included
    blocks: int = 0
    block: Optional[int] = None  # the block reached, or the one that failed; None before the first
    resends: int = 0
    image: str = ""  # absolute path of the image file
    size: int = 0  # of the bytes flashed
    file_sha256: str = ""  # of the bytes flashed
    device_sha256: Optional[str] = None  # only when the device received the whole image
    outcome: Optional[str] = None  # the error's outcome where it is not the result's: "usage" for no such port
    retryable: bool = False  # whether another attempt, from block 0 in a fresh worker, may succeed
    note: Optional[str] = None  # told to the person at the bench, not recorded: FlashResult.note
    serial: Optional[SerialValue] = None  # the value written into this board's image
    image_sha256: str = ""  # of the bytes this board was sent


@dataclass(frozen=True)
class Origin:
    """Where records come from: the same for every record of one run."""

    station: Optional[str] = None
    host: str = dataclasses.field(default_factory=socket.gethostname)
    tool_version: str = dataclasses.field(default_factory=lambda: metadata.version("downloader"))
    # The module is built and shipped with the tool, in the same distribution.
    module_version: str = dataclasses.field(default_factory=lambda: metadata.version("downloader"))
    python_version: str = dataclasses.field(default_factory=platform.python_version)
    job: Optional[str] = None  # the absolute path of the job file the run's settings came from
    job_sha256: Optional[str] = None  # of that file


class Callbacks:
    """What a front end hears of a run. Each method does nothing unless overridden."""

    def found(self, device: Device) -> None:
        """A device is about to be flashed."""

    def present(self, devices: List[Device]) -> None:
        """In station mode: the devices plugged in now, told whenever they change."""

    def progress(self, job: Job, done: int, blocks: int) -> None:
        """An attempt's transfer has reached `done` of `blocks` blocks."""

    def rated_progress(self, job: Job, done: int, blocks: int, kib_per_second: Optional[float]) -> None:
        """progress(), with the rate the attempt's worker measured over its transfer so far (None
        until it can tell). This is the one called; by default it calls progress(), so that a
        front end that shows no rate need not know of it."""
        self.progress(job, done, blocks)

    def attempt_ended(self, job: Job, attempt: Attempt, final: bool, recorded: Optional[bool]) -> None:
        """An attempt ended; `final` when no other follows. `recorded` is None without a
        report, False when the report could not take it."""

    def report_failed(self, reason: str) -> None:
        """The report cannot be written: no new device is started from here on."""

    def database_failed(self, reason: str) -> None:
        """The database cannot be written: no new device is started from here on. By default,
        report_failed(): to the person at the bench, the two are the same."""
        self.report_failed(reason)

    def unrecorded(self, values: Record) -> None:
        """A record the report could not take."""

    def serials_left(self, left: Optional[int]) -> None:
        """How many serial values are left to issue: told at the start and whenever it changes."""

    def ran_out(self, reason: str) -> None:
        """The serial values have run out: no new device is started from here on."""


@dataclass
class Summary:
    """How a run ended."""

    outcomes: Set[Outcome] = field(default_factory=set)
    signum: Optional[int] = None  # the signal that ended it
    report_error: Optional[str] = None
    unrecorded: int = 0  # attempts that are in no record

    def exit_code(self) -> int:
        """The code of the outcome that decides; 128 + the signal's number when a device in flight
        was interrupted by it."""
        interrupted = any(outcome.by_signal for outcome in self.outcomes)
        return exit_code_of(self.outcomes, self.signum if interrupted else None)
