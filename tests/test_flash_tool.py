"""downloader_flash, the library and the command, against the simulated device over real ptys."""
import datetime
import grp
import hashlib
import io
import json
import os
import platform
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import warnings

import pytest
import serial

import downloader
from downloader_flash import (BlockRejected, DeviceSilent, Disconnected, FlashError, FlashResult, Interrupted, NoReply,
                              PortInUse, PortUnavailable, flash)
from downloader_flash.records import FIELDS
from downloader_flash.worker import StopRequest
from downloader_sim import expected_image
from downloader_sim.server import TRANSPORTS
from fake_usb import INTERRUPTIBLE_TOOL
from schema_check import valid_records
from fakes import eventually, module_state  # noqa: F401

IMAGE = bytes((i * 131 + (i >> 8)) % 256 for i in range(100000))  # 3,125 blocks
TOOL = [sys.executable, "-m", "downloader_flash"]
# A device by path and one by socket:// URL take the same flash; the other tests use the default line.
on_every_transport = pytest.mark.parametrize("transport", TRANSPORTS)


def sha(data):
    return hashlib.sha256(data).hexdigest()


def tool(*args, timeout=60):
    result = subprocess.run([*TOOL, *map(str, args)], capture_output=True, text=True, timeout=timeout)
    return result.returncode, result.stdout, result.stderr


def untimed(text):
    """The output with its durations and rates replaced by S and R."""
    return re.sub(r"\d+\.\d\d s, [\d,]+\.\d KiB/s", "S s, R KiB/s", text)


@pytest.fixture
def image_file(tmp_path):
    path = tmp_path / "firmware.bin"
    path.write_bytes(IMAGE)
    return str(path)


# The library -------------------------------------------------------------------------------------

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


# The command, one device -------------------------------------------------------------------------

@pytest.mark.parametrize("knobs, code, line", [
    ({}, 0, ""),
    ({"disconnect_after_block": 10}, 1, "downloader-flash: device on {} disconnected at block 11 of 3,125\n"),
    ({"no_reply_commands": {"run"}}, 3, "downloader-flash: the device on {} did not acknowledge the run command\n"),
], ids=["flashed", "disconnected", "run not acknowledged"])
@on_every_transport
def test_one_device_ends_in_one_line_and_its_exit_code(make_sim, image_file, tmp_path, knobs, code, line):
    sim = make_sim(**knobs)
    log = tmp_path / "module.log"
    returncode, out, err = tool(image_file, "--port", sim.port, "--log", log)
    assert (returncode, err) == (code, line.format(sim.port))
    if code != 1:
        acknowledged = "run acknowledged" if code == 0 else "run NOT acknowledged"
        assert untimed(out) == (f"flashed {sim.port}: 100,000 bytes in 3,125 blocks, 0 resends, S s, R KiB/s; "
                                f"{acknowledged}\n"
                                f"  sha256 of the image as the device holds it: {sha(expected_image(IMAGE))}\n")
    first = log.read_text().splitlines()[0]
    assert re.fullmatch(rf"\d{{4}}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{{3}}\+00:00 {sim.port}: 串口打开成功", first), first


def test_counts_are_written_in_words_that_fit_them(make_sim, image_file):
    sim = make_sim(reject={3: 1})
    assert tool(image_file, "--port", sim.port)[1].startswith(
        f"flashed {sim.port}: 100,000 bytes in 3,125 blocks, 1 resend, ")
    sim = make_sim()
    tiny = image_file + ".tiny"
    with open(tiny, "wb") as handle:
        handle.write(IMAGE[:32])
    assert tool(tiny, "--port", sim.port)[1].startswith(f"flashed {sim.port}: 32 bytes in 1 block, 0 resends, ")


