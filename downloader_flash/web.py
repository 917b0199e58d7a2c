"""--serve: the station's live page and HTTP API, a front end over the station's callbacks.

The scheduler runs in the main thread; the server runs in a thread of its own, with its own
event loop. The callbacks only update the state held here, under a lock held for a few
statements, and hand each event line to the loop without waiting for it. Each event-stream
client has a bounded queue and a small send buffer: a client that falls behind by a whole queue,
or does not take a write within a deadline, is dropped, never waited for.

Only the station's own page and clients without a page (curl, a test executive) are answered:
a request must name the station in its Host header (a page of another site resolved to this
address names that site), carry no Origin but the station's own, and send its body as
application/json, which no plain form of another page can.
"""
import asyncio
import collections
import copy
import errno
import hmac
import ipaddress
import io
import itertools
import json
import os
import re
import socket
import threading
import time
from dataclasses import asdict, dataclass, field
from typing import Any, Awaitable, Callable, Counter, Deque, Dict, FrozenSet, List, Optional, Sequence, Set, Tuple

from aiohttp import web

from .devices import Device, DeviceKey, port_order
from .events import Both, Events
from .parallel import Job
from .records import Attempt, Origin, Record, record, utc
from .errors import UsageError
from .render import say
from .settings import TOKEN_VARIABLE, Settings
from .station import STARTED, UNKNOWN, Callbacks, Control, FlashRequest, Image

API = "/api/v1"
STATIC_FOLDER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "static")
LARGEST_BODY = 4096  # bytes of a request body; a flash request needs a few dozen
CLIENT_QUEUE = 256  # event lines a stream client may fall behind before it is dropped
HEARTBEAT = 15.0  # seconds between comments on a quiet event stream, so that a dead connection is noticed
RECONNECT_MS = 1000  # how soon a browser reconnects to a stream that ended
RECORDS_KEPT = 10000  # in memory, for /records; the report file keeps them all
REQUESTS_KEPT = 1000  # ended flash requests that can still be polled
DEFAULT_FLASH_WAIT = 60.0  # seconds a flash request waits for its record before answering with an id
LONGEST_FLASH_WAIT = 600.0
STATION_ANSWER_TIMEOUT = 10.0  # seconds for the station to take a flash request; it looks several times a second
START_TIMEOUT = 10.0
KIB = 1024
REQUEST_TIMEOUT = 10.0  # seconds for a request's headers and body, from the connection's start or the last answer
MAX_CONNECTIONS = 160  # open at once: within a descriptor limit of 256, with the boards' own
MAX_WAITING = 128  # of those, connections that have not sent a whole request (or are idle)
BACKLOG = 1024  # connections the kernel holds until they are accepted: a full queue drops a SYN, a 1 s wait
ACCEPTS_AT_ONCE = 64  # connections taken in one turn of the loop, so that requests are answered between
SWEEP_INTERVAL = 1.0  # seconds between looks for connections past their deadline, at most
STREAM_WRITE_TIMEOUT = 10.0  # seconds an event-stream client may take to accept a write
STREAM_BUFFER = 16 * KIB  # bytes buffered for an event-stream client, in the kernel (which doubles it) and here
ACCEPT_PAUSE = 1.0  # seconds without accepting after the process ran out of descriptors
QUIET_INTERVAL = 60.0  # seconds between two lines about running out of descriptors
DEEPEST_JSON = 8  # levels of nesting in a request body; a flash request has one
LONGEST_NUMBER = 18  # digits of a number in a path or a query
LOOPBACK_NAMES = frozenset({"localhost", "127.0.0.1", "::1"})
OUT_OF_DESCRIPTORS = {errno.EMFILE, errno.ENFILE, errno.ENOBUFS, errno.ENOMEM}
CLIENT_GONE = {errno.ECONNABORTED, errno.EPROTO, errno.EPERM}  # an accept that failed for that client only
END = b""  # queued to an event-stream client: end the stream properly, the tool is stopping
JSON_STRING = re.compile(r'"(?:[^"\\]|\\.)*"')

# A channel's states, as the page and the API name them.
WAITING, FLASHING = "waiting", "flashing"


def loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return False


