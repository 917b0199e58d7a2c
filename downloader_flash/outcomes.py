"""How a run ends: each outcome's name, exit code, precedence and help line, defined once.

Everything else is made from OUTCOMES: `--help`'s exit-code section and the README's table, the
exit codes, the results a record may hold and the schema's enum, the library's EXIT_ names,
the station's counters and the page's labels.
"""
import signal
from typing import Dict, Iterable, Optional, Tuple

from .model import SIGNAL_EXIT_BASE, SUCCESS, Outcome, exit_code_of

FLASHED = Outcome("flashed", SUCCESS, "every device flashed and acknowledged the start of its image", 6, recorded=True,
                  counted=True)
FAILED = Outcome("failed", 1, "a device that exists could not be flashed (it failed, is busy or is forbidden)",
                 4, recorded=True, counted=True)
USAGE = Outcome("usage", 2, "usage or selection error: nothing matched what was asked (no device, no such port, "
                "an unknown serial number), or contradictory options", 3)
NOT_ACKNOWLEDGED = Outcome("not acknowledged", 3, "flashed, but a device did not acknowledge the run command", 5,
                           recorded=True, counted=True)
REPORT_UNWRITABLE = Outcome("report unwritable", 4, "the report or the database could not be written; no new device "
                            "was started, and every outcome it lacks was printed", 1)
OUT_OF_SERIALS = Outcome("out of serial numbers", 5, "the serial numbers ran out: the devices in flight finished, and "
                         "no new one was started", 2)
INTERRUPTED = Outcome("interrupted", SIGNAL_EXIT_BASE + signal.SIGINT,
                      "interrupted: 128 + the signal's number (130 Ctrl-C, 143 SIGTERM, 129 SIGHUP) with a device in "
                      "flight; a station stopped with none ends with the code of those it flashed", 0,
                      recorded=True, by_signal=True)

OUTCOMES: Tuple[Outcome, ...] = (FLASHED, FAILED, USAGE, NOT_ACKNOWLEDGED, REPORT_UNWRITABLE, OUT_OF_SERIALS,
                                 INTERRUPTED)

BY_NAME: Dict[str, Outcome] = {outcome.name: outcome for outcome in OUTCOMES}
RECORDED: Tuple[Outcome, ...] = tuple(outcome for outcome in OUTCOMES if outcome.recorded)
RESULTS: Tuple[str, ...] = tuple(outcome.name for outcome in RECORDED)  # the results a record may hold
# The library's names for the exit codes: EXIT_OK, EXIT_FAILED, EXIT_USAGE and so on.
EXIT_NAMES: Dict[str, int] = {
    "EXIT_" + ("OK" if outcome is FLASHED else outcome.key.upper()): outcome.exit_code for outcome in OUTCOMES}
globals().update(EXIT_NAMES)


def exit_code(outcomes: Iterable[Outcome], signum: Optional[int] = None) -> int:
    """The exit code of a run whose devices and report ended in `outcomes`; a run stopped by a
    signal exits with 128 + its number."""
    return exit_code_of(outcomes, signum)


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
