"""--json: one JSON object per line on stdout, for a test executive instead of the text."""
import collections
import json
import sys
import time
from typing import IO, Any, Counter, Dict, List, Optional, Set, Tuple

from .model import Attempt, Callbacks, Device, DeviceKey, Job, Origin, Record, Summary
from .records import record, utc

PROGRESS_INTERVAL = 0.5  # seconds between progress events of one device


class Events(Callbacks):
    def __init__(self, origin: Origin, out: IO[str] = sys.stdout) -> None:
        self.origin, self.out = origin, out
        self.started: Set[Tuple[DeviceKey, int]] = set()  # attempts in flight that have said so
        self.last_progress: Dict[DeviceKey, float] = {}
        self.results: Counter[str] = collections.Counter()

    def emit(self, event: str, **values: Any) -> None:
        line = json.dumps({"event": event, "time": utc(time.time()), **values})
        self.out.write(line + "\n")
        self.out.flush()

    def found(self, device: Device) -> None:
        self.emit("device found", port=device.device, serial_number=device.serial_number)

    def attempt_started(self, key: DeviceKey, attempt: int, attempts: int) -> None:
        if (key, attempt) not in self.started:
            self.started.add((key, attempt))
            self.emit("attempt started", port=key.port, serial_number=key.serial_number, attempt=attempt,
                      attempts=attempts)

    def progress(self, job: Job, done: int, blocks: int) -> None:
        self.attempt_started(job.key, job.attempt, job.attempts)
        now = time.monotonic()
        if done < blocks and now - self.last_progress.get(job.key, 0.0) < PROGRESS_INTERVAL:
            return
        self.last_progress[job.key] = now
        self.emit("progress", port=job.port, serial_number=job.key.serial_number, attempt=job.attempt, done=done,
                  blocks=blocks)

    def attempt_ended(self, job: Job, attempt: Attempt, final: bool, recorded: Optional[bool]) -> None:
        key = job.key
        self.attempt_started(key, attempt.attempt, attempt.attempts)
        self.started.discard((key, attempt.attempt))
        self.last_progress.pop(key, None)
        if final:
            self.results[attempt.result] += 1
        self.emit("attempt ended", final=final, recorded=recorded, record=record(attempt, self.origin))

    def report_failed(self, reason: str) -> None:
        self.emit("report failed", error=reason)

    def ran_out(self, reason: str) -> None:
        self.emit("serial numbers ran out", error=reason)

    def unrecorded(self, values: Record) -> None:
        """Each attempt's record is in its "attempt ended" event already."""

    def summary(self, summary: Summary) -> None:
        self.emit("summary", exit_code=summary.exit_code(), results=dict(sorted(self.results.items())),
                  signal=summary.signum, report_error=summary.report_error, unrecorded=summary.unrecorded)


class Both(Callbacks):
    """Tells two front ends the same things."""

    def __init__(self, first: Callbacks, second: Callbacks) -> None:
        self.first, self.second = first, second

    def found(self, device: Device) -> None:
        self.first.found(device)
        self.second.found(device)

    def present(self, devices: List[Device]) -> None:
        self.first.present(devices)
        self.second.present(devices)

    def progress(self, job: Job, done: int, blocks: int) -> None:
        self.first.progress(job, done, blocks)
        self.second.progress(job, done, blocks)

    def rated_progress(self, job: Job, done: int, blocks: int, kib_per_second: Optional[float]) -> None:
        self.first.rated_progress(job, done, blocks, kib_per_second)
        self.second.rated_progress(job, done, blocks, kib_per_second)

    def attempt_ended(self, job: Job, attempt: Attempt, final: bool, recorded: Optional[bool]) -> None:
        self.first.attempt_ended(job, attempt, final, recorded)
        self.second.attempt_ended(job, attempt, final, recorded)

    def report_failed(self, reason: str) -> None:
        self.first.report_failed(reason)
        self.second.report_failed(reason)

    def database_failed(self, reason: str) -> None:
        self.first.database_failed(reason)
        self.second.database_failed(reason)

    def unrecorded(self, values: Record) -> None:
        self.first.unrecorded(values)
        self.second.unrecorded(values)

    def serials_left(self, left: Optional[int]) -> None:
        self.first.serials_left(left)
        self.second.serials_left(left)

    def ran_out(self, reason: str) -> None:
        self.first.ran_out(reason)
        self.second.ran_out(reason)
