"""Flashing several devices at once, for any front end: the jobs for the scheduler, the records and
the outcomes of one run. `flash_all()` flashes the devices it is given and tells the front end
through its Callbacks; it never prints."""
from typing import Callable, Iterable, List, Optional, Sequence, Set

from .attempts import unstarted
from .hotplug import Waker
from .model import Attempt, Callbacks, Device, DeviceKey, Image, Job, Origin, Outcome, Summary
from .outcomes import BY_NAME, REPORT_UNWRITABLE, USAGE
from .records import FAILED, Report, ReportUnwritable, record
from .scheduler import POLL_INTERVAL, Scheduler
from .settings import Settings


class StationEnded(Exception):
    """Raised from the station's poll to end it when the report has failed and nothing is in flight."""


class Run:
    """One run of several devices: jobs for the scheduler, records, outcomes."""

    def __init__(self, settings: Settings, image: Image, callbacks: Callbacks, report: Optional[Report],
                 origin: Optional[Origin], most_at_once: int, spares: int = 0) -> None:
        self.settings, self.image, self.callbacks, self.report = settings, image, callbacks, report
        self.origin = origin or Origin(station=settings.station)
        self.summary = Summary()
        self.opened: Set[DeviceKey] = set()  # devices some attempt found, until their final attempt
        self.on_final: Callable[[DeviceKey], None] = lambda key: None
        self.scheduler = Scheduler(settings.jobs or most_at_once, settings.attempts, callbacks.rated_progress,
                                   self.ended, spares)

    def add(self, device: Device) -> None:
        self.callbacks.found(device)
        self.scheduler.add(Job(device.key, self.image.data, self.image.name, self.settings.retries,
                               self.settings.log, self.settings.wait))

    def ended(self, job: Job, attempt: Attempt, final: bool) -> None:
        recorded = self.record(attempt)
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

    def record(self, attempt: Attempt) -> Optional[bool]:
        if self.report is None:
            return None
        if self.summary.report_error is None:
            try:
                self.report.append(record(attempt, self.origin))
                return True
            except ReportUnwritable as error:
                self.report_failed(str(error))
        self.summary.unrecorded += 1
        self.callbacks.unrecorded(record(attempt, self.origin))
        return False

    def report_failed(self, reason: str) -> None:
        self.summary.report_error = reason
        self.summary.outcomes.add(REPORT_UNWRITABLE)
        self.callbacks.report_failed(reason)
        not_started = list(self.scheduler.queued)
        self.scheduler.queued.clear()
        for job in not_started:
            self.ended(job, unstarted(job, FAILED, "not started: the report cannot be written", "NotStarted"), True)

    def run(self, poll: Optional[Callable[[], None]] = None, period: float = POLL_INTERVAL,
            wakers: Sequence[Waker] = ()) -> Summary:
        try:
            # The number of the signal that stopped the scheduler, or None when its work ran out.
            self.summary.signum = self.scheduler.run(poll, period, wakers)
        except StationEnded:
            pass
        return self.summary


def flash_all(settings: Settings, image: Image, devices: Iterable[Device], callbacks: Optional[Callbacks] = None,
              report: Optional[Report] = None, origin: Optional[Origin] = None) -> Summary:
    """Flashes every device at once (at most settings.jobs at a time), each up to
    settings.attempts times, until all have ended or a signal stops them."""
    chosen: List[Device] = list(devices)
    run = Run(settings, image, callbacks or Callbacks(), report, origin, max(1, len(chosen)))
    for device in chosen:
        run.add(device)
    return run.run()