@pytest.mark.pty
@pytest.mark.parametrize("args, line", [
    ([], "downloader-flash: error: give an IMAGE file to flash, or --sample BYTES for a generated image"),
    (["--sample", "1000", "--port", "/dev/ttyACM0"],
     "downloader-flash: error: --sample flashes generated bytes: use it with --simulate, or add --sample-on-hardware"),
    (["--simulate", "1", "--sample", "1000", "--port", "/dev/ttyACM0"],
     "downloader-flash: error: --port cannot be used with --simulate: the simulated devices have their own ports"),
    (["IMAGE", "--log", "/nonexistent/module.log", "--simulate", "1"],
     "downloader-flash: cannot write the log /nonexistent/module.log: No such file or directory"),
    (["/nonexistent/firmware.bin", "--simulate", "1"],
     "downloader-flash: cannot read /nonexistent/firmware.bin: No such file or directory"),
    (["--simulate", "2", "--sample", "1000"],
     "downloader-flash: 2 devices found ({}, {}); choose one with --port or --serial-number, "
     "or flash them all with --all"),
    (["IMAGE", "--port", ""], "downloader-flash: error: --port is empty"),
    (["IMAGE", "--serial-number", ""], "downloader-flash: error: --serial-number is empty"),
    (["IMAGE", "--port", "/nonexistent/ttyACM9"], "downloader-flash: cannot open /nonexistent/ttyACM9: no such port"),
    (["IMAGE", "--serial-number", "NOSUCH", "--simulate", "1"],
     "downloader-flash: no device has the serial number NOSUCH"),
    (["IMAGE", "-q", "-v", "--simulate", "1"], "downloader-flash: error: choose one of -q and -v"),
    (["IMAGE", "--jobs", "2", "--simulate", "1"], "downloader-flash: error: --jobs applies to --all and --watch only"),
    (["--list", "IMAGE", "--all", "--port", "/dev/ttyACM0"],
     "downloader-flash: error: --list flashes nothing: leave out IMAGE, --all, --port"),
], ids=["nothing to flash", "sample on hardware", "port with simulate", "log unwritable", "image missing",
        "several devices", "empty port", "empty serial number", "no such port", "unknown serial number", "quiet and verbose",
        "jobs for one device", "list and flash"])
def test_usage_and_selection_errors_exit_with_2(image_file, args, line):
    returncode, out, err = tool(*[image_file if arg == "IMAGE" else arg for arg in args])
    assert returncode == 2
    if "{}" in line:  # the devices are listed, with how to choose
        ports = re.findall(r"^(/dev/\S+) +SIM", out, re.M)  # ports of any digit count
        assert out.splitlines()[0].split() == ["port", "serial", "number", "location", "description"]
        assert len(ports) == 2 and err == line.format(*ports) + "\n"
    else:
        assert err.splitlines()[-1] == line


def test_version_and_exit_codes_in_help():
    from importlib import metadata

    assert tool("--version") == (0, f"downloader-flash {metadata.version('downloader')}\n", "")
    returncode, out, _ = tool("--help")
    assert returncode == 0 and out.endswith(
        "exit codes:\n"
        "  0    every device flashed and acknowledged the start of its image\n"
        "  1    a device that exists could not be flashed (it failed, is busy or is forbidden)\n"
        "  2    usage or selection error: nothing matched what was asked (no device, no such port, an unknown "
        "serial number), or contradictory options\n"
        "  3    flashed, but a device did not acknowledge the run command\n"
        "  4    the report or the database could not be written; no new device was started, and every outcome it "
        "lacks was printed\n"
        "  5    the serial numbers ran out: the devices in flight finished, and no new one was started\n"
        "  130  interrupted: 128 + the signal's number (130 Ctrl-C, 143 SIGTERM, 129 SIGHUP) with a device in flight; "
        "a station stopped with none ends with the code of those it flashed\n")


README = os.path.join(os.path.dirname(__file__), "..", "README.md")


@pytest.mark.skipif(not os.path.exists(README), reason="the README is checked in the source tree")
def test_the_readme_gives_the_exit_codes_of_the_one_table():
    from downloader_flash import outcomes

    with open(README, encoding="utf-8") as handle:
        readme = handle.read()
    generated = readme.split("<!-- exit codes: generated -->\n")[1].split("\n<!-- end of exit codes -->")[0]
    assert generated == outcomes.markdown_table()


@pytest.mark.pty
@pytest.mark.parametrize("command", [[os.path.join(os.path.dirname(sys.executable), "downloader-flash")], TOOL],
                         ids=["installed command", "python -m"])
def test_ctrl_c_while_the_tool_is_loading_ends_in_one_line(tmp_path, command):
    # A tqdm that is interrupted while it imports, as Ctrl-C right after Enter would.
    (tmp_path / "tqdm.py").write_text("raise KeyboardInterrupt\n")
    result = subprocess.run([*command, "--simulate", "1", "--sample", "1000"], capture_output=True, text=True,
                            timeout=60, env=dict(os.environ, PYTHONPATH=str(tmp_path)))
    assert (result.returncode, result.stdout, result.stderr) == (
        130, "", "downloader-flash: interrupted before the first block; the device is unchanged\n")


