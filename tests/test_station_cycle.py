"""The station's own cycle: spare workers started ahead of the devices, and waking on the
kernel's tty announcements, a wakeup of the enumeration's own, or a signal, without a poll."""
import contextlib
import os
import re
import signal
import socket
import struct
import sys
import threading
import time

import pytest

from downloader_flash import Callbacks, Device, Image, Settings
from downloader_flash import hotplug, processes, station, stop_signals
from downloader_flash import scheduler as scheduling
from downloader_flash.model import DeviceKey
from downloader_flash.files import device_sha256
from downloader_flash.model import Job
from downloader_flash.scheduler import Scheduler
from downloader_flash.station import Control, watch
from fakes import eventually
from test_scheduler import IMAGE, finish, live_processes, reaped, start, stat_fields

linux_only = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads processes from /proc")
OTHER_IMAGE = bytes(reversed(IMAGE))
LONG = 3600.0  # an interval that no test waits out: only a wakeup can end its wait
GIVE_UP = 30.0  # seconds a test waits for what should take a fraction of one


class Done(Exception):
    """Ends a test's scheduler run from its poll."""


def job_for(sim, data):
    return Job(DeviceKey(sim.port, None), data, "image.bin", retries=3, log=None, wait=1.0)


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


def uevent(*fields):
    return b"\0".join([b"add@/devices/x", *fields, b""])


def udev_event(*fields):
    """udev's: a binary header (its last bytes not NUL here), then the fields."""
    properties = b"\0".join([*fields, b""])
    header = b"libudev\0" + struct.pack("=4I", 0xFEEDCAFE, 40, 40, len(properties)) + b"\xff" * 16
    return header + properties


@pytest.mark.parametrize("datagrams, concerned", [
    ([uevent(b"ACTION=add", b"SUBSYSTEM=tty", b"DEVNAME=ttyACM0")], True),
    ([uevent(b"ACTION=add", b"SUBSYSTEM=usb"), uevent(b"ACTION=remove", b"SUBSYSTEM=tty")], True),
    ([uevent(b"ACTION=add", b"SUBSYSTEM=usb", b"DEVNAME=bus/usb/001/002")], False),
    ([uevent(b"ACTION=add", b"SUBSYSTEM=ttyish")], False),
    ([udev_event(b"SUBSYSTEM=tty", b"ACTION=add")], True),
    ([udev_event(b"SUBSYSTEM=usb", b"ACTION=add")], False),
    ([], False),
], ids=["tty", "tty-after-usb", "usb-only", "not-tty", "udev-tty", "udev-usb", "none"])
def test_only_a_tty_announcement_calls_for_a_look_and_all_are_taken(datagrams, concerned):
    ours, kernel = socket.socketpair(socket.AF_UNIX, socket.SOCK_DGRAM)
    ours.setblocking(False)
    events = hotplug.TtyEvents(ours)
    try:
        for datagram in datagrams:
            kernel.send(datagram)
        assert events.clear() is concerned
        assert events.clear() is False  # nothing left over to wake the next wait
    finally:
        events.close()
        kernel.close()


def uevents_here():
    events = hotplug.tty_events()
    if events is not None:
        events.close()
    return events is not None


@pytest.mark.skipif(not uevents_here(), reason="no uevent socket here")
@pytest.mark.parametrize("udev_running, group", [(True, hotplug.UDEV_GROUP), (False, hotplug.KERNEL_GROUP)],
                         ids=["udev", "kernel"])
def test_where_udev_runs_the_station_hears_of_a_port_once_its_rules_have_run(tmp_path, monkeypatch, udev_running,
                                                                             group):
    control = tmp_path / "control"
    if udev_running:
        control.touch()
    monkeypatch.setattr(hotplug, "UDEV_RUNNING", str(control))
    events = hotplug.tty_events()
    try:
        assert events.sock.getsockname()[1] == group
    finally:
        events.close()


def a_tty_uevent_file():
    """A virtual terminal's (the console and ptmx are not announced as ttys are)."""
    names = os.listdir("/sys/class/tty") if os.path.isdir("/sys/class/tty") else []
    for name in sorted(name for name in names if re.fullmatch(r"tty\d+", name)):
        path = f"/sys/class/tty/{name}/uevent"
        if os.access(path, os.W_OK):
            return path
    return None


@pytest.mark.skipif(not sys.platform.startswith("linux") or os.geteuid() != 0, reason="needs Linux and root")
def test_the_kernel_announces_a_tty_to_the_station():
    events = hotplug.tty_events()
    path = a_tty_uevent_file()
    if events is None or path is None:
        pytest.skip("no uevent socket, or no tty whose announcement can be asked for")
    try:
        with open(path, "w") as handle:
            handle.write("change")  # the kernel announces the tty again, as it does when it comes
        heard = []  # clear() takes what came: a second look says nothing
        if not eventually(lambda: heard.append(events.clear()) or any(heard), 5):
            pytest.skip("the kernel's announcements do not reach this network namespace")
    finally:
        events.close()


class FirstFlashed(Callbacks):
    def __init__(self, control):
        self.control, self.results = control, []

    def attempt_ended(self, job, attempt, final, recorded):
        self.results.append(attempt.result)
        self.control.end()


def test_a_station_woken_by_its_enumeration_flashes_a_new_device_without_waiting_for_a_look(make_sim,
                                                                                               monkeypatch):
    monkeypatch.setattr(station, "RESCAN_INTERVAL", LONG)
    sim = make_sim()
    device = Device(sim.port, "W1", None, "simulated device")
    plugged, wakeup, control = [], hotplug.Wakeup(), Control()
    callbacks = FirstFlashed(control)

    def plug():
        plugged.append(device)
        wakeup.set()

    threading.Timer(0.2, plug).start()
    try:
        summary = watch(Settings(watch=True), Image(IMAGE, "image.bin"), callbacks, None, None, control,
                        lambda: list(plugged), wakeup)
    finally:
        wakeup.close()
    assert callbacks.results == ["flashed"] and summary.signum is None


def stop_when_taken(signum):
    """Sends `signum` to this process once the station has taken it, never while it would kill."""
    if eventually(lambda: getattr(signal.getsignal(signum), "__self__", None).__class__ is stop_signals.StopSignals,
                  GIVE_UP):
        os.kill(os.getpid(), signum)


@pytest.mark.skipif(not hasattr(signal, "SIGTERM") or signal.getsignal(signal.SIGTERM) is not signal.SIG_DFL,
                    reason="SIGTERM is taken here already")
def test_a_signal_ends_a_station_at_once_however_long_its_interval(monkeypatch):
    """Nothing but the signal's wakeup ends the wait: no device, no timed look within the test."""
    monkeypatch.setattr(station, "SIMULATED_POLL_INTERVAL", LONG)
    control = Control()
    threading.Thread(target=stop_when_taken, args=(signal.SIGTERM,)).start()
    watchdog = threading.Timer(GIVE_UP, control.end)  # a station that misses the signal ends all the same
    watchdog.start()
    begun = time.monotonic()
    try:
        summary = watch(Settings(watch=True), Image(IMAGE, "image.bin"), None, None, None, control, lambda: [])
    finally:
        watchdog.cancel()
    assert summary.signum == signal.SIGTERM and time.monotonic() - begun < GIVE_UP / 2
    assert signal.getsignal(signal.SIGTERM) is signal.SIG_DFL and signal.set_wakeup_fd(-1) == -1  # as they were
