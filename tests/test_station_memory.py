"""A station runs for days: 2,000 boards through the library's station mode, and the parent's
memory and object count stay flat after warm-up. The scheduler is replaced by one that finishes
each job at once in this process, so that the boards take seconds; what is measured is the
station's own state, the records' path and the front ends."""
import gc
import io
from collections import deque

from downloader_flash import run as running, station
from downloader_flash.model import Device, Image
from downloader_flash.model import FlashResult
from downloader_flash.events import Both, Events
from downloader_flash.attempts import unstarted
from downloader_flash.records import FLASHED
from downloader_flash.model import Origin
from downloader_flash.render import Screen
from downloader_flash.settings import Settings

BOARDS = 2000
WARM_UP = 500
PLUGGED_AT_ONCE = 4
IMAGE = Image(bytes(range(256)) * 40, "/srv/firmware.bin")


class InstantScheduler:
    def __init__(self, cap, attempts, on_progress, on_attempt, spares=0, admit=None):
        self.on_progress, self.on_attempt = on_progress, on_attempt
        self.queued = deque()
        self.finished = 0

    def add(self, job):
        self.queued.append(job)

    def busy(self):
        return bool(self.queued)

    def run(self, poll, period=None, wakers=()):
        while True:
            poll()
            while self.queued:
                job = self.queued.popleft()
                self.on_progress(job, 1, 320, None)
                self.on_progress(job, 320, 320, 50.0)
                result = FlashResult(job.port, job.key.serial_number, len(job.data), 320, 0, 0.1, "0" * 64, "0" * 64, True)
                attempt = unstarted(job, FLASHED)
                self.on_attempt(job, attempt.__class__(**{**attempt.__dict__, "flashed": result, "seconds": 0.1}), True)
                self.finished += 1


class Plugging:
    """Each look at the ports finds the next board plugged in and the oldest one gone."""

    def __init__(self):
        self.polls = 0
        self.samples = {}

    def __call__(self):
        self.polls += 1
        if self.polls in (WARM_UP, BOARDS):
            gc.collect()
            self.samples[self.polls] = (len(gc.get_objects()), resident_kib())
        if self.polls > BOARDS:
            raise KeyboardInterrupt  # the line stops for the night
        first = self.polls
        return [Device(f"/dev/ttyACM{n % 8}", f"SN{n:06d}", None, "") for n in range(first, first + PLUGGED_AT_ONCE)]


class NullReport:
    def __init__(self):
        self.lines = 0

    def append(self, values):
        self.lines += 1


def resident_kib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4


def test_two_thousand_boards_leave_the_station_as_small_as_after_the_first_five_hundred(monkeypatch):
    plugging = Plugging()
    monkeypatch.setattr(running, "Scheduler", InstantScheduler)
    monkeypatch.setattr(station, "find_devices", plugging)
    for interval in ("POLL_INTERVAL", "RESCAN_INTERVAL"):  # each poll looks at the ports
        monkeypatch.setattr(station, interval, 0.0)
    settings = Settings(image=IMAGE.name, watch=True, quiet=True)
    origin = Origin(station="line 1")
    events = Events(origin, io.TextIOWrapper(io.BufferedWriter(io.FileIO("/dev/null", "w")), write_through=True))
    report = NullReport()
    try:
        station.watch(settings, IMAGE, Both(Screen(settings, IMAGE, io.StringIO()), events), report, origin)
    except KeyboardInterrupt:
        pass
    finally:
        events.out.close()
    assert report.lines >= BOARDS
    (objects_then, rss_then), (objects_now, rss_now) = plugging.samples[WARM_UP], plugging.samples[BOARDS]
    assert objects_now - objects_then < 200, (objects_then, objects_now)
    assert rss_now - rss_then < 1024, (rss_then, rss_now)
