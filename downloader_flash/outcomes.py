"""How a run ends: each outcome's name, exit code and help line, defined once.

`--help`'s exit-code section, the README's table and `exit_code()` are all made from OUTCOMES.
"""
import signal
from dataclasses import dataclass
from typing import Iterable, Optional, Tuple


@dataclass(frozen=True)
class Outcome:
    name: str
    exit_code: int
    help: str


FLASHED = Outcome("flashed", 0, "every device flashed and acknowledged the start of its image")
FAILED = Outcome("failed", 1, "a device that exists could not be flashed (it failed, is busy or is forbidden)")
USAGE = Outcome("usage", 2, "usage or selection error: nothing matched what was asked (no device, no such port, "
                "an unknown serial number), or contradictory options")
NOT_ACKNOWLEDGED = Outcome("not acknowledged", 3, "flashed, but a device did not acknowledge the run command")
REPORT_UNWRITABLE = Outcome("report unwritable", 4, "the report could not be written; no new device was started, "
                            "and every outcome it lacks was printed")
INTERRUPTED = Outcome("interrupted", 128 + signal.SIGINT,
                      "interrupted: 128 + the signal's number (130 Ctrl-C, 143 SIGTERM, 129 SIGHUP) with a device in "
                      "flight; a station stopped with none ends with the code of those it flashed")

OUTCOMES: Tuple[Outcome, ...] = (FLASHED, FAILED, USAGE, NOT_ACKNOWLEDGED, REPORT_UNWRITABLE, INTERRUPTED)

# The results an attempt's record may hold, and which of them decides the exit code when several occur.
RESULTS = (FLASHED.name, NOT_ACKNOWLEDGED.name, FAILED.name, INTERRUPTED.name)
PRECEDENCE = (INTERRUPTED, REPORT_UNWRITABLE, USAGE, FAILED, NOT_ACKNOWLEDGED)


def interrupted_by(signum: int) -> int:
    return 128 + signum


def exit_code(outcomes: Iterable[Outcome], signum: Optional[int] = None) -> int:
    """The exit code of a run whose devices and report ended in `outcomes`; a run stopped by a
    signal exits with 128 + its number."""
    if signum is not None:
        return interrupted_by(signum)
    seen = set(outcomes)
    return next((outcome.exit_code for outcome in PRECEDENCE if outcome in seen), FLASHED.exit_code)


def help_text() -> str:
    """The exit-code section of --help."""
    width = max(len(str(outcome.exit_code)) for outcome in OUTCOMES) + 2
    return "exit codes:\n" + "\n".join(f"  {outcome.exit_code:<{width}}{outcome.help}" for outcome in OUTCOMES)


def markdown_table() -> str:
    """The README's table."""
    rows = ["| exit code | meaning |", "|---:|---|"]
    rows += [f"| {outcome.exit_code} | {outcome.help} |" for outcome in OUTCOMES]
    return "\n".join(rows)


if __name__ == "__main__":
    print(markdown_table())
