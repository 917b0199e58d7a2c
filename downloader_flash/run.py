"""Flashing several devices at once, for any front end: the jobs for the scheduler, the records and
the outcomes of one run. `flash_all()` flashes the devices it is given and tells the front end
through its Callbacks; it never prints.

With per-board data (`serials`, a BoardData), each board's first attempt is given its own value,
written into the image it is sent; after its final attempt the source is told how the board ended.
Records go to the report and, when there is one, to the line's database (`store`)."""
import dataclasses
import hashlib
import os
from typing import Callable, Iterable, List, Optional, Sequence, Set

from .attempts import unstarted
from .hotplug import Waker
from .model import (Attempt, Board, BoardData, Callbacks, Device, DeviceKey, Image, Issued, Job, Origin, Outcome,
                    Record, Summary)
from .outcomes import BY_NAME, OUT_OF_SERIALS, REPORT_UNWRITABLE, USAGE
from .records import FAILED, Report, ReportUnwritable, record
from .scheduler import POLL_INTERVAL, Scheduler
from .serials import place, settled_state
from .settings import Settings
from .store import Store, StoreUnwritable

NOT_STARTED = "NotStarted"  # the kind of error of a device that was waiting when the run stopped starting them
RAN_OUT = "the serial numbers have run out: the devices in flight finish, and no new one is started"
REPORT, DATABASE = "report", "database"  # where records are kept


class StationEnded(Exception):
    """Raised from the station's poll to end it when it starts no more devices and nothing is in flight."""


