"""One attempt at one device, as the scheduler runs it in a worker: the retry's wait for the
device to come back, the module's lines in the log, and the Attempt that describes it, whatever happened."""
import dataclasses
import hashlib
import os
import time
from typing import Optional

from downloader_wire import block_count

from .capture import TextSink
from .devices import locate
from .errors import NO_SUCH_PORT, FlashError, Interrupted, PortForbidden, PortUnavailable
from .files import device_sha256
from .flashing import ProgressCallback, flash
from .model import Attempt, Device, FlashResult, Job
from .outcomes import USAGE
from .records import FAILED, FLASHED, INTERRUPTED, NOT_ACKNOWLEDGED, utc

RETRY_POLL = 0.2  # seconds between looks for a device that is away or busy


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
            reason = f"{NO_SUCH_PORT}; the device did not come back within {job.wait:g} s"
            raise PortUnavailable(job.port, reason, USAGE)
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
    """What is known of an attempt at `job` before it starts, or of one that never does. The file's
    digest is that of the bytes sent until the run, which read the file, says otherwise."""
    sent = hashlib.sha256(job.data).hexdigest()
    return Attempt(job.port, job.key.serial_number, result, error, kind, attempt=job.attempt, attempts=job.attempts,
                   started=time.time(), blocks=block_count(len(job.data)), image=job.image, size=len(job.data),
                   file_sha256=sent, serial=job.serial.value if job.serial is not None else None, image_sha256=sent)


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
        flash_error = error if isinstance(error, FlashError) else None
        return dataclasses.replace(known, error=message, kind=type(error).__name__, seconds=time.monotonic() - clock,
                                   block=getattr(error, "block", None), resends=getattr(error, "resends", 0),
                                   note=getattr(error, "note", None),
                                   outcome=flash_error.outcome.name if flash_error else None,
                                   retryable=flash_error.retryable if flash_error else False)
    finally:
        if log is not None:
            log.close()
    problem = None if result.run_acknowledged else f"the device on {result.port} did not acknowledge the run command"
    return dataclasses.replace(known, port=result.port, result=FLASHED if result.run_acknowledged else NOT_ACKNOWLEDGED,
                               error=problem, flashed=result, seconds=time.monotonic() - clock, block=result.blocks,
                               resends=result.resends, device_sha256=result.device_sha256, note=result.note)
