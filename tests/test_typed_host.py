"""examples/typed_host.py run end to end against the simulated device, in a fresh interpreter."""
import hashlib
import pathlib
import subprocess
import sys

import pytest

from downloader_sim import expected_image

SCRIPT = pathlib.Path(__file__).resolve().parent.parent / "examples" / "typed_host.py"
IMAGE = bytes(range(256)) * 5 + b"tail"  # 1,284 bytes: 41 blocks, the last one short


def typed_host(*args):
    result = subprocess.run([sys.executable, str(SCRIPT), *args], capture_output=True, text=True, timeout=60)
    return result.returncode, result.stderr


@pytest.fixture
def image_file(tmp_path):
    path = tmp_path / "firmware.bin"
    path.write_bytes(IMAGE)
    return str(path)


@pytest.mark.parametrize(
    "faults, resends",
    [({}, 0), ({"reject": {3: 1, 40: 3}}, 4), ({"bad_counter_blocks": {0: 1}}, 1)],
    ids=["clean", "rejected blocks resent", "block 0 resent with the length"],
)
def test_flashes_the_image_and_counts_resends(make_sim, image_file, faults, resends):
    sim = make_sim(**faults)
    assert typed_host(image_file, "--port", sim.port) == (
        0,
        f"typed_host: flashed {image_file} with {resends} resends\n",
    )
    report = sim.reports[-1]
    assert report.complete
    assert report.sha256 == hashlib.sha256(expected_image(IMAGE)).hexdigest()


@pytest.mark.parametrize(
    "faults, message",
    [
        ({"bad_checksum_commands": {"heartbeat"}}, "the device does not answer the heartbeat"),
        ({"reject": {7: 4}}, "block 7 was not accepted"),
    ],
    ids=["heartbeat unanswered", "block rejected past the retries"],
)
def test_device_faults_stop_the_script(make_sim, image_file, faults, message):
    sim = make_sim(**faults)
    assert typed_host(image_file, "--port", sim.port) == (1, f"typed_host: {message}\n")
    assert not sim.reports  # the run command was never sent


def test_host_side_failures_stop_the_script(sim, tmp_path, image_file):
    missing = str(tmp_path / "missing.bin")
    assert typed_host(missing, "--port", sim.port) == (1, f"typed_host: cannot open {missing}\n")
    absent_port = str(tmp_path / "ttyNONE")
    assert typed_host(image_file, "--port", absent_port) == (1, f"typed_host: cannot open {absent_port}\n")


FLASH_EACH = SCRIPT.parent / "flash_each.py"


def test_the_library_example_flashes_each_port_and_names_each_failure(make_sim, image_file, tmp_path):
    good, silent = make_sim(), make_sim(bad_checksum_commands={"heartbeat"})
    missing = str(tmp_path / "ttyNONE")
    result = subprocess.run([sys.executable, str(FLASH_EACH), image_file, good.port, silent.port, missing],
                            capture_output=True, text=True, timeout=60)
    digest = hashlib.sha256(expected_image(IMAGE)).hexdigest()
    assert (result.returncode, result.stdout.splitlines()) == (1, [
        f"{good.port}: 41 blocks, 0 resent, started, sha256 {digest}",
        f"{silent.port}: the device on {silent.port} does not answer the heartbeat",
        f"{missing}: cannot open {missing}: no such port",
    ])
    assert result.stderr == f"{good.port}: 41 of 41 blocks\n"
