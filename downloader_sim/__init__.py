"""A simulated flashing device on a pseudo-terminal or over TCP, for tests and benchmarks.

    from downloader_sim import Simulator, expected_image

    with Simulator(no_reply_blocks={5}) as sim:
        ...   # open sim.port with pyserial at 12000000 baud and talk to it
    assert sim.reports[-1].sha256 == hashlib.sha256(expected_image(image)).hexdigest()

The frame and block helpers re-exported here are those of downloader_wire; the
pytest fixtures for host scripts are in pytest_plugin.
Standard library only. A pseudo-terminal or a tty needs POSIX; TCP needs sockets
only (and, with process=True, POSIX pipes).
"""

from downloader_wire import (BLOCK, BLOCK_SIZE, HEARTBEAT, RUN, block_count, block_payload, block_request, checksum,
                             reply, request)
from downloader_wire import device_image as expected_image

from .device import STATE_FIELDS, Device, RunReport
from .faults import FAULT_NAMES, Faults
from .simulator import Simulator

__all__ = [
    "BLOCK", "BLOCK_SIZE", "Device", "FAULT_NAMES", "Faults", "HEARTBEAT", "RUN",
    "RunReport", "STATE_FIELDS", "Simulator", "block_count", "block_payload",
    "block_request", "checksum", "expected_image", "reply", "request",
]
