"""Spare workers, started ahead of the devices: each device is handed to one, a spare that died
unused is replaced, and none outlives its tool."""
import contextlib
import os
import re
import signal
import sys
import time

import pytest

from downloader_flash import processes, scheduler as scheduling
from downloader_flash.files import device_sha256
from downloader_flash.scheduler import Scheduler
from fakes import eventually
from tool_processes import GIVE_UP, IMAGE, finish, job_for, live_processes, reaped, start, stat_fields

linux_only = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads processes from /proc")
OTHER_IMAGE = bytes(reversed(IMAGE))


class Done(Exception):
    """Ends a test's scheduler run from its poll."""


def ready_spare(scheduler):
    return next((spare for spare in scheduler.spares if spare.is_ready()), None)


@linux_only
def test_each_device_is_handed_to_a_spare_started_before_it_and_flashes_its_own_image(make_sim):
    """The second spare was started before the second job and its image existed: it flashes that
    image, not the first."""
    sims = [make_sim(), make_sim()]
    images = [IMAGE, OTHER_IMAGE]
    spares_used, ran_by, results = [], [], []
    scheduler = None

    def on_progress(job, done, blocks, kib_per_second):
        if done == 1:
            ran_by.append(scheduler.running[job.key].process)

    def poll():
        assert time.monotonic() < deadline, f"stuck: spares {spares_used}, ran by {ran_by}, results {results}"
        if len(spares_used) == len(results) < len(sims):
            spare = ready_spare(scheduler)
            if spare is not None:
                spares_used.append(spare.process)
                scheduler.add(job_for(sims[len(results)], images[len(results)]))
        elif len(results) == len(sims):
            raise Done()

    scheduler = Scheduler(2, 1, on_progress, lambda job, attempt, final: results.append(attempt.result), spares=1)
    deadline = time.monotonic() + GIVE_UP
    with pytest.raises(Done):
        scheduler.run(poll, period=0.01)
    assert results == ["flashed", "flashed"]
    assert ran_by == spares_used and spares_used[0] is not spares_used[1]
    assert [sim.reports[-1].sha256 for sim in sims] == [device_sha256(data) for data in images]
    assert not any(process.is_alive() for process in spares_used) and scheduler.spares == []


@linux_only
def test_a_spare_that_died_unused_costs_the_device_nothing_and_is_replaced(make_sim, monkeypatch):
    monkeypatch.setattr(scheduling, "SPARE_RETRY_INTERVAL", 0.0)
    sim = make_sim()
    killed, results = [], []
    scheduler = None

    def poll():
        assert time.monotonic() < deadline, f"stuck: killed {killed}, results {results}"
        spare = ready_spare(scheduler)
        if not killed and spare is not None:
            killed.append(spare.process)
            os.kill(spare.process.pid, signal.SIGKILL)
            assert eventually(lambda: gone(spare.process.pid), GIVE_UP)
            scheduler.add(job_for(sim, IMAGE))
        elif results and spare is not None and spare.process is not killed[0]:
            raise Done()

    scheduler = Scheduler(2, 1, lambda *progress: None,
                          lambda job, attempt, final: results.append(attempt.result), spares=1)
    deadline = time.monotonic() + GIVE_UP
    with pytest.raises(Done):
        scheduler.run(poll, period=0.01)
    assert results == ["flashed"] and sim.reports[-1].sha256 == device_sha256(IMAGE)


def gone(pid):
    """Whether a process has ended: a zombie of ours, or reaped by a forkserver."""
    fields = stat_fields(pid)
    return fields is None or fields[0] in "ZX"


def spares_of(tool):
    """The tool's workers that are past their imports (the module is loaded), not counting the
    resource tracker and a forkserver: under 'forkserver' the workers are the server's children.
    A child not yet past its exec is the tool's copy, the module included: unless workers are
    forks, it is not a worker yet; and the resource tracker's, started just before the first
    worker, is one until it has exec'd."""
    forks = processes.worker_context().get_start_method() == "fork"
    try:
        tool_command = read_proc(tool, "cmdline")
    except OSError:
        return []  # the tool has ended
    found, commands = [], {}
    for pid in live_processes(tool):
        with contextlib.suppress(OSError):
            commands[pid] = read_proc(pid, "cmdline")
    tracker_up = any(b"resource_tracker" in command for command in commands.values())
    for pid, command in commands.items():
        try:
            maps, fields = read_proc(pid, "maps"), stat_fields(pid)
        except OSError:
            continue
        server = fields is not None and fields[1] == tool and b"forkserver" in command
        unstarted = command == tool_command and not (forks and tracker_up)
        if (pid != tool and b"resource_tracker" not in command and not server and not unstarted
                and re.search(rb"/downloader\.\S*\.so", maps)):
            found.append(pid)
    return found


def read_proc(pid, name):
    with open(f"/proc/{pid}/{name}", "rb") as handle:
        return handle.read()


@linux_only
# A station stopped with no device in flight has interrupted nothing: it ends as it would have,
# which a supervisor's SIGTERM takes for a clean stop.
@pytest.mark.parametrize("signum, code, serve", [
    (signal.SIGTERM, 0, ()), (signal.SIGTERM, 0, ("--serve", "127.0.0.1:0")), (signal.SIGKILL, -9, ()),
], ids=["SIGTERM", "SIGTERM served", "SIGKILL"])
def test_the_spare_worker_of_a_watching_tool_ends_with_it(tmp_path, signum, code, serve):
    image = tmp_path / "image.bin"
    image.write_bytes(IMAGE)
    proc = start(image, "--watch", *serve)
    with reaped(proc):
        seen = []  # as first seen: a spare may take its Job, or go, before the next look
        assert eventually(lambda: seen.extend(spares_of(proc.pid)) or seen, GIVE_UP), "no spare worker was started"
        proc.send_signal(signum)
        assert finish(proc)[0] == code
        assert eventually(lambda: not live_processes(proc.pid), 5), "a process of the station outlived the tool"
