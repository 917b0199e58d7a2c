"""What the station's page and API show: the channels, the shift, the records and the flash
requests, kept under a lock from the station's thread, and the hub of event-stream clients."""
import asyncio
import collections
import copy
import io
import itertools
import threading
import time
from dataclasses import asdict, dataclass, field
from typing import Any, Callable, Counter, Deque, Dict, List, Optional, Set, Tuple

from .devices import port_order
from .model import Attempt, Callbacks, Device, DeviceKey, Image, Job, Origin, Record, SerialValue
from .outcomes import RECORDED
from .records import FLASHED, record, utc
from .web_requests import API

CLIENT_QUEUE = 256  # event lines a stream client may fall behind before it is dropped


RECORDS_KEPT = 10000  # in memory, for /records; the report file keeps them all


REQUESTS_KEPT = 1000  # ended flash requests that can still be polled


END = b""  # queued to an event-stream client: end the stream properly, the tool is stopping


# The results a record may hold, as the page shows them: its counters and its classes.
OUTCOMES_SHOWN = [{"name": outcome.name, "key": outcome.key, "class": outcome.css_class, "counted": outcome.counted}
                  for outcome in RECORDED]

# A channel's states, as the page and the API name them.
WAITING, FLASHING = "waiting", "flashing"


@dataclass
class Channel:
    port: str
    serial_number: Optional[str]
    state: str = WAITING
    changed: float = field(default_factory=time.time)
    present: bool = True
    attempt: int = 0
    attempts: int = 0
    percent: Optional[float] = None
    kib_per_second: Optional[float] = None
    reason: Optional[str] = None  # of a failure, one line
    serial: Optional[SerialValue] = None  # the value written into the board being flashed, or the last one

    def become(self, state: str, **values: Any) -> None:
        if state != self.state:
            self.changed = time.time()
        self.state = state
        for name, value in values.items():
            setattr(self, name, value)


@dataclass
class Pending:
    """A flash request made over the API, from its start to its final record."""

    id: int
    key: DeviceKey
    record: Optional[Record] = None
    done: threading.Event = field(default_factory=threading.Event)

    def answer(self) -> Dict[str, Any]:
        state = "ended" if self.record is not None else FLASHING
        return {"id": self.id, "port": self.key.port, "serial_number": self.key.serial_number, "state": state,
                "record": self.record, "poll": f"{API}/flash/{self.id}"}


class Hub:
    """The event-stream clients, each with its bounded queue of ready frames; used in the loop's thread only."""

    def __init__(self) -> None:
        self.clients: Set["asyncio.Queue[bytes]"] = set()
        self.dropped: Dict["asyncio.Queue[bytes]", Callable[[], None]] = {}
        self.drops = 0

    def join(self, queue: "asyncio.Queue[bytes]", drop: Callable[[], None]) -> None:
        self.clients.add(queue)
        self.dropped[queue] = drop

    def leave(self, queue: "asyncio.Queue[bytes]") -> None:
        self.clients.discard(queue)
        self.dropped.pop(queue, None)

    def send(self, line: str) -> None:
        self.put(f"data: {line}\n\n".encode())  # once for every client

    def end(self) -> None:
        """Ends every stream properly: the tool is stopping."""
        self.put(END)

    def put(self, frame: bytes) -> None:
        for queue in list(self.clients):
            try:
                queue.put_nowait(frame)
            except asyncio.QueueFull:
                self.drop(queue)

    def drop(self, queue: "asyncio.Queue[bytes]") -> None:
        self.drops += 1
        drop = self.dropped[queue]
        self.leave(queue)
        drop()


class Lines(io.StringIO):
    """Where the --json events go: each line to `send`, in whatever thread wrote it."""

    def __init__(self, send: Callable[[str], None]) -> None:
        super().__init__()
        self.send = send

    def write(self, text: str) -> int:
        for line in text.splitlines():
            if line:
                self.send(line)
        return len(text)


