"""Flashing one device through the module: open, heartbeat, load, transfer, run, close."""
import contextlib
import hashlib
import io
import os
import tempfile
import time
from collections import deque
from typing import Callable, Deque, Iterator, List, MutableSequence, Optional, Union

import serial

import downloader
from downloader_wire import RUN, block_count

from .capture import TextSink, captured_output
from .devices import connection_lost, port_present
from .errors import BlockRejected, DeviceSilent, Disconnected, FlashError, ImageError, Interrupted, NoReply
from .files import ImageSource, device_sha256, read_image
from .model import Device, FlashResult
from .ports import choose_port, opened

QUIET_SECONDS = 0.2  # silence on the line before a resend

# Called after each accepted block with (blocks done, blocks in the image).
ProgressCallback = Callable[[int, int], None]


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