@pytest.mark.parametrize("whole_group", [False, True], ids=["signal to the tool", "Ctrl-C to its process group"])
def test_ctrl_c_says_where_it_stopped_and_frees_the_port(make_sim, image_file, whole_group):
    sim = make_sim(delay_ms=2)  # 3,125 blocks take several seconds
    proc = subprocess.Popen([*INTERRUPTIBLE_TOOL, image_file, "--port", sim.port], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, start_new_session=whole_group)
    try:
        assert eventually(lambda: len(sim.blocks) >= 50, 30)
        if whole_group:
            os.killpg(proc.pid, signal.SIGINT)
        else:
            proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=30)
    finally:
        proc.kill()
        proc.communicate(timeout=30)  # reaped, its pipes closed
    assert (proc.returncode, out) == (130, "")
    match = re.fullmatch(r"downloader-flash: interrupted at block (\d+) of 3,125; the device holds a partial image\n",
                         err)
    assert match, err
    block = int(match.group(1))
    assert sim.blocks >= frozenset(range(block)) and max(sim.blocks) <= block < 3125
    with serial.Serial(sim.port, exclusive=True):  # no worker left holding it
        pass


# Processes a tool starts that are not workers: multiprocessing's helpers, and --simulate's devices.
NOT_WORKERS = (b"multiprocessing.resource_tracker", b"downloader_sim")
FORK_SERVER = b"multiprocessing.forkserver"


def process_table():
    """{pid: (parent pid, command line, /proc status fields)} of the processes that can be read."""
    table = {}
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as cmdline, open(f"/proc/{entry}/status") as status:
                command, fields = cmdline.read(), dict(line.split(":", 1) for line in status)
        except (OSError, ValueError):
            continue
        table[int(entry)] = (int(fields["PPid"]), command, fields)
    return table


def workers_of(pid, table):
    """The tool's worker processes, whatever the start method: its children under spawn and fork,
    the fork server's under forkserver."""
    servers = {child for child, (parent, command, _) in table.items() if parent == pid and FORK_SERVER in command}
    return [child for child, (parent, command, _) in table.items()
            if (parent == pid or parent in servers) and child not in servers
            and not any(mark in command for mark in NOT_WORKERS)]


def starting_workers(pid):
    """The worker processes of the tool `pid` that no longer take SIGINT's default action: from
    the point where the interpreter of a worker that does not ignore it has set its handler,
    there is still most of the start-up to go.

    A fork on its way to its exec still carries the tool's own command line: the resource
    tracker's, started just before the first worker, is one. So a child with that command line
    counts only once the tracker has exec'd; after that, the tool forks only workers."""
    table = process_table()
    tool = table.get(pid, (0, b"", {}))[1]
    tracker_up = any(parent == pid and NOT_WORKERS[0] in command for parent, command, _ in table.values())
    found = []
    for worker in workers_of(pid, table):
        parent, command, fields = table[worker]
        if command == tool and not tracker_up:
            continue
        taken = int(fields["SigCgt"], 16) | int(fields["SigIgn"], 16)
        if taken & 1 << (signal.SIGINT - 1):
            found.append(worker)
    return found


def test_ctrl_c_while_a_worker_is_still_starting_ends_in_one_line(make_sim, image_file):
    """The terminal's Ctrl-C reaches the whole process group: a worker still importing must
    not die of it with a traceback, and the device is reported as interrupted."""
    sim = make_sim(delay_ms=2)  # 3,125 blocks take several seconds
    proc = subprocess.Popen([*INTERRUPTIBLE_TOOL, image_file, "--port", sim.port], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    try:
        started = []  # as first seen: the next look may find the worker past its start already
        assert eventually(lambda: started.extend(starting_workers(proc.pid)) or started, 30)
        os.kill(started[0], signal.SIGINT)
        eventually(lambda: not starting_workers(proc.pid), 1)  # a worker that dies of it, dies first
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=30)
    finally:
        proc.kill()
        proc.communicate(timeout=30)  # reaped, its pipes closed
    assert (proc.returncode, out) == (130, "")
    assert re.fullmatch(r"downloader-flash: interrupted (before the first block; the device is unchanged|"
                        r"at block \d+ of 3,125; the device holds a partial image)\n", err), err


