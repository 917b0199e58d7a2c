"""The scheduler: runs each job in a worker process of its own, at most so many at once, each up to
so many attempts, and stops them all, reporting every device, when a signal says so. How the
workers talk with it is told in worker.py."""
import dataclasses
import multiprocessing
import multiprocessing.util
import signal
import time
from collections import deque
from multiprocessing.connection import Connection, wait
from multiprocessing.process import BaseProcess
from typing import Any, Callable, Deque, Dict, Hashable, List, Optional, Sequence, Tuple, cast

from .attempts import unstarted
from .errors import Interrupted
from .hotplug import Waker
from .model import Attempt, Job
from .processes import EXIT_TIMEOUT, STOP_TIMEOUT, Spare, Worker, join_or_kill, worker_context
from .records import FAILED
from .stop_signals import StopSignals, stop_signals_ignored_by_children
from .worker import failed, spare_main, worker_main

KIB = 1024
POLL_INTERVAL = 0.2  # seconds between looks at the signals received and, in station mode, the devices
SPARE_RETRY_INTERVAL = 5.0  # after a spare worker died unused, seconds before another is started


class Scheduler:
    """Runs jobs in worker processes, at most `cap` at once, each up to `attempts` times.

    `on_progress(job, done, blocks, kib_per_second)` follows each worker's transfer, with the rate
    the worker measured (None until it can tell); `on_attempt(job, attempt, final)` hears every
    attempt, `final` when no further attempt follows. Nothing is kept of a job after its final
    attempt, so a station may run for as long as it likes. With `spares`, as many workers are
    kept started ahead of their jobs, within the cap.

    `admit(job)` is called with a job's first attempt just before it starts, and returns the job
    to start, or None when it must not start (admit has ended it, through on_attempt). Its retries
    start as admitted, with the same data.
    """

    def __init__(self, cap: int, attempts: int, on_progress: Callable[[Job, int, int, Optional[float]], None],
                 on_attempt: Callable[[Job, Attempt, bool], None], spares: int = 0,
                 admit: Callable[[Job], Optional[Job]] = lambda job: job) -> None:
        self.cap, self.attempts = cap, attempts
        self.on_progress, self.on_attempt, self.admit = on_progress, on_attempt, admit
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
            job = self.queued.popleft()
            admitted = self.admit(job) if job.attempt == 1 else job
            if admitted is not None:
                self._start(admitted)
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
        again = not self.stopping and attempt.retryable and job.attempt < job.attempts
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
