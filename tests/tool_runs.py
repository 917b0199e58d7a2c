"""The tool run as a person runs it, with the image its tests flash."""
import contextlib
import re
import signal
import socket
import subprocess
import sys

import pytest

from downloader_sim.server import TRANSPORTS
from fakes import eventually, sample

IMAGE = sample(100000)  # 3,125 blocks
TOOL = [sys.executable, "-m", "downloader_flash"]
# A device by path and one by socket:// URL take the same flash; the other tests use the default line.
on_every_transport = pytest.mark.parametrize("transport", TRANSPORTS)


def tool(*args, timeout=60):
    result = subprocess.run([*TOOL, *map(str, args)], capture_output=True, text=True, timeout=timeout)
    return result.returncode, result.stdout, result.stderr


def untimed(text):
    """The output with its durations and rates replaced by S and R."""
    return re.sub(r"\d+\.\d\d s, [\d,]+\.\d KiB/s", "S s, R KiB/s", text)


def run_tool(*args, timeout=120, **options):
    return subprocess.run([*TOOL, *map(str, args)], capture_output=True, text=True, timeout=timeout, **options)


@pytest.fixture
def image_file(tmp_path):
    path = tmp_path / "firmware.bin"
    path.write_bytes(IMAGE)
    return str(path)


def closed_tcp_port():
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        return listener.getsockname()[1]


@contextlib.contextmanager
def running(command, **options):
    """`command` started with its output piped as text; killed and reaped, its pipes closed, after."""
    proc = subprocess.Popen([*map(str, command)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **options)
    try:
        yield proc
    finally:
        proc.kill()
        proc.communicate(timeout=30)


def interrupt(proc):
    proc.send_signal(signal.SIGINT)


def interrupted(command, ready, stop=interrupt, **options):
    """The exit code, output and errors of `command`, stopped by `stop(proc)` (Ctrl-C) once
    `ready(proc)` holds."""
    with running(command, **options) as proc:
        assert eventually(lambda: ready(proc), 30)
        stop(proc)
        out, err = proc.communicate(timeout=30)
    return proc.returncode, out, err
