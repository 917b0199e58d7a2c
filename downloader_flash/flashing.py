"""Flashing one device through the module: open, heartbeat, load, transfer, run, close."""
import contextlib
import dataclasses
import hashlib
import io
import os
import signal
import tempfile
import threading
from collections import deque
import time
from types import FrameType
from typing import TYPE_CHECKING, Any, Callable, Deque, Dict, Iterator, List, MutableSequence, Optional, Tuple, Union

import serial

import downloader
from downloader_wire import LARGEST_IMAGE, RUN, SMALLEST_IMAGE, block_count, device_image

from .capture import TextSink, captured_output
from .devices import (CONTROL_UNANSWERED, IGNORE_CONTROL, Device, connection_lost, find_devices, ignoring_control,
                      is_url, locate, port_present, socket_of, url_failure, why_unavailable)
from .errors import (IN_USE, NO_SUCH_PORT, BlockRejected, DeviceSilent, Disconnected, FlashError, FlashResult, ImageError, Interrupted,
                     NoDevice, NoReply, PortForbidden, PortInUse, PortUnavailable, SeveralDevices)
from .files import open_regular
from .records import FAILED, FLASHED, INTERRUPTED, NOT_ACKNOWLEDGED, Attempt, utc

if TYPE_CHECKING:
    from .parallel import Job

QUIET_SECONDS = 0.2  # silence on the line before a resend
RETRY_POLL = 0.2  # seconds between looks for a device that is away or busy

ImageSource = Union[str, "os.PathLike[str]", bytes]
# Called after each accepted block with (blocks done, blocks in the image).
ProgressCallback = Callable[[int, int], None]


def read_image(image: ImageSource) -> bytes:
    if isinstance(image, bytes):
        data, name = image, "the image"
    else:
        name = os.fspath(image)
        data = read_image_file(name)
    if not SMALLEST_IMAGE <= len(data) <= LARGEST_IMAGE:
        raise wrong_size(name, f"{len(data):,}")
    return data


def read_image_file(name: str) -> bytes:
    """The bytes of the regular file `name`. Its size is checked before it is read, and no more
    than LARGEST_IMAGE (the most blocks the 16-bit counter can number) is read in any case: a
    file that grows meanwhile cannot take the memory either."""
    try:
        with os.fdopen(open_regular(name, os.O_RDONLY), "rb") as handle:
            size = os.fstat(handle.fileno()).st_size
            if size > LARGEST_IMAGE:
                raise wrong_size(name, f"{size:,}")
            data = handle.read(LARGEST_IMAGE + 1)
    except OSError as error:
        raise ImageError(f"cannot read {name}: {error.strerror or error}") from None
    if len(data) > LARGEST_IMAGE:
        raise wrong_size(name, f"more than {LARGEST_IMAGE:,}")
    return data


def wrong_size(name: str, held: str) -> ImageError:
    return ImageError(f"{name} holds {held} bytes; an image holds {SMALLEST_IMAGE} to {LARGEST_IMAGE:,}")


class ModuleOutput(io.TextIOBase):
    """Takes the module's printed lines: copies them to the log, keeps the last few.

    For each block the module prints the block number and the raw reply, then on a rejection
    the reason (a packet error or the exception of a failed read) and "send wrong". Writing
    stays cheap, since it happens for every block; the reason is picked out only when asked for.
    """

    def __init__(self, log: Optional[TextSink]) -> None:
        super().__init__()
        self.log = log
        self.recent: Deque[str] = deque(maxlen=16)  # print() writes the text, then the newline

    def write(self, text: str) -> int:
        if self.log is not None:
            self.log.write(text)
        self.recent.append(text)
        return len(text)

    def writable(self) -> bool:
        return True

    @property
    def unanswered(self) -> bool:
        """Whether the device sent nothing back for the last block: the module prints the
        empty reply it read when the time-out ran out."""
        replies = [line for line in "".join(self.recent).split("\n") if line.startswith(("b'", 'b"'))]
        return bool(replies) and replies[-1] in ("b''", 'b""')

    @property
    def reason(self) -> str:
        """The module's last complaint since it printed the last block number."""
        found = ""
        for line in "".join(self.recent).split("\n"):
            if line.isdigit():
                found = ""
            elif line and line != "send wrong" and not line.startswith(("b'", 'b"')):
                found = line
        return found


