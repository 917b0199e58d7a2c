"""Flashing one device through the module: open, heartbeat, load, transfer, run, close."""
import contextlib
import hashlib
import io
import os
import signal
import tempfile
import threading
from collections import deque
import time
from types import FrameType
from typing import Any, Callable, Deque, Dict, Iterator, List, MutableSequence, Optional, Protocol, TextIO, Tuple, Union, cast

import serial

import downloader
from downloader_wire import LARGEST_IMAGE, RUN, SMALLEST_IMAGE, block_count, device_image

from .devices import Device, find_devices, why_unavailable
from .errors import (BlockRejected, DeviceSilent, Disconnected, FlashError, FlashResult, ImageError, Interrupted, NoDevice,
                     PortInUse, PortUnavailable, SeveralDevices)

QUIET_SECONDS = 0.2  # silence on the line before a resend

ImageSource = Union[str, "os.PathLike[str]", bytes]
# Called after each accepted block with (blocks done, blocks in the image).
ProgressCallback = Callable[[int, int], None]


class TextSink(Protocol):
    """Where the module's lines go: a text file, or anything with write(str)."""

    def write(self, text: str) -> int: ...


def read_image(image: ImageSource) -> bytes:
    if isinstance(image, bytes):
        data, name = image, "the image"
    else:
        name = os.fspath(image)
        try:
            with open(name, "rb") as handle:
                data = handle.read()
        except OSError as error:
            raise ImageError(f"cannot read {name}: {error.strerror or error}") from None
    if not SMALLEST_IMAGE <= len(data) <= LARGEST_IMAGE:
        raise ImageError(f"{name} holds {len(data):,} bytes; an image holds {SMALLEST_IMAGE} to {LARGEST_IMAGE:,}")
    return data


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

    def check_line(self) -> None:
        """Waits for a quiet line, so that a late reply cannot answer the resend; raises
        Disconnected when the port has gone."""
        ser = downloader.ser
        try:
            last = time.monotonic()
            while time.monotonic() - last < QUIET_SECONDS:
                if ser.in_waiting:
                    ser.reset_input_buffer()
                    last = time.monotonic()
                time.sleep(0.01)
        except (OSError, serial.SerialException):
            raise Disconnected(self.port, self.block or 0, self.blocks) from None
        if not os.path.exists(self.port):
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
def opened(port: str) -> Iterator[None]:
    """The module's port, locked against other processes, open on `port` and closed afterwards."""
    if downloader.ser.is_open:
        downloader.dev_close()
    downloader.ser.exclusive = True
    downloader.com = port
    try:
        with interruptions_held():
            is_open = downloader.dev_open()
        if not is_open:
            reason = why_unavailable(port) or "it did not open"
            raise PortInUse(port) if reason == "in use by another process" else PortUnavailable(port, reason)
        yield
    finally:
        downloader.dev_close()


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
    accepted block; `log` receives the module's own lines. Raises a FlashError.
    """
    data = read_image(image)
    name, serial_number = choose_port(port)
    transfer = Transfer(name, block_count(len(data)))
    output = ModuleOutput(log)
    try:
        # print() needs only write(); older typeshed asks redirect_stdout for a full TextIO.
        with contextlib.redirect_stdout(cast(TextIO, output)), opened(name):
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
        raise Interrupted(transfer.block, transfer.blocks) from None
    except FlashError as error:
        error.resends = transfer.resends
        raise
    return FlashResult(
        port=name,
        serial_number=serial_number,
        size=len(data),
        blocks=transfer.blocks,
        resends=transfer.resends,
        seconds=seconds,
        file_sha256=hashlib.sha256(data).hexdigest(),
        device_sha256=hashlib.sha256(device_image(data)).hexdigest(),
        run_acknowledged=acknowledged,
    )
