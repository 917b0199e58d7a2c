"""The worker process: one attempt at one device, since the module holds one port per process.

Each worker has its own pipe to the parent: the Job goes out with the process, progress and one
Attempt come back, and "stop" goes out when the parent wants it to end. Nothing is shared by all
workers, so a worker that dies, however it dies, holds up no other.

In station mode a spare worker is started ahead of its device: it is past its imports when
the device appears, and waits on its pipe for the Job. It says "ready" first, so that it is
handed a Job only once it reads its pipe; a stop, or the loss of the parent, ends it as it would
end any worker.

A stop is a message, not a signal, so that it means the same wherever the tool runs; a worker
whose pipe closes (the parent was killed) stops in the same way. Either turns into a
KeyboardInterrupt in the worker's main thread, which the transfer reports as an interruption at
the block it reached, with its port closed.

Workers start with SIGINT, SIGTERM and SIGHUP ignored: a terminal sends SIGINT and SIGHUP to the
whole process group, a service manager SIGTERM to every process of the service. The parent
decides, and reports every device.
"""
import _thread
import contextlib
import dataclasses
import signal
import threading
import time
from multiprocessing.connection import Connection
from types import FrameType
from typing import Any, Optional, Tuple

from downloader_wire import BLOCK_SIZE

from .attempts import attempt_job, unstarted
from .errors import Interrupted
from .model import KIB, Attempt, Job
from .records import INTERRUPTED

PROGRESS_INTERVAL = 0.1  # seconds between progress messages from a worker


STOP = "stop"  # the parent's message to a worker


JOB = "job"  # the parent's message to a spare worker, with its Job


READY = "ready"  # a spare worker's first message: it waits for its Job


class StopRequest:
    """In a worker: the parent's stop, or the loss of the parent, as one KeyboardInterrupt in the
    main thread while the attempt runs.

    A thread listens on the pipe and interrupts the main thread the way Ctrl-C would, through the
    SIGINT handler, which raises only once a stop was requested: the terminal's own Ctrl-C stays
    without effect. The interruption waits while a message is being sent, so that the pipe
    never carries half a message.
    """

    def __init__(self, connection: Connection) -> None:
        self.connection = connection
        self.requested = False
        self.armed = True  # until the attempt has ended
        self.sending = False
        self.deferred = False

    def handle(self, signum: int, frame: Optional[FrameType]) -> None:
        if not (self.requested and self.armed):
            return
        if self.sending:
            self.deferred = True
            return
        self.armed = False
        raise KeyboardInterrupt

    def listen(self) -> None:
        try:
            while self.connection.recv() != STOP:
                pass
        except (EOFError, OSError):
            pass  # the parent has gone
        self.requested = True
        _thread.interrupt_main()

    def send(self, message: Tuple[Any, ...]) -> None:
        self.sending = True
        try:
            self.connection.send(message)
        except OSError:
            self.requested = True  # the parent has gone: nobody to report to
            self.deferred = True
        finally:
            self.sending = False
        if self.deferred:
            self.deferred = False
            self.handle(signal.SIGINT, None)

    def disarm(self) -> None:
        self.armed = False


class TransferRate:
    """An attempt's rate, measured in its worker as blocks are accepted, from the first one on:
    the worker's start and the port's opening are no transfer. The parent hears progress in
    bursts, so timing the messages' arrival there would show many times the real rate."""

    def __init__(self, size: int) -> None:
        self.size = size
        self.first: Optional[Tuple[float, int]] = None  # when the first accepted block was heard, and the bytes done

    def kib_per_second(self, done: int, now: float) -> Optional[float]:
        """The rate up to `done` blocks, heard at `now`; None until it can be told."""
        sent = min(done * BLOCK_SIZE, self.size)
        if self.first is None:
            self.first = (now, sent)
        began, first_sent = self.first
        return (sent - first_sent) / KIB / (now - began) if now > began else None


def worker_main(job: Job, connection: Connection) -> None:
    stop = StopRequest(connection)
    signal.signal(signal.SIGINT, stop.handle)
    last = 0.0
    rate = TransferRate(len(job.data))

    def progress(done: int, blocks: int) -> None:
        nonlocal last
        now = time.monotonic()
        kib_per_second = rate.kib_per_second(done, now)
        if done == blocks or now - last >= PROGRESS_INTERVAL:
            last = now
            stop.send(("progress", done, blocks, kib_per_second))

    attempt: Optional[Attempt] = None
    try:
        try:
            threading.Thread(target=stop.listen, name="stop-request", daemon=True).start()
            attempt = attempt_job(job, progress)
        finally:
            stop.disarm()  # from here on, the attempt is reported as it is
    except KeyboardInterrupt:
        if attempt is None:
            attempt = failed(job, Interrupted(None, 0))
    with contextlib.suppress(OSError):  # the parent has gone; the port is closed already
        connection.send(("done", attempt))


def spare_main(connection: Connection) -> None:
    """A worker started before its device: it says it is ready, then runs the Job it is sent."""
    try:
        connection.send((READY,))
        message = connection.recv()
    except (EOFError, OSError):
        return  # the parent has gone
    if message != STOP:
        worker_main(message[1], connection)


def failed(job: Job, error: Interrupted) -> Attempt:
    return dataclasses.replace(unstarted(job, INTERRUPTED, str(error), type(error).__name__), resends=error.resends)