class Transfer:
    """Where a transfer stands, so that an interruption can say so."""

    def __init__(self, port: str, blocks: int) -> None:
        self.port, self.blocks = port, blocks
        self.block: Optional[int] = None  # the block being sent; None before the first
        self.resends = 0
        self.note: Optional[str] = None  # what the person at the bench is told besides the outcome

    def check_line(self) -> None:
        """Waits for a quiet line, so that a late reply cannot answer the resend; raises
        Disconnected when the port has gone."""
        ser = downloader.ser
        try:
            last = time.monotonic()
            while time.monotonic() - last < QUIET_SECONDS:
                waiting = ser.in_waiting
                if waiting:
                    # read, not reset_input_buffer(): a socket whose other end has gone stays
                    # readable, and only a read says it is closed
                    ser.read(waiting)
                    last = time.monotonic()
                time.sleep(0.01)
        except (OSError, serial.SerialException):
            raise Disconnected(self.port, self.block or 0, self.blocks) from None
        if not port_present(self.port) or connection_lost(ser):
            raise Disconnected(self.port, self.block or 0, self.blocks)

    def send_blocks(self, retries: int, output: ModuleOutput, on_progress: Optional[ProgressCallback]) -> None:
        rejected = 0
        while True:
            self.block = downloader.Pcounter
            result = downloader.download()
            if result == 0:
                self.check_line()
                rejected += 1
                if rejected > retries:
                    if output.unanswered:
                        raise NoReply(self.port, self.block, rejected)
                    raise BlockRejected(self.port, self.block, rejected, output.reason)
                self.resends += 1
                continue
            rejected = 0
            if on_progress is not None:
                on_progress(self.block + 1, self.blocks)
            if result == 100:
                self.block = self.blocks
                return


def choose_port(port: Union[str, Device, None]) -> Tuple[str, Optional[str]]:
    """(device name, USB serial number) of the port to flash."""
    if isinstance(port, Device):
        return port.device, port.serial_number
    found = find_devices()
    if port is None:
        if not found:
            raise NoDevice()
        if len(found) > 1:
            raise SeveralDevices([device.device for device in found])
        return found[0].device, found[0].serial_number
    serial_number = next((device.serial_number for device in found if device.device == port), None)
    return port, serial_number


@contextlib.contextmanager
def module_port(port: str) -> Iterator[List[Exception]]:
    """For a URL, the module's `ser` replaced by pyserial's port for it, at the module's own
    settings; the module drives it unchanged. Put back afterwards: a host shares the module.
    Yields what the port's open() raises, which dev_open() takes for "did not open" and drops."""
    if not is_url(port):
        yield []
        return
    original = downloader.ser
    try:
        replacement = serial.serial_for_url(port, do_not_open=True)
    except (ValueError, serial.SerialException) as error:  # an unknown scheme, a malformed address
        raise PortUnavailable(port, str(error)) from None
    replacement.baudrate, replacement.timeout = original.baudrate, original.timeout
    downloader.ser = replacement
    try:
        yield open_errors(replacement)
    finally:
        downloader.ser = original


def open_errors(ser: serial.SerialBase) -> List[Exception]:
    """The exceptions that ser.open() raises from now on, kept as they pass."""
    raised: List[Exception] = []
    plain_open: Callable[[], None] = getattr(ser, "open")  # every port has it; SerialBase does not declare it

    def open_() -> None:
        try:
            plain_open()
        except Exception as error:
            raised.append(error)
            raise

    setattr(ser, "open", open_)
    return raised


@contextlib.contextmanager
def opened(port: str) -> Iterator[Optional[str]]:
    """The module's port, locked against other processes, open on `port` and closed afterwards;
    yields a note for the person at the bench when it took a second try.
    A port by URL cannot be locked: another client of the same server is not kept out."""
    if downloader.ser.is_open:
        downloader.dev_close()
    with module_port(port) as raised:
        downloader.ser.exclusive = True
        leftover = None
        try:
            note = open_module_port(port, raised)
            leftover = socket_of(downloader.ser)
            yield note
        finally:
            downloader.dev_close()
            if leftover is not None:
                leftover.close()


def module_open(port: str) -> bool:
    downloader.com = port
    with interruptions_held():
        return bool(downloader.dev_open())


