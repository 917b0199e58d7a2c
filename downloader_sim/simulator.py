"""Simulator: a Device served on a pty, a given tty or TCP, from a background thread or process."""

import contextlib
import os
import pickle
import select
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
import traceback
import types
from typing import IO, Any, Dict, FrozenSet, Generic, Iterable, Iterator, List, Optional, Tuple, Type, TypeVar, overload

from .device import STATE_FIELDS, Device, RunReport
from .faults import Faults
from .server import DEFAULT_HOST, Server, check_line

T = TypeVar("T")

START_TIMEOUT = 30.0
STOP_TIMEOUT = 10.0


class _State(Generic[T]):
    """A read-only attribute of Simulator: one of the device's STATE_FIELDS, read when asked."""

    def __set_name__(self, owner: type, name: str) -> None:
        self.name = name
        self.__doc__ = STATE_FIELDS[name]

    @overload
    def __get__(self, sim: None, owner: Type["Simulator"]) -> "_State[T]": ...

    @overload
    def __get__(self, sim: "Simulator", owner: Type["Simulator"]) -> T: ...

    def __get__(self, sim: Optional["Simulator"], owner: Type["Simulator"]) -> Any:
        if sim is None:
            return self
        return sim._get((self.name,))[self.name]


class Simulator:
    """A simulated device on a fresh pseudo-terminal, or over TCP.

        with Simulator(reject={3: 2}) as sim:
            ser = serial.Serial(sim.port, 12000000, timeout=1)
            ...
            assert sim.reports[-1].complete

    Keyword arguments are the fault knobs of Faults, plus:
      process  -- serve from a child process instead of a thread, so the
                  device does not compete with the host for the GIL;
      idle_ms  -- how long the line must be quiet before an incomplete frame
                  is dropped as garbage;
      tty      -- serve on this existing terminal (the device side of a USB
                  serial gadget, say) instead of a fresh pty; `port` is then
                  that path, and the host opens the other end of the link;
      transport -- "pty" (the default) or "tcp": listen on `address`
                  ('[HOST:]PORT', by default any free port on the loopback
                  address) and serve one connection at a time; `port` is then
                  a socket:// URL.
    `url` is what serial.serial_for_url opens, on every transport.
    The device state (see STATE_FIELDS) is readable as attributes while the
    simulator runs and after it has stopped; `snapshot()` reads all of it.
    """

    def __init__(self, *, process: bool = False, idle_ms: float = 50, tty: Optional[str] = None,
                 transport: str = "pty", address: str = DEFAULT_HOST + ":0", **faults: Any) -> None:
        check_line(transport, tty, address)
        self._faults = Faults(**faults)
        self.process = process
        self.idle_ms = idle_ms
        self.tty = tty
        self.transport = transport
        self.address = address
        self.port: Optional[str] = None
        self._state = "new"
        self._final: Dict[str, Any] = {}
        self._device: Optional[Device] = None
        self._io_lock = threading.Lock()

    # The device state; the same names and meanings as STATE_FIELDS.
    image: _State[bytes] = _State()
    length: _State[Optional[int]] = _State()
    blocks: _State[FrozenSet[int]] = _State()
    duplicates: _State[List[int]] = _State()
    nacked: _State[List[int]] = _State()
    heartbeats: _State[int] = _State()
    runs: _State[int] = _State()
    frames: _State[int] = _State()
    garbage_bytes: _State[int] = _State()
    bad_checksums: _State[int] = _State()
    reports: _State[List[RunReport]] = _State()
    log: _State[List[Tuple[int, int, int]]] = _State()
    rx: _State[bytes] = _State()
    disconnected: _State[bool] = _State()

    @property
    def url(self) -> str:
        """The port as serial.serial_for_url(url, do_not_open=True) takes it: a path or a socket:// URL."""
        if self.port is None:
            raise RuntimeError("simulator not started")
        return self.port

    # Life cycle --------------------------------------------------------------

    def start(self) -> "Simulator":
        if self._state != "new":
            raise RuntimeError("a Simulator starts only once")
        if self.process:
            self._start_process()
        else:
            self._start_thread()
        self._state = "running"
        return self

    def __enter__(self) -> "Simulator":
        return self.start()

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def close(self) -> None:
        """Stop serving and close every descriptor; the state stays readable."""
        if self._state != "running":
            return
        self._state = "closed"
        if self.process:
            self._stop_process()
        else:
            self._stop_thread()

    # Thread mode ---------------------------------------------------------------

    def _start_thread(self) -> None:
        self._device = Device(self._faults)
        self._server = Server(self._device, self.idle_ms, self._io_lock, self.tty, self.transport, self.address)
        self.port = self._server.port
        # Sockets rather than a pipe: they can be waited on everywhere.
        self._wake_r, self._wake_w = socket.socketpair()
        self._stopping = False
        self._error: Optional[BaseException] = None
        self._thread = threading.Thread(target=self._serve_thread, name="downloader-sim",
                                        daemon=True)
        self._thread.start()

    def _serve_thread(self) -> None:
        def on_control() -> bool:
            self._wake_r.recv(64)
            return not self._stopping
        try:
            self._server.serve(self._wake_r, on_control)
        except BaseException as error:  # reported by close()
            self._error = error
        finally:
            self._server.close()

    def _stop_thread(self) -> None:
        self._stopping = True
        self._wake_w.send(b"x")
        self._thread.join(STOP_TIMEOUT)
        self._wake_r.close()
        self._wake_w.close()
        if self._error is not None:
            raise RuntimeError("simulator thread failed") from self._error

    # Process mode --------------------------------------------------------------

    def _start_process(self) -> None:
        # The child imports this very package, wherever it came from, and
        # then takes its folder off the path again so it shadows nothing.
        root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
        code = ("import sys; sys.path.insert(0, %r); import downloader_sim.simulator as sim; "
                "del sys.path[0]; sys.exit(sim.control_main())" % root)
        with _stops_ignored_by_child():
            self._proc = subprocess.Popen([sys.executable, "-c", code],
                                          stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        try:
            write_message(_pipe(self._proc.stdin),
                          ("start", self._faults, self.idle_ms, self.tty, self.transport, self.address))
            reply = read_message(_pipe(self._proc.stdout), START_TIMEOUT)
            if reply[0] != "ready":
                raise RuntimeError("simulator process failed:\n" + reply[1])
            self.port = reply[1]
        except BaseException:
            self._end_process()
            raise

    def _stop_process(self) -> None:
        try:
            with self._io_lock:
                write_message(_pipe(self._proc.stdin), ("stop",))
                reply = read_message(_pipe(self._proc.stdout), STOP_TIMEOUT)
        except (ConnectionError, EOFError):
            return      # it died, as a device that is pulled out does: its state is lost
        finally:
            self._end_process()
        self._final = reply[-1]
        if reply[0] != "final":
            raise RuntimeError("simulator process failed:\n" + reply[1])

    def _end_process(self) -> None:
        proc = self._proc
        assert proc.stdin is not None and proc.stdout is not None
        proc.stdin.close()
        try:
            proc.wait(STOP_TIMEOUT)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        proc.stdout.close()

    # State -------------------------------------------------------------------

    def _get(self, names: Iterable[str]) -> Dict[str, Any]:
        if self._state == "new":
            raise RuntimeError("simulator not started")
        if self._device is not None:
            with self._io_lock:
                return self._device.get(names)
        if self.lost:
            raise RuntimeError("the simulator process has ended: its state is lost")
        if self._state == "closed":
            return {name: self._final[name] for name in names}
        with self._io_lock:
            write_message(_pipe(self._proc.stdin), ("get", tuple(names)))
            answer: Dict[str, Any] = read_message(_pipe(self._proc.stdout), STOP_TIMEOUT)[1]
            return answer

    @property
    def lost(self) -> bool:
        """Whether the device state went with a simulator process that ended on its own."""
        if not self.process or self._state == "new":
            return False
        if self._state == "closed":
            return not self._final  # stopped without its final state
        return self._proc.poll() is not None

    def snapshot(self) -> types.SimpleNamespace:
        """All of the device state at once, as a namespace of STATE_FIELDS."""
        return types.SimpleNamespace(**self._get(STATE_FIELDS))


def _pipe(stream: Optional[IO[bytes]]) -> int:
    """The descriptor of one of the child's standard streams, which Popen made pipes."""
    assert stream is not None
    return stream.fileno()


# Signals a simulator process leaves to its parent: a terminal sends SIGINT and SIGHUP to the
# whole process group, a service manager SIGTERM to every process of the service.
PARENT_DECIDES = tuple(getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP") if hasattr(signal, name))


@contextlib.contextmanager
def _stops_ignored_by_child() -> Iterator[None]:
    """A child started within ignores PARENT_DECIDES from its first instruction, even while the
    interpreter starts, so that a Ctrl-C then cannot end it with a traceback. Those meant for
    this process are held meanwhile."""
    if threading.current_thread() is not threading.main_thread() or not hasattr(signal, "pthread_sigmask"):
        yield
        return
    signal.pthread_sigmask(signal.SIG_BLOCK, PARENT_DECIDES)
    previous = {signum: signal.signal(signum, signal.SIG_IGN) for signum in PARENT_DECIDES}
    try:
        yield
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)
        signal.pthread_sigmask(signal.SIG_UNBLOCK, PARENT_DECIDES)


# Messages between Simulator and its child process: a 4-byte length, then a
# pickle.  Both ends run the same interpreter and package.

def write_message(fd: int, message: Tuple[Any, ...]) -> None:
    data = pickle.dumps(message, pickle.HIGHEST_PROTOCOL)
    view = memoryview(struct.pack("<I", len(data)) + data)
    while view:
        view = view[os.write(fd, view):]


def _readable_in_time(fd: int, deadline: float) -> bool:
    """Whether `fd` has something to read before `deadline`. Windows cannot poll a pipe: there the
    read blocks until the process answers or ends (an ended process closes the pipe)."""
    if not hasattr(select, "poll"):
        return True
    poller = select.poll()
    poller.register(fd, select.POLLIN)
    left = deadline - time.monotonic()
    return left > 0 and bool(poller.poll(left * 1000))


def _read_exact(fd: int, size: int, deadline: Optional[float]) -> bytes:
    chunks: List[bytes] = []
    while size:
        if deadline is not None and not _readable_in_time(fd, deadline):
            raise TimeoutError("no answer from the simulator process")
        chunk = os.read(fd, size)
        if not chunk:
            raise EOFError("simulator channel closed")
        chunks.append(chunk)
        size -= len(chunk)
    return b"".join(chunks)


def read_message(fd: int, timeout: Optional[float] = None) -> Tuple[Any, ...]:
    deadline = None if timeout is None else time.monotonic() + timeout
    size: int = struct.unpack("<I", _read_exact(fd, 4, deadline))[0]
    message: Tuple[Any, ...] = pickle.loads(_read_exact(fd, size, deadline))
    return message


def control_main() -> int:
    """Child side of process mode: messages on stdin, answers on stdout."""
    for signum in PARENT_DECIDES:   # the parent decides when to stop
        signal.signal(signum, signal.SIG_IGN)
    answers = os.dup(1)
    os.dup2(2, 1)           # keep stray output off the message channel
    try:
        _, faults, idle_ms, tty_path, transport, address = read_message(0)
    except EOFError:
        return 0    # the parent gave up before the start (Ctrl-C while it waited for us)
    device = Device(faults)
    try:
        server = Server(device, idle_ms, tty_path=tty_path, transport=transport, address=address)
    except BaseException:
        write_message(answers, ("error", traceback.format_exc()))
        return 1

    def on_control() -> bool:
        try:
            message = read_message(0)
        except EOFError:
            return False
        if message[0] != "get":
            return False
        write_message(answers, ("state", device.get(message[1])))
        return True

    result: Tuple[Any, ...]
    try:
        write_message(answers, ("ready", server.port))
        server.serve(0, on_control)
        result = ("final", device.get(STATE_FIELDS))
    except BaseException:
        result = ("error", traceback.format_exc(), device.get(STATE_FIELDS))
    finally:
        server.close()
    try:
        write_message(answers, result)
    except OSError:
        pass        # the parent has gone
    return 0 if result[0] == "final" else 1
