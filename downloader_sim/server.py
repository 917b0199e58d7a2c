"""Serve a Device on the master end of a pseudo-terminal, on an existing tty, or over TCP.

The pty and tty lines need POSIX terminals; the TCP line needs sockets only, so a
simulator can serve where there are no pseudo-terminals.
"""

import math
import os
import selectors
import socket
import struct
import threading
import time
from collections import deque
from typing import Callable, Deque, Dict, List, Optional, Tuple, TypeVar, Union

from .device import Device, Reply

T = TypeVar("T")

# The disconnect fault closes the line once the host has read the last reply,
# because closing the master discards unread bytes.  A reply shows up in the
# slave's input queue only after the kernel has pushed it there, so the queue
# must first be seen non-empty (or ARRIVE_TIMEOUT pass) and then empty; the
# host's next request also proves the reply was read.  DRAIN_TIMEOUT bounds it.
# Over TCP "read" means acknowledged by the host's end, where the system says.
ARRIVE_TIMEOUT = 0.05
DRAIN_TIMEOUT = 2.0

_READ_SIZE = 1 << 16

# After a hang-up of a served tty, the pause before it is opened again.
REOPEN_DELAY = 0.05

TRANSPORTS = ("pty", "tcp")
DEFAULT_HOST = "127.0.0.1"


def _queued(fd: int, request_name: str) -> int:
    """Bytes in one of a descriptor's queues (termios.FIONREAD or TIOCOUTQ)."""
    import fcntl
    import termios
    request: int = getattr(termios, request_name)
    count: int = struct.unpack("i", fcntl.ioctl(fd, request, b"\0\0\0\0"))[0]
    return count


def _raw(fd: int) -> None:
    """Raw mode: no byte is translated, buffered by line or echoed."""
    import termios
    import tty
    tty.setraw(fd, termios.TCSANOW)


def _open_tty(path: str) -> int:
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        _raw(fd)
    except BaseException:
        os.close(fd)
        raise
    return fd


def default_transport() -> str:
    """"pty" where the system has pseudo-terminals, "tcp" elsewhere."""
    try:
        import termios  # noqa: F401
        import tty  # noqa: F401
    except ImportError:
        return "tcp"
    return "pty" if hasattr(os, "openpty") else "tcp"


def check_line(transport: str, tty_path: Optional[str], address: str) -> None:
    """Refuses a choice of line that cannot be served, with a ValueError."""
    if transport not in TRANSPORTS:
        raise ValueError("unknown transport %r; one of %s" % (transport, ", ".join(TRANSPORTS)))
    if tty_path is not None and transport != "pty":
        raise ValueError("a tty is served as it is; it takes no transport")
    split_address(address)


def split_address(text: str) -> Tuple[str, int]:
    """'[HOST:]PORT' -> (host, port); the host defaults to the loopback address."""
    host, _, port = text.rpartition(":")
    host = host.strip("[]") or DEFAULT_HOST
    try:
        number = int(port)
    except ValueError:
        raise ValueError("not [HOST:]PORT: %r" % (text,)) from None
    if not 0 <= number <= 0xFFFF:
        raise ValueError("TCP port out of range 0..65535: %d" % number)
    return host, number


class Line:
    """The device's end of a terminal line: a descriptor, read and written directly."""

    def __init__(self, fd: int) -> None:
        self.fd = fd

    def fileno(self) -> int:
        return self.fd

    def read(self) -> bytes:
        return os.read(self.fd, _READ_SIZE)

    def write(self, data: Union[bytes, bytearray]) -> int:
        return os.write(self.fd, data)

    def unsent(self) -> int:
        """Bytes written that have not left yet."""
        return _queued(self.fd, "TIOCOUTQ")

    def close(self) -> None:
        os.close(self.fd)


class SocketLine(Line):
    """The device's end of a TCP connection."""

    def __init__(self, sock: socket.socket) -> None:
        super().__init__(sock.fileno())
        self.sock = sock
        sock.setblocking(False)
        # Replies are 5 bytes each, written one exchange at a time: never hold one back.
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def read(self) -> bytes:
        return self.sock.recv(_READ_SIZE)

    def write(self, data: Union[bytes, bytearray]) -> int:
        return self.sock.send(data)

    def unsent(self) -> int:
        """Bytes the host's end has not acknowledged; 0 where the system cannot say."""
        try:
            return _queued(self.fd, "TIOCOUTQ")
        except (ImportError, AttributeError, OSError):
            return 0

    def close(self) -> None:
        self.sock.close()


