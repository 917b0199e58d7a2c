"""The station wakes on the kernel's tty announcements, a wakeup of the enumeration's own, or a
signal, without a poll."""
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

from downloader_flash import Callbacks, Device, Image, Settings, hotplug, station, stop_signals
from downloader_flash.station import Control, watch
from fakes import eventually
from tool_processes import GIVE_UP, IMAGE

LONG = 3600.0  # an interval that no test waits out: only a wakeup can end its wait


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
    with contextlib.closing(hotplug.TtyEvents(ours)) as events, kernel:
        for datagram in datagrams:
            kernel.send(datagram)
        assert events.clear() is concerned
        assert events.clear() is False  # nothing left over to wake the next wait


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
    with contextlib.closing(hotplug.tty_events()) as events:
        assert events.sock.getsockname()[1] == group


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
