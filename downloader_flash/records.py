"""--report: one JSON Lines record per attempt, appended."""
import datetime
import json
from dataclasses import dataclass
from typing import IO, Dict, Optional, Union

from .errors import FlashResult

# Record fields, in the order they are written.
FIELDS = ("time", "port", "serial_number", "image", "file_sha256", "device_sha256", "size", "result", "error",
          "resends", "seconds")

# Values of the "result" field.
FLASHED = "flashed"
NOT_ACKNOWLEDGED = "not acknowledged"
FAILED = "failed"
INTERRUPTED = "interrupted"


@dataclass(frozen=True)
class Attempt:
    """One attempt at one device: a result, or the error that ended it."""

    port: str
    serial_number: Optional[str]
    result: str
    error: Optional[str] = None
    kind: str = ""  # the exception's class name, for deciding on another attempt
    flashed: Optional[FlashResult] = None
    # Known even when the attempt failed: the image's size and digests.
    size: int = 0
    file_sha256: str = ""
    device_sha256: str = ""
    resends: int = 0
    seconds: float = 0.0


def record(attempt: Attempt, image: str) -> Dict[str, Union[str, int, float, None]]:
    values: Dict[str, Union[str, int, float, None]] = {
        "time": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
        "port": attempt.port,
        "serial_number": attempt.serial_number,
        "image": image,
        "file_sha256": attempt.file_sha256,
        "device_sha256": attempt.device_sha256,
        "size": attempt.size,
        "result": attempt.result,
        "error": attempt.error,
        "resends": attempt.resends,
        "seconds": round(attempt.seconds, 3),
    }
    return {name: values[name] for name in FIELDS}


def append(report: IO[str], attempt: Attempt, image: str) -> None:
    report.write(json.dumps(record(attempt, image)) + "\n")
    report.flush()
