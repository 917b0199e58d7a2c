"""What a run is asked to do, parsed once from the command line; the work functions take this."""
import argparse
import os
from dataclasses import dataclass
from typing import Any, Dict, Optional, Tuple

DEFAULT_RETRIES = 3
DEFAULT_ATTEMPTS = 1
TOKEN_VARIABLE = "DOWNLOADER_STATION_TOKEN"  # the station's API token, when neither --token nor --token-file is given
LONGEST_TOKEN = 4096  # characters: its header line stays well within what an HTTP server takes
DEFAULT_WAIT = 10.0  # seconds for a device to come back: USB takes a second or more to re-enumerate
DEFAULT_SERIAL_STEP = 1


@dataclass(frozen=True)
class Settings:
    image: Optional[str] = None  # the image file, or None for a generated sample
    sample: Optional[int] = None  # size of a generated image
    port: Optional[str] = None
    serial_number: Optional[str] = None
    all: bool = False
    watch: bool = False
    list: bool = False
    jobs: Optional[int] = None
    retries: int = DEFAULT_RETRIES
    attempts: int = DEFAULT_ATTEMPTS
    wait: float = DEFAULT_WAIT
    simulate: Optional[int] = None
    report: Optional[str] = None
    log: Optional[str] = None
    station: Optional[str] = None
    quiet: bool = False
    verbose: bool = False
    json: bool = False
    serve: Optional[str] = None  # [HOST:]PORT of the station's page and API
    token: Optional[str] = None  # for the API's control requests, and every request off loopback
    on_demand: bool = False  # with --serve: flash a device only when asked over the API
    allow_host: Tuple[str, ...] = ()  # with --serve: more names of the station that a request's Host may give
    job: Optional[str] = None  # the job file the settings came from, its absolute path
    job_sha256: Optional[str] = None  # of the job file's bytes
    image_sha256: Optional[str] = None  # what the image's bytes must hash to, from the job
    serial_at: Optional[int] = None  # the offset in the image where each board's serial number is written
    serial_format: Optional[str] = None  # u16le ... u64be, dec:W or hex:W
    serial_start: Optional[int] = None
    serial_step: int = DEFAULT_SERIAL_STEP
    serial_end: Optional[int] = None  # the last number, inclusive; by default the largest the format holds
    serial_list: Optional[str] = None  # a file of values, one a line, used in order instead of a range
    database: Optional[str] = None  # the line's database: an SQLite file, or a postgresql:// URL

    @classmethod
    def from_arguments(cls, namespace: argparse.Namespace) -> "Settings":
        values = vars(namespace)
        given: Dict[str, Any] = {name: values[name] for name in cls.__dataclass_fields__ if name in values}
        given.update({name: tuple(value) for name, value in given.items() if isinstance(value, list)})  # repeated
        return cls(**given)

    @property
    def image_name(self) -> str:
        """The image as records name it: its absolute path, or what was generated."""
        if self.image is not None:
            return os.path.abspath(self.image)
        return f"sample of {self.sample:,} bytes"

    @property
    def serializing(self) -> bool:
        """Whether each board is sent its own serial number."""
        return self.serial_at is not None

    @property
    def several(self) -> bool:
        """Whether more than one device may be flashed in this run."""
        return self.all or self.watch


def token_problem(token: str) -> Optional[str]:
    """Why `token` cannot be the API's token, or None. It travels in a header, where only ASCII
    is sure to arrive byte for byte and spaces around it are lost: printable ASCII, no spaces."""
    if not token:
        return "is empty"
    if len(token) > LONGEST_TOKEN:
        return f"is longer than {LONGEST_TOKEN:,} characters"
    if not all("!" <= character <= "~" for character in token):
        return "must be printable ASCII, without spaces"
    return None
