"""One worker process per device: the module holds one port per process.

The parent hands each worker a Job and hears back progress and one Attempt through a queue.
Workers ignore SIGINT, which a terminal sends to the whole process group: the parent decides,
and stops a worker with SIGTERM, which the worker turns into an interruption of its transfer.
"""
import contextlib
import dataclasses
import multiprocessing
import os
import queue
import signal
import time
from collections import deque
from dataclasses import dataclass
from types import FrameType
from typing import Any, Callable, Deque, Dict, Iterator, Optional, TextIO, Tuple

from .devices import Device
from .errors import RETRYABLE, FlashError, Interrupted
from .flashing import flash, in_main_thread
from .records import FAILED, FLASHED, INTERRUPTED, NOT_ACKNOWLEDGED, Attempt

PROGRESS_INTERVAL = 0.1  # seconds between progress messages from a worker
STOP_TIMEOUT = 5.0  # how long an interrupted worker may take to close its port and report


@dataclass(frozen=True)
class Job:
    key: Tuple[str, Optional[str]]  # (port, serial number): one device
    image: str
    retries: int
    log: Optional[str]  # the module's lines are appended here
    tag_log: bool  # prefix each logged line with the port, when several devices share the log

    @property
    def port(self) -> str:
        return self.key[0]


class TaggedLog:
    """Prefixes each complete line with the port, so that several workers can share a log."""

    def __init__(self, log: TextIO, tag: str) -> None:
        self.log, self.tag, self.partial = log, tag, ""

    def write(self, text: str) -> int:
        *lines, self.partial = (self.partial + text).split("\n")
        for line in lines:
            self.log.write(f"{self.tag}: {line}\n")
        return len(text)

    def flush(self) -> None:
        self.log.flush()


def _stop(signum: int, frame: Optional[FrameType]) -> None:
    signal.signal(signal.SIGTERM, signal.SIG_IGN)  # one interruption; the cleanup runs undisturbed
    raise KeyboardInterrupt


def worker_main(job: Job, messages: "multiprocessing.Queue[Any]") -> None:
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, _stop)
    last = 0.0

    def progress(done: int, blocks: int) -> None:
        nonlocal last
        now = time.monotonic()
        if done == blocks or now - last >= PROGRESS_INTERVAL:
            last = now
            messages.put(("progress", job.key, done, blocks))

    attempt: Optional[Attempt] = None
    try:
        try:
            attempt = flash_job(job, progress)
        finally:
            signal.signal(signal.SIGTERM, signal.SIG_IGN)  # from here on, the attempt is reported as it is
    except KeyboardInterrupt:
        if attempt is None:
            attempt = failed(job, Interrupted(None, 0))
    messages.put(("done", job.key, attempt))


def flash_job(job: Job, progress: Callable[[int, int], None]) -> Attempt:
    log: Any = None
    try:
        if job.log is not None:
            log = open(job.log, "a", encoding="utf-8")
        target = Device(job.port, job.key[1], None, "")
        result = flash(job.image, target, retries=job.retries, on_progress=progress,
                       log=TaggedLog(log, job.port) if log and job.tag_log else log)
    except FlashError as error:
        return failed(job, error)
    except Exception as error:  # a fault of this program; still one line, never a traceback
        return Attempt(job.port, job.key[1], FAILED, f"{type(error).__name__}: {error}", kind=type(error).__name__)
    finally:
        if log is not None:
            log.close()
    outcome = FLASHED if result.run_acknowledged else NOT_ACKNOWLEDGED
    problem = None if result.run_acknowledged else f"the device on {job.port} did not acknowledge the run command"
    return Attempt(job.port, job.key[1], outcome, problem, flashed=result, resends=result.resends,
                   seconds=result.seconds)


def failed(job: Job, error: FlashError) -> Attempt:
    result = INTERRUPTED if isinstance(error, Interrupted) else FAILED
    return Attempt(job.port, job.key[1], result, str(error), kind=type(error).__name__, resends=error.resends)


