"""What a flash ends in: the result of a good one, the exceptions of a bad one."""
from dataclasses import dataclass
from typing import List, Optional

from downloader_wire import PRODUCT_ID, VENDOR_ID

from .outcomes import FAILED, FLASHED, INTERRUPTED, NOT_ACKNOWLEDGED, USAGE

EXIT_OK = FLASHED.exit_code
EXIT_FAILED = FAILED.exit_code
EXIT_USAGE = USAGE.exit_code
EXIT_NOT_ACKNOWLEDGED = NOT_ACKNOWLEDGED.exit_code
EXIT_INTERRUPTED = INTERRUPTED.exit_code

READ_TIMEOUT = 1  # seconds the module's port waits for a reply


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


def plural(count: int, noun: str) -> str:
    """'1 block', '3,125 blocks'."""
    return f"{count:,} {noun}" if count == 1 else f"{count:,} {noun}s"


class FlashError(Exception):
    """A flash that did not happen or did not finish; str() is one line for the person at the bench."""

    exit_code = EXIT_FAILED
    resends = 0  # blocks resent before it happened
    block: Optional[int] = None  # the failing block, where there is one
    note: Optional[str] = None  # as FlashResult.note


class UsageError(FlashError):
    """The command line or the choice of device does not say what to flash."""

    exit_code = EXIT_USAGE


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
    """A port that would not open. One that does not exist is a selection error: nothing matched."""

    def __init__(self, port: str, reason: str) -> None:
        super().__init__(f"cannot open {port}: {reason}")
        self.port, self.reason = port, reason
        if reason == NO_SUCH_PORT:
            self.exit_code = EXIT_USAGE


class PortInUse(PortUnavailable):
    def __init__(self, port: str) -> None:
        super().__init__(port, IN_USE)


class PortForbidden(PortUnavailable):
    """No access to the device node: waiting does not help, so it is not tried again."""


class DeviceSilent(FlashError):
    def __init__(self, port: str) -> None:
        super().__init__(f"the device on {port} does not answer the heartbeat")
        self.port = port


class Disconnected(FlashError):
    def __init__(self, port: str, block: int, blocks: int) -> None:
        super().__init__(f"device on {port} disconnected at block {block:,} of {blocks:,}")
        self.port, self.block, self.blocks = port, block, blocks


class BlockRejected(FlashError):
    def __init__(self, port: str, block: int, times: int, reason: str) -> None:
        super().__init__(
            f"device on {port} rejected block {block:,}, {plural(times, 'time')}; giving up"
            + (f" (last: {reason})" if reason else "")
        )
        self.port, self.block, self.times, self.reason = port, block, times, reason


class NoReply(FlashError):
    """The device sent nothing back for a block: it did not reject it, it did not answer."""

    def __init__(self, port: str, block: int, times: int) -> None:
        super().__init__(
            f"the device on {port} does not answer block {block:,} within the read time-out "
            f"({READ_TIMEOUT} s), {plural(times, 'time')}; giving up"
        )
        self.port, self.block, self.times = port, block, times


class Interrupted(KeyboardInterrupt):
    """Ctrl-C, or a stop, during a flash. A KeyboardInterrupt, not a FlashError, so that a host
    loop's `except FlashError` lets it through and the host stops."""

    exit_code = EXIT_INTERRUPTED

    def __init__(self, block: Optional[int], blocks: int, resends: int = 0) -> None:
        if block is None:
            message = "interrupted before the first block; the device is unchanged"
        elif block >= blocks:
            message = "interrupted after the last block; the image was not started"
        else:
            message = f"interrupted at block {block:,} of {blocks:,}; the device holds a partial image"
        super().__init__(message)
        self.block, self.blocks, self.resends = block, blocks, resends


# Failures after which another attempt, from block 0 in a fresh worker, may succeed: the device
# went away (and may come back, perhaps on another port), was busy, or gave up on a block.
RETRYABLE = frozenset({Disconnected.__name__, BlockRejected.__name__, DeviceSilent.__name__, NoReply.__name__,
                       PortUnavailable.__name__, PortInUse.__name__})