def open_module_port(port: str, raised: List[Exception]) -> Optional[str]:
    """Opens the module's port; an RFC 2217 server that does not answer control settings (as
    ser2net on a pty does not) is tried once more without waiting for those answers."""
    started = time.monotonic()
    if module_open(port):
        return None
    waited = time.monotonic() - started
    retry = ignoring_control(port)
    if retry is None or not raised or CONTROL_UNANSWERED not in str(raised[-1]):
        raise unavailable(port, raised)
    if not module_open(retry):
        raise PortUnavailable(port, f"{url_failure(raised[0])}; with ?{IGNORE_CONTROL}: {url_failure(raised[-1])}")
    return (f"{port}: the server does not answer control settings (flow control, DTR, RTS); opened again "
            f"with ?{IGNORE_CONTROL}, which saves {waited:.1f} s when the URL carries it")


def unavailable(port: str, raised: List[Exception]) -> PortUnavailable:
    """Why the port did not open. A URL is not opened again to tell: its open() said it."""
    if is_url(port):
        return PortUnavailable(port, url_failure(raised[-1]) if raised else "it did not open")
    reason = why_unavailable(port) or "it did not open"
    if reason == IN_USE:
        return PortInUse(port)
    if reason.startswith("permission denied"):
        return PortForbidden(port, reason)
    return PortUnavailable(port, reason)


def in_main_thread() -> bool:
    """Only the main thread may set signal handlers, and only it receives them."""
    return threading.current_thread() is threading.main_thread()


@contextlib.contextmanager
def interruptions_held() -> Iterator[None]:
    """Ctrl-C, or a worker's stop request, arriving within is delivered on leaving.

    dev_open() reports any exception as a port that did not open, so a KeyboardInterrupt raised
    while pyserial opens the port would be reported as an unavailable port. Only handlers that
    Python runs are held; an ignored or default signal is left as it is.
    """
    if not in_main_thread():
        yield
        return
    held: List[int] = []
    previous: Dict[int, Callable[[int, Optional[FrameType]], Any]] = {}
    for signum in (signal.SIGINT, signal.SIGTERM):
        handler = signal.getsignal(signum)
        if callable(handler):
            previous[signum] = handler
            signal.signal(signum, lambda number, frame: held.append(number))
    try:
        yield
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)
        if held:
            previous[held[0]](held[0], None)


@contextlib.contextmanager
def loaded(image: ImageSource, data: bytes) -> Iterator[None]:
    """init() with the image file; bytes go through a temporary file, which init() needs."""
    with tempfile.TemporaryDirectory() as folder:
        if isinstance(image, bytes):
            path = os.path.join(folder, "image.bin")
            with open(path, "wb") as handle:
                handle.write(image)
        else:
            path = os.fspath(image)
        if not downloader.init(path) or downloader.res != data:
            raise ImageError(f"the image changed or could not be read: {path}")
        yield


def run_acknowledged() -> bool:
    """run(), validating its reply. The module sends run without checking the answer; its
    `send` is looked up by name, so a wrapper can check the reply of this one exchange."""
    original = downloader.send
    answers: List[bool] = []

    def send(out: MutableSequence[int], res: int) -> str:
        if out[0] != RUN:
            return original(out, res)
        result = original(out, 0)
        answers.append(result == "ok")
        return result

    setattr(downloader, "send", send)
    try:
        downloader.run()
    finally:
        setattr(downloader, "send", original)
    return answers == [True]


def flash(
    image: ImageSource,
    port: Union[str, Device, None] = None,
    *,
    retries: int = 3,
    on_progress: Optional[ProgressCallback] = None,
    log: Optional[TextSink] = None,
) -> FlashResult:
    """Flashes `image` (a file name or the bytes) to `port`, or to the only device found.

    A rejected block is resent up to `retries` times. `on_progress(done, blocks)` follows each
    accepted block; `log` receives the module's own lines, printed in this thread; other threads'
    output is left alone. Raises a FlashError, or Interrupted (a KeyboardInterrupt) on Ctrl-C.
    """
    data = read_image(image)
    name, serial_number = choose_port(port)
    transfer = Transfer(name, block_count(len(data)))
    output = ModuleOutput(log)
    try:
        with captured_output(output), opened(name) as transfer.note:
            # The heartbeat moves the packet counter, so it comes before init() resets it.
            if downloader.beat() != "beated":
                transfer.check_line()
                raise DeviceSilent(name)
            with loaded(image, data):
                started = time.perf_counter()
                transfer.send_blocks(retries, output, on_progress)
                acknowledged = run_acknowledged()
                seconds = time.perf_counter() - started
    except KeyboardInterrupt:
        raise Interrupted(transfer.block, transfer.blocks, transfer.resends) from None
    except FlashError as error:
        error.resends, error.note = transfer.resends, transfer.note
        raise
    return FlashResult(
        port=name,
        serial_number=serial_number,
        size=len(data),
        blocks=transfer.blocks,
        resends=transfer.resends,
        seconds=seconds,
        file_sha256=hashlib.sha256(data).hexdigest(),
        device_sha256=device_sha256(data),
        run_acknowledged=acknowledged,
        note=transfer.note,
    )


