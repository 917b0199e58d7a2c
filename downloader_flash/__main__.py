"""The command: ``downloader-flash`` and ``python -m downloader_flash``.

A signal that stops the tool before it can take it as an interruption ends in one line all the
same. From this module's first line SIGINT, SIGTERM and SIGHUP are held while the command loads;
they are delivered once it has loaded, and a Ctrl-C before the first block, even one raised
while loading, ends here. Once the command has returned, they are ignored: the tool is leaving.
"""
import signal
import sys
from types import FrameType

from .signals import STOPPING_SIGNALS, ignore_stopping_signals, left_as_default

TYPE_CHECKING = False  # as typing's, whose import would come before the signals are held
if TYPE_CHECKING:
    from typing import Dict, List, Optional


class HeldSignals:
    """SIGINT, SIGTERM and SIGHUP, where nothing else has taken them, kept until released."""

    def __init__(self) -> None:
        self.received: "List[int]" = []
        self.previous: "Dict[int, object]" = {}
        for signum in STOPPING_SIGNALS:
            if left_as_default(signum):
                self.previous[signum] = signal.signal(signum, self._hold)

    def _hold(self, signum: int, frame: "Optional[FrameType]") -> None:
        self.received.append(signum)

    def release(self) -> None:
        """Puts the handlers back; a signal that arrived meanwhile interrupts now."""
        for signum, handler in self.previous.items():
            signal.signal(signum, handler)  # type: ignore[arg-type]
        if self.received:
            raise KeyboardInterrupt

    def exit_code(self) -> int:
        """128 + the signal's number, as for a death by it; Ctrl-C's 130 when it was Ctrl-C."""
        return 128 + (self.received[0] if self.received else signal.SIGINT)


held = HeldSignals()


def main() -> int:
    try:
        try:
            from .cli import main as command_line
            from .streams import Unbroken
            for name in ("stdout", "stderr"):
                setattr(sys, name, Unbroken(getattr(sys, name)))
        finally:
            held.release()
        return command_line()
    except KeyboardInterrupt:
        from .errors import Interrupted
        print(f"downloader-flash: {Interrupted(None, 0)}", file=sys.stderr, flush=True)
        return held.exit_code()
    finally:
        ignore_stopping_signals()


if __name__ == "__main__":
    sys.exit(main())
