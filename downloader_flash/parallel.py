"""One worker process per device: the module holds one port per process.

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
import multiprocessing
import multiprocessing.util
import os
import signal
import threading
import time
from collections import deque
from dataclasses import dataclass
from multiprocessing.connection import Connection, wait
from multiprocessing.process import BaseProcess
from types import FrameType
from typing import Any, Callable, Deque, Dict, Hashable, Iterator, List, Optional, Sequence, Tuple, cast

from downloader_wire import BLOCK_SIZE

from .devices import DeviceKey
from .errors import RETRYABLE, Interrupted, UsageError
from .flashing import attempt_job, in_main_thread, unstarted
from .hotplug import Waker, Wakeup
from .records import FAILED, INTERRUPTED, Attempt
from .signals import STOPPING_SIGNALS, left_as_default

PROGRESS_INTERVAL = 0.1  # seconds between progress messages from a worker
KIB = 1024
STOP_TIMEOUT = 5.0  # how long a stopped worker may take to close its port and report
EXIT_TIMEOUT = 5.0  # how long a worker that has reported may take to exit
POLL_INTERVAL = 0.2  # seconds between looks at the signals received and, in station mode, the devices
SPARE_RETRY_INTERVAL = 5.0  # after a spare worker died unused, seconds before another is started
STOP = "stop"  # the parent's message to a worker
JOB = "job"  # the parent's message to a spare worker, with its Job
READY = "ready"  # a spare worker's first message: it waits for its Job
# 'spawn' by default: a worker starts clean, whatever threads and open ports the host program has.
START_METHOD_VARIABLE = "DOWNLOADER_FLASH_START_METHOD"
DEFAULT_START_METHOD = "spawn"


def worker_context() -> Any:
    """The multiprocessing context workers start in: DOWNLOADER_FLASH_START_METHOD's, or spawn."""
    method = os.environ.get(START_METHOD_VARIABLE) or DEFAULT_START_METHOD
    available = multiprocessing.get_all_start_methods()
    if method not in available:
        raise UsageError(f"{START_METHOD_VARIABLE}={method!r} is not a start method here; one of {', '.join(available)}")
    return multiprocessing.get_context(method)


@dataclass(frozen=True)
class Job:
    key: DeviceKey
    data: bytes = dataclasses.field(repr=False)  # the image, read once: every attempt flashes exactly these bytes
    image: str  # where they were read from, as records name it
    retries: int
    log: Optional[str]  # the module's lines are appended here
    wait: float  # seconds a retry waits for the device to come back, or its port to be free
    attempt: int = 1  # this attempt's number, set by the Scheduler
    attempts: int = 1  # of how many

    @property
    def port(self) -> str:
        return self.key[0]


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


@dataclass
class Worker:
    """A running attempt, seen from the parent."""

    job: Job
    process: BaseProcess
    connection: Connection
    progress: Optional[Tuple[int, int]] = None  # the last (blocks done, blocks) heard

    def stop(self) -> None:
        tell_to_stop(self.connection)

    def ended(self) -> Attempt:
        """What to report for a worker that ended without reporting."""
        join_or_kill(self.process, EXIT_TIMEOUT)  # killed when wedged, with its pipe out of step
        return unstarted(self.job, FAILED, f"the worker for {self.job.port} ended with exit code {self.process.exitcode}",
                         "WorkerDied")

    def unresponsive(self) -> Attempt:
        """What to report for a worker that did not stop in time, and was killed."""
        block, blocks = self.progress if self.progress is not None else (None, 0)
        return failed(self.job, Interrupted(block, blocks))


def tell_to_stop(connection: Connection) -> None:
    with contextlib.suppress(OSError):  # it has ended already; its pipe says so
        connection.send(STOP)


def join_or_kill(process: BaseProcess, timeout: float) -> None:
    """Waits up to `timeout` seconds for a process to exit; kills it when it will not."""
    process.join(timeout)
    if process.is_alive():
        process.kill()
        process.join()


@dataclass
class Spare:
    """A worker waiting for its Job, seen from the parent."""

    process: BaseProcess
    connection: Connection
    ready: bool = False

    def is_ready(self) -> bool:
        """Whether it has said that it waits for its Job (and has not gone since)."""
        if not self.ready:
            try:
                self.ready = self.connection.poll() and self.connection.recv() == (READY,)
            except (EOFError, OSError):
                return False
        return self.ready and self.process.is_alive()

    def take(self, job: Job) -> Optional[Worker]:
        """The running attempt at `job`; None when the spare has gone."""
        try:
            self.connection.send((JOB, job))
        except OSError:
            return None
        return Worker(job, self.process, self.connection)

    def stop(self) -> None:
        """Tells it to exit, and lets go of its pipe: it exits as a worker that has reported does."""
        tell_to_stop(self.connection)
        self.connection.close()

    def discard(self) -> None:
        """Lets go of a spare that has gone; kills it if it lingers."""
        join_or_kill(self.process, 0)
        self.connection.close()