@pytest.mark.pty
def test_ctrl_c_during_all_lists_each_device_as_interrupted_and_claims_no_image():
    proc = subprocess.Popen([*INTERRUPTIBLE_TOOL, "--simulate", "2", "--all", "--sample", "2000000"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert eventually(lambda: len(starting_workers(proc.pid)) == 2, 30)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=30)
    finally:
        proc.kill()
        proc.communicate(timeout=30)  # reaped, its pipes closed
    assert proc.returncode == 130
    lines = out.splitlines()
    # in port order, which need not be the devices' order: pty numbers are reused
    assert sorted(line.split()[1:3] for line in lines[1:3]) == [["SIM0001", "interrupted"], ["SIM0002", "interrupted"]]
    assert len(lines) == 3, out
    failures = err.splitlines()
    assert len(failures) == 2 and all(re.fullmatch(r"/dev/\S+: interrupted \S.*", line) for line in failures), err


def test_a_second_flasher_on_the_same_port_is_refused_and_the_first_completes(make_sim, image_file):
    sim = make_sim(delay_ms=1)
    first = subprocess.Popen([*TOOL, image_file, "--port", sim.port], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    try:
        assert eventually(lambda: len(sim.blocks) >= 20, 30)
        assert tool(image_file, "--port", sim.port) == (
            1, "", f"downloader-flash: cannot open {sim.port}: in use by another process\n")
        # The refused flasher left the line alone: had it lost the first's reply, the first would
        # send that block again before any new one. Later resends are the first's own answer to a
        # reply that a loaded machine delivered after the read time-out, and prove nothing here.
        sent = len(sim.blocks)
        assert eventually(lambda: len(sim.blocks) > sent, 30) and sim.duplicates == []
        out, err = first.communicate(timeout=60)
    finally:
        first.kill()
        first.communicate(timeout=30)  # reaped, its pipes closed
    assert (first.returncode, err) == (0, "")
    assert sim.reports[-1].complete and sim.heartbeats == 1


def test_report_appends_one_record_per_attempt(make_sim, image_file, tmp_path):
    sim = make_sim(reject={5: 4})  # the first attempt gives up on block 5; the second goes through
    report = tmp_path / "flash.jsonl"
    returncode, out, err = tool(image_file, "--port", sim.port, "--attempts", "2", "--report", report)
    rejected = f"device on {sim.port} rejected block 5, 4 times; giving up (last: packet checksum error: 21)"
    assert (returncode, err) == (0, f"{rejected}; flashing it again from block 0\n")
    records = valid_records(report.read_text())
    assert [list(record) for record in records] == [list(FIELDS)] * 2
    common = {"schema": 3, "port": sim.port, "serial_number": None, "image": image_file, "file_sha256": sha(IMAGE),
              "size": 100000, "blocks": 3125, "attempts": 2, "station": None}
    assert [{name: record[name] for name in common} for record in records] == [common] * 2
    assert [(r["attempt"], r["result"], r["error_kind"], r["error"], r["block"], r["resends"], r["device_sha256"])
            for r in records] == [(1, "failed", "BlockRejected", rejected, 5, 3, None),
                                  (2, "flashed", None, None, 3125, 0, sha(expected_image(IMAGE)))]
    for record in records:
        started, ended = (datetime.datetime.fromisoformat(record[name]) for name in ("started", "time"))
        assert started.utcoffset() == datetime.timedelta(0)
        assert abs((datetime.datetime.now(datetime.timezone.utc) - ended).total_seconds()) < 120
        assert record["seconds"] > 0 and abs((ended - started).total_seconds() - record["seconds"]) < 0.01


@pytest.mark.pty
def test_simulate_all_flashes_every_simulated_device(tmp_path):
    returncode, out, err = tool("--simulate", "4", "--all", "--jobs", "2", "--sample", "20000", "-v")
    assert (returncode, err) == (0, "")
    lines = out.splitlines()
    assert lines[0].split() == ["port", "serial", "number", "result", "blocks", "resends", "seconds", "KiB/s"]
    rows = [line.split() for line in lines[1:5]]
    assert sorted(row[1:5] for row in rows) == [[f"SIM000{n}", "flashed", "625", "0"] for n in range(1, 5)]
    assert [row[0] for row in rows] == sorted((row[0] for row in rows), key=lambda port: int(port.split("/")[-1]))
    sample = lines[6].split()[-1]
    assert lines[5:] == [
        f"  sha256 of the image as the device holds it: {lines[5].split()[-1]}",
        f"  sha256 of the file (bytes 6 to 9 differ: block 0 carries the length there): {sample}",
        "simulated devices holding the image (sha256 match): 4 of 4"]
    assert lines[5].split()[-1] != sample


def test_a_busy_port_is_tried_again_once_it_is_free(make_sim, image_file, tmp_path):
    sim = make_sim()
    holder = serial.Serial(sim.port, exclusive=True)
    proc = subprocess.Popen([*TOOL, image_file, "--port", sim.port, "--attempts", "2", "--wait", "30",
                             "--report", tmp_path / "r.jsonl"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        first = proc.stderr.readline()
        holder.close()
        out, err = proc.communicate(timeout=60)
    finally:
        holder.close()
        proc.kill()
        proc.communicate(timeout=30)  # reaped, its pipes closed
    assert first == f"cannot open {sim.port}: in use by another process; flashing it again from block 0\n"
    assert (proc.returncode, err) == (0, "") and sim.reports[-1].complete
    records = valid_records((tmp_path / "r.jsonl").read_text())
    assert [(r["attempt"], r["result"], r["error_kind"], r["block"]) for r in records] == [
        (1, "failed", "PortInUse", None), (2, "flashed", None, 3125)]


def test_log_appends_run_after_run_with_time_and_port(make_sim, image_file, tmp_path):
    log = tmp_path / "module.log"
    sims = [make_sim(), make_sim()]
    for sim in sims:
        assert tool(image_file, "--port", sim.port, "--log", log)[0] == 0
    ports = [line.split()[1].rstrip(":") for line in log.read_text().splitlines()]
    assert ports[0] == sims[0].port and ports[-1] == sims[1].port and set(ports) == {sim.port for sim in sims}


def test_records_tell_the_truth_about_failures_and_interruptions(make_sim, image_file, tmp_path):
    """A failure has its real duration and failing block; an interruption keeps its resends; a
    device that did not receive the whole image has no device digest; the image path is absolute."""
    silent, slow = make_sim(no_reply_blocks={7}), make_sim(reject={3: 1}, delay_ms=2)
    report = tmp_path / "r.jsonl"
    relative = os.path.relpath(image_file, tmp_path)
    common = ["--report", report, "--station", "line 4", "--retries", "1"]
    assert subprocess.run([*TOOL, relative, "--port", silent.port, *common], cwd=tmp_path, capture_output=True,
                          timeout=60).returncode == 1
    proc = subprocess.Popen([*INTERRUPTIBLE_TOOL, relative, "--port", slow.port, *common], cwd=tmp_path,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        assert eventually(lambda: len(slow.blocks) >= 100, 30)
        proc.send_signal(signal.SIGINT)
        assert proc.wait(timeout=30) == 130
    finally:
        proc.kill()
        proc.communicate()
    failed, interrupted = valid_records(report.read_text())
    assert (failed["result"], failed["error_kind"], failed["block"], failed["resends"]) == ("failed", "NoReply", 7, 1)
    assert failed["seconds"] >= 1.9  # two read time-outs
    assert (interrupted["result"], interrupted["resends"]) == ("interrupted", 1) and interrupted["block"] >= 99
    for record in (failed, interrupted):
        assert (record["image"], record["station"], record["device_sha256"]) == (image_file, "line 4", None)
        assert record["tool_version"] == record["module_version"] and record["python_version"] == platform.python_version()


@pytest.mark.pty
def test_json_streams_events_and_records_while_the_text_goes_to_stderr():
    returncode, out, err = tool("--simulate", "2", "--all", "--sample", "20000", "--json", "--station", "L1")
    assert returncode == 0
    events = [json.loads(line) for line in out.splitlines()]
    kinds = [event["event"] for event in events]
    assert kinds[:2] == ["device found"] * 2 and kinds[-1] == "summary"
    ports = [event["port"] for event in events[:2]]
    for port in ports:
        own = [event["event"] for event in events if event.get("port") == port or
               event.get("record", {}).get("port") == port]
        assert own[:3] == ["device found", "attempt started", "progress"] and own[-1] == "attempt ended"
    ended = [event for event in events if event["event"] == "attempt ended"]
    assert sorted(event["record"]["port"] for event in ended) == sorted(ports)
    for event in ended:
        assert event["final"] is True and event["recorded"] is None and event["record"]["station"] == "L1"
        valid_records(json.dumps(event["record"]))
    assert {key: events[-1][key] for key in ("exit_code", "results", "signal")} == {
        "exit_code": 0, "results": {"flashed": 2}, "signal": None}
    assert err.splitlines()[0].split()[:3] == ["port", "serial", "number"]  # the table, for a person watching


def test_a_wait_that_runs_out_counts_as_an_attempt_and_a_missing_port_stays_a_selection_error(image_file, tmp_path):
    missing = str(tmp_path / "ttyACM9")
    returncode, out, err = tool(image_file, "--port", missing, "--attempts", "2", "--wait", "0.5",
                                "--report", tmp_path / "r.jsonl")
    assert (returncode, out) == (2, "")
    assert err.splitlines() == [
        f"cannot open {missing}: no such port; flashing it again from block 0",
        f"downloader-flash: cannot open {missing}: no such port; the device did not come back within 0.5 s"]
    records = valid_records((tmp_path / "r.jsonl").read_text())
    assert [(r["attempt"], r["error_kind"]) for r in records] == [(1, "PortUnavailable"), (2, "PortUnavailable")]
    assert records[1]["seconds"] >= 0.5 and records[0]["image"] == image_file


@pytest.mark.parametrize("results, signum, code", [
    ([], None, 0),
    (["flashed", "not acknowledged"], None, 3),
    (["not acknowledged", "failed"], None, 1),
    (["failed", "usage"], None, 2),
    (["failed", "report unwritable"], None, 4),
    (["report unwritable", "interrupted"], None, 130),
    (["failed", "usage", "out of serial numbers"], None, 5),
    (["interrupted"], signal.SIGTERM, 143),
    (["flashed"], signal.SIGHUP, 129),
], ids=["nothing", "not acknowledged", "failed", "selection", "report", "interrupted", "out of serials", "SIGTERM",
        "SIGHUP"])
def test_the_exit_code_follows_one_rule(results, signum, code):
    from downloader_flash import outcomes

    assert outcomes.exit_code([outcomes.BY_NAME[name] for name in results], signum) == code


def test_everything_named_after_an_outcome_is_made_from_the_one_table():
    import downloader_flash
    from downloader_flash import outcomes, records
    from downloader_flash.web_view import OUTCOMES_SHOWN

    codes = [outcome.exit_code for outcome in outcomes.OUTCOMES]
    assert len(set(codes)) == len(codes) and sorted(o.precedence for o in outcomes.OUTCOMES) == list(range(len(codes)))
    assert {name: getattr(downloader_flash, name) for name in outcomes.EXIT_NAMES} == outcomes.EXIT_NAMES
    with open(downloader_flash.__file__, encoding="utf-8") as package:  # what a type checker is told
        assert re.findall(r"^    (EXIT_\w+): int$", package.read(), re.M) == list(outcomes.EXIT_NAMES)
    assert set(outcomes.EXIT_NAMES) <= set(downloader_flash.__all__)
    with open(records.SCHEMA_FILE, encoding="utf-8") as shipped:
        assert json.load(shipped) == records.schema()  # the enum of results among its fields
    assert [shown["name"] for shown in OUTCOMES_SHOWN] == list(outcomes.RESULTS)


def test_ctrl_c_stops_the_example_host_loop_instead_of_moving_on_to_the_next_device(make_sim, image_file):
    first, second = make_sim(delay_ms=2), make_sim()
    example = os.path.join(os.path.dirname(__file__), "..", "examples", "flash_each.py")
    proc = subprocess.Popen([sys.executable, "-c", "import runpy, signal, sys; signal.signal(signal.SIGINT, "
                             "signal.default_int_handler); sys.argv = sys.argv[1:]; runpy.run_path(sys.argv[0], "
                             "run_name='__main__')", example, image_file, first.port, second.port],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert eventually(lambda: len(first.blocks) >= 50, 30)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=30)
    finally:
        proc.kill()
        proc.communicate(timeout=30)  # reaped, its pipes closed
    assert (proc.returncode, out) == (130, "")
    assert re.fullmatch(r"interrupted at block [\d,]+ of 3,125; the device holds a partial image\n", err), err
    assert second.frames == 0


def test_a_host_program_flashes_several_devices_through_the_library_with_its_own_callbacks(make_sim, tmp_path):
    from downloader_flash import Callbacks, Device, Image, Report, Settings, flash_all

    class Heard(Callbacks):
        def __init__(self):
            self.found_devices, self.progress_of, self.ended = [], set(), []

        def found(self, device):
            self.found_devices.append(device.device)

        def progress(self, job, done, blocks):
            self.progress_of.add((job.key.port, blocks))

        def attempt_ended(self, job, attempt, final, recorded):
            self.ended.append((job.key, attempt.result, final, recorded))

    heard = Heard()
    sims = [make_sim(), make_sim(reject={2: 9})]
    devices = [Device(sim.port, f"SN{n}", None, "") for n, sim in enumerate(sims)]
    report = Report(str(tmp_path / "r.jsonl"))
    try:
        summary = flash_all(Settings(retries=1, station="bench"), Image(IMAGE[:3200], "/srv/fw.bin"), devices, heard,
                            report)
    finally:
        report.close()
    assert summary.exit_code() == 1 and summary.signum is None
    assert heard.found_devices == [sim.port for sim in sims] and (sims[0].port, 100) in heard.progress_of
    assert sorted(heard.ended) == sorted([(devices[0].key, "flashed", True, True),
                                          (devices[1].key, "failed", True, True)])
    records = valid_records((tmp_path / "r.jsonl").read_text())
    assert sorted((r["serial_number"], r["result"], r["station"], r["image"]) for r in records) == [
        ("SN0", "flashed", "bench", "/srv/fw.bin"), ("SN1", "failed", "bench", "/srv/fw.bin")]


# Beyond POSIX --------------------------------------------------------------------------------------

# Loaded by every interpreter the tool starts (its workers, the simulators' processes): what
# Windows lacks is taken away before anything of the tool is imported. select.poll stays: from
# 3.15 on, the interpreter's own subprocess waits with it on Linux.
WITHOUT_POSIX = '''
import os, signal, sys
sys.modules["grp"] = None  # import grp raises ImportError
del signal.pthread_sigmask, os.killpg, os.openpty
'''


@pytest.fixture
def without_posix(tmp_path):
    """The environment of a tool that runs where grp, pthread_sigmask, killpg and openpty do not exist."""
    folder = tmp_path / "site"
    folder.mkdir()
    (folder / "sitecustomize.py").write_text(WITHOUT_POSIX)
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [str(folder), os.environ.get("PYTHONPATH")])))
    probe = ("import os, signal; print(hasattr(os, 'openpty'), hasattr(os, 'killpg'), "
             "hasattr(signal, 'pthread_sigmask'))")
    assert subprocess.run([sys.executable, "-c", probe], env=environment, capture_output=True,
                          text=True).stdout == "False False False\n"
    return environment


def test_the_tool_lists_simulates_and_flashes_without_posix_only_modules(without_posix, simulated_device_factory,
                                                                       image_file):
    def run(*args):
        result = subprocess.run([*TOOL, *args], env=without_posix, capture_output=True, text=True, timeout=60)
        assert (result.returncode, result.stderr) == (0, "")
        return result.stdout

    listed = run("--simulate", "2", "--list").splitlines()
    assert sorted(line.split()[1:] for line in listed[1:]) == [["SIM0001", "-", "simulated", "device"],
                                                               ["SIM0002", "-", "simulated", "device"]]
    assert all(line.startswith("socket://127.0.0.1:") for line in listed[1:])
    assert run("--simulate", "2", "--all", "--sample", "20000").splitlines()[-1] == (
        "simulated devices holding the image (sha256 match): 2 of 2")
    sim = simulated_device_factory(transport="tcp")
    assert run(image_file, "--port", sim.url).startswith(f"flashed {sim.url}: 100,000 bytes in 3,125 blocks, 0 resends")
    assert eventually(lambda: sim.reports) and sim.reports[-1].sha256 == sha(expected_image(IMAGE))


def closed_tcp_port():
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        return listener.getsockname()[1]


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