def address(text: str) -> Tuple[str, int]:
    """[HOST:]PORT, the host 127.0.0.1 by default; ValueError names what is wrong."""
    host, _, port = text.rpartition(":")
    host = host.strip("[]") or "127.0.0.1"
    if not port.isdigit() or not 0 <= int(port) <= 65535:
        raise ValueError(f"--serve takes [HOST:]PORT, the port 0 to 65535, not {text!r}")
    return host, int(port)


def host_name(authority: str) -> str:
    """The name in a Host header or in an origin, without its port: lower case, an IPv6 address bare."""
    text = authority.lower()
    if text.startswith("["):
        return text[1:].partition("]")[0]
    return text.rpartition(":")[0] if ":" in text else text


def served_names(host: str, allowed: Sequence[str]) -> FrozenSet[str]:
    """The names a request's Host may give, besides the address its connection came in on."""
    names = {name.lower().strip("[]") for name in allowed}
    if loopback(host):
        names |= LOOPBACK_NAMES
    if host not in ("0.0.0.0", "::"):  # an address of every interface names none of them
        names.add(host.lower())
    return frozenset(names)


def number(text: str) -> Optional[int]:
    """A count in ASCII digits, or None: str.isdigit() takes "²" and "١" too, and int() then fails or accepts."""
    if text.isascii() and text.isdigit() and len(text) <= LONGEST_NUMBER:
        return int(text)
    return None


def nesting(text: str) -> int:
    """How deep the arrays and objects of a JSON text go, strings aside; the parser would recurse as deep."""
    deepest = depth = 0
    for char in JSON_STRING.sub("", text):
        if char in "[{":
            depth += 1
            deepest = max(deepest, depth)
        elif char in "]}":
            depth -= 1
    return deepest


@dataclass(frozen=True)
class Limits:
    """What one client may take of the server; small in tests."""

    request: float = REQUEST_TIMEOUT
    connections: int = MAX_CONNECTIONS
    waiting: int = MAX_WAITING
    stream_write: float = STREAM_WRITE_TIMEOUT


@dataclass
class Connection:
    transport: asyncio.Transport
    deadline: Optional[float]  # loop time by which its next request must be read whole; None while one is answered


