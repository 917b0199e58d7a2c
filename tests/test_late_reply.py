"""A reply that arrives after the read time-out, against the simulated device.

send reads whatever 5 bytes come next, so a late reply answers the following request and
every reply after it is one exchange behind. The counter check catches each mismatch, so a
block is never taken as accepted unless the device acknowledged that very block.
"""

import pytest

import downloader
from downloader_flash.flashing import ModuleOutput, Transfer
from fakes import eventually, lines, module_state  # noqa: F401

IMAGE = bytes((7 * i + 1) % 256 for i in range(320))  # 10 blocks
LATE = 2


@pytest.fixture
def late_device(make_sim, module_state):
    """The module's port open on a device that answers block 2 once, 0.5 s after the time-out."""
    sim = make_sim(delay_ms=1500, delay_blocks={LATE: 1})
    module_state.com = sim.port
    downloader.dev_close()  # dev_open leaves a port that is already open as it is
    assert downloader.dev_open() is True and downloader.ser.port == sim.port
    downloader.res, downloader.Pcounter = IMAGE, 0
    yield sim
    downloader.dev_close()


@pytest.mark.slow
def test_a_late_reply_puts_every_later_reply_one_exchange_behind(late_device, capsys):
    results = []
    while not results or results[-1] != 100:
        results.append(downloader.download())
        assert late_device.blocks >= set(range(downloader.Pcounter))  # never ahead of the device
    # Block 2 times out, its resend is judged on the late reply; from then on each block is
    # first judged on the reply to the previous request and passes on its resend.
    assert results == [10.0, 20.0, 0, 30.0] + [0, 40.0, 0, 50.0, 0, 60.0, 0, 70.0, 0, 80.0, 0, 90.0, 0, 100]
    judged = [line for line in lines(capsys) if line.startswith("packet")]
    assert judged == ["packet length error"] + ["packet counter error %d %d" % (n - 1, n) for n in range(3, 10)]
    # The last resend was answered by the stale reply at once; the device may still be taking it.
    assert eventually(lambda: late_device.duplicates == list(range(LATE, 10)))


@pytest.mark.slow
def test_the_flashing_tool_recovers_by_waiting_for_a_quiet_line(late_device, capsys):
    transfer = Transfer(late_device.port, 10)
    transfer.send_blocks(3, ModuleOutput(None), None)
    resends = transfer.resends
    assert downloader.Pcounter == 10 and late_device.blocks == frozenset(range(10))
    # Block 2 times out; its resend is judged on the late reply, so the reply to the resend
    # answers block 3, which fails. Waiting for a quiet line then discards that stale reply,
    # and block 3's resend puts the exchanges back in step: two resends, whatever the timing.
    assert resends == 2
    assert eventually(lambda: late_device.duplicates == [LATE, LATE + 1])
