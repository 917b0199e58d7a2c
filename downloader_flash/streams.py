"""Standard streams that a terminal which hung up, or a reader that went away, cannot break.

Once a write fails, the stream is lost: what follows goes nowhere, and the tool carries on to
stop its devices, write its records and exit with its code, instead of ending in a traceback
that nobody can read.
"""
import os
from typing import Any, TextIO


class Unbroken:
    def __init__(self, stream: TextIO) -> None:
        self.stream = stream
        self.lost = False

    def write(self, text: str) -> int:
        self._guarded(self.stream.write, text)
        return len(text)

    def flush(self) -> None:
        self._guarded(self.stream.flush)

    def _guarded(self, operation: Any, *args: Any) -> None:
        if self.lost:
            return
        try:
            operation(*args)
        except OSError:  # EIO from a hung-up terminal, EPIPE from a closed pipe
            self.lost = True
            self._silence()

    def _silence(self) -> None:
        """Points the descriptor at the null device, so that the interpreter's own flush at exit
        fails no more than we did."""
        try:
            null = os.open(os.devnull, os.O_WRONLY)
            os.dup2(null, self.stream.fileno())
            os.close(null)
        except (OSError, ValueError):
            pass

    def __getattr__(self, name: str) -> Any:  # isatty(), fileno(), encoding and the rest
        return getattr(self.stream, name)
