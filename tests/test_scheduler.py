"""Faults injected into a running downloader-flash: signals to the tool, killed workers and simulators.

The processes of a run are found by what they are to the tool, never by their command lines: its
process group (the tool starts a session of its own here), and the files they hold
open (a worker holds the --log file while it flashes, a simulator the pty's master).
"""
import contextlib
import json
import multiprocessing
import os
import re
import signal
import subprocess
import sys
import textwrap
import threading

import pytest
import serial

from downloader_flash.scheduler import Scheduler
from fake_usb import INTERRUPTIBLE_TOOL
from fakes import eventually
from tool_processes import IMAGE, TOOL, UNCLEAN, finish, job_for, live_processes, processes_holding, reaped, start
from tool_runs import image_file, interrupt, interrupted  # noqa: F401

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads processes from /proc")


def blocks_logged(log):
    """{port: the highest block number the module logged for it}, from a log that several share
    (each line: time, port, the module's line)."""
    reached = {}
    try:
        with open(log, encoding="utf-8") as handle:
            for port, block in re.findall(r"^\S+ (\S+): (\d+)$", handle.read(), re.MULTILINE):  # time port: block
                reached[port] = max(reached.get(port, 0), int(block))
    except OSError:
        pass
    return reached


@pytest.mark.pty
@pytest.mark.parametrize("signum, code", [(signal.SIGTERM, 143), (signal.SIGHUP, 129), (signal.SIGKILL, -9)],
                         ids=["SIGTERM", "SIGHUP", "SIGKILL"])
def test_a_stopped_tool_leaves_no_process_and_records_each_device_it_could(tmp_path, signum, code):
    log, report = tmp_path / "module.log", tmp_path / "report.jsonl"
    proc = start("--simulate", 3, "--all", "--sample", 2000000, "--log", log, "--report", report)
    with reaped(proc):
        assert eventually(lambda: len([b for b in blocks_logged(log).values() if b >= 20]) == 3, 30)
        proc.send_signal(signum)
        returncode, out, err = finish(proc)
        assert eventually(lambda: not live_processes(proc.pid), 2), "a process of the run outlived the tool"
    assert returncode == code
    if signum == signal.SIGKILL:
        return
    records = [json.loads(line) for line in report.read_text().splitlines()]
    assert sorted(record["port"] for record in records) == sorted(blocks_logged(log))
    for record in records:
        assert record["result"] == "interrupted"
        assert re.fullmatch(r"interrupted at block [\d,]+ of 62,500; the device holds a partial image",
                            record["error"]), record
    # One line per device on stderr, as for any failure, and nothing else.
    assert sorted(err.splitlines()) == sorted(f"{record['port']}: {record['error']}" for record in records)
    rows = [line.split() for line in out.splitlines()[1:4]]  # in port order, whichever numbers the ptys got
    assert sorted(row[1:3] for row in rows) == [[f"SIM000{n}", "interrupted"] for n in (1, 2, 3)]


@pytest.mark.parametrize("signum, code", [(signal.SIGTERM, 143), (signal.SIGKILL, -9)], ids=["SIGTERM", "SIGKILL"])
def test_a_stopped_tool_frees_the_port_within_a_second(make_sim, tmp_path, signum, code):
    """The worker stops at once, even when the tool was killed and cannot tell it to."""
    sim = make_sim(delay_ms=2)  # 1,250 blocks take seconds
    (tmp_path / "image.bin").write_bytes(IMAGE)
    proc = start(tmp_path / "image.bin", "--port", sim.port)
    assert eventually(lambda: len(sim.blocks) >= 50, 30)
    proc.send_signal(signum)
    returncode, out, err = finish(proc)
    assert returncode == code

    def port_free():
        try:
            serial.Serial(sim.port, exclusive=True).close()
        except serial.SerialException:
            return False
        return True

    assert eventually(port_free, 2), "the worker still holds the port"
    assert not sim.reports  # the image was never started
    if signum == signal.SIGTERM:
        assert re.fullmatch(r"downloader-flash: interrupted at block [\d,]+ of 1,250; the device holds a partial "
                            r"image\n", err), err


@pytest.mark.pty
@pytest.mark.parametrize("victim, error", [
    ("worker", r"the worker for \S+ ended with exit code -9"),
    ("simulator", r"device on \S+ disconnected at block [\d,]+ of 12,500"),
], ids=["worker", "simulator"])
def test_a_killed_worker_or_simulator_fails_its_device_at_once_and_alone(tmp_path, victim, error):
    """Noticed while the others still flash, and holding none of them up."""
    log, report = tmp_path / "module.log", tmp_path / "report.jsonl"
    held = str(log) if victim == "worker" else "/dev/ptmx"  # a worker holds the log while it flashes
    proc = start("--simulate", 3, "--all", "--sample", 400000, "--log", log, "--report", report)
    with reaped(proc):
        victims = eventually(lambda: len([b for b in blocks_logged(log).values() if b >= 20]) == 3
                             and processes_holding(proc.pid, held), 30)
        assert victims
        os.kill(victims[0], signal.SIGKILL)
        returncode, out, err = finish(proc)
    assert returncode == 1
    lines = out.splitlines()
    assert sorted(line.split()[2] for line in lines[1:4]) == ["failed", "flashed", "flashed"], out
    assert lines[-1] == "simulated devices holding the image (sha256 match): 2 of 3"
    records = [json.loads(line) for line in report.read_text().splitlines()]
    assert [record["result"] for record in records] == ["failed", "flashed", "flashed"]
    assert re.fullmatch(error, records[0]["error"]) and err == records[0]["error"] + "\n", err