class State(Callbacks):
    """What the page and the API show, updated from the station's thread."""

    def __init__(self, image: Image, origin: Origin, on_demand: bool) -> None:
        self.image, self.origin, self.on_demand = image, origin, on_demand
        self.lock = threading.Lock()
        self.started = time.time()
        self.channels: Dict[str, Channel] = {}
        self.results: Counter[str] = collections.Counter()
        self.records: Deque[Tuple[int, Record]] = collections.deque(maxlen=RECORDS_KEPT)
        self.sequence = itertools.count(1)
        self.pending: Dict[DeviceKey, Pending] = {}
        self.requests: "collections.OrderedDict[int, Pending]" = collections.OrderedDict()
        self.request_ids = itertools.count(1)
        self.notify: Callable[[Pending], None] = lambda pending: None
        self.left: Optional[int] = None  # serial numbers left to issue; None when the run issues none

    def channel(self, port: str, serial_number: Optional[str]) -> Channel:
        found = self.channels.get(port)
        if found is None or found.serial_number != serial_number:
            found = self.channels[port] = Channel(port, serial_number)
        return found

    def present(self, devices: List[Device]) -> None:
        with self.lock:
            here = {device.device for device in devices}
            for device in devices:
                self.channel(device.device, device.serial_number).present = True
            for port, channel in self.channels.items():
                channel.present = port in here

    def found(self, device: Device) -> None:
        with self.lock:
            self.channel(device.device, device.serial_number).become(FLASHING, percent=0.0, kib_per_second=None,
                                                                     reason=None, serial=None)

    def rated_progress(self, job: Job, done: int, blocks: int, kib_per_second: Optional[float]) -> None:
        with self.lock:
            self.channel(job.port, job.key.serial_number).become(
                FLASHING, attempt=job.attempt, attempts=job.attempts, serial=job.serial.value if job.serial else None,
                percent=round(100 * done / blocks, 1) if blocks else 0.0,
                kib_per_second=round(kib_per_second, 1) if kib_per_second is not None else None)

    def attempt_ended(self, job: Job, attempt: Attempt, final: bool, recorded: Optional[bool]) -> None:
        values = record(attempt, self.origin)
        with self.lock:
            self.records.append((next(self.sequence), values))
            state = attempt.result if final else FLASHING
            self.channel(job.port, job.key.serial_number).become(
                state, attempt=attempt.attempt, attempts=attempt.attempts, reason=attempt.error, serial=attempt.serial,
                percent=100.0 if attempt.device_sha256 else None)
            if not final:
                return
            self.results[attempt.result] += 1
            pending = self.pending.pop(job.key, None)
            if pending is not None:
                pending.record = values
        if pending is not None:
            pending.done.set()
            self.notify(pending)

    def serials_left(self, left: Optional[int]) -> None:
        with self.lock:
            self.left = left

    def ran_out(self, reason: str) -> None:
        self.serials_left(0)

    def ask(self, device: Device) -> Pending:
        with self.lock:
            pending = Pending(next(self.request_ids), device.key)
            self.pending[device.key] = pending
            self.requests[pending.id] = pending
            while len(self.requests) > REQUESTS_KEPT:
                self.requests.popitem(last=False)
        return pending

    def shift(self) -> Dict[str, Any]:
        counts = {outcome.key: self.results[outcome.name] for outcome in RECORDED}
        ended = sum(self.results[outcome.name] for outcome in RECORDED if outcome.counted)
        hours = max(time.time() - self.started, 1.0) / 3600
        return {"started": utc(self.started), **counts,
                "yield": round(self.results[FLASHED] / ended, 4) if ended else None,
                "boards_per_hour": round(ended / hours, 1)}

    def view(self) -> Dict[str, Any]:
        # Shallow copies under the lock, the rest outside it: the station's thread waits for this lock.
        with self.lock:
            now = time.time()
            shown, shift, left = [copy.copy(channel) for channel in self.channels.values()], self.shift(), self.left
        channels = [dict(asdict(channel), changed=utc(channel.changed),
                         seconds_since_change=round(now - channel.changed, 1))
                    for channel in sorted(shown, key=lambda c: port_order_key(c.port))]
        return {"station": self.origin.station, "host": self.origin.host, "image": self.image.name,
                "on_demand": self.on_demand, "channels": channels, "shift": shift, "serials_left": left}

    def records_since(self, since: int) -> Dict[str, Any]:
        """The records numbered after `since`, and the last number: below `since` after a restart."""
        with self.lock:
            if not self.records:
                return {"records": [], "next": 0}
            last = self.records[-1][0]  # numbered one by one: the newest are counted from the end
            newer = max(0, min(len(self.records), last - since))
            chosen = [self.records[-back] for back in range(newer, 0, -1)]
        return {"records": [values for _, values in chosen], "next": last}


def port_order_key(port: str) -> Tuple[Any, ...]:
    return tuple((0, part) if isinstance(part, int) else (1, part) for part in port_order(port))


def waiting(queue: "asyncio.Queue[bytes]", first: bytes) -> List[bytes]:
    """`first` and the frames queued behind it, to go out in one write."""
    frames = [first]
    while not queue.empty():
        frames.append(queue.get_nowait())
    return frames
