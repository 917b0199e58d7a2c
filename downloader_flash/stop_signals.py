"""The signals that stop a run, as the scheduler and the worker start hold them: received as a flag
in the main thread, ignored by a starting worker, held while a port opens."""
import contextlib
import signal
import threading
from types import FrameType
from typing import Any, Callable, Dict, Iterator, List, Optional

from .hotplug import Wakeup
from .signals import STOPPING_SIGNALS, left_as_default


def in_main_thread() -> bool:
    """Only the main thread may set signal handlers, and only it receives them."""
    return threading.current_thread() is threading.main_thread()


@contextlib.contextmanager
def interruptions_held() -> Iterator[None]:
    """Ctrl-C, or a worker's stop request, arriving within is delivered on leaving.

    dev_open() reports any exception as a port that did not open, so a KeyboardInterrupt raised
    while pyserial opens the port would be reported as an unavailable port. Only handlers that
    Python runs are held; an ignored or default signal is left as it is.
    """
    if not in_main_thread():
        yield
        return
    held: List[int] = []
    previous: Dict[int, Callable[[int, Optional[FrameType]], Any]] = {}
    for signum in (signal.SIGINT, signal.SIGTERM):
        handler = signal.getsignal(signum)
        if callable(handler):
            previous[signum] = handler
            signal.signal(signum, lambda number, frame: held.append(number))
    try:
        yield
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)
        if held:
            previous[held[0]](held[0], None)


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