SITE_CUSTOMIZE = """
import os
with open(os.path.join({folder!r}, "started-%d" % os.getpid()), "w") as record:
    for line in open("/proc/self/status"):
        if line.startswith("SigIgn:"):
            record.write(line.split()[1])
"""


def test_a_simulator_process_leaves_stopping_to_its_parent_from_its_first_instruction(tmp_path):
    """A terminal's Ctrl-C or hang-up reaches the whole group: a simulator still starting must not
    die of it with a traceback, or an interpreter's fatal error in site."""
    (tmp_path / "sitecustomize.py").write_text(SITE_CUSTOMIZE.format(folder=str(tmp_path)))
    driver = textwrap.dedent("""
        from downloader_sim import Simulator
        with Simulator(process=True) as sim:
            print(sim._proc.pid)
    """)
    result = subprocess.run([sys.executable, "-c", driver], capture_output=True, text=True, timeout=60,
                            env=dict(os.environ, PYTHONPATH=str(tmp_path)))
    assert result.returncode == 0, result.stderr
    ignored = int((tmp_path / f"started-{result.stdout.strip()}").read_text(), 16)
    assert [signum for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP) if not ignored & 1 << (signum - 1)] == []


def test_a_simulator_process_whose_parent_gives_up_before_the_start_ends_quietly():
    """As when Ctrl-C stops the tool while it waits for a simulator to come up."""
    result = subprocess.run([sys.executable, "-c", "import sys, downloader_sim.simulator as sim; "
                             "sys.exit(sim.control_main())"], stdin=subprocess.DEVNULL, capture_output=True,
                            text=True, timeout=60)
    assert (result.returncode, result.stdout, result.stderr) == (0, "", "")


def test_the_scheduler_numbers_attempts_and_forgets_each_device_after_its_last(make_sim):
    """A station runs for days: nothing of a device may stay behind once its last attempt is heard."""
    sims = [make_sim(reject={5: 4}), make_sim()]  # the first gives up on block 5 once
    heard = []
    scheduler = Scheduler(2, 2, lambda *progress: None,
                          lambda job, attempt, final: heard.append((job.port, job.attempt, job.attempts,
                                                                    attempt.result, final)))
    for sim in sims:
        scheduler.add(job_for(sim))
    assert scheduler.run() is None
    assert sorted(heard) == sorted([(sims[0].port, 1, 2, "failed", False), (sims[0].port, 2, 2, "flashed", True),
                                    (sims[1].port, 1, 2, "flashed", True)])
    kept = {name: value for name, value in vars(scheduler).items() if isinstance(value, (dict, list, set))}
    assert kept == {"running": {}, "exiting": [], "spares": []}
    assert not scheduler.queued


def test_a_failing_callback_leaves_no_worker_behind(make_sim):
    """Workers ignore SIGTERM, so one left running would also hang the interpreter's exit."""
    fast, slow = make_sim(), make_sim(delay_ms=5)  # the slow one is still flashing when the fast one ends

    def on_attempt(job, attempt, final):
        raise RuntimeError("the host's callback failed")

    scheduler = Scheduler(2, 1, lambda *progress: None, on_attempt)
    for sim in (fast, slow):
        scheduler.add(job_for(sim))
    with pytest.raises(RuntimeError, match="the host's callback failed"):
        scheduler.run()
    assert multiprocessing.active_children() == []
    assert not slow.reports


