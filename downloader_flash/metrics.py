"""/metrics: what a line's monitoring scrapes of a station, in Prometheus' text format.

A front end over the station's callbacks, like the page: each callback updates metrics of a
registry of its own, which the server renders on each scrape. Needs prometheus_client, of the
extra downloader[station].
"""
from typing import Dict, Optional, Tuple

from prometheus_client import CONTENT_TYPE_LATEST, CollectorRegistry, Counter, Gauge, Histogram, generate_latest

from downloader_wire import BLOCK_SIZE

from .model import Attempt, Callbacks, DeviceKey, Job, Record
from .outcomes import RESULTS

PREFIX = "downloader"
# Seconds: a small image takes a fraction of one, the largest a few minutes; a retry waits up to --wait as well.
DURATION_BUCKETS: Tuple[float, ...] = (0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60, 120, 300, 600)


class Metrics(Callbacks):
    """The station's counters as Prometheus metrics; told from the station's thread, read from the server's."""

    content_type = CONTENT_TYPE_LATEST  # of text()

    def __init__(self) -> None:
        self.registry = CollectorRegistry(auto_describe=True)
        self.attempts = self.by_result("attempts", "Attempts at a board, by result")
        self.boards = self.by_result("boards", "Boards whose final attempt ended, by its result")
        self.blocks = Counter(f"{PREFIX}_blocks_sent", "Blocks the devices took", registry=self.registry)
        self.bytes = Counter(f"{PREFIX}_bytes_sent", "Image bytes the devices took", registry=self.registry)
        self.duration = Histogram(f"{PREFIX}_attempt_duration_seconds", "How long an attempt took, failures included",
                                  buckets=DURATION_BUCKETS, registry=self.registry)
        self.report_errors = Counter(f"{PREFIX}_report_errors", "Times the report could not be written",
                                     registry=self.registry)
        self.database_errors = Counter(f"{PREFIX}_database_errors", "Times the database could not be written",
                                       registry=self.registry)
        self.unrecorded_attempts = Counter(f"{PREFIX}_unrecorded_attempts", "Attempts that are in no record",
                                           registry=self.registry)
        self.left: Optional[Gauge] = None  # made once a run says how many serial numbers it has left
        self.counted: Dict[DeviceKey, int] = {}  # blocks of each attempt in flight counted so far

    def by_result(self, name: str, description: str) -> Counter:
        counter = Counter(f"{PREFIX}_{name}", description, ["result"], registry=self.registry)
        for result in RESULTS:  # every series from the start, at 0: a rate needs the value before the first
            counter.labels(result=result)
        return counter

    def text(self) -> bytes:
        return generate_latest(self.registry)

    def progress(self, job: Job, done: int, blocks: int) -> None:
        self.count_blocks(job.key, done, len(job.data))

    def attempt_ended(self, job: Job, attempt: Attempt, final: bool, recorded: Optional[bool]) -> None:
        reached = attempt.blocks if attempt.device_sha256 else attempt.block or 0
        self.count_blocks(job.key, min(reached, attempt.blocks), attempt.size)
        self.counted.pop(job.key, None)
        self.attempts.labels(result=attempt.result).inc()
        self.duration.observe(attempt.seconds)
        if final:
            self.boards.labels(result=attempt.result).inc()

    def count_blocks(self, key: DeviceKey, done: int, size: int) -> None:
        """Adds the blocks an attempt has newly reached, and their bytes."""
        before = self.counted.get(key, 0)
        if done > before:
            self.counted[key] = done
            self.blocks.inc(done - before)
            self.bytes.inc(min(done * BLOCK_SIZE, size) - min(before * BLOCK_SIZE, size))

    def report_failed(self, reason: str) -> None:
        self.report_errors.inc()

    def database_failed(self, reason: str) -> None:
        self.database_errors.inc()

    def unrecorded(self, values: Record) -> None:
        self.unrecorded_attempts.inc()

    def serials_left(self, left: Optional[int]) -> None:
        if left is None:
            return
        if self.left is None:
            self.left = Gauge(f"{PREFIX}_serials_left", "Serial numbers left to issue", registry=self.registry)
        self.left.set(left)

    def ran_out(self, reason: str) -> None:
        self.serials_left(0)
