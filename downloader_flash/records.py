"""--report: one JSON Lines record per attempt, appended durably. The fields are described in
docs/records.md and in record.schema.json beside this module."""
import dataclasses
import datetime
import errno
import json
import os
from typing import Any, Dict, Optional

from .files import open_regular
from .model import Attempt, Origin, Record
from .outcomes import (FAILED as FAILED_OUTCOME, FLASHED as FLASHED_OUTCOME, INTERRUPTED as INTERRUPTED_OUTCOME,
                       NOT_ACKNOWLEDGED as NOT_ACKNOWLEDGED_OUTCOME, RESULTS)

SCHEMA_VERSION = 3  # version 1 was the unversioned record of downloader-flash 1.1; 3 added the serial and the job
SCHEMA_FILE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "record.schema.json")
# What fsync fails with on a file system that does not sync: the line was written all the same.
FSYNC_UNSUPPORTED = frozenset({errno.EINVAL, errno.ENOTSUP, errno.EOPNOTSUPP})

UTC_TIME = {"type": "string", "pattern": r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}\+00:00$"}
SHA256 = {"pattern": "^[0-9a-f]{64}$"}
# The record: its fields in the order they are written, each with its JSON Schema. FIELDS,
# record() and the shipped record.schema.json (schema()) are made from this one definition.
PROPERTIES: Dict[str, Dict[str, Any]] = {
    "schema": {"type": "integer", "enum": [SCHEMA_VERSION], "description": "the version of this layout"},
    "time": {**UTC_TIME, "description": "when the attempt ended, UTC"},
    "started": {**UTC_TIME, "description": "when the attempt started, UTC"},
    "seconds": {"type": "number", "minimum": 0, "description": "how long the attempt took, failures included"},
    "port": {"type": "string", "minLength": 1},
    "serial_number": {"type": ["string", "null"], "description": "the USB serial number; null when it has none"},
    "attempt": {"type": "integer", "minimum": 1, "description": "this attempt's number"},
    "attempts": {"type": "integer", "minimum": 1, "description": "of how many at most"},
    "result": {"type": "string", "enum": list(RESULTS)},
    "error_kind": {"type": ["string", "null"], "description": "the kind of error; null when flashed"},
    "error": {"type": ["string", "null"], "description": "the one-line message; null when flashed"},
    "blocks": {"type": "integer", "minimum": 0, "description": "the blocks of the image"},
    "block": {"type": ["integer", "null"], "minimum": 0,
              "description": "the block reached, or the block that failed; null before the first"},
    "resends": {"type": "integer", "minimum": 0},
    "image": {"type": "string", "minLength": 1, "description": "absolute path of the image file"},
    "size": {"type": "integer", "minimum": 0, "description": "bytes flashed"},
    "file_sha256": {"type": "string", **SHA256, "description": "of the image file's bytes, as read"},
    "device_sha256": {"type": ["string", "null"], **SHA256,
                      "description": "of the image as the device holds it, only when it received all of it"},
    "serial": {"type": ["integer", "string", "null"],
               "description": "the value written into this board's image; null without serialization"},
    "image_sha256": {"type": "string", **SHA256,
                     "description": "of the bytes this board was sent: the file's, with its serial written in"},
    "job": {"type": ["string", "null"], "description": "the absolute path of the job file; null without --job"},
    "job_sha256": {"type": ["string", "null"], **SHA256, "description": "of the job file; null without --job"},
    "station": {"type": ["string", "null"], "description": "--station NAME"},
    "host": {"type": "string"},
    "tool_version": {"type": "string"},
    "module_version": {"type": "string"},
    "python_version": {"type": "string"},
}
FIELDS = tuple(PROPERTIES)

# Values of the "result" field.
FLASHED = FLASHED_OUTCOME.name
NOT_ACKNOWLEDGED = NOT_ACKNOWLEDGED_OUTCOME.name
FAILED = FAILED_OUTCOME.name
INTERRUPTED = INTERRUPTED_OUTCOME.name


def schema() -> Dict[str, Any]:
    """The JSON Schema of a record, as record.schema.json ships it."""
    return {
        "$schema": "https://json-schema.org/draft/2020-12/schema",
        "$id": "downloader-flash/record.schema.json",
        "title": "One attempt at flashing one device, as downloader-flash --report writes it",
        "description": f"Schema version {SCHEMA_VERSION}. One JSON object per line; see docs/records.md.",
        "type": "object",
        "additionalProperties": False,
        "required": list(FIELDS),
        "properties": PROPERTIES,
    }


def utc(seconds: float) -> str:
    moment = datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc)
    return moment.isoformat(timespec="milliseconds")


def record(attempt: Attempt, origin: Origin) -> Record:
    values: Record = {
        "schema": SCHEMA_VERSION,
        "time": utc(attempt.started + attempt.seconds),
        "started": utc(attempt.started),
        "seconds": round(attempt.seconds, 3),
        "port": attempt.port,
        "serial_number": attempt.serial_number,
        "attempt": attempt.attempt,
        "attempts": attempt.attempts,
        "result": attempt.result,
        "error_kind": attempt.kind or None,
        "error": attempt.error,
        "blocks": attempt.blocks,
        "block": attempt.block,
        "resends": attempt.resends,
        "image": attempt.image,
        "size": attempt.size,
        "file_sha256": attempt.file_sha256,
        "device_sha256": attempt.device_sha256,
        "serial": attempt.serial,
        "image_sha256": attempt.image_sha256,
        **dataclasses.asdict(origin),
    }
    return {name: values[name] for name in FIELDS}


class ReportUnwritable(Exception):
    """The report cannot take another record; str() is one line."""


class Report:
    """An append-only file of records. Each record is one line, written with one write() on a
    file opened for appending, then fsynced: several tools may append to one report, and a
    reader never sees half a record. It is a regular file, and never one reached through a
    symbolic link: the tool often runs as root, and must not append to whatever a link names."""

    def __init__(self, path: str) -> None:
        self.path = path
        try:
            self.fd: Optional[int] = open_regular(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, follow=False)
        except OSError as error:
            raise ReportUnwritable(self.describe(error)) from None

    def describe(self, error: OSError) -> str:
        return f"cannot write the report {self.path}: {error.strerror or error}"

    def append(self, values: Record) -> None:
        if self.fd is None:
            raise ReportUnwritable(f"cannot write the report {self.path}: it is closed")
        line = (json.dumps(values) + "\n").encode("utf-8")
        try:
            written = os.write(self.fd, line)
            if written != len(line):
                self.take_back(written)
                raise OSError(28, os.strerror(28))  # ENOSPC: the rest did not fit
        except OSError as error:
            raise ReportUnwritable(self.describe(error)) from None
        try:
            os.fsync(self.fd)
        except OSError as error:
            if error.errno not in FSYNC_UNSUPPORTED:
                raise ReportUnwritable(self.describe(error)) from None
        if not os.path.exists(self.path):
            raise ReportUnwritable(f"cannot write the report {self.path}: it was removed")

    def take_back(self, written: int) -> None:
        """Removes the part of a line that a full disk cut short, so that the file ends in a
        complete line; with the disk full, no other writer gets a line in behind it."""
        assert self.fd is not None
        end = os.fstat(self.fd).st_size
        try:
            if written:
                os.ftruncate(self.fd, end - written)
        except OSError:
            pass

    def close(self) -> None:
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None


if __name__ == "__main__":  # writes the shipped schema: python -m downloader_flash.records > record.schema.json
    print(json.dumps(schema(), indent=2))