def test_an_output_that_fails_while_stopping_costs_no_other_device_its_report(make_sim):
    """As when the terminal hangs up: SIGHUP, then every line written to it fails."""
    sims = [make_sim(delay_ms=5), make_sim(delay_ms=5)]
    heard = []

    def on_attempt(job, attempt, final):
        heard.append((job.port, attempt.result, final))
        raise OSError(5, "Input/output error")

    def hang_up_once_both_flash():
        if eventually(lambda: all(len(sim.blocks) >= 20 for sim in sims), 30):
            os.kill(os.getpid(), signal.SIGHUP)

    scheduler = Scheduler(2, 1, lambda *progress: None, on_attempt)
    for sim in sims:
        scheduler.add(job_for(sim))
    previous = signal.getsignal(signal.SIGHUP), signal.getsignal(signal.SIGINT)
    signal.signal(signal.SIGHUP, signal.SIG_DFL)
    signal.signal(signal.SIGINT, signal.default_int_handler)  # as a host program starts
    threading.Thread(target=hang_up_once_both_flash, daemon=True).start()
    try:
        with pytest.raises(OSError, match="Input/output error"):
            scheduler.run()
        # The host program's handlers are back: a Ctrl-C after the run is the host's again, and
        # children it starts later do not inherit an ignored SIGINT.
        assert (signal.getsignal(signal.SIGHUP), signal.getsignal(signal.SIGINT)) == (
            signal.SIG_DFL, signal.default_int_handler)
    finally:
        signal.signal(signal.SIGHUP, previous[0])
        signal.signal(signal.SIGINT, previous[1])
    assert sorted(heard) == sorted((sim.port, "interrupted", True) for sim in sims)
    assert multiprocessing.active_children() == []


def test_output_that_goes_away_costs_no_record_and_no_traceback(tmp_path):
    """As when the terminal hangs up or the reader of a pipe quits: every later write fails."""
    report = tmp_path / "report.jsonl"
    reader, writer = os.pipe()
    os.close(reader)  # nobody reads: the first write fails with EPIPE
    try:
        proc = subprocess.Popen([*TOOL, "--simulate", "2", "--all", "--sample", "20000", "--report", report],
                                stdin=subprocess.DEVNULL, stdout=writer, stderr=subprocess.PIPE, text=True)
    finally:
        os.close(writer)
    err = proc.communicate(timeout=60)[1]
    assert not any(mark in err for mark in UNCLEAN), err
    assert proc.returncode == 0
    assert [json.loads(line)["result"] for line in report.read_text().splitlines()] == ["flashed", "flashed"]


# A fresh interpreter, where multiprocessing's helper processes have not started yet: SIGINT
# arrives just as the first worker's start holds the stopping signals.
SIGNAL_WHILE_THE_FIRST_WORKER_STARTS = textwrap.dedent("""
    import os, signal, sys
    from downloader_flash import processes, stop_signals

    def worker():
        pass

    if __name__ == "__main__":
        received = []
        signal.signal(signal.SIGINT, lambda signum, frame: received.append(signum))
        hold = signal.pthread_sigmask

        def hold_then_interrupt(how, signals):
            done = hold(how, signals)
            if how == signal.SIG_BLOCK and not received:
                os.kill(os.getpid(), signal.SIGINT)
            return done

        signal.pthread_sigmask = hold_then_interrupt
        process = processes.worker_context().Process(target=worker, daemon=True)
        with stop_signals.stop_signals_ignored_by_children():
            process.start()
        signal.pthread_sigmask = hold
        process.join()
        print(received == [signal.SIGINT])
""")


@pytest.mark.parametrize("method", ["spawn", "forkserver", "fork"])
def test_a_signal_while_the_first_worker_starts_is_held_not_lost(tmp_path, method):
    """multiprocessing's resource tracker unblocks SIGINT while it starts, on first use."""
    script = tmp_path / "first_worker.py"
    script.write_text(SIGNAL_WHILE_THE_FIRST_WORKER_STARTS)
    result = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=60,
                            env=dict(os.environ, DOWNLOADER_FLASH_START_METHOD=method))
    assert (result.returncode, result.stdout, result.stderr) == (0, "True\n", "")


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
    started = []  # as first seen: the next look may find the worker past its start already

    def stop(proc):
        os.kill(started[0], signal.SIGINT)
        eventually(lambda: not starting_workers(proc.pid), 1)  # a worker that dies of it, dies first
        interrupt(proc)

    returncode, out, err = interrupted([*INTERRUPTIBLE_TOOL, image_file, "--port", sim.port],
                                       lambda proc: started.extend(starting_workers(proc.pid)) or started, stop)
    assert (returncode, out) == (130, "")
    assert re.fullmatch(r"downloader-flash: interrupted (before the first block; the device is unchanged|"
                        r"at block \d+ of 3,125; the device holds a partial image)\n", err), err


@pytest.mark.pty
def test_ctrl_c_during_all_lists_each_device_as_interrupted_and_claims_no_image():
    returncode, out, err = interrupted([*INTERRUPTIBLE_TOOL, "--simulate", "2", "--all", "--sample", "2000000"],
                                       lambda proc: len(starting_workers(proc.pid)) == 2)
    assert returncode == 130
    lines = out.splitlines()
    # in port order, which need not be the devices' order: pty numbers are reused
    assert sorted(line.split()[1:3] for line in lines[1:3]) == [["SIM0001", "interrupted"], ["SIM0002", "interrupted"]]
    assert len(lines) == 3, out
    failures = err.splitlines()
    assert len(failures) == 2 and all(re.fullmatch(r"/dev/\S+: interrupted \S.*", line) for line in failures), err
