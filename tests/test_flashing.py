"""flash(), one device through the module, and the module's port: a path or a pyserial URL, and
why one will not open."""
import grp
import io
import os
import re
import signal
import socket
import sys
import tempfile
import threading
import warnings

import pytest
import serial

import downloader
from downloader_flash import (BlockRejected, DeviceSilent, Disconnected, FlashError, FlashResult, Interrupted,
                              NoReply, PortInUse, PortUnavailable, flash)
from downloader_flash.worker import StopRequest
from downloader_sim import expected_image
from fakes import eventually, module_state, sha  # noqa: F401
from tool_runs import (IMAGE, TOOL, closed_tcp_port, image_file, interrupted, on_every_transport,  # noqa: F401
                       running, tool)


@on_every_transport
def test_flash_reports_what_the_device_holds_and_puts_the_module_back(sim, module_state):
    original_send, original_port = downloader.send, downloader.ser
    progress = []
    result = flash(IMAGE, sim.port, on_progress=lambda done, blocks: progress.append((done, blocks)))
    assert result == FlashResult(
        port=sim.port, serial_number=None, size=100000, blocks=3125, resends=0, seconds=result.seconds,
        file_sha256=sha(IMAGE), device_sha256=sha(expected_image(IMAGE)), run_acknowledged=True)
    assert eventually(lambda: sim.reports) and sim.reports[-1].sha256 == result.device_sha256
    assert progress == [(n, 3125) for n in range(1, 3126)]
    assert downloader.send is original_send and downloader.ser is original_port and not downloader.ser.isOpen()


@pytest.mark.parametrize("knobs, error, message", [
    ({"disconnect_after_block": 10}, Disconnected, "device on {} disconnected at block 11 of 3,125"),
    ({"reject": {5: 9}}, BlockRejected,
     "device on {} rejected block 5, 4 times; giving up (last: packet checksum error: 21)"),
    ({"bad_checksum_commands": {"heartbeat"}}, DeviceSilent, "the device on {} does not answer the heartbeat"),
], ids=["disconnect", "block rejected", "heartbeat unanswered"])
@on_every_transport
def test_device_faults_raise_one_line_for_the_bench(make_sim, module_state, knobs, error, message):
    sim = make_sim(**knobs)
    with pytest.raises(error) as info:
        flash(IMAGE, sim.port, retries=3)
    assert str(info.value) == message.format(sim.port)
    assert not downloader.ser.isOpen()


def test_a_block_without_a_reply_is_reported_as_unanswered_not_rejected(make_sim, module_state):
    sim = make_sim(no_reply_blocks={5})
    with pytest.raises(NoReply) as info:
        flash(IMAGE, sim.port, retries=1)
    assert str(info.value) == (f"the device on {sim.port} does not answer block 5 within the read time-out (1 s), "
                               "2 times; giving up")
    assert (info.value.block, info.value.resends) == (5, 1)


def test_ctrl_c_in_a_host_loop_is_not_a_flash_error_and_keeps_block_and_resends(make_sim, module_state):
    """A host loop that goes on after `except FlashError` must still stop on Ctrl-C."""
    sim = make_sim(reject={3: 2})

    def press_ctrl_c(done, blocks):
        if done == 100:
            raise KeyboardInterrupt

    with pytest.raises(Interrupted) as info:
        try:
            flash(IMAGE, sim.port, on_progress=press_ctrl_c)
        except FlashError:
            pytest.fail("Interrupted was taken for a device fault")
    assert isinstance(info.value, KeyboardInterrupt) and info.value.exit_code == 130
    assert (info.value.block, info.value.blocks, info.value.resends) == (99, 3125, 2)
    assert str(info.value) == "interrupted at block 99 of 3,125; the device holds a partial image"
    assert not downloader.ser.isOpen()


def test_flash_takes_the_module_output_of_its_own_thread_only(sim, module_state, monkeypatch):
    screen = io.StringIO()
    monkeypatch.setattr(sys, "stdout", screen)
    log = io.StringIO()

    def print_elsewhere(done, blocks):
        if done == 10:
            other = threading.Thread(target=print, args=("from another thread",))
            other.start()
            other.join()

    flash(IMAGE[:2000], sim.port, on_progress=print_elsewhere, log=log)
    assert screen.getvalue() == "from another thread\n" and sys.stdout is screen
    assert "from another thread" not in log.getvalue() and log.getvalue().startswith("串口打开成功\n")


def test_a_run_command_the_device_does_not_acknowledge_is_not_success(make_sim, module_state):
    sim = make_sim(bad_checksum_commands={"run"})
    result = flash(IMAGE, sim.port)
    assert result.run_acknowledged is False and sim.reports[-1].complete


def test_why_a_port_will_not_open(sim, module_state, tmp_path):
    missing = str(tmp_path / "ttyACM9")
    with pytest.raises(PortUnavailable) as info:
        flash(IMAGE, missing)
    assert str(info.value) == f"cannot open {missing}: no such port"
    with serial.Serial(sim.port, exclusive=True):
        with pytest.raises(PortInUse) as info:
            flash(IMAGE, sim.port)
    assert str(info.value) == f"cannot open {sim.port}: in use by another process"
    assert sim.frames == 0


def stop_requested():
    """A worker's SIGINT handler once its parent has asked it to stop."""
    stop = StopRequest(None)
    stop.requested = True
    return stop.handle


@pytest.mark.parametrize("signum, handler", [(signal.SIGINT, signal.default_int_handler),
                                             (signal.SIGINT, stop_requested())], ids=["Ctrl-C", "worker stopped"])
