"""The worker processes seen from the parent: how they are started, the running attempt, the spare
waiting for its Job, and how each is stopped, waited for or killed."""
import contextlib
import multiprocessing
import multiprocessing.util
import os
from dataclasses import dataclass
from multiprocessing.connection import Connection
from multiprocessing.process import BaseProcess
from typing import Any, Optional, Tuple

from .attempts import unstarted
from .errors import Interrupted, UsageError
from .model import Attempt, Job
from .records import FAILED
from .worker import JOB, READY, STOP, failed

STOP_TIMEOUT = 5.0  # how long a stopped worker may take to close its port and report


EXIT_TIMEOUT = 5.0  # how long a worker that has reported may take to exit


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
