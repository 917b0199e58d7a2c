"""The command's simulated devices (--simulate): started for the run, listed as its devices, and
checked after it for what each holds."""
import contextlib
from typing import Any, Dict, Iterator, List, Optional

from .devices import find_devices
from .files import device_sha256
from .model import Attempt, Callbacks, Device, Job
from .render import Screen


@contextlib.contextmanager
def simulated(count: Optional[int]) -> Iterator[List[Any]]:
    if not count:
        yield []
        return
    from downloader_sim import Simulator
    from downloader_sim.server import default_transport

    transport = default_transport()  # over TCP where the system has no pseudo-terminals
    with contextlib.ExitStack() as stack:
        yield [stack.enter_context(Simulator(process=True, transport=transport)) for _ in range(count)]


def candidates_of(simulators: List[Any]) -> List[Device]:
    if not simulators:
        return find_devices()
    return [Device(sim.port, f"SIM{n:04d}", None, "simulated device") for n, sim in enumerate(simulators, 1)]


class Sent(Callbacks):
    """What each port's device was sent, as it should hold it: with serial numbers, its own image."""

    def __init__(self) -> None:
        self.held: Dict[str, str] = {}

    def attempt_ended(self, job: Job, attempt: Attempt, final: bool, recorded: Optional[bool]) -> None:
        if final:
            self.held[job.port] = device_sha256(job.data)


def check_simulators(simulators: List[Any], sent: Sent, screen: Screen) -> None:
    """Whether each simulated device holds what was sent, from its own report."""
    holding = sum(1 for sim in simulators
                  if not sim.lost and sim.reports and sim.reports[-1].sha256 == sent.held.get(sim.port))
    screen.result(f"simulated devices holding the image (sha256 match): {holding} of {len(simulators)}")