class Scheduler:
    """Runs jobs in worker processes, at most `cap` at once, each up to `attempts` times.

    `on_progress(job, done, blocks, kib_per_second)` follows each worker's transfer, with the rate
    the worker measured (None until it can tell); `on_attempt(job, attempt, final)` hears every
    attempt, `final` when no further attempt follows. Nothing is kept of a job after its final
    attempt, so a station may run for as long as it likes. With `spares`, as many workers are
    kept started ahead of their jobs, within the cap.
    """

    def __init__(self, cap: int, attempts: int, on_progress: Callable[[Job, int, int, Optional[float]], None],
                 on_attempt: Callable[[Job, Attempt, bool], None], spares: int = 0) -> None:
        self.cap, self.attempts = cap, attempts
        self.on_progress, self.on_attempt = on_progress, on_attempt
        self.context = worker_context()
        self.queued: Deque[Job] = deque()
        self.running: Dict[Hashable, Worker] = {}
        self.exiting: List[BaseProcess] = []  # workers that have reported, on their way out
        self.spares_wanted = spares
        self.spares: List[Spare] = []
        self.spare_lost_at = -SPARE_RETRY_INTERVAL  # when a spare last died unused, or would not start
        self.wakers: Sequence[Waker] = ()
        self.stopping = False
        self.unheard: Optional[BaseException] = None  # the first error of on_attempt while stopping

    def add(self, job: Job) -> None:
        self.queued.append(dataclasses.replace(job, attempt=1, attempts=self.attempts))

    def busy(self) -> bool:
        return bool(self.queued or self.running)

    def holds(self, key: Hashable) -> bool:
        return key in self.running or any(job.key == key for job in self.queued)

    def run(self, poll: Optional[Callable[[], None]] = None, period: float = POLL_INTERVAL,
            wakers: Sequence[Waker] = ()) -> Optional[int]:
        """Until every job has ended; with `poll`, which may add jobs, until stopped.

        `poll` is called every `period` seconds, and as soon as one of `wakers` says so; outside
        the main thread, where no signal can wake the wait, at least every POLL_INTERVAL.
        SIGINT, SIGTERM or SIGHUP stops every worker and reports each device in flight or queued
        as interrupted; the number of that signal is returned, None when the run ended by itself.
        """
        signals = StopSignals()
        self.wakers = wakers
        try:
            self._until_done(poll, period, signals)
            # A signal after the last attempt has ended interrupts nothing.
            stopped_by = signals.received if poll is not None or self.busy() else None
            if stopped_by is not None:
                self.interrupt()
            self._end_spares()
            self._join_exiting()
        except BaseException:
            self._kill_all()  # a fault in a callback: still, no worker outlives the run
            raise
        finally:
            signals.restore()  # the host program's handlers, as they were before the run
        return stopped_by

    def _until_done(self, poll: Optional[Callable[[], None]], period: float, signals: "StopSignals") -> None:
        try:
            with signals:
                if signals.wakeup is None:
                    period = min(period, POLL_INTERVAL)
                while signals.received is None and (poll is not None or self.busy()):
                    if poll is not None:
                        poll()
                    self._step(period, signals)
        except KeyboardInterrupt:  # raised by the host program's own SIGINT handler
            signals.ignore(signal.SIGINT)  # a second Ctrl-C must not cut the cleanup short
            signals.received = signal.SIGINT

    def _step(self, timeout: float, signals: "StopSignals") -> None:
        """Starts what the cap allows and serves the workers for up to `timeout` seconds, until a
        signal is received, or until a waker calls for a poll."""
        deadline = time.monotonic() + timeout
        wakers = [*self.wakers, *([signals.wakeup] if signals.wakeup is not None else [])]
        while signals.received is None:
            self._start_workers()
            left = deadline - time.monotonic()
            if left <= 0 or self._serve(left, wakers):
                return

    def _start_workers(self) -> None:
        self._reap_exiting()
        while self.queued and len(self.running) < self.cap:
            self._start(self.queued.popleft())
        self._keep_spares()

    def _start(self, job: Job) -> None:
        worker = self._spare_worker(job)
        if worker is None:
            try:
                process, ours = self._launch(worker_main, job)
            except OSError as error:  # out of processes or memory: this device fails, the run goes on
                self._finish(job, unstarted(job, FAILED, f"cannot start a worker for {job.port}: {error}",
                                            "WorkerDied"))
                return
            worker = Worker(job, process, ours)
        self.running[job.key] = worker

    def _launch(self, target: Callable[..., None], *args: Any) -> Tuple[BaseProcess, Connection]:
        """A worker process running target(*args, its end of the pipe); the parent's end."""
        ours, theirs = self.context.Pipe()
        # A forked worker inherits this end, and the other workers' ends too: it closes them, or a
        # worker would never see its pipe close when the tool dies, and would flash on.
        multiprocessing.util.register_after_fork(ours, Connection.close)
        process = self.context.Process(target=target, args=(*args, theirs), daemon=True)
        try:
            with stop_signals_ignored_by_children():
                process.start()
        except OSError:
            ours.close()
            raise
        finally:
            theirs.close()  # the worker's end, held by the worker alone: its exit closes the pipe
        return process, ours

    def _spare_worker(self, job: Job) -> Optional[Worker]:
        """The attempt at `job`, handed to a spare that is ready; None when there is none."""
        for spare in [spare for spare in self.spares if spare.is_ready()]:
            self.spares.remove(spare)
            worker = spare.take(job)
            if worker is not None:
                return worker
            spare.discard()
        return None

    def _keep_spares(self) -> None:
        """Replaces the spares that have died; starts spares up to the number wanted, within the cap."""
        for spare in [spare for spare in self.spares if not spare.process.is_alive()]:
            self.spares.remove(spare)
            spare.discard()
            self.spare_lost_at = time.monotonic()
        while (not self.stopping and len(self.spares) < self.spares_wanted
               and len(self.running) + len(self.spares) < self.cap
               and time.monotonic() - self.spare_lost_at >= SPARE_RETRY_INTERVAL):
            try:
                self.spares.append(Spare(*self._launch(spare_main)))
            except OSError:  # out of processes or memory: the next device starts its own worker
                self.spare_lost_at = time.monotonic()

    def _end_spares(self) -> None:
        """Stops the spares: they exit with the workers that have reported (_join_exiting)."""
        for spare in self.spares:
            spare.stop()
            self.exiting.append(spare.process)
        self.spares.clear()

    def _serve(self, timeout: float, wakers: Sequence[Waker] = ()) -> bool:
        """Handles what the workers have sent within `timeout` seconds; notices a worker's end.
        Returns early, True, when one of `wakers` calls for a poll."""
        waiting: Dict[Any, Optional[Worker]] = dict.fromkeys(wakers)
        for worker in self.running.values():
            waiting[worker.connection] = waiting[worker.process.sentinel] = worker
        if not waiting:  # nothing to wait on: a station outside the main thread, with nothing to flash
            time.sleep(timeout)
            return False
        woken = False
        for ready in wait(list(waiting), timeout):
            sender = waiting[ready]
            if sender is None:
                woken = cast(Waker, ready).clear() or woken
            elif self.running.get(sender.job.key) is sender:
                self._read(sender)
        return woken

    def _read(self, worker: Worker) -> None:
        """Handles what a worker has sent; notices that it has gone."""
        while True:
            try:
                if not worker.connection.poll():
                    break
                message = worker.connection.recv()
            except Exception:  # its end closed, or what came is unreadable: gone either way
                self._lost(worker)
                return
            if message[0] == "done":
                self._reported(worker, message[1])
                return
            worker.progress = (message[1], message[2])
            if not self.stopping:  # the bars of a run being stopped need no more drawing
                self.on_progress(worker.job, message[1], message[2], message[3])
        if not worker.process.is_alive():
            self._lost(worker)

    def _reported(self, worker: Worker, attempt: Attempt) -> None:
        self._forget(worker)
        self.exiting.append(worker.process)
        self._finish(worker.job, attempt)

    def _lost(self, worker: Worker) -> None:
        self._forget(worker)
        self._finish(worker.job, worker.ended())

    def _forget(self, worker: Worker) -> None:
        del self.running[worker.job.key]
        worker.connection.close()

    def _finish(self, job: Job, attempt: Attempt) -> None:
        again = not self.stopping and attempt.kind in RETRYABLE and job.attempt < job.attempts
        self._tell(job, attempt, not again)
        if again:
            self.queued.appendleft(dataclasses.replace(job, attempt=job.attempt + 1))

    def interrupt(self) -> None:
        """Stops every worker, reports each device as interrupted, leaves no process behind."""
        self.stopping = True
        while self.queued:
            job = self.queued.popleft()
            self._tell(job, failed(job, Interrupted(None, 0)), True)
        for worker in self.running.values():
            worker.stop()
        self._end_spares()
        deadline = time.monotonic() + STOP_TIMEOUT
        while self.running and time.monotonic() < deadline:
            self._serve(deadline - time.monotonic())
        for worker in list(self.running.values()):
            worker.process.kill()
            worker.process.join()
            self._forget(worker)
            self._tell(worker.job, worker.unresponsive(), True)
        if self.unheard is not None:
            raise self.unheard

    def _tell(self, job: Job, attempt: Attempt, final: bool) -> None:
        """on_attempt; while stopping, an error of it waits until every device has been told, so
        that one output that fails (a terminal that hung up) costs no other device its record."""
        if not self.stopping:
            self.on_attempt(job, attempt, final)
            return
        try:
            self.on_attempt(job, attempt, final)
        except Exception as error:
            self.unheard = self.unheard or error

    def _kill_all(self) -> None:
        for worker in list(self.running.values()):
            self._forget(worker)
            self.exiting.append(worker.process)
        self._end_spares()
        for process in self.exiting:
            process.kill()
            process.join()
        self.exiting.clear()

    def _reap_exiting(self) -> None:
        self.exiting = [process for process in self.exiting if process.is_alive()]

    def _join_exiting(self) -> None:
        """Waits for the workers that have reported to exit; kills any that will not."""
        deadline = time.monotonic() + EXIT_TIMEOUT
        for process in self.exiting:
            join_or_kill(process, max(0.0, deadline - time.monotonic()))
        self.exiting.clear()


