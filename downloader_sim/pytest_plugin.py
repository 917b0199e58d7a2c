"""pytest fixtures that give a test a simulated device, for testing host scripts.

Installed with the package, this plugin is loaded by pytest itself (entry point
pytest11); it adds fixtures, a marker and an option, and does nothing else:

    def test_flash(simulated_device):       # started, fault-free, closed after the test
        ser = serial.serial_for_url(simulated_device.url, do_not_open=True)
        ...
        assert simulated_device.reports[-1].complete

    @pytest.mark.simulated_device(reject={3: 1})    # fault knobs, as Simulator takes them
    def test_resend(simulated_device): ...

    def test_two(simulated_device_factory):         # as many devices, with knobs of their own
        first, second = simulated_device_factory(), simulated_device_factory(no_reply_blocks={5})

The device is served on a pseudo-terminal where the system has them and over
TCP elsewhere; --simulated-device-transport chooses. `url` opens on either
with serial.serial_for_url; examples/test_typed_host_script.py shows a whole
test of a host script.
"""
# Annotations stay unevaluated, so that the plugin loads under any pytest.
from __future__ import annotations

from typing import TYPE_CHECKING, Any, Callable, Iterator, List

import pytest

if TYPE_CHECKING:
    from .simulator import Simulator

# Starts a simulated device with the given keyword arguments of Simulator.
SimulatorFactory = Callable[..., "Simulator"]

OPTION = "--simulated-device-transport"


def pytest_addoption(parser: pytest.Parser) -> None:
    parser.addoption(OPTION, choices=("pty", "tcp"), default=None,
                     help="line of the simulated_device fixtures: pty or tcp (default: pty where "
                          "the system has pseudo-terminals, tcp elsewhere)")


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line("markers", "simulated_device(**knobs): fault knobs of the simulated_device "
                                       "fixture, as downloader_sim.Simulator takes them")


@pytest.fixture
def simulated_device_factory(request: pytest.FixtureRequest) -> Iterator[SimulatorFactory]:
    """Starts simulated devices (keyword arguments as Simulator's); closes them after the test."""
    from .server import default_transport
    from .simulator import Simulator

    transport = request.config.getoption(OPTION) or default_transport()
    started: List[Simulator] = []

    def start(**knobs: Any) -> Simulator:
        if knobs.get("tty") is None:
            knobs.setdefault("transport", transport)
        simulator = Simulator(**knobs).start()
        started.append(simulator)
        return simulator

    yield start
    for simulator in reversed(started):
        simulator.close()


@pytest.fixture
def simulated_device(request: pytest.FixtureRequest, simulated_device_factory: SimulatorFactory) -> "Simulator":
    """A started simulated device, with the knobs of the test's simulated_device marker, if any."""
    marker = request.node.get_closest_marker("simulated_device")
    return simulated_device_factory(**(marker.kwargs if marker is not None else {}))
