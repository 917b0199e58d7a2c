"""--serve: the station's live page and HTTP API, a front end over the station's callbacks.

The scheduler runs in the main thread; the server runs in a thread of its own, with its own
event loop. The callbacks only update the state held here, under a lock held for a few
statements, and hand each event line to the loop without waiting for it. Each event-stream
client has a bounded queue: a client that falls behind by a whole queue is dropped, never waited for.
"""
import asyncio
import collections
import copy
import hmac
import ipaddress
import io
import itertools
import json
import os
import threading
import time
from dataclasses import asdict, dataclass, field
from typing import Any, Awaitable, Callable, Counter, Deque, Dict, List, Optional, Set, Tuple

from aiohttp import web

from .devices import Device, DeviceKey, port_order
from .events import Both, Events
from .parallel import Job
from .records import Attempt, Origin, Record, record, utc
from .errors import UsageError
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
        frame = f"data: {line}\n\n".encode()  # once for every client
        for queue in list(self.clients):
            try:
                queue.put_nowait(frame)
            except asyncio.QueueFull:
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


def port_order_key(port: str) -> Tuple[Any, ...]:
    return tuple((0, part) if isinstance(part, int) else (1, part) for part in port_order(port))


def error(status: int, message: str) -> web.Response:
    return web.json_response({"error": message, "status": status}, status=status)


class Server:
    """The web front end of a watching station, served from its own thread."""

    def __init__(self, image: Image, origin: Origin, host: str, port: int, token: Optional[str] = None,
                 on_demand: bool = False) -> None:
        self.host, self.port, self.token = host, port, token
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
        try:
            self.loop.run_until_complete(self.open())
        except BaseException as failure:  # a port in use, an address not here: said at start
            self.failure = failure
            self.ready.set()
            return
        self.ready.set()
        self.loop.run_forever()
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
        self.runner = web.AppRunner(app, access_log=None, shutdown_timeout=1.0)
        await self.runner.setup()
        site = web.TCPSite(self.runner, self.host, self.port)
        await site.start()
        server = getattr(site, "_server", None)
        sockets = getattr(server, "sockets", None) or []
        if sockets:
            self.port = sockets[0].getsockname()[1]

    def close(self) -> None:
        if self.thread.is_alive():
            self.call_soon(self.stop_streams)
            self.thread.join(START_TIMEOUT)

    def stop_clients(self) -> None:
        """Closes every event stream; in the loop's thread."""
        for queue in list(self.hub.clients):
            drop = self.hub.dropped[queue]
            self.hub.leave(queue)
            drop()

    def stop_streams(self) -> None:
        self.stop_clients()
        self.loop.stop()

    # Requests.
    def authorised(self, request: web.Request) -> bool:
        if self.token is None:
            return True
        given = request.headers.get("Authorization", "")
        scheme, _, value = given.partition(" ")
        if scheme.lower() != "bearer":
            value = request.query.get("token", "")  # the page's own requests: a browser's EventSource sends no header
        return hmac.compare_digest(value.encode(), self.token.encode())

    def needs_token(self, request: web.Request) -> bool:
        return self.token is not None and (request.method not in ("GET", "HEAD") or not loopback(self.host))

    @web.middleware
    async def guard(self, request: web.Request,
                    handler: Callable[[web.Request], Awaitable[web.StreamResponse]]) -> web.StreamResponse:
        if self.needs_token(request) and not self.authorised(request):
            return error(401, "missing or wrong token: send the header Authorization: Bearer TOKEN")
        try:
            return await handler(request)
        except web.HTTPException as failure:
            if failure.status < 400:
                raise
            return error(failure.status, failure.reason)

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
        since = request.query.get("since", "0")
        if not since.isdigit():
            return error(400, "since takes the number given as next by an earlier answer, 0 for all")
        return web.json_response(self.state.records_since(int(since)))

    async def event_stream(self, request: web.Request) -> web.StreamResponse:
        response = web.StreamResponse(headers={"Content-Type": "text/event-stream", "Cache-Control": "no-cache"})
        await response.prepare(request)
        queue: "asyncio.Queue[bytes]" = asyncio.Queue(CLIENT_QUEUE)
        transport, task = request.transport, asyncio.current_task()

        def drop() -> None:
            if task is not None:
                task.cancel()
            if transport is not None:
                transport.abort()

        self.hub.join(queue, drop)
        try:
            await response.write(f"retry: {RECONNECT_MS}\n\n".encode())
            while transport is not None and not transport.is_closing():
                try:
                    frame = await asyncio.wait_for(queue.get(), HEARTBEAT)
                except asyncio.TimeoutError:
                    await response.write(b": still here\n\n")
                    continue
                await response.write(b"".join(waiting(queue, frame)))
        except (ConnectionError, asyncio.CancelledError):
            pass
        finally:
            self.hub.leave(queue)
        return response

    async def flash(self, request: web.Request) -> web.StreamResponse:
        if not self.control.on_demand:
            return error(409, "this station flashes each board as it is plugged in; start it with --on-demand")
        try:
            body = await request.json()
        except ValueError:
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
        wanted = request.match_info["id"]
        with self.state.lock:
            pending = self.state.requests.get(int(wanted)) if wanted.isdigit() else None
        if pending is None:
            return error(404, f"no flash request {wanted}")
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
    server = Server(image, origin, host, port, settings.token, settings.on_demand)
    try:
        server.start()
    except OSError as failure:
        raise UsageError(f"cannot serve on {settings.serve}: {failure.strerror or failure}") from None
    return server