class Door:
    """The server's listening sockets and its own accept loop.

    aiohttp has no hook for these, and asyncio's server would log every failed accept with a
    traceback: a cap on open connections, and a lower one on those that have not sent a whole
    request, where a new connection past either takes the place of the oldest of those (or is
    closed at once if every one is being answered), so that a flood of partial requests delays
    no client that sends its request; a deadline for the next request's headers and body, from a
    connection's start or its last answer; a pause, said once a minute, when the process is out
    of descriptors. Connections being answered do not count against the lower cap: otherwise each
    one held (an event stream, a flash request waiting) would let a flood at that cap evict itself
    in an endless chain."""

    def __init__(self, loop: asyncio.AbstractEventLoop, protocol: Callable[[], asyncio.Protocol],
                 limits: Limits) -> None:
        self.loop, self.protocol, self.limits = loop, protocol, limits
        self.sockets: List[socket.socket] = []
        self.open: Dict[asyncio.BaseTransport, Connection] = {}
        self.admitting = 0
        self.said = -QUIET_INTERVAL  # loop time of the last line about descriptors
        self.sweeper: Optional[asyncio.TimerHandle] = None

    def bind(self, host: str, port: int) -> int:
        """Listens on each address of `host`; gives the port, the same on each."""
        for family, kind, protocol, _, where in socket.getaddrinfo(host, port, type=socket.SOCK_STREAM,
                                                                   flags=socket.AI_PASSIVE):
            listener = socket.socket(family, kind, protocol)
            self.sockets.append(listener)
            listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            if family == socket.AF_INET6:
                listener.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
            listener.bind((where[0], port) + tuple(where[2:]))
            port = listener.getsockname()[1]  # the one a port 0 chose, for the other addresses too
            listener.listen(BACKLOG)
            listener.setblocking(False)
        self.accepting()
        self.sweep()
        return port

    def accepting(self) -> None:
        for listener in self.sockets:
            if listener.fileno() >= 0:  # not closed during a pause
                self.loop.add_reader(listener.fileno(), self.accept, listener)

    def close(self) -> None:
        if self.sweeper is not None:
            self.sweeper.cancel()
        for listener in self.sockets:
            self.loop.remove_reader(listener.fileno())
            listener.close()

    def accept(self, listener: socket.socket) -> None:
        for _ in range(ACCEPTS_AT_ONCE):
            try:
                client, _ = listener.accept()
            except (BlockingIOError, InterruptedError):
                return
            except OSError as failure:
                if failure.errno in CLIENT_GONE:
                    continue
                self.pause(failure)
                return
            self.admit(client)

    def pause(self, failure: OSError) -> None:
        for listener in self.sockets:
            self.loop.remove_reader(listener.fileno())
        self.loop.call_later(ACCEPT_PAUSE, self.accepting)
        if self.loop.time() - self.said >= QUIET_INTERVAL:
            self.said = self.loop.time()
            cause = "out of file descriptors" if failure.errno in OUT_OF_DESCRIPTORS else "failed"
            say(f"the station's server cannot take connections: {cause} ({failure.strerror or failure}); "
                f"it tries again every {ACCEPT_PAUSE:g} s and says so again in {QUIET_INTERVAL:g} s at the soonest")

    def admit(self, client: socket.socket) -> None:
        self.prune()
        waiting = [connection for connection in self.open.values() if connection.deadline is not None]
        crowded = len(self.open) + self.admitting >= self.limits.connections
        if (crowded or len(waiting) + self.admitting >= self.limits.waiting) and not self.evict(waiting):
            client.close()
            return
        self.admitting += 1
        self.loop.create_task(self.connect(client))

    async def connect(self, client: socket.socket) -> None:
        try:
            transport, _ = await self.loop.connect_accepted_socket(self.protocol, client)
        except OSError:
            client.close()
            return
        finally:
            self.admitting -= 1
        self.open[transport] = Connection(transport, self.loop.time() + self.limits.request)

    def evict(self, waiting: List[Connection]) -> bool:
        """Closes the oldest of the connections that have not sent a whole request, if there is one."""
        if not waiting:
            return False
        self.drop(min(waiting, key=lambda connection: connection.deadline or 0.0))
        return True

    def drop(self, connection: Connection) -> None:
        self.open.pop(connection.transport, None)
        connection.transport.abort()

    def prune(self) -> None:
        for transport in [transport for transport in self.open if transport.is_closing()]:
            del self.open[transport]

    def sweep(self) -> None:
        self.prune()
        now = self.loop.time()
        for connection in list(self.open.values()):
            if connection.deadline is not None and now >= connection.deadline:
                self.drop(connection)
        self.sweeper = self.loop.call_later(min(SWEEP_INTERVAL, self.limits.request / 4), self.sweep)

    def taken(self, request: web.BaseRequest) -> Optional[Connection]:
        return self.open.get(request.transport) if request.transport is not None else None


class Answers(web.RequestHandler):
    """aiohttp's own answers, to what it cannot parse, in JSON like every other answer."""

    def handle_error(self, request: web.BaseRequest, status: int = 500, exc: Optional[BaseException] = None,
                     message: Optional[str] = None) -> web.StreamResponse:
        if request.writer.output_size > 0:  # an answer has begun: nothing more can be said on this connection
            raise ConnectionError("the answer had begun")
        if status >= 500:
            say(f"the station's server failed on a request: {one_line(exc)}")
            response = error(status, "the station failed to answer; its log says why")
        else:
            response = error(status, f"malformed request: {(message or 'unreadable').splitlines()[0][:200]}")
        response.force_close()
        return response