class TimedLog:
    """The module's lines for --log, each with the time and the port. Each line is one write()
    to a file opened for appending, so several workers share the file without mixing lines."""

    def __init__(self, path: str, port: str) -> None:
        self.fd = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
        self.port, self.partial = port, ""

    def write(self, text: str) -> int:
        *lines, self.partial = (self.partial + text).split("\n")
        for line in lines:
            os.write(self.fd, f"{utc(time.time())} {self.port}: {line}\n".encode("utf-8"))
        return len(text)

    def close(self) -> None:
        os.close(self.fd)


def found_again(job: "Job", deadline: float) -> str:
    """The port of a device that went away, once it is back; PortUnavailable when the wait runs out."""
    while True:
        port = locate(job.key)
        if port is not None:
            return port
        if time.monotonic() >= deadline:
            raise PortUnavailable(job.port, f"{NO_SUCH_PORT}; the device did not come back within {job.wait:g} s")
        time.sleep(RETRY_POLL)


def flash_job(job: "Job", on_progress: Optional[ProgressCallback], log: Optional[TextSink]) -> FlashResult:
    """One attempt at the device of `job`. A retry waits up to `job.wait` seconds for the device
    to come back, found by its serial number, and for its port to be free."""
    deadline = time.monotonic() + job.wait
    while True:
        port = job.port if job.attempt == 1 else found_again(job, deadline)
        try:
            return flash(job.data, Device(port, job.key.serial_number, None, ""), retries=job.retries,
                         on_progress=on_progress, log=log)
        except PortUnavailable as error:
            if job.attempt == 1 or isinstance(error, PortForbidden) or time.monotonic() >= deadline:
                raise
        time.sleep(RETRY_POLL)


def unstarted(job: "Job", result: str = FAILED, error: Optional[str] = None, kind: str = "") -> Attempt:
    """What is known of an attempt at `job` before it starts, or of one that never does."""
    return Attempt(job.port, job.key.serial_number, result, error, kind, attempt=job.attempt, attempts=job.attempts,
                   started=time.time(), blocks=block_count(len(job.data)), image=job.image, size=len(job.data),
                   file_sha256=hashlib.sha256(job.data).hexdigest())


def attempt_job(job: "Job", on_progress: Optional[ProgressCallback]) -> Attempt:
    """Runs one attempt and describes it; never raises but for a fault of this program."""
    known = unstarted(job)
    clock = time.monotonic()
    log = None
    try:
        log = TimedLog(job.log, job.port) if job.log is not None else None
        result = flash_job(job, on_progress, log)
    except KeyboardInterrupt as interruption:  # Interrupted, or a stop while waiting for the device
        stop = interruption if isinstance(interruption, Interrupted) else Interrupted(None, known.blocks)
        whole = stop.block is not None and stop.block >= stop.blocks
        return dataclasses.replace(known, result=INTERRUPTED, error=str(stop), kind=type(stop).__name__,
                                   seconds=time.monotonic() - clock, block=stop.block, resends=stop.resends,
                                   device_sha256=device_sha256(job.data) if whole else None)
    except Exception as error:  # a FlashError, or a fault of this program: still one line, never a traceback
        message = str(error) if isinstance(error, FlashError) else f"{type(error).__name__}: {error}"
        return dataclasses.replace(known, error=message, kind=type(error).__name__, seconds=time.monotonic() - clock,
                                   block=getattr(error, "block", None), resends=getattr(error, "resends", 0),
                                   note=getattr(error, "note", None))
    finally:
        if log is not None:
            log.close()
    problem = None if result.run_acknowledged else f"the device on {result.port} did not acknowledge the run command"
    return dataclasses.replace(known, port=result.port, result=FLASHED if result.run_acknowledged else NOT_ACKNOWLEDGED,
                               error=problem, flashed=result, seconds=time.monotonic() - clock, block=result.blocks,
                               resends=result.resends, device_sha256=result.device_sha256, note=result.note)


def device_sha256(image: bytes) -> str:
    return hashlib.sha256(device_image(image)).hexdigest()
