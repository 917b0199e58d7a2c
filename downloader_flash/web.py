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
import importlib.util
import os
import socket
import threading
from typing import TYPE_CHECKING, Any, Awaitable, Callable, Dict, List, Optional, Sequence, Tuple

from aiohttp import web

from .errors import UsageError
from .events import Both, Events
from .model import Callbacks, Device, Image, Origin
from .render import say
from .settings import TOKEN_VARIABLE, Settings
from .station import STARTED, UNKNOWN, Control, FlashRequest
from .web_connections import STREAM_BUFFER, Answers, Connection, Door, DoorSite, Limits, finish, url
from .web_requests import (API, DEFAULT_FLASH_WAIT, Gate, address, describe, error, flash_body, loopback, number,
                           one_line)
from .web_view import CLIENT_QUEUE, END, OUTCOMES_SHOWN, Hub, Lines, Pending, State, waiting

if TYPE_CHECKING:  # imported where it is made: prometheus_client may be missing
    from .metrics import Metrics

STATIC_FOLDER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "static")
LARGEST_BODY = 4096  # bytes of a request body; a flash request needs a few dozen
HEARTBEAT = 15.0  # seconds between comments on a quiet event stream, so that a dead connection is noticed
RECONNECT_MS = 1000  # how soon a browser reconnects to a stream that ended
STATION_ANSWER_TIMEOUT = 10.0  # seconds for the station to take a flash request; it looks several times a second
START_TIMEOUT = 10.0
METRICS_PATH = "/metrics"
METRICS_LIBRARY = "prometheus_client"


class Server:
    """The web front end of a watching station, served from its own thread."""

    def __init__(self, image: Image, origin: Origin, host: str, port: int, token: Optional[str] = None,
                 on_demand: bool = False, allowed_hosts: Sequence[str] = (), limits: Limits = Limits()) -> None:
        self.host, self.port, self.limits = host, port, limits
        self.gate = Gate(host, allowed_hosts, token)
        self.state = State(image, origin, on_demand)
        self.control = Control(on_demand)
        self.hub = Hub()
        self.loop = asyncio.new_event_loop()
        self.events = Events(origin, out=Lines(self.publish))
        self.metrics = metrics_of()
        told: Callbacks = self.events if self.metrics is None else Both(self.metrics, self.events)
        self.callbacks: Callbacks = Both(self.state, told)
        self.state.notify = self.wake
        self.waiters: Dict[int, List["asyncio.Future[None]"]] = {}
        self.static = {name for name in os.listdir(STATIC_FOLDER) if os.path.isfile(os.path.join(STATIC_FOLDER, name))}
        self.thread = threading.Thread(target=self.serve, name="station web server", daemon=True)
        self.ready = threading.Event()
        self.failure: Optional[BaseException] = None
        self.runner: Optional[web.AppRunner] = None
        self.door = Door(self.loop, self.protocol, limits)
        self.stopped: "asyncio.Future[None]" = self.loop.create_future()

    @property
    def url(self) -> str:
        return url(self.host, self.port)

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
            self.loop.run_until_complete(self.serving())
        finally:
            finish(self.loop)

    async def serving(self) -> None:
        """Serves until close(); the runner's cleanup then stops the site, ends the event streams
        (the app's on_shutdown) and lets every answer finish."""
        self.runner = web.AppRunner(self.app(), handler_cancellation=True, shutdown_timeout=1.0)
        try:
            await self.runner.setup()
            await DoorSite(self.runner, self.door, self.host, self.port).start()
            self.port = self.runner.addresses[0][1]
        except BaseException as failure:  # a port in use, an address not here: said at start
            self.failure = failure
        else:
            self.ready.set()
            await self.stopped
        finally:
            await self.runner.cleanup()
            self.ready.set()

    def app(self) -> web.Application:
        app = web.Application(client_max_size=LARGEST_BODY, middlewares=[self.guard])
        app.router.add_get("/", self.page)
        app.router.add_get("/static/{name}", self.static_file)
        app.router.add_get(f"{API}/channels", self.channels)
        app.router.add_get(f"{API}/records", self.records)
        app.router.add_get(f"{API}/outcomes", self.outcomes)
        app.router.add_get(f"{API}/events", self.event_stream)
        app.router.add_post(f"{API}/flash", self.flash)
        app.router.add_get(f"{API}/flash/{{id}}", self.flash_status)
        app.router.add_get(METRICS_PATH, self.metrics_text)
        app.on_shutdown.append(self.end_streams)
        return app

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
            self.call_soon(self.stop)
            self.thread.join(START_TIMEOUT)

    def stop(self) -> None:
        if not self.stopped.done():
            self.stopped.set_result(None)

    async def end_streams(self, app: web.Application) -> None:
        """Ends every event stream as chunked answers end, before the runner waits for the answers."""
        self.hub.end()

    # Requests.
    @web.middleware
    async def guard(self, request: web.Request,
                    handler: Callable[[web.Request], Awaitable[web.StreamResponse]]) -> web.StreamResponse:
        connection = self.door.taken(request)
        try:
            refused = self.gate.refusal(request)
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

    async def metrics_text(self, request: web.Request) -> web.StreamResponse:
        if self.metrics is None:
            return error(501, f"{METRICS_PATH} needs {METRICS_LIBRARY}: pip install 'downloader[station]'")
        return web.Response(body=self.metrics.text(), headers={"Content-Type": self.metrics.content_type})

    async def outcomes(self, request: web.Request) -> web.StreamResponse:
        return web.json_response({"outcomes": OUTCOMES_SHOWN})

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
        body, problem = flash_body(await request.read())
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


def metrics_of() -> Optional["Metrics"]:
    """What /metrics serves, or None where prometheus_client is not installed."""
    if importlib.util.find_spec(METRICS_LIBRARY) is None:
        return None
    from .metrics import Metrics

    return Metrics()


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