class StopSignals:
    """Within it, in the main thread, SIGINT, SIGTERM and SIGHUP set `received` instead of acting.

    An exception would surface wherever the main thread happens to be: between reading a
    message's length and its body, which leaves a worker's pipe out of step for good, or between
    starting a worker and recording it. The scheduler's wait includes `wakeup`, which Python's
    signal handling sets, so it sees the flag at once. A signal that is ignored, or handled by
    the host program, is left as it is. Once one was received, all are ignored: a second must
    not cut the cleanup short.
    restore() puts back what the host program had, once the run is over.
    """

    def __init__(self) -> None:
        self.received: Optional[int] = None
        self.previous: Dict[int, Any] = {}
        self.wakeup: Optional[Wakeup] = None
        self.previous_wakeup_fd = -1

    def _receive(self, signum: int, frame: Optional[FrameType]) -> None:
        if self.received is None:
            self.received = signum

    def __enter__(self) -> "StopSignals":
        if in_main_thread():
            for signum in STOPPING_SIGNALS:
                if left_as_default(signum):
                    self.previous[signum] = signal.signal(signum, self._receive)
            self.wakeup = Wakeup()
            self.previous_wakeup_fd = signal.set_wakeup_fd(self.wakeup.writer.fileno(), warn_on_full_buffer=False)
        return self

    def __exit__(self, *exc_info: object) -> None:
        for signum, previous in self.previous.items():
            signal.signal(signum, signal.SIG_IGN if self.received is not None else previous)
        if self.wakeup is not None:
            signal.set_wakeup_fd(self.previous_wakeup_fd)
            self.wakeup.close()
            self.wakeup = None

    def ignore(self, signum: int) -> None:
        if in_main_thread():
            self.previous.setdefault(signum, signal.getsignal(signum))
            signal.signal(signum, signal.SIG_IGN)

    def restore(self) -> None:
        for signum, previous in self.previous.items():
            signal.signal(signum, previous)


