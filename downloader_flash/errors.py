"""What a flash ends in: the result of a good one, the exceptions of a bad one, the exit codes."""
from dataclasses import dataclass
from typing import List, Optional

# Exit codes of downloader-flash, the one place they are defined.
EXIT_OK = 0  # every device flashed and acknowledged the start of its image
EXIT_FAILED = 1  # a device failed
EXIT_USAGE = 2  # usage or selection error
EXIT_NOT_ACKNOWLEDGED = 3  # flashed, but a device did not acknowledge the run command
EXIT_INTERRUPTED = 130  # interrupted with Ctrl-C

EXIT_CODES_HELP = """exit codes:
  0    every device flashed and acknowledged the start of its image
  1    a device failed
  2    usage or selection error
  3    flashed, but a device did not acknowledge the run command
  130  interrupted"""


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


class UsageError(FlashError):
    """The command line or the choice of device does not say what to flash."""

    exit_code = EXIT_USAGE


class ImageError(UsageError):
    """The image file cannot be read or cannot be flashed."""


class NoDevice(UsageError):
    def __init__(self) -> None:
        super().__init__("no device found (USB vendor 0x19F5, product 0x5740)")


class SeveralDevices(UsageError):
    def __init__(self, ports: List[str]) -> None:
        super().__init__(
            f"{len(ports)} devices found ({', '.join(ports)}); choose one with --port or "
            "--serial-number, or flash them all with --all"
        )
        self.ports = ports


class PortUnavailable(FlashError):
    def __init__(self, port: str, reason: str) -> None:
        super().__init__(f"cannot open {port}: {reason}")
        self.port, self.reason = port, reason


class PortInUse(PortUnavailable):
    def __init__(self, port: str) -> None:
        super().__init__(port, "in use by another process")


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


class Interrupted(FlashError):
    exit_code = EXIT_INTERRUPTED

    def __init__(self, block: Optional[int], blocks: int) -> None:
        if block is None:
            message = "interrupted before the first block; the device is unchanged"
        elif block >= blocks:
            message = "interrupted after the last block; the image was not started"
        else:
            message = f"interrupted at block {block:,} of {blocks:,}; the device holds a partial image"
        super().__init__(message)
        self.block, self.blocks = block, blocks


# Failures after which another attempt, from block 0 in a fresh worker, may succeed: the names of
# their classes, as an attempt records its error's kind.
RETRYABLE = frozenset({Disconnected.__name__, BlockRejected.__name__, DeviceSilent.__name__})
