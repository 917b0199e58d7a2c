"""The signals that stop a run, as a terminal (SIGINT, SIGHUP) or a supervisor (SIGTERM) sends them.

Kept apart and light, so that the command can take them from its first line on.
"""
import signal

STOPPING_SIGNALS = tuple(getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP") if hasattr(signal, name))


def left_as_default(signum: int) -> bool:
    """Whether nothing has taken the signal: neither the host program nor an ignoring parent."""
    if signum == signal.SIGINT:
        return signal.getsignal(signum) is signal.default_int_handler
    return signal.getsignal(signum) is signal.SIG_DFL
