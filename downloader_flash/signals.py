"""The signals that stop a run, as a terminal (SIGINT, SIGHUP) or a supervisor (SIGTERM) sends them.

Kept apart and light, so that the command can take them from its first line on.
"""
import signal
from typing import Any

STOPPING_SIGNALS = tuple(getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP") if hasattr(signal, name))


def left_as_default(signum: int) -> bool:
    """Whether nothing has taken the signal: neither the host program nor an ignoring parent."""
    default: Any = signal.default_int_handler if signum == signal.SIGINT else signal.SIG_DFL
    return signal.getsignal(signum) is default
