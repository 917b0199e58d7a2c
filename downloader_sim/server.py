"""Serve a Device on the master end of a pseudo-terminal, or on an existing tty."""

import fcntl
import math
import os
import select
import struct
import termios
import time
import tty
import threading
from collections import deque
from typing import Callable, Deque, List, Optional, Tuple, TypeVar

from .device import Device, Reply

T = TypeVar("T")

# The disconnect fault closes the line once the host has read the last reply,
# because closing the master discards unread bytes.  A reply shows up in the
# slave's input queue only after the kernel has pushed it there, so the queue
# must first be seen non-empty (or ARRIVE_TIMEOUT pass) and then empty; the
# host's next request also proves the reply was read.  DRAIN_TIMEOUT bounds it.
ARRIVE_TIMEOUT = 0.05
DRAIN_TIMEOUT = 2.0

_READ_SIZE = 1 << 16

# After a hang-up of a served tty, the pause before it is opened again.
REOPEN_DELAY = 0.05


def _queued(fd: int, request: int) -> int:
    count: int = struct.unpack("i", fcntl.ioctl(fd, request, b"\0\0\0\0"))[0]
    return count


def _open_tty(path: str) -> int:
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        tty.setraw(fd, termios.TCSANOW)
    except BaseException:
        os.close(fd)
        raise
    return fd


class Server:
    """One pty pair and the loop that moves bytes between it and a Device.

    The device keeps its own descriptor of the slave end open, so the host
    may close and reopen the port without the master seeing a hang-up.

    With `tty_path`, the device is served on that existing terminal instead
    (the device side of a USB serial gadget, say), which is then also `port`.
    Such a line hangs up when its cable is pulled; the server opens it again
    and serves on when the host comes back.
    """

    def __init__(self, device: Device, idle_ms: float = 50, lock: Optional[threading.Lock] = None,
                 tty_path: Optional[str] = None) -> None:
        self.device = device
        self.idle = idle_ms / 1000.0
        self.lock = lock
        self.tty_path = tty_path
        self.master: Optional[int] = None
        self.slave: Optional[int] = None
        self.port: str
        if tty_path is not None:
            self.master = _open_tty(tty_path)
            self.port = tty_path
        else:
            self.master, slave = os.openpty()
            self.slave = slave
            try:
                # Raw mode: no byte is translated, buffered by line or echoed.
                tty.setraw(slave, termios.TCSANOW)
                os.set_blocking(self.master, False)
                self.port = os.ttyname(slave)
            except BaseException:
                self.close()
                raise
        self._out = bytearray()
        self._scheduled: Deque[Tuple[float, bytes]] = deque()   # (due time, bytes) of late replies, in order
        self._last_rx = 0.0
        self._drain_start: Optional[float] = None
        self._reply_seen = False
        self._request_after_close = False

    def close(self) -> None:
        for name in ("master", "slave"):
            fd = getattr(self, name)
            if fd is not None:
                setattr(self, name, None)
                os.close(fd)

    def serve(self, control_fd: Optional[int], on_control: Optional[Callable[[], bool]]) -> None:
        """Run until on_control() returns False after control_fd turns readable."""
        poller = select.poll()
        if control_fd is not None:
            poller.register(control_fd, select.POLLIN)
        master = self.master
        if master is not None:
            poller.register(master, select.POLLIN)
        watching_out = False
        while True:
            for fd, events in poller.poll(self._timeout_ms()):
                if fd == control_fd:
                    if on_control is None or not on_control():
                        return
                elif self.master is not None:
                    if events & select.POLLIN:
                        self._receive()
                    if events & select.POLLOUT:
                        self._write()
                    hung_up = events & (select.POLLHUP | select.POLLERR)
                    if hung_up and self.tty_path and self.master == fd:
                        self._reopen()
            self._tick()
            if self.master != master:
                if master is not None:
                    poller.unregister(master)
                master = self.master
                watching_out = False
                if master is not None:
                    poller.register(master, select.POLLIN)
            if master is not None and bool(self._out) != watching_out:
                watching_out = bool(self._out)
                poller.modify(master, select.POLLIN | (select.POLLOUT if watching_out else 0))

    def _timeout_ms(self) -> Optional[int]:
        waits: List[float] = []
        now = time.monotonic()
        if self._scheduled:
            waits.append(self._scheduled[0][0] - now)
        if self.master is not None and self.device.parser.pending:
            waits.append(self._last_rx + self.idle - now)
        if self._drain_start is not None:
            waits.append(0.001)
        if not waits:
            return None
        return max(0, math.ceil(min(waits) * 1000))

    def _locked(self, call: Callable[..., T], *args: bytes) -> T:
        if self.lock is None:
            return call(*args)
        with self.lock:
            return call(*args)

    def _reopen(self) -> None:
        """A hung-up tty reads nothing ever again: serve a fresh descriptor of it.

        When the tty itself has gone (its gadget removed, or the master of a
        pty closed), serving ends.  That is decided while the hung-up
        descriptor is still held: a pty's path vanishes as its master closes,
        and once the last descriptor is closed, a new and unrelated pty may
        take the same path at once.
        """
        self._out.clear()
        self._scheduled.clear()
        assert self.tty_path is not None
        gone = not os.path.exists(self.tty_path)
        if self.master is not None:
            os.close(self.master)
            self.master = None
        if gone:
            return
        time.sleep(REOPEN_DELAY)
        try:
            self.master = _open_tty(self.tty_path)
        except OSError:
            pass

    def _receive(self) -> None:
        assert self.master is not None
        try:
            data = os.read(self.master, _READ_SIZE)
        except (BlockingIOError, InterruptedError):
            return
        except OSError:
            if not self.tty_path:
                raise
            data = b""
        if not data:
            if self.tty_path:
                self._reopen()
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
        if not self._out or self.master is None:
            return
        try:
            written = os.write(self.master, self._out)
        except (BlockingIOError, InterruptedError):
            return
        except OSError:
            if not self.tty_path:
                raise
            self._reopen()
            return
        del self._out[:written]

    def _tick(self) -> None:
        """Idle flush, late replies and the disconnect fault, each when due."""
        if self.master is None:
            return
        now = time.monotonic()
        if self.device.parser.pending and now - self._last_rx >= self.idle:
            self._send(self._locked(self.device.flush))
        if self._scheduled and self._scheduled[0][0] <= now:
            while self._scheduled and self._scheduled[0][0] <= now:
                self._out += self._scheduled.popleft()[1]
            self._write()
        if self.device.closing and not self._scheduled and not self._out:
            self._drain(now)

    def _drain(self, now: float) -> None:
        if self._drain_start is None:
            self._drain_start = now
        waited = now - self._drain_start
        if self.slave is not None:
            # Bytes the host has not read yet.
            unread = _queued(self.slave, termios.FIONREAD)
        else:
            # Bytes the line has not sent yet.
            assert self.master is not None     # _tick() drains only an open line
            unread = _queued(self.master, termios.TIOCOUTQ)
        if unread:
            self._reply_seen = True
            read = False
        else:
            read = self._reply_seen or waited >= ARRIVE_TIMEOUT
        if read or self._request_after_close or waited >= DRAIN_TIMEOUT:
            self.device.disconnected = True     # before the host can see the hang-up
            self._drain_start = None
            self.close()
