"""What a flash that fails ends in: the exceptions, each carrying its outcome as data."""
from typing import List, Optional

from downloader_wire import PRODUCT_ID, VENDOR_ID

from .model import Outcome
from .outcomes import FAILED, INTERRUPTED, USAGE

READ_TIMEOUT = 1  # seconds the module's port waits for a reply


def plural(count: int, noun: str) -> str:
    """'1 block', '3,125 blocks'."""
    return f"{count:,} {noun}" if count == 1 else f"{count:,} {noun}s"


class FlashError(Exception):
    """A flash that did not happen or did not finish; str() is one line for the person at the bench."""

    outcome: Outcome = FAILED
    retryable = False  # whether another attempt, from block 0 in a fresh worker, may succeed
    resends = 0  # blocks resent before it happened
    block: Optional[int] = None  # the failing block, where there is one
    note: Optional[str] = None  # as FlashResult.note

    @property
    def exit_code(self) -> int:
        return self.outcome.exit_code


class UsageError(FlashError):
    """The command line or the choice of device does not say what to flash."""

    outcome = USAGE


class ImageError(UsageError):
    """The image file cannot be read or cannot be flashed."""


class NoDevice(UsageError):
    def __init__(self) -> None:
        super().__init__(f"no device found (USB vendor 0x{VENDOR_ID:04X}, product 0x{PRODUCT_ID:04X})")


class SeveralDevices(UsageError):
    def __init__(self, ports: List[str]) -> None:
        super().__init__(
            f"{len(ports)} devices found ({', '.join(ports)}); choose one with --port or "
            "--serial-number, or flash them all with --all"
        )
        self.ports = ports


class UnknownSerialNumber(UsageError):
    def __init__(self, serial_number: str) -> None:
        super().__init__(f"no device has the serial number {serial_number}")


NO_SUCH_PORT = "no such port"
IN_USE = "in use by another process"


class PortUnavailable(FlashError):
    """A port that would not open, perhaps for a moment. One that does not exist is a selection
    error: nothing matched."""

    retryable = True

    def __init__(self, port: str, reason: str, outcome: Optional[Outcome] = None) -> None:
        super().__init__(f"cannot open {port}: {reason}")
        self.port, self.reason = port, reason
        self.outcome = outcome or (USAGE if reason == NO_SUCH_PORT else FAILED)


class PortInUse(PortUnavailable):
    def __init__(self, port: str) -> None:
        super().__init__(port, IN_USE)


class PortForbidden(PortUnavailable):
    """No access to the device node: waiting does not help, so it is not tried again."""

    retryable = False


# The failures below may pass: the device went away (and may come back, perhaps on another port)
# or gave up on a block.
class DeviceSilent(FlashError):
    retryable = True

    def __init__(self, port: str) -> None:
        super().__init__(f"the device on {port} does not answer the heartbeat")
        self.port = port


class Disconnected(FlashError):
    retryable = True

    def __init__(self, port: str, block: int, blocks: int) -> None:
        super().__init__(f"device on {port} disconnected at block {block:,} of {blocks:,}")
        self.port, self.block, self.blocks = port, block, blocks


class BlockRejected(FlashError):
    retryable = True

    def __init__(self, port: str, block: int, times: int, reason: str) -> None:
        super().__init__(
            f"device on {port} rejected block {block:,}, {plural(times, 'time')}; giving up"
            + (f" (last: {reason})" if reason else "")
        )
        self.port, self.block, self.times, self.reason = port, block, times, reason


class NoReply(FlashError):
    """The device sent nothing back for a block: it did not reject it, it did not answer."""

    retryable = True

    def __init__(self, port: str, block: int, times: int) -> None:
        super().__init__(
            f"the device on {port} does not answer block {block:,} within the read time-out "
            f"({READ_TIMEOUT} s), {plural(times, 'time')}; giving up"
        )
        self.port, self.block, self.times = port, block, times


class Interrupted(KeyboardInterrupt):
    """Ctrl-C, or a stop, during a flash. A KeyboardInterrupt, not a FlashError, so that a host
    loop's `except FlashError` lets it through and the host stops."""

    outcome = INTERRUPTED
    exit_code = INTERRUPTED.exit_code

    def __init__(self, block: Optional[int], blocks: int, resends: int = 0) -> None:
        if block is None:
            message = "interrupted before the first block; the device is unchanged"
        elif block >= blocks:
            message = "interrupted after the last block; the image was not started"
        else:
            message = f"interrupted at block {block:,} of {blocks:,}; the device holds a partial image"
        super().__init__(message)
        self.block, self.blocks, self.resends = block, blocks, resends
