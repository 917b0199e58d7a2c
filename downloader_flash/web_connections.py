"""The station's server's connections: its own listening sockets and accept loop, with a cap, a
deadline per request and a quiet pause when out of descriptors."""
import asyncio
import errno
import socket
from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Optional, Tuple, cast

from aiohttp import web

from .model import KIB
from .render import say
from .web_requests import error, one_line

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


OUT_OF_DESCRIPTORS = {errno.EMFILE, errno.ENFILE, errno.ENOBUFS, errno.ENOMEM}


CLIENT_GONE = {errno.ECONNABORTED, errno.EPROTO, errno.EPERM}  # an accept that failed for that client only


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


class Door(asyncio.AbstractServer):
    """The server's listening sockets and its own accept loop, as an asyncio server.

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
        self.listeners: List[socket.socket] = []
        self.open: Dict[asyncio.BaseTransport, Connection] = {}
        self.admitting = 0
        self.said = -QUIET_INTERVAL  # loop time of the last line about descriptors
        self.sweeper: Optional[asyncio.TimerHandle] = None
        self.closed: "asyncio.Future[None]" = loop.create_future()

    def bind(self, host: str, port: int) -> None:
        """Listens on each address of `host`, on the same port on each."""
        for family, kind, protocol, _, where in socket.getaddrinfo(host, port, type=socket.SOCK_STREAM,
                                                                   flags=socket.AI_PASSIVE):
            listener = socket.socket(family, kind, protocol)
            self.listeners.append(listener)
            listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            if family == socket.AF_INET6:
                listener.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
            listener.bind((where[0], port) + tuple(where[2:]))
            port = listener.getsockname()[1]  # the one a port 0 chose, for the other addresses too
            listener.listen(BACKLOG)
            listener.setblocking(False)

    @property
    def sockets(self) -> Tuple[socket.socket, ...]:
        return tuple(self.listeners)

    async def start_serving(self) -> None:
        if not self.is_serving():
            self.accepting()
            self.sweep()

    async def serve_forever(self) -> None:
        await self.start_serving()
        await self.wait_closed()

    def is_serving(self) -> bool:
        return self.sweeper is not None and not self.closed.done()

    def get_loop(self) -> asyncio.AbstractEventLoop:
        return self.loop

    async def wait_closed(self) -> None:
        await asyncio.shield(self.closed)

    def close_clients(self) -> None:
        for connection in list(self.open.values()):
            connection.transport.close()

    def abort_clients(self) -> None:
        for connection in list(self.open.values()):
            self.drop(connection)

    def accepting(self) -> None:
        for listener in self.listeners:
            if listener.fileno() >= 0:  # not closed during a pause
                self.loop.add_reader(listener.fileno(), self.accept, listener)

    def close(self) -> None:
        if self.closed.done():
            return
        if self.sweeper is not None:
            self.sweeper.cancel()
        for listener in self.listeners:
            self.loop.remove_reader(listener.fileno())
            listener.close()
        self.closed.set_result(None)

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
        for listener in self.listeners:
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
            # Every loop has had it since 3.5.3; the type stubs of 3.8 and 3.9 leave it out.
            loop = cast(Any, self.loop)
            transport, _ = await loop.connect_accepted_socket(self.protocol, client)
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


class DoorSite(web.BaseSite):
    """The runner's site for a Door: the runner stops it in its cleanup and lists its addresses."""

    def __init__(self, runner: web.BaseRunner, door: Door, host: str, port: int) -> None:
        super().__init__(runner)
        self.door, self.host, self.port = door, host, port

    @property
    def name(self) -> str:
        return url(self.host, self.port)

    async def start(self) -> None:
        await super().start()
        # Handed over as aiohttp's own sites hand theirs, before it can fail: the runner's
        # `addresses` reads it there, and the site's stop() closes it, sockets bound so far included.
        self._server = self.door
        self.door.bind(self.host, self.port)
        self.port = self.door.sockets[0].getsockname()[1]
        await self.door.start_serving()


def url(host: str, port: int) -> str:
    return f"http://[{host}]:{port}/" if ":" in host else f"http://{host}:{port}/"


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


def finish(loop: asyncio.AbstractEventLoop) -> None:
    """Closes the loop as asyncio.run() does: a task still left (a connection being made as the
    site closed) is cancelled and let finish, so that none is destroyed while pending."""
    left = asyncio.all_tasks(loop)
    for task in left:
        task.cancel()
    loop.run_until_complete(asyncio.gather(*left, return_exceptions=True))
    loop.run_until_complete(loop.shutdown_asyncgens())
    loop.close()