def start_resource_tracker() -> None:
    """multiprocessing's resource tracker, started on the first spawn or forkserver start,
    unblocks SIGINT and SIGTERM while it starts. Within the window where they are held and
    ignored, one that arrived meanwhile would be lost: it is started before that window."""
    from multiprocessing import resource_tracker

    resource_tracker.ensure_running()


@contextlib.contextmanager
def stop_signals_ignored_by_children() -> Iterator[None]:
    """Processes started within ignore SIGINT, SIGTERM and SIGHUP from their first instruction on.

    A terminal's Ctrl-C goes to the whole process group; a worker still importing would die of
    it with a traceback. An ignored signal stays ignored across exec, so the signals are ignored
    while the worker is started; they are blocked meanwhile, so that one meant for this process
    is held until its handler is back rather than lost.
    """
    if not in_main_thread() or not hasattr(signal, "pthread_sigmask"):  # nothing is inherited on Windows
        yield
        return
    start_resource_tracker()
    signal.pthread_sigmask(signal.SIG_BLOCK, STOPPING_SIGNALS)
    previous = {signum: signal.signal(signum, signal.SIG_IGN) for signum in STOPPING_SIGNALS}
    try:
        yield
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)
        signal.pthread_sigmask(signal.SIG_UNBLOCK, STOPPING_SIGNALS)
