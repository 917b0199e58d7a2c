"""--watch: the station of a production line, flashing each device as it is plugged in."""
import argparse
import sys
from typing import TYPE_CHECKING, Optional, Set, Tuple

from .devices import find_devices
from .parallel import Job, Scheduler
from .records import Attempt

if TYPE_CHECKING:
    from .cli import View

MOST_AT_ONCE = 64  # without --jobs


def watch(args: argparse.Namespace, view: "View", image_path: str) -> Optional[int]:
    """Flashes each matching device once while it stays plugged in, until Ctrl-C; returns the
    signal that stopped it."""
    finished: Set[Tuple[str, Optional[str]]] = set()

    def on_attempt(job: Job, attempt: Attempt, final: bool) -> None:
        view.attempt(job, attempt, final)
        if final:
            finished.add(job.key)

    scheduler = Scheduler(args.jobs or MOST_AT_ONCE, args.attempts, view.progress, on_attempt)

    def poll() -> None:
        present = {(device.device, device.serial_number) for device in find_devices()}
        finished.intersection_update(present)  # unplugged: flash it again when it comes back
        for key in sorted(present, key=lambda key: key[0]):
            if key not in finished and not scheduler.holds(key):
                scheduler.add(Job(key, image_path, args.retries, args.log, True))

    if not args.quiet:
        print("watching for devices; Ctrl-C ends", file=sys.stderr, flush=True)
    return scheduler.run(poll)