def one_line(failure: Optional[BaseException]) -> str:
    if failure is None:
        return "no reason given"
    text = repr(" ".join(str(failure).split()))[1:-1]  # control characters escaped, for a terminal
    return f"{type(failure).__name__}: {text}"[:300] if text else type(failure).__name__


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
                                                                     reason=None)

    def rated_progress(self, job: Job, done: int, blocks: int, kib_per_second: Optional[float]) -> None:
        with self.lock:
            self.channel(job.port, job.key.serial_number).become(
                FLASHING, attempt=job.attempt, attempts=job.attempts,
                percent=round(100 * done / blocks, 1) if blocks else 0.0,
                kib_per_second=round(kib_per_second, 1) if kib_per_second is not None else None)

    def attempt_ended(self, job: Job, attempt: Attempt, final: bool, recorded: Optional[bool]) -> None:
        values = record(attempt, self.origin)
        with self.lock:
            self.records.append((next(self.sequence), values))
            state = attempt.result if final else FLASHING
            self.channel(job.port, job.key.serial_number).become(
                state, attempt=attempt.attempt, attempts=attempt.attempts, reason=attempt.error,
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

    def ask(self, device: Device) -> Pending:
        with self.lock:
            pending = Pending(next(self.request_ids), device.key)
            self.pending[device.key] = pending
            self.requests[pending.id] = pending
            while len(self.requests) > REQUESTS_KEPT:
                self.requests.popitem(last=False)
        return pending

    def shift(self) -> Dict[str, Any]:
        flashed, failed = self.results["flashed"], self.results["failed"]
        ended = flashed + failed + self.results["not acknowledged"]
        hours = max(time.time() - self.started, 1.0) / 3600
        return {"started": utc(self.started), "flashed": flashed, "failed": failed,
                "not_acknowledged": self.results["not acknowledged"], "interrupted": self.results["interrupted"],
                "yield": round(flashed / ended, 4) if ended else None, "boards_per_hour": round(ended / hours, 1)}

    def view(self) -> Dict[str, Any]:
        # Shallow copies under the lock, the rest outside it: the station's thread waits for this lock.
        with self.lock:
            now = time.time()
            shown, shift = [copy.copy(channel) for channel in self.channels.values()], self.shift()
        channels = [dict(asdict(channel), changed=utc(channel.changed),
                         seconds_since_change=round(now - channel.changed, 1))
                    for channel in sorted(shown, key=lambda c: port_order_key(c.port))]
        return {"station": self.origin.station, "host": self.origin.host, "image": self.image.name,
                "on_demand": self.on_demand, "channels": channels, "shift": shift}

    def records_since(self, since: int) -> Dict[str, Any]:
        """The records numbered after `since`, and the last number: below `since` after a restart."""
        with self.lock:
            if not self.records:
                return {"records": [], "next": 0}
            last = self.records[-1][0]  # numbered one by one: the newest are counted from the end
            newer = max(0, min(len(self.records), last - since))
            chosen = [self.records[-back] for back in range(newer, 0, -1)]
        return {"records": [values for _, values in chosen], "next": last}


def here(request: web.BaseRequest) -> FrozenSet[str]:
    """The address a request came in on, with the loopback names if it is loopback: what a client
    that connected to an address of this machine calls it."""
    local = request.transport.get_extra_info("sockname") if request.transport is not None else None
    if not local:
        return frozenset()
    address = str(local[0]).lower()
    return LOOPBACK_NAMES | {address} if loopback(address) else frozenset({address})


def port_order_key(port: str) -> Tuple[Any, ...]:
    return tuple((0, part) if isinstance(part, int) else (1, part) for part in port_order(port))


def error(status: int, message: str) -> web.Response:
    return web.json_response({"error": message, "status": status}, status=status)


class Server:
    """The web front end of a watching station, served from its own thread."""

    def __init__(self, image: Image, origin: Origin, host: str, port: int, token: Optional[str] = None,
                 on_demand: bool = False, allowed_hosts: Sequence[str] = (), limits: Limits = Limits()) -> None:
        self.host, self.port, self.token, self.limits = host, port, token, limits
        self.names = served_names(host, allowed_hosts)
        self.state = State(image, origin, on_demand)
        self.control = Control(on_demand)
        self.hub = Hub()
        self.loop = asyncio.new_event_loop()
        self.events = Events(origin, out=Lines(self.publish))
        self.callbacks: Callbacks = Both(self.state, self.events)
        self.state.notify = self.wake
        self.waiters: Dict[int, List["asyncio.Future[None]"]] = {}
        self.static = {name for name in os.listdir(STATIC_FOLDER) if os.path.isfile(os.path.join(STATIC_FOLDER, name))}
        self.thread = threading.Thread(target=self.serve, name="station web server", daemon=True)
        self.ready = threading.Event()
        self.failure: Optional[BaseException] = None
        self.runner: Optional[web.AppRunner] = None
        self.door = Door(self.loop, self.protocol, limits)

    @property
    def url(self) -> str:
        host = f"[{self.host}]" if ":" in self.host else self.host
        return f"http://{host}:{self.port}/"

    # From the station's thread: never waits for the loop.
    def publish(self, line: str) -> None:
        self.call_soon(self.hub.send, line)

    def wake(self, pending: Pending) -> None:
        self.call_soon(self.woken, pending.id)

    def call_soon(self, function: Callable[..., None], *args: Any) -> None:
        try:
            self.loop.call_soon_threadsafe(function, *args)
        except RuntimeError:  # the loop has closed: the tool is ending
            pass

    def woken(self, request_id: int) -> None:
        for future in self.waiters.pop(request_id, []):
            if not future.done():
                future.set_result(None)

    # The server's own thread.
    def start(self) -> None:
        self.thread.start()
        self.ready.wait(START_TIMEOUT)
        if self.failure is not None:
            raise self.failure

    def serve(self) -> None:
        asyncio.set_event_loop(self.loop)
        self.loop.set_exception_handler(self.loop_failure)
        try:
            self.loop.run_until_complete(self.open())
        except BaseException as failure:  # a port in use, an address not here: said at start
            self.door.close()
            self.failure = failure
            self.ready.set()
            return
        self.ready.set()
        self.loop.run_forever()
        self.door.close()
        if self.runner is not None:
            self.loop.run_until_complete(self.runner.cleanup())
        left = asyncio.all_tasks(self.loop)
        for task in left:
            task.cancel()
        self.loop.run_until_complete(asyncio.gather(*left, return_exceptions=True))
        self.loop.close()

    async def open(self) -> None:
        app = web.Application(client_max_size=LARGEST_BODY, middlewares=[self.guard])
        app.router.add_get("/", self.page)
        app.router.add_get("/static/{name}", self.static_file)
        app.router.add_get(f"{API}/channels", self.channels)
        app.router.add_get(f"{API}/records", self.records)
        app.router.add_get(f"{API}/events", self.event_stream)
        app.router.add_post(f"{API}/flash", self.flash)
        app.router.add_get(f"{API}/flash/{{id}}", self.flash_status)
        self.runner = web.AppRunner(app, handler_cancellation=True, shutdown_timeout=1.0)
        await self.runner.setup()
        self.port = self.door.bind(self.host, self.port)

    def protocol(self) -> asyncio.Protocol:
        """A connection's handler, made as aiohttp's own sites make it."""
        assert self.runner is not None and self.runner.server is not None
        # lingering_time 0: a body not read whole (a late one) closes the connection after the answer.
        options: Dict[str, Any] = {"access_log": None, "keepalive_timeout": self.limits.request, "lingering_time": 0}
        return Answers(self.runner.server, loop=self.loop, **options)

    def loop_failure(self, loop: asyncio.AbstractEventLoop, context: Dict[str, Any]) -> None:
        say(f"the station's server: {context.get('message', 'failed')}: {one_line(context.get('exception'))}")

    def close(self) -> None:
        if self.thread.is_alive():
            self.call_soon(self.stop_streams)
            self.thread.join(START_TIMEOUT)

    def stop_streams(self) -> None:
        """Ends every event stream, which the runner's cleanup then lets finish; in the loop's thread."""
        self.hub.end()
        self.loop.stop()

    # Requests.
    def authorised(self, request: web.Request) -> bool:
        if self.token is None:
            return True
        given = request.headers.get("Authorization", "")
        scheme, _, value = given.partition(" ")
        if scheme.lower() != "bearer":
            value = request.query.get("token", "")  # the page's own requests: a browser's EventSource sends no header
        # A header holds any byte; it compares unequal, never fails.
        return hmac.compare_digest(value.encode("utf-8", "surrogatepass"), self.token.encode())

    def needs_token(self, request: web.Request) -> bool:
        return self.token is not None and (request.method not in ("GET", "HEAD") or not loopback(self.host))

    def refusal(self, request: web.Request) -> Optional[web.Response]:
        """Why the station does not take this request, or None."""
        host = request.headers.get("Host")
        if host is not None and host_name(host) not in self.names | here(request):
            return error(403, f"this station is not {host_name(host)!r}: a page of another site may have been "
                         "resolved to its address; a name of the station's own can be given with --allow-host")
        origin = request.headers.get("Origin")
        if origin is not None and origin.lower() not in (f"http://{host}".lower(), f"https://{host}".lower()):
            return error(403, "a page of another site cannot use the station")
        if self.needs_token(request) and not self.authorised(request):
            return error(401, "missing or wrong token: send the header Authorization: Bearer TOKEN")
        if request.method == "POST" and request.content_type != "application/json":
            return error(415, "the body must be JSON, sent with the header Content-Type: application/json")
        return None

    @web.middleware
    async def guard(self, request: web.Request,
                    handler: Callable[[web.Request], Awaitable[web.StreamResponse]]) -> web.StreamResponse:
        connection = self.door.taken(request)
        try:
            refused = self.refusal(request)
            if refused is not None:
                return refused
            late = await self.body(request, connection)
            if late is not None:
                return late
            if connection is not None:
                connection.deadline = None
            return await handler(request)
        except web.HTTPException as failure:
            if failure.status < 400:
                raise
            return error(failure.status, failure.reason)
        except (ConnectionError, web.RequestPayloadError):
            return error(400, "the request was cut off")
        except Exception as failure:  # noqa: BLE001 - one line for the log, JSON for the client
            say(f"the station's server failed on {request.method} {request.path!r}: {one_line(failure)}")
            return error(500, "the station failed to answer; its log says why")
        finally:
            if connection is not None:
                connection.deadline = self.loop.time() + self.limits.request

    async def body(self, request: web.Request, connection: Optional[Connection]) -> Optional[web.Response]:
        """Reads the body whole by the connection's deadline, or gives the answer to one that is late."""
        left = None
        if connection is not None and connection.deadline is not None:
            left = max(connection.deadline - self.loop.time(), 0.0)
        try:
            await asyncio.wait_for(request.read(), left)
        except asyncio.TimeoutError:
            late = error(408, f"the request was not sent whole within {self.limits.request:g} s")
            late.force_close()
            return late
        return None

    async def page(self, request: web.Request) -> web.StreamResponse:
        return web.FileResponse(os.path.join(STATIC_FOLDER, "index.html"))

    async def static_file(self, request: web.Request) -> web.StreamResponse:
        name = request.match_info["name"]
        if name not in self.static:  # only the package's own files, by their plain names
            return error(404, "no such file")
        return web.FileResponse(os.path.join(STATIC_FOLDER, name))

    async def channels(self, request: web.Request) -> web.StreamResponse:
        return web.json_response(self.state.view())

    async def records(self, request: web.Request) -> web.StreamResponse:
        since = number(request.query.get("since", "0"))
        if since is None:
            return error(400, "since takes the number given as next by an earlier answer, 0 for all")
        return web.json_response(self.state.records_since(since))

    async def event_stream(self, request: web.Request) -> web.StreamResponse:
        response = web.StreamResponse(headers={"Content-Type": "text/event-stream", "Cache-Control": "no-cache"})
        await response.prepare(request)
        queue: "asyncio.Queue[bytes]" = asyncio.Queue(CLIENT_QUEUE)
        transport, task = request.transport, asyncio.current_task()
        if transport is not None:  # what a client that does not read can hold: a little, not the kernel's megabytes
            transport.get_extra_info("socket").setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, STREAM_BUFFER)
            transport.set_write_buffer_limits(high=STREAM_BUFFER)

        def drop() -> None:
            if task is not None:
                task.cancel()
            if transport is not None:
                transport.abort()

        self.hub.join(queue, drop)
        try:
            await self.write(response, f"retry: {RECONNECT_MS}\n\n".encode())
            while transport is not None and not transport.is_closing():
                try:
                    frame = await asyncio.wait_for(queue.get(), HEARTBEAT)
                except asyncio.TimeoutError:
                    await self.write(response, b": still here\n\n")
                    continue
                frames = waiting(queue, frame)
                await self.write(response, b"".join(frames))
                if END in frames:  # returned, the answer is ended as chunked answers end
                    break
        except asyncio.TimeoutError:  # the client does not take its events
            self.hub.drops += 1
            drop()
        except (ConnectionError, asyncio.CancelledError):
            pass
        finally:
            self.hub.leave(queue)
        return response

    async def write(self, response: web.StreamResponse, data: bytes) -> None:
        await asyncio.wait_for(response.write(data), self.limits.stream_write)

    async def flash(self, request: web.Request) -> web.StreamResponse:
        if not self.control.on_demand:
            return error(409, "this station flashes each board as it is plugged in; start it with --on-demand")
        try:
            text = (await request.read()).decode()
            if nesting(text) > DEEPEST_JSON:
                return error(400, f"the body is nested deeper than {DEEPEST_JSON} levels")
            body = json.loads(text)
        except ValueError:  # undecodable UTF-8 too
            return error(400, "the body must be JSON")
        problem = flash_problem(body)
        if problem is not None:
            return error(400, problem)
        verdict, pending = await self.ask_station(body)
        if verdict == UNKNOWN:
            return error(404, f"no device on {describe(body)}")
        if verdict != STARTED or pending is None:
            return error(409, f"the device on {describe(body)} is being flashed")
        await self.until_ended(pending, float(body.get("wait", DEFAULT_FLASH_WAIT)))
        return web.json_response(pending.answer(), status=200 if pending.record is not None else 202)

    async def ask_station(self, body: Dict[str, Any]) -> Tuple[str, Optional[Pending]]:
        answered: "asyncio.Future[Tuple[str, Optional[Pending]]]" = self.loop.create_future()

        def settle(verdict: str, pending: Optional[Pending]) -> None:
            if not answered.done():  # not timed out
                answered.set_result((verdict, pending))

        def answer(verdict: str, device: Optional[Device]) -> None:
            # In the station's thread, before the attempt can end: its record finds the request.
            pending = self.state.ask(device) if verdict == STARTED and device is not None else None
            self.call_soon(settle, verdict, pending)

        self.control.flash(FlashRequest(answer, body.get("port"), body.get("serial_number")))
        try:
            return await asyncio.wait_for(answered, STATION_ANSWER_TIMEOUT)
        except asyncio.TimeoutError:
            raise web.HTTPServiceUnavailable(reason="the station did not take the request: it is ending") from None

    async def until_ended(self, pending: Pending, wait: float) -> None:
        if pending.done.is_set() or wait <= 0:
            return
        woken: "asyncio.Future[None]" = self.loop.create_future()
        self.waiters.setdefault(pending.id, []).append(woken)
        if pending.done.is_set():  # ended before the waiter was in place
            self.woken(pending.id)
        try:
            await asyncio.wait_for(woken, wait)
        except asyncio.TimeoutError:
            self.waiters.pop(pending.id, None)

    async def flash_status(self, request: web.Request) -> web.StreamResponse:
        wanted = number(request.match_info["id"])
        with self.state.lock:
            pending = self.state.requests.get(wanted) if wanted is not None else None
        if pending is None:
            return error(404, f"no flash request {wanted}" if wanted is not None else "no such flash request")
        return web.json_response(pending.answer())


