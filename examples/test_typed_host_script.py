"""Testing a host script against the simulated device, with the package's pytest fixtures.

    pytest examples/test_typed_host_script.py
    pytest examples/test_typed_host_script.py --simulated-device-transport=tcp

The script under test is typed_host.py, beside this file. The fixture `simulated_device` is a
started device (on a pseudo-terminal, or over TCP where there are none) whose fault knobs come
from the `simulated_device` marker and whose reports tell what it received; it is closed after
the test. The module's `ser` is made with serial.serial_for_url, which opens a port path and a
socket:// URL alike. Type-checked with mypy --strict, as a host's own tests can be.
"""
import hashlib
from pathlib import Path
from typing import Iterator

import pytest
import serial

import downloader
import typed_host
from downloader_sim import Simulator, expected_image

IMAGE = bytes(range(256)) * 5 + b"tail"  # 1,284 bytes: 41 blocks, the last one short


@pytest.fixture
def image_file(tmp_path: Path) -> str:
    path = tmp_path / "firmware.bin"
    path.write_bytes(IMAGE)
    return str(path)


@pytest.fixture
def on_device(simulated_device: Simulator) -> Iterator[Simulator]:
    """The module's port set up for the simulated device, and put back afterwards."""
    saved = downloader.ser
    downloader.ser = serial.serial_for_url(simulated_device.url, do_not_open=True,
                                           baudrate=saved.baudrate, timeout=saved.timeout)
    try:
        typed_host.connect(simulated_device.url)
        yield simulated_device
    finally:
        downloader.dev_close()
        downloader.ser = saved


def test_flashes_the_image(on_device: Simulator, image_file: str) -> None:
    assert typed_host.transfer(image_file) == 0
    report = on_device.reports[-1]
    assert report.complete
    assert report.sha256 == hashlib.sha256(expected_image(IMAGE)).hexdigest()


@pytest.mark.simulated_device(reject={3: 1, 40: 3})
def test_resends_rejected_blocks(on_device: Simulator, image_file: str) -> None:
    assert typed_host.transfer(image_file) == 4
    assert on_device.reports[-1].complete
    assert on_device.nacked == [3, 40, 40, 40]


@pytest.mark.simulated_device(reject={7: 4})
def test_gives_up_on_a_block_rejected_past_the_retries(on_device: Simulator, image_file: str) -> None:
    with pytest.raises(typed_host.HostError) as raised:
        typed_host.transfer(image_file)
    assert str(raised.value) == "block 7 was not accepted"
    assert on_device.reports == []
    assert sorted(on_device.blocks) == list(range(7))