class Run:
    """One run of several devices: jobs for the scheduler, records, outcomes."""

    def __init__(self, settings: Settings, image: Image, callbacks: Callbacks, report: Optional[Report],
                 origin: Optional[Origin], most_at_once: int, spares: int = 0, serials: Optional[BoardData] = None,
                 store: Optional[Store] = None) -> None:
        self.settings, self.image, self.callbacks, self.report = settings, image, callbacks, report
        self.serials, self.store = serials, store
        self.origin = origin or Origin(station=settings.station)
        self.file_sha256 = hashlib.sha256(image.data).hexdigest()
        self.summary = Summary()
        self.failed: Set[str] = set()  # REPORT and DATABASE, once they could not be written
        self.out_of_serials = False
        self.opened: Set[DeviceKey] = set()  # devices some attempt found, until their final attempt
        self.on_final: Callable[[DeviceKey], None] = lambda key: None
        self.scheduler = Scheduler(settings.jobs or most_at_once, settings.attempts, callbacks.rated_progress,
                                   self.ended, spares, admit=self.admit)

    @property
    def starting(self) -> bool:
        """Whether new devices may still be started: not once a record could not be kept, nor once
        the serial numbers have run out."""
        return self.summary.report_error is None and not self.out_of_serials

    def add(self, device: Device) -> None:
        self.callbacks.found(device)
        self.scheduler.add(Job(device.key, self.image.data, self.image.name, self.settings.retries,
                               self.settings.log, self.settings.wait))

    def admit(self, job: Job) -> Optional[Job]:
        """The job with its board's own value written into its image; None when it is not to start."""
        if self.serials is None:
            return job
        board = Board(job.port, job.key.serial_number, self.origin.station, self.origin.host, os.getpid())
        try:
            issued = self.serials.issue(board)
        except StoreUnwritable as error:
            self.cannot_keep(DATABASE, str(error))
            self.not_started(job, "not started: the database cannot be written")
            return None
        if issued is None:
            self.ran_out(job)
            return None
        self.tell_left()
        return dataclasses.replace(job, data=place(job.data, issued), serial=issued)

    def ended(self, job: Job, attempt: Attempt, final: bool) -> None:
        if job.serial is not None:  # the record names the file's bytes, not those with the serial written in
            attempt = dataclasses.replace(attempt, file_sha256=self.file_sha256)
        recorded = self.record(job, attempt, final)
        if attempt.outcome != USAGE.name:
            self.opened.add(job.key)
        if final:
            self.summary.outcomes.add(self.outcome(job.key, attempt))
            self.opened.discard(job.key)
            self.on_final(job.key)
        self.callbacks.attempt_ended(job, attempt, final, recorded)

    def outcome(self, key: DeviceKey, attempt: Attempt) -> Outcome:
        """A port that never existed is a selection error, not a failed device."""
        if attempt.result == FAILED and key not in self.opened:
            return USAGE
        return BY_NAME[attempt.result]

    def record(self, job: Job, attempt: Attempt, final: bool) -> Optional[bool]:
        """Keeps the attempt's record wherever records go; the board's value is settled with its
        final attempt, in the database's same transaction. None when records go nowhere, False
        when somewhere could not take it (it is then printed)."""
        values = record(attempt, self.origin)
        in_database = None if self.store is None else False
        if final and job.serial is not None:
            settled = self.settle(job.serial, attempt, values)
            in_database = bool(settled) if self.store is not None else None
        if self.store is not None and not in_database:
            store = self.store
            in_database = self.keep(DATABASE, lambda: store.record(values))
        in_report = None
        if self.report is not None:
            report = self.report
            in_report = self.keep(REPORT, lambda: report.append(values))
        kept = [taken for taken in (in_database, in_report) if taken is not None]
        if all(kept):
            return True if kept else None
        self.summary.unrecorded += 1
        self.callbacks.unrecorded(values)
        return False

    def settle(self, issued: Issued, attempt: Attempt, values: Record) -> Optional[bool]:
        """Tells the source how the board ended: True when it kept the record with it, None when
        it could not be told (the database has failed: the value stays reserved, never issued again)."""
        assert self.serials is not None
        if DATABASE in self.failed:
            return None
        try:
            kept = self.serials.settle(issued, settled_state(attempt)[0], values)
        except StoreUnwritable as error:
            self.cannot_keep(DATABASE, str(error))
            return None
        self.tell_left()
        return kept

    def keep(self, where: str, write: Callable[[], None]) -> bool:
        """Runs `write` unless `where` has failed already; False when it cannot be written."""
        if where in self.failed:
            return False
        try:
            write()
            return True
        except (ReportUnwritable, StoreUnwritable) as error:
            self.cannot_keep(where, str(error))
            return False

    def tell_left(self) -> None:
        assert self.serials is not None
        if DATABASE in self.failed:
            return
        try:
            left = self.serials.left()
        except StoreUnwritable as error:
            self.cannot_keep(DATABASE, str(error))
            return
        self.callbacks.serials_left(left)

    def cannot_keep(self, where: str, reason: str) -> None:
        """The report or the database cannot be written: no new device is started."""
        self.failed.add(where)
        self.summary.report_error = self.summary.report_error or reason
        self.summary.outcomes.add(REPORT_UNWRITABLE)
        (self.callbacks.database_failed if where == DATABASE else self.callbacks.report_failed)(reason)
        self.end_queued(f"not started: the {where} cannot be written")

    def ran_out(self, job: Job) -> None:
        """The serial numbers have run out at `job`: it and the devices waiting are not started."""
        if not self.out_of_serials:
            self.out_of_serials = True
            self.summary.outcomes.add(OUT_OF_SERIALS)
            self.callbacks.ran_out(RAN_OUT)
        self.not_started(job, "not started: the serial numbers have run out")
        self.end_queued("not started: the serial numbers have run out")

    def end_queued(self, why: str) -> None:
        not_started = list(self.scheduler.queued)
        self.scheduler.queued.clear()
        for job in not_started:
            self.not_started(job, why)

    def not_started(self, job: Job, why: str) -> None:
        self.ended(job, unstarted(job, FAILED, why, NOT_STARTED), True)

    def run(self, poll: Optional[Callable[[], None]] = None, period: float = POLL_INTERVAL,
            wakers: Sequence[Waker] = ()) -> Summary:
        if self.serials is not None:
            self.tell_left()
        try:
            # The number of the signal that stopped the scheduler, or None when its work ran out.
            self.summary.signum = self.scheduler.run(poll, period, wakers)
        except StationEnded:
            pass
        return self.summary


def flash_all(settings: Settings, image: Image, devices: Iterable[Device], callbacks: Optional[Callbacks] = None,
              report: Optional[Report] = None, origin: Optional[Origin] = None, serials: Optional[BoardData] = None,
              store: Optional[Store] = None) -> Summary:
    """Flashes every device at once (at most settings.jobs at a time), each up to
    settings.attempts times, until all have ended or a signal stops them. With `serials`, each
    board is sent its own value; with `store`, every record goes to the line's database too."""
    chosen: List[Device] = list(devices)
    run = Run(settings, image, callbacks or Callbacks(), report, origin, max(1, len(chosen)), serials=serials,
              store=store)
    for device in chosen:
        run.add(device)
    return run.run()
