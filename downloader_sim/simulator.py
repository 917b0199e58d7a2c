"""Simulator: a Device served on a pty (or a given tty) from a background thread or process."""

from __future__ import annotations

import contextlib
import os
import pickle
import select
import signal
import struct
import subprocess
import sys
import threading
import time
import traceback
import types

from .device import STATE_FIELDS, Device
from .faults import Faults
from .server import Server

START_TIMEOUT = 30.0
STOP_TIMEOUT = 10.0


class Simulator:
    """A simulated device on a fresh pseudo-terminal.

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
                  that path, and the host opens the other end of the link.
    The device state (see STATE_FIELDS) is readable as attributes while the
    simulator runs and after it has stopped; `snapshot()` reads all of it.
    """

    def __init__(self, *, process=False, idle_ms=50, tty=None, **faults):
        self._faults = Faults(**faults)
        self.process = process
        self.idle_ms = idle_ms
        self.tty = tty
        self.port = None
        self._state = "new"
        self._final = None
        self._device = None
        self._io_lock = threading.Lock()

    # Life cycle --------------------------------------------------------------

    def start(self):
        if self._state != "new":
            raise RuntimeError("a Simulator starts only once")
        if self.process:
            self._start_process()
        else:
            self._start_thread()
        self._state = "running"
        return self

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc_info):
        self.close()

    def close(self):
        """Stop serving and close every descriptor; the state stays readable."""
        if self._state != "running":
            return
        self._state = "closed"
        if self.process:
            self._stop_process()
        else:
            self._stop_thread()

    # Thread mode ---------------------------------------------------------------

    def _start_thread(self):
        self._device = Device(self._faults)
        self._server = Server(self._device, self.idle_ms, self._io_lock, self.tty)
        self.port = self._server.port
        self._wake_r, self._wake_w = os.pipe()
        self._stopping = False
        self._error = None
        self._thread = threading.Thread(target=self._serve_thread, name="downloader-sim",
                                        daemon=True)
        self._thread.start()

    def _serve_thread(self):
        def on_control():
            os.read(self._wake_r, 64)
            return not self._stopping
        try:
            self._server.serve(self._wake_r, on_control)
        except BaseException as error:  # reported by close()
            self._error = error
        finally:
            self._server.close()

    def _stop_thread(self):
        self._stopping = True
        os.write(self._wake_w, b"x")
        self._thread.join(STOP_TIMEOUT)
        os.close(self._wake_r)
        os.close(self._wake_w)
        if self._error is not None:
            raise RuntimeError("simulator thread failed") from self._error

    # Process mode --------------------------------------------------------------

    def _start_process(self):
        # The child imports this very package, wherever it came from, and
        # then takes its folder off the path again so it shadows nothing.
        root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
        code = ("import sys; sys.path.insert(0, %r); import downloader_sim.simulator as sim; "
                "del sys.path[0]; sys.exit(sim.control_main())" % root)
        with _stops_ignored_by_child():
            self._proc = subprocess.Popen([sys.executable, "-c", code],
                                          stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        try:
            write_message(self._proc.stdin.fileno(),
                          ("start", self._faults, self.idle_ms, self.tty))
            reply = read_message(self._proc.stdout.fileno(), START_TIMEOUT)
            if reply[0] != "ready":
                raise RuntimeError("simulator process failed:\n" + reply[1])
            self.port = reply[1]
        except BaseException:
            self._end_process()
            raise

    def _stop_process(self):
        try:
            with self._io_lock:
                write_message(self._proc.stdin.fileno(), ("stop",))
                reply = read_message(self._proc.stdout.fileno(), STOP_TIMEOUT)
        except (ConnectionError, EOFError):
            return      # it died, as a device that is pulled out does: its state is lost
        finally:
            self._end_process()
        self._final = reply[-1]
        if reply[0] != "final":
            raise RuntimeError("simulator process failed:\n" + reply[1])

    def _end_process(self):
        proc = self._proc
        proc.stdin.close()
        try:
            proc.wait(STOP_TIMEOUT)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        proc.stdout.close()

    # State -------------------------------------------------------------------

    def _get(self, names):
        if self._state == "new":
            raise RuntimeError("simulator not started")
        if not self.process:
            with self._io_lock:
                return self._device.get(names)
        if self.lost:
            raise RuntimeError("the simulator process has ended: its state is lost")
        if self._state == "closed":
            return {name: self._final[name] for name in names}
        with self._io_lock:
            write_message(self._proc.stdin.fileno(), ("get", tuple(names)))
            return read_message(self._proc.stdout.fileno(), STOP_TIMEOUT)[1]

    @property
    def lost(self):
        """Whether the device state went with a simulator process that ended on its own."""
        if not self.process or self._state == "new":
            return False
        if self._state == "closed":
            return self._final is None
        return self._proc.poll() is not None

    def snapshot(self):
        """All of the device state at once, as a namespace of STATE_FIELDS."""
        return types.SimpleNamespace(**self._get(STATE_FIELDS))


def _state_property(name, doc):
    return property(lambda self: self._get((name,))[name], doc=doc)


for _name, _doc in STATE_FIELDS.items():
    setattr(Simulator, _name, _state_property(_name, _doc))


# Signals a simulator process leaves to its parent: a terminal sends SIGINT and SIGHUP to the
# whole process group, a service manager SIGTERM to every process of the service.
PARENT_DECIDES = tuple(getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP") if hasattr(signal, name))


@contextlib.contextmanager
def _stops_ignored_by_child():
    """A child started within ignores PARENT_DECIDES from its first instruction, even while the
    interpreter starts, so that a Ctrl-C then cannot end it with a traceback. Those meant for
    this process are held meanwhile."""
    if threading.current_thread() is not threading.main_thread():
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

def write_message(fd, message):
    data = pickle.dumps(message, pickle.HIGHEST_PROTOCOL)
    view = memoryview(struct.pack("<I", len(data)) + data)
    while view:
        view = view[os.write(fd, view):]


def _read_exact(fd, size, deadline):
    chunks = []
    poller = select.poll()
    poller.register(fd, select.POLLIN)
    while size:
        if deadline is not None:
            left = deadline - time.monotonic()
            if left <= 0 or not poller.poll(left * 1000):
                raise TimeoutError("no answer from the simulator process")
        chunk = os.read(fd, size)
        if not chunk:
            raise EOFError("simulator channel closed")
        chunks.append(chunk)
        size -= len(chunk)
    return b"".join(chunks)


def read_message(fd, timeout=None):
    deadline = None if timeout is None else time.monotonic() + timeout
    size = struct.unpack("<I", _read_exact(fd, 4, deadline))[0]
    return pickle.loads(_read_exact(fd, size, deadline))


def control_main():
    """Child side of process mode: messages on stdin, answers on stdout."""
    for signum in PARENT_DECIDES:   # the parent decides when to stop
        signal.signal(signum, signal.SIG_IGN)
    answers = os.dup(1)
    os.dup2(2, 1)           # keep stray output off the message channel
    try:
        _, faults, idle_ms, tty_path = read_message(0)
    except EOFError:
        return 0    # the parent gave up before the start (Ctrl-C while it waited for us)
    device = Device(faults)
    try:
        server = Server(device, idle_ms, tty_path=tty_path)
    except BaseException:
        write_message(answers, ("error", traceback.format_exc()))
        return 1

    def on_control():
        try:
            message = read_message(0)
        except EOFError:
            return False
        if message[0] != "get":
            return False
        write_message(answers, ("state", device.get(message[1])))
        return True

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
