"""The module prints through sys.stdout; a flash takes those lines for its own thread only.

sys.stdout is shared by every thread, so while any flash runs it is a proxy that hands each
write to the target of the thread that writes, or to the stream it replaced. The proxy goes
away when the last flash ends, unless someone has replaced sys.stdout meanwhile.
"""
import contextlib
import sys
import threading
from typing import Any, Dict, Iterator, Optional, Protocol


class TextSink(Protocol):
    """Where the module's lines go: a text file, or anything with write(str)."""

    def write(self, text: str) -> int: ...


class ThreadRoutedOutput:
    def __init__(self, fallback: Any) -> None:
        self.fallback = fallback
        self.targets: Dict[int, TextSink] = {}

    def target(self) -> TextSink:
        target: TextSink = self.targets.get(threading.get_ident(), self.fallback)
        return target

    def write(self, text: str) -> int:
        return self.target().write(text)

    def flush(self) -> None:
        flush = getattr(self.target(), "flush", None)
        if flush is not None:
            flush()

    def __getattr__(self, name: str) -> Any:  # encoding, isatty, fileno...: the stream's own
        return getattr(self.fallback, name)


_lock = threading.Lock()
_installed: Optional[ThreadRoutedOutput] = None


@contextlib.contextmanager
def captured_output(target: TextSink) -> Iterator[None]:
    """Within, what this thread prints goes to `target`; other threads print as before."""
    global _installed
    me = threading.get_ident()
    with _lock:
        if _installed is None or sys.stdout is not _installed:
            _installed = ThreadRoutedOutput(sys.stdout)
            sys.stdout = _installed
        proxy = _installed
        proxy.targets[me] = target
    try:
        yield
    finally:
        with _lock:
            del proxy.targets[me]
            if not proxy.targets and sys.stdout is proxy:
                sys.stdout = proxy.fallback
                _installed = None