def waiting(queue: "asyncio.Queue[bytes]", first: bytes) -> List[bytes]:
    """`first` and the frames queued behind it, to go out in one write."""
    frames = [first]
    while not queue.empty():
        frames.append(queue.get_nowait())
    return frames


def flash_problem(body: Any) -> Optional[str]:
    if not isinstance(body, dict):
        return "the body must be a JSON object"
    chosen = [name for name in ("port", "serial_number") if name in body]
    if len(chosen) != 1:
        return 'give one of "port" and "serial_number"'
    if not isinstance(body[chosen[0]], str) or not body[chosen[0]]:
        return f'"{chosen[0]}" must be a non-empty string'
    unknown = set(body) - {"port", "serial_number", "wait"}
    if unknown:
        return f"unknown field(s): {', '.join(sorted(unknown))}"
    wait = body.get("wait", DEFAULT_FLASH_WAIT)
    if isinstance(wait, bool) or not isinstance(wait, (int, float)) or not 0 <= wait <= LONGEST_FLASH_WAIT:
        return f'"wait" must be 0 to {LONGEST_FLASH_WAIT:g} seconds'
    return None


def describe(body: Dict[str, Any]) -> str:
    return f"port {body['port']}" if "port" in body else f"serial number {body['serial_number']}"


def server_of(settings: Settings, image: Image, origin: Origin) -> Server:
    """The started server of --serve, or a UsageError that says why it cannot be."""
    assert settings.serve is not None
    try:
        host, port = address(settings.serve)
    except ValueError as problem:
        raise UsageError(str(problem)) from None
    if not loopback(host) and settings.token is None:
        raise UsageError(f"serving on {host}, beyond this machine, needs a token: give --token TOKEN or "
                         f"--token-file PATH, or set {TOKEN_VARIABLE}")
    server = Server(image, origin, host, port, settings.token, settings.on_demand, settings.allow_host)
    try:
        server.start()
    except OSError as failure:
        raise UsageError(f"cannot serve on {settings.serve}: {failure.strerror or failure}") from None
    return server
