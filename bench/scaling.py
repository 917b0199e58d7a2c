"""downloader-flash --all to several simulated devices at once: wall time against one device.

    python bench/scaling.py            # 256 KiB to 1, 2, 4 and 8 devices
    python bench/scaling.py --quick    # 32 KiB to 1 and 2 devices

Each simulated device answers every request 1 ms late, about a USB full-speed round trip, and runs
in its own process. The devices are handed to the same scheduler that --all uses, since a pty has
no USB identifiers to be found by; everything from there on (one worker process per device, the
progress messages, the records) is the command's. Peak RSS per worker is the VmHWM of each worker
process, read while it runs.
"""

import argparse
import hashlib
import os
import sys
import tempfile
import threading
import time

from downloader_flash import Callbacks, Device, Image, Settings
from downloader_flash.run import Run
from downloader_sim import Simulator
from downloader_wire import block_count, device_image

SIZE = 256 * 1024
COUNTS = (1, 2, 4, 8)
TARGET = 1.3  # 8 devices in at most this many times the wall time of one


def peak_rss_kib(pid):
    try:
        with open("/proc/%d/status" % pid) as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


class PeakWatcher(threading.Thread):
    """Samples the peak RSS of every running worker until stopped."""

    def __init__(self, scheduler):
        super().__init__(daemon=True)
        self.scheduler, self.peaks, self.done = scheduler, {}, threading.Event()

    def run(self):
        while not self.done.wait(0.05):
            for worker in list(self.scheduler.running.values()):
                pid = worker.process.pid
                if pid:
                    self.peaks[pid] = max(self.peaks.get(pid, 0), peak_rss_kib(pid))


class Failures(Callbacks):
    def __init__(self):
        self.failed = []

    def attempt_ended(self, job, attempt, final, recorded):
        if attempt.result != "flashed":
            self.failed.append(attempt)


def flash_devices(devices, image_path, image):
    """Flashes the devices as the library's flash_all() does. Wall seconds, and the workers'
    peak RSS in KiB."""
    failures = Failures()
    run = Run(Settings(image=image_path, all=True, quiet=True), Image(image, image_path), failures, None, None,
                      len(devices))
    for device in devices:
        run.add(device)
    watcher = PeakWatcher(run.scheduler)
    watcher.start()
    started = time.perf_counter()
    run.run()
    seconds = time.perf_counter() - started
    watcher.done.set()
    watcher.join()
    if failures.failed:
        raise SystemExit("a device was not flashed: %s" % failures.failed)
    return seconds, sorted(watcher.peaks.values())


def holds(sims, image):
    """Whether each simulated device's last report is the image, as the device should hold it."""
    wanted = hashlib.sha256(device_image(image)).hexdigest()
    return all(sim.reports and sim.reports[-1].sha256 == wanted for sim in sims)


def flash_all(count, image_path, image):
    """Wall seconds to flash `count` simulated devices, and the workers' peak RSS in KiB."""
    sims = [Simulator(process=True, delay_ms=1).start() for _ in range(count)]
    try:
        devices = [Device(sim.port, "SIM%04d" % n, None, "") for n, sim in enumerate(sims, 1)]
        measured = flash_devices(devices, image_path, image)
        if not holds(sims, image):
            raise SystemExit("a device did not receive the image")
    finally:
        for sim in sims:
            sim.close()
    return measured


def measure(size=SIZE, counts=COUNTS, flash=flash_all):
    """{count: flash(count, image_path, image)} for a random image of `size` bytes."""
    image = os.urandom(size)
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "image.bin")
        with open(path, "wb") as handle:
            handle.write(image)
        return {count: flash(count, path, image) for count in counts}


def table(results, size):
    one = results[min(results)][0]
    blocks = block_count(size)
    lines = ["| devices | image | wall s | × one device | aggregate KiB/s | ms per block per device | peak RSS per worker, MiB |",
             "|---:|---:|---:|---:|---:|---:|---:|"]
    for count, (seconds, peaks) in sorted(results.items()):
        rss = "%.1f" % (max(peaks) / 1024) if peaks else "-"
        lines.append("| %d | %s | %.2f | %.2f | %.1f | %.2f | %s |" % (
            count, "{:,}".format(size), seconds, seconds / one, count * size / 1024 / seconds,
            1000 * seconds / blocks, rss))
    return "\n".join(lines)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="32 KiB to 1 and 2 devices")
    args = parser.parse_args(argv)
    size, counts = (32 * 1024, (1, 2)) if args.quick else (SIZE, COUNTS)
    print("load average before: %.2f %.2f %.2f" % os.getloadavg())
    report(measure(size, counts), size)
    return 0


def report(results, size):
    """The table, the load after, and the ratio of most devices to one against the target."""
    print(table(results, size))
    print("load average after: %.2f %.2f %.2f" % os.getloadavg())
    largest, one = results[max(results)][0], results[min(results)][0]
    print("%d devices in %.2f × the wall time of one (target <= %.1f): %s" % (
        max(results), largest / one, TARGET, "met" if largest <= TARGET * one else "MISSED"))


if __name__ == "__main__":
    sys.exit(main())