def test_an_interruption_while_the_port_opens_is_not_an_unavailable_port(sim, module_state, signum, handler):
    """dev_open() takes any exception for a port that did not open; the interruption must survive it."""
    class SignalledWhileOpening(serial.Serial):
        def open(self):
            os.kill(os.getpid(), signum)
            super().open()

    module_state.ser = SignalledWhileOpening()
    previous = signal.signal(signum, handler)
    try:
        with pytest.raises(Interrupted) as info:
            flash(IMAGE, sim.port)
    finally:
        signal.signal(signum, previous)
    assert str(info.value) == "interrupted before the first block; the device is unchanged"
    assert not module_state.ser.isOpen() and sim.frames == 0


UDEV_ADVICE = ('no group may read and write it; grant access with a udev rule, for instance SUBSYSTEM=="tty", '
               'ATTRS{idVendor}=="19f5", ATTRS{idProduct}=="5740", GROUP="dialout", MODE="0660"')


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to drop to another user")
@pytest.mark.parametrize("group_name, mode, advice", [
    ("dialout", 0o660, "add the user to the group 'dialout', which owns it, then log in again"),
    ("root", 0o600, UDEV_ADVICE),
    ("dialout", 0o640, UDEV_ADVICE),
], ids=["group may read and write", "root only", "group may only read"])
def test_a_port_the_user_may_not_open_says_how_to_get_access(module_state, group_name, mode, advice):
    try:
        group = grp.getgrnam(group_name)
    except KeyError:
        pytest.skip(f"no {group_name} group")
    folder = tempfile.mkdtemp()
    try:
        os.chmod(folder, 0o755)
        port = os.path.join(folder, "ttyACM7")
        open(port, "w").close()
        os.chown(port, 0, group.gr_gid)
        os.chmod(port, mode)
        message = as_nobody(lambda: flash(IMAGE, port))
    finally:
        os.unlink(port)
        os.rmdir(folder)
    assert message == f"cannot open {port}: permission denied ({advice})"


def as_nobody(call):
    """str() of what `call` raises in a forked child that runs as the unprivileged user nobody."""
    read, write = os.pipe()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork with the simulator's threads about
        pid = os.fork()
    if pid == 0:
        try:
            os.setgroups([])
            os.setgid(65534)
            os.setuid(65534)
            try:
                call()
                text = "no error"
            except Exception as error:
                text = str(error)
            os.write(write, text.encode())
        finally:
            os._exit(0)
    os.close(write)
    with os.fdopen(read, "rb") as answer:
        text = answer.read().decode()
    os.waitpid(pid, 0)
    return text


def test_a_second_flasher_on_the_same_port_is_refused_and_the_first_completes(make_sim, image_file):
    sim = make_sim(delay_ms=1)
    with running([*TOOL, image_file, "--port", sim.port]) as first:
        assert eventually(lambda: len(sim.blocks) >= 20, 30)
        assert tool(image_file, "--port", sim.port) == (
            1, "", f"downloader-flash: cannot open {sim.port}: in use by another process\n")
        # The refused flasher left the line alone: had it lost the first's reply, the first would
        # send that block again before any new one. Later resends are the first's own answer to a
        # reply that a loaded machine delivered after the read time-out, and prove nothing here.
        sent = len(sim.blocks)
        assert eventually(lambda: len(sim.blocks) > sent, 30) and sim.duplicates == []
        out, err = first.communicate(timeout=60)
    assert (first.returncode, err) == (0, "")
    assert sim.reports[-1].complete and sim.heartbeats == 1


def test_ctrl_c_stops_the_example_host_loop_instead_of_moving_on_to_the_next_device(make_sim, image_file):
    first, second = make_sim(delay_ms=2), make_sim()
    example = os.path.join(os.path.dirname(__file__), "..", "examples", "flash_each.py")
    returncode, out, err = interrupted(
        [sys.executable, "-c", "import runpy, signal, sys; signal.signal(signal.SIGINT, signal.default_int_handler); "
         "sys.argv = sys.argv[1:]; runpy.run_path(sys.argv[0], run_name='__main__')", example, image_file,
         first.port, second.port], lambda proc: len(first.blocks) >= 50)
    assert (returncode, out) == (130, "")
    assert re.fullmatch(r"interrupted at block [\d,]+ of 3,125; the device holds a partial image\n", err), err
    assert second.frames == 0


@pytest.mark.parametrize("url, reason", [
    ("socket://127.0.0.1:{closed}", r"\[Errno \d+\] [^:]*refused[^:]*"),  # the words are the system's
    ("nope://device", re.escape("invalid URL, protocol 'nope' not known")),
], ids=["nothing listening", "unknown scheme"])
def test_a_url_that_does_not_connect_says_why_and_puts_the_module_port_back(module_state, url, reason):
    original = downloader.ser
    url = url.format(closed=closed_tcp_port())
    with pytest.raises(PortUnavailable) as info:
        flash(IMAGE, url)
    assert re.fullmatch(f"cannot open {re.escape(url)}: {reason}", str(info.value)), str(info.value)
    assert downloader.ser is original


def test_a_url_that_does_not_open_is_explained_without_connecting_again(module_state):
    with socket.create_server(("127.0.0.1", 0)) as silent:  # takes connections, never negotiates
        with pytest.raises(PortUnavailable, match="Remote does not seem to support RFC2217"):
            flash(IMAGE, f"rfc2217://127.0.0.1:{silent.getsockname()[1]}?timeout=0.1")
        silent.setblocking(False)
        silent.accept()[0].close()
        with pytest.raises(BlockingIOError):
            silent.accept()