# What the serving loop waits on: the line, or the TCP listener while no host is connected.
Watched = Union[Line, socket.socket]


class Server:
    """One line and the loop that moves bytes between it and a Device.

    By default the line is a fresh pty pair. The device keeps its own
    descriptor of the slave end open, so the host may close and reopen the
    port without the master seeing a hang-up.

    With `tty_path`, the device is served on that existing terminal instead
    (the device side of a USB serial gadget, say), which is then also `port`.
    Such a line hangs up when its cable is pulled; the server opens it again
    and serves on when the host comes back.

    With `transport="tcp"`, the device listens on `address` ('[HOST:]PORT',
    port 0 for any free one) and serves one connection at a time; `port` is
    the URL a host opens with serial.serial_for_url. A host that closes its
    connection may connect again, as it may reopen a pty.
    """

    def __init__(self, device: Device, idle_ms: float = 50, lock: Optional[threading.Lock] = None,
                 tty_path: Optional[str] = None, transport: str = "pty",
                 address: str = DEFAULT_HOST + ":0") -> None:
        check_line(transport, tty_path, address)
        self.device = device
        self.idle = idle_ms / 1000.0
        self.lock = lock
        self.tty_path = tty_path
        self.line: Optional[Line] = None
        self.slave: Optional[int] = None
        self.listener: Optional[socket.socket] = None
        self.port: str
        if transport == "tcp":
            self._listen(address)
        elif tty_path is not None:
            self.line = Line(_open_tty(tty_path))
            self.port = tty_path
        else:
            self._open_pty()
        self._out = bytearray()
        self._scheduled: Deque[Tuple[float, bytes]] = deque()   # (due time, bytes) of late replies, in order
        self._last_rx = 0.0
        self._drain_start: Optional[float] = None
        self._reply_seen = False
        self._request_after_close = False

    def _open_pty(self) -> None:
        master, self.slave = os.openpty()
        self.line = Line(master)
        try:
            _raw(self.slave)
            os.set_blocking(master, False)
            self.port = os.ttyname(self.slave)
        except BaseException:
            self.close()
            raise

    def _listen(self, address: str) -> None:
        host, number = split_address(address)
        self.listener = socket.create_server((host, number), family=_family(host), backlog=1)
        self.listener.setblocking(False)
        bound_host, bound_port = self.listener.getsockname()[:2]
        self.port = "socket://%s:%d" % ("[%s]" % bound_host if ":" in bound_host else bound_host, bound_port)

    def close(self) -> None:
        line, self.line = self.line, None
        if line is not None:
            line.close()
        slave, self.slave = self.slave, None
        if slave is not None:
            os.close(slave)
        listener, self.listener = self.listener, None
        if listener is not None:
            listener.close()

    def serve(self, control: Optional[Union[int, socket.socket]], on_control: Optional[Callable[[], bool]]) -> None:
        """Run until on_control() returns False after `control` turns readable."""
        selector = selectors.DefaultSelector()
        if control is not None:
            selector.register(control, selectors.EVENT_READ, "control")
        watched: Dict[Watched, int] = {}
        try:
            while True:
                watched = self._watch(selector, watched)
                for key, events in selector.select(self._timeout()):
                    if key.data == "control":
                        if on_control is None or not on_control():
                            return
                    elif key.fileobj is self.listener:
                        self._accept()
                    elif key.fileobj is self.line:
                        if events & selectors.EVENT_READ:
                            self._receive()
                        if events & selectors.EVENT_WRITE:
                            self._write()
                self._tick()
        finally:
            selector.close()

    def _watch(self, selector: selectors.BaseSelector, watched: Dict[Watched, int]) -> Dict[Watched, int]:
        """Watch the line (for output too while replies wait), or the listener while no host is connected."""
        wanted: Dict[Watched, int] = {}
        if self.line is not None:
            wanted[self.line] = selectors.EVENT_READ | (selectors.EVENT_WRITE if self._out else 0)
        elif self.listener is not None:
            wanted[self.listener] = selectors.EVENT_READ
        for gone in watched.keys() - wanted.keys():
            selector.unregister(gone)
        for fileobj, events in wanted.items():
            if fileobj not in watched:
                selector.register(fileobj, events)
            elif watched[fileobj] != events:
                selector.modify(fileobj, events)
        return wanted

    def _timeout(self) -> Optional[float]:
        waits: List[float] = []
        now = time.monotonic()
        if self._scheduled:
            waits.append(self._scheduled[0][0] - now)
        if self.line is not None and self.device.parser.pending:
            waits.append(self._last_rx + self.idle - now)
        if self._drain_start is not None:
            waits.append(0.001)
        if not waits:
            return None
        # Whole milliseconds, rounded up, so that a wait never ends just before its time.
        return max(0, math.ceil(min(waits) * 1000)) / 1000

    def _locked(self, call: Callable[..., T], *args: bytes) -> T:
        if self.lock is None:
            return call(*args)
        with self.lock:
            return call(*args)

    def _accept(self) -> None:
        assert self.listener is not None
        try:
            connection, _ = self.listener.accept()
        except (BlockingIOError, InterruptedError):
            return
        self.line = SocketLine(connection)

    def _hang_up(self) -> None:
        """The host has gone: a TCP host may connect again, a tty is opened again."""
        if self.tty_path is not None:
            self._reopen()
            return
        # A frame cut off by the hang-up is garbage; it must not take in the next host's bytes.
        self._locked(self.device.flush)
        self._out.clear()
        self._scheduled.clear()
        line, self.line = self.line, None
        if line is not None:
            line.close()

    def _reopen(self) -> None:
        """A hung-up tty reads nothing ever again: serve a fresh descriptor of it.

        When the tty itself has gone (its gadget removed, or the master of a
        pty closed), serving ends.  That is decided while the hung-up
        descriptor is still held: a pty's path vanishes as its master closes,
        and once the last descriptor is closed, a new and unrelated pty may
        take the same path at once.
        """
        assert self.tty_path is not None
        self._out.clear()
        self._scheduled.clear()
        gone = not os.path.exists(self.tty_path)
        if self.line is not None:
            self.line.close()
            self.line = None
        if gone:
            return
        time.sleep(REOPEN_DELAY)
        try:
            self.line = Line(_open_tty(self.tty_path))
        except OSError:
            pass

    def _can_hang_up(self) -> bool:
        """Whether the far end may go away: a tty's cable, a TCP host; never a pty's own slave."""
        return self.tty_path is not None or self.listener is not None

    def _receive(self) -> None:
        assert self.line is not None
        try:
            data = self.line.read()
        except (BlockingIOError, InterruptedError):
            return
        except OSError:
            if not self._can_hang_up():
                raise
            data = b""
        if not data:
            if self._can_hang_up():
                self._hang_up()
            return
        self._last_rx = time.monotonic()
        if self.device.closing:
            self._request_after_close = True
        self._send(self._locked(self.device.feed, data))

    def _send(self, replies: List[Reply]) -> None:
        for data, delay in replies:
            if not data:
                continue
            if delay or self._scheduled:
                # A slow reply holds back the ones after it, as a device
                # that handles one request at a time would.
                now = time.monotonic()
                due = now + delay
                if self._scheduled:
                    due = max(due, self._scheduled[-1][0])
                self._scheduled.append((due, data))
            else:
                self._out += data
        self._write()

    def _write(self) -> None:
        if not self._out or self.line is None:
            return
        try:
            written = self.line.write(self._out)
        except (BlockingIOError, InterruptedError):
            return
        except OSError:
            if not self._can_hang_up():
                raise
            self._hang_up()
            return
        del self._out[:written]

    def _tick(self) -> None:
        """Idle flush, late replies and the disconnect fault, each when due."""
        if self.line is None:
            return
        now = time.monotonic()
        if self.device.parser.pending and now - self._last_rx >= self.idle:
            self._send(self._locked(self.device.flush))
        if self._scheduled and self._scheduled[0][0] <= now:
            while self._scheduled and self._scheduled[0][0] <= now:
                self._out += self._scheduled.popleft()[1]
            self._write()
        if self.device.closing and not self._scheduled and not self._out:
            self._drain(self.line, now)

    def _drain(self, line: Line, now: float) -> None:
        if self._drain_start is None:
            self._drain_start = now
        waited = now - self._drain_start
        if self.slave is not None:
            # Bytes the host has not read yet.
            unread = _queued(self.slave, "FIONREAD")
        else:
            # Bytes the line has not sent yet.
            unread = line.unsent()
        if unread:
            self._reply_seen = True
            read = False
        else:
            read = self._reply_seen or waited >= ARRIVE_TIMEOUT
        if read or self._request_after_close or waited >= DRAIN_TIMEOUT:
            self.device.disconnected = True     # before the host can see the hang-up
            self._drain_start = None
            self.close()


def _family(host: str) -> socket.AddressFamily:
    return socket.AF_INET6 if ":" in host else socket.AF_INET
