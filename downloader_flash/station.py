"""Station mode, for any front end: `watch()` flashes each matching device once as it is plugged
in (or, on demand, when another thread asks), until a signal ends it. It records every attempt in
the report and the line's database, where there are, and tells the front end through its
Callbacks; it never prints."""
import math
import queue
import threading
import time
from dataclasses import dataclass
from typing import Callable, Dict, List, Optional, Set, Union

from .devices import find_devices
from .hotplug import Waker, Wakeup, tty_events
from .model import BoardData, Callbacks, Device, DeviceKey, Image, Origin, Summary
from .records import Report
from .run import Run, StationEnded
from .scheduler import POLL_INTERVAL
from .settings import Settings
from .store import Store

MOST_AT_ONCE = 64  # in station mode, without --jobs
SPARE_WORKERS = 1  # in station mode, workers started ahead of the next device
# Woken when a device comes or goes, a station still looks as often as without: a container in a
# network namespace of its own hears no announcement, and a device may be made without one.
RESCAN_INTERVAL = POLL_INTERVAL
SIMULATED_POLL_INTERVAL = 0.05  # an enumeration of the caller's own, with no wakeup: cheap to look at often


def identity(key: DeviceKey) -> Union[str, DeviceKey]:
    """A device with a serial number is the same device on whichever port it comes back."""
    return key.serial_number if key.serial_number is not None else key


# How a station answers a request to flash one device.
STARTED, UNKNOWN, BUSY = "started", "unknown", "busy"


@dataclass(frozen=True)
class FlashRequest:
    """Flash the device on `port`, or the one with `serial_number`. `answer(verdict, device)` is
    called in the station's thread: STARTED with the device, UNKNOWN or BUSY with None."""

    answer: Callable[[str, Optional[Device]], None]
    port: Optional[str] = None
    serial_number: Optional[str] = None

    def matches(self, device: Device) -> bool:
        if self.port is not None:
            return device.device == self.port
        return device.serial_number == self.serial_number


class Control:
    """What another thread may ask of a watching station: to flash a device (with `on_demand`,
    devices are flashed only when asked), or to end once nothing is in flight. Asking never waits
    for the station."""

    def __init__(self, on_demand: bool = False) -> None:
        self.on_demand = on_demand
        self.requests: "queue.SimpleQueue[FlashRequest]" = queue.SimpleQueue()
        self.ending = threading.Event()
        self.wakeup: Optional[Wakeup] = None  # the watching station's, while it watches

    def flash(self, request: FlashRequest) -> None:
        self.requests.put(request)
        self._wake()

    def end(self) -> None:
        self.ending.set()
        self._wake()

    def _wake(self) -> None:
        wakeup = self.wakeup
        if wakeup is not None:
            wakeup.set()

    def pending(self) -> List[FlashRequest]:
        taken: List[FlashRequest] = []
        while True:
            try:
                taken.append(self.requests.get_nowait())
            except queue.Empty:
                return taken


class Looks:
    """When a station looks at the devices: as soon as `waker` says one came or went, and at
    least every `interval` seconds. The scheduler waits on it as on any waker."""

    def __init__(self, waker: Optional[Waker], interval: float) -> None:
        self.waker, self.interval = waker, interval
        self.called_for = True  # the first look
        self.last = -math.inf

    def fileno(self) -> int:
        assert self.waker is not None, "waited on without a waker"
        return self.waker.fileno()

    def clear(self) -> bool:
        if self.waker is not None and self.waker.clear():
            self.called_for = True
        return self.called_for

    def due(self) -> bool:
        now = time.monotonic()
        if not self.called_for and now - self.last < self.interval:
            return False
        self.called_for, self.last = False, now
        return True


def looks_for(devices: Optional[Callable[[], List[Device]]], waker: Optional[Waker]) -> Looks:
    """Woken by `waker` where there is one (the kernel's announcements, or the caller's own
    wakeup), otherwise at intervals: short ones for an enumeration of the caller's own."""
    if waker is not None:
        return Looks(waker, RESCAN_INTERVAL)
    return Looks(None, POLL_INTERVAL if devices is None else SIMULATED_POLL_INTERVAL)


def watch(settings: Settings, image: Image, callbacks: Optional[Callbacks] = None, report: Optional[Report] = None,
          origin: Optional[Origin] = None, control: Optional[Control] = None,
          devices: Optional[Callable[[], List[Device]]] = None, wakeup: Optional[Waker] = None,
          serials: Optional[BoardData] = None, store: Optional[Store] = None) -> Summary:
    """Flashes each matching device once while it stays plugged in, until a signal ends it, or
    until the report or the database fails, or the serial numbers run out, and the devices in
    flight have finished. With `control`, another thread may ask for a device or end the station;
    `devices` lists the devices plugged in (find_devices by default), and `wakeup`, if given,
    becomes readable when they may have changed. `serials` and `store` are as flash_all's."""
    events = tty_events() if devices is None else None
    control = control or Control()
    control.wakeup = woken_by_control = Wakeup()
    try:
        run = Run(settings, image, callbacks or Callbacks(), report, origin, MOST_AT_ONCE, SPARE_WORKERS, serials, store)
        return watching(run, control, devices or find_devices, looks_for(devices, events or wakeup))
    finally:
        control.wakeup = None
        woken_by_control.close()
        if events is not None:
            events.close()


def watching(run: Run, control: Control, listed: Callable[[], List[Device]], looks: Looks) -> Summary:
    callbacks = run.callbacks
    finished: Set[Union[str, DeviceKey]] = set()  # plugged in and flashed, or being flashed
    in_flight: Set[Union[str, DeviceKey]] = set()
    run.on_final = lambda key: in_flight.discard(identity(key))
    told: List[Device] = []

    def start(name: Union[str, DeviceKey], device: Device) -> None:
        finished.add(name)
        in_flight.add(name)
        run.add(device)

    def poll() -> None:
        ending = not run.starting or control.ending.is_set()
        if ending and not run.scheduler.busy():
            raise StationEnded()
        # Nothing is concluded from an earlier look: a device it missed may have come back since.
        if not looks.due() and control.requests.empty():
            return
        present = {identity(device.key): device for device in listed()}
        ordered = sorted(present.items(), key=lambda item: item[1].device)
        if [device for _, device in ordered] != told:
            told[:] = [device for _, device in ordered]
            callbacks.present(list(told))
        finished.intersection_update(set(present) | in_flight)  # unplugged: flash it again when it comes back
        if control.on_demand:
            answer(control.pending(), dict(ordered), ending)
            return
        for name, device in ordered:
            if name not in finished and not ending:
                start(name, device)

    def answer(requests: List[FlashRequest], present: Dict[Union[str, DeviceKey], Device], ending: bool) -> None:
        for request in requests:
            name, device = next(((n, d) for n, d in present.items() if request.matches(d)), (None, None))
            if name is None or device is None:
                request.answer(UNKNOWN, None)
            elif name in in_flight or ending:
                request.answer(BUSY, None)
            else:
                start(name, device)
                request.answer(STARTED, device)

    wakers: List[Waker] = [control.wakeup] if control.wakeup is not None else []
    if looks.waker is not None:
        wakers.append(looks)
    return run.run(poll, looks.interval, wakers)
