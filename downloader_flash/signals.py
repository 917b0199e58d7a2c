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


def ignore_stopping_signals() -> None:
    """Once the devices are done with, a late signal has nothing left to interrupt: the tool ends
    as it was going to, reporting what happened."""
    for signum in STOPPING_SIGNALS:
        signal.signal(signum, signal.SIG_IGN)