class Scheduler:
    """Runs jobs in worker processes, at most `cap` at once, each up to `attempts` times.

    `on_progress(job, done, blocks)` follows each worker's transfer; `on_attempt(job, attempt,
    final)` hears every attempt, `final` when no further attempt follows.
    """

    def __init__(self, cap: int, attempts: int, on_progress: Callable[[Job, int, int], None],
                 on_attempt: Callable[[Job, Attempt, bool], None]) -> None:
        self.cap, self.attempts = cap, attempts
        self.on_progress, self.on_attempt = on_progress, on_attempt
        self.context = multiprocessing.get_context("spawn")
        self.messages: "multiprocessing.Queue[Any]" = self.context.Queue()
        self.queued: Deque[Job] = deque()
        self.running: Dict[Tuple[str, Optional[str]], Tuple[Job, Any]] = {}
        self.tries: Dict[Tuple[str, Optional[str]], int] = {}

    def add(self, job: Job) -> None:
        self.queued.append(job)

    def busy(self) -> bool:
        return bool(self.queued or self.running)

    def holds(self, key: Tuple[str, Optional[str]]) -> bool:
        return key in self.running or any(job.key == key for job in self.queued)

    def step(self, timeout: float, ctrl_c: Optional["CtrlC"] = None) -> None:
        """Starts what the cap allows, then handles the messages of up to `timeout` seconds, or
        until Ctrl-C is pressed."""
        while self.queued and len(self.running) < self.cap:
            job = self.queued.popleft()
            process = self.context.Process(target=worker_main, args=(job, self.messages), daemon=True)
            with ctrl_c_ignored_by_children():
                process.start()
            self.running[job.key] = (job, process)
            self.tries[job.key] = self.tries.get(job.key, 0) + 1
        if not self.running:
            time.sleep(timeout)
            return
        deadline = time.monotonic() + timeout
        while self.running:
            try:
                message = self.messages.get(timeout=max(0.0, deadline - time.monotonic()))
            except queue.Empty:
                self._reap_crashed()
                return
            self._handle(message)
            if time.monotonic() >= deadline or (ctrl_c is not None and ctrl_c.pressed):
                return

    def _handle(self, message: Tuple[Any, ...]) -> None:
        kind, key = message[0], message[1]
        if key not in self.running:
            return
        job, process = self.running[key]
        if kind == "progress":
            self.on_progress(job, message[2], message[3])
            return
        process.join()
        del self.running[key]
        self._finish(job, message[2])

    def _finish(self, job: Job, attempt: Attempt) -> None:
        again = attempt.kind in RETRYABLE and self.tries[job.key] < self.attempts
        self.on_attempt(job, attempt, not again)
        if again:
            self.queued.appendleft(job)

    def _reap_crashed(self) -> None:
        for key, (job, process) in list(self.running.items()):
            if not process.is_alive() and process.exitcode not in (0, None):
                del self.running[key]
                self._finish(job, Attempt(job.port, job.key[1], FAILED,
                                          f"the worker for {job.port} ended with exit code {process.exitcode}",
                                          kind="WorkerDied"))

    def _reap_silent(self) -> None:
        """Workers stopped before they could report (a signal during start-up)."""
        for key, (job, process) in list(self.running.items()):
            if not process.is_alive():
                del self.running[key]
                self.on_attempt(job, failed(job, Interrupted(None, 0)), True)

    def run(self, poll: Optional[Callable[[], None]] = None) -> None:
        """Until every job has ended; with `poll`, which may add jobs, until Ctrl-C. Ctrl-C stops
        every worker and reports each device in flight as interrupted."""
        try:
            with CtrlC() as ctrl_c:
                while not ctrl_c.pressed and (poll is not None or self.busy()):
                    if poll is not None:
                        poll()
                    self.step(0.2, ctrl_c)
            if not ctrl_c.pressed:
                return
        except KeyboardInterrupt:  # raised by the host program's own SIGINT handler
            if in_main_thread():
                signal.signal(signal.SIGINT, signal.SIG_IGN)  # a second Ctrl-C must not cut the cleanup short
        self.interrupt()

    def interrupt(self) -> None:
        """Stops every worker, reports each as interrupted, leaves no process behind."""
        for job in self.queued:
            self.on_attempt(job, failed(job, Interrupted(None, 0)), True)
        self.queued.clear()
        for job, process in self.running.values():
            if process.is_alive():
                os.kill(process.pid, signal.SIGTERM)
        deadline = time.monotonic() + STOP_TIMEOUT
        while self.running and time.monotonic() < deadline:
            try:
                message = self.messages.get(timeout=0.1)
            except queue.Empty:
                self._reap_silent()
                continue
            if message[0] == "done" and message[1] in self.running:
                job, process = self.running.pop(message[1])
                process.join()
                self.on_attempt(job, message[2], True)
        for job, process in self.running.values():
            process.kill()
            process.join()
            self.on_attempt(job, failed(job, Interrupted(None, 0)), True)
        self.running.clear()


class CtrlC:
    """Within it, in the main thread, Ctrl-C sets `pressed` instead of raising KeyboardInterrupt.

    The exception would surface wherever the main thread happens to be: between reading a
    message's length and its body, which leaves the queue's pipe out of step for good, or between
    starting a worker and recording it. The scheduler waits in steps of a fraction of a second,
    so it sees the flag soon enough. A SIGINT that is ignored, or handled by the host program,
    is left as it is.
    """

    def __init__(self) -> None:
        self.pressed = False
        self.previous: Any = None

    def _press(self, signum: int, frame: Optional[FrameType]) -> None:
        self.pressed = True

    def __enter__(self) -> "CtrlC":
        if in_main_thread() and signal.getsignal(signal.SIGINT) is signal.default_int_handler:
            self.previous = signal.signal(signal.SIGINT, self._press)
        return self

    def __exit__(self, *exc_info: object) -> None:
        if self.previous is not None:
            # Once pressed, ignored: a second Ctrl-C must not cut the cleanup short.
            signal.signal(signal.SIGINT, signal.SIG_IGN if self.pressed else self.previous)


@contextlib.contextmanager
def ctrl_c_ignored_by_children() -> Iterator[None]:
    """Processes started within ignore SIGINT from their first instruction on.

    A terminal's Ctrl-C goes to the whole process group; a worker still importing would die of
    it with a traceback. An ignored signal stays ignored across exec, so SIGINT is ignored while
    the worker is started; it is blocked meanwhile, so that a Ctrl-C meant for this process is
    held until the handler is back rather than lost.
    """
    if not in_main_thread():
        yield
        return
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
        signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})


def with_image_facts(attempt: Attempt, size: int, file_sha256: str, device_sha256: str) -> Attempt:
    return dataclasses.replace(attempt, size=size, file_sha256=file_sha256, device_sha256=device_sha256)
