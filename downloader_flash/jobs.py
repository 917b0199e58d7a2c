"""--job FILE: a run's settings locked in a TOML file that a line hands to its stations.

The file's keys are the long options' names, and `image-sha256`, the digest the image's bytes
must have. Each value is turned into the words of the command line and parsed by the command's
own parser, so that a job's values meet exactly the types and checks of the options. An option
that the job sets cannot be given at the station as well: the operator picks a job, not its
settings.
"""
import argparse
import contextlib
import hashlib
import os
import re
import sys
from dataclasses import dataclass
from typing import Any, Dict, Iterator, List, NoReturn, Optional, Sequence, Set

from .errors import ImageError, UsageError
from .files import open_regular
from .model import Image

if sys.version_info >= (3, 11):
    import tomllib
else:  # the same parser, before the standard library had it
    import tomli as tomllib

JOB_OPTION = "job"
DIGEST_KEY = "image-sha256"
IMAGE_KEY = "image"  # the positional IMAGE
# Keys that name a file, taken from the job file's folder when they are relative.
PATH_KEYS = frozenset({IMAGE_KEY, "report", "log", "token-file", "serial-list", "database"})
URL_MARK = "://"  # a database given as a URL is no path
SHA256_TEXT = re.compile(r"[0-9a-f]{64}")
LARGEST_JOB = 1024 * 1024  # bytes: a job holds a few dozen lines


@dataclass(frozen=True)
class JobFile:
    path: str  # absolute
    sha256: str  # of the bytes read
    values: Dict[str, Any]  # as TOML gave them, by key


class Unset(List[Any]):
    """What an option holds before the command line gives it: a list, so that an appending option
    can add to it as to its default; each option has its own, told apart by identity."""


def arguments(parser: argparse.ArgumentParser, argv: Optional[Sequence[str]] = None) -> argparse.Namespace:
    """The command line parsed, with a job's settings in place of the defaults where it names one,
    and `job`, `job_sha256` and `image_sha256` set (None without a job). A UsageError says what
    is wrong with the job."""
    words = list(sys.argv[1:] if argv is None else argv)
    args = parser.parse_args(words)
    args.job_sha256 = args.image_sha256 = None
    if args.job is None:
        return args
    job = read_job(args.job)
    options = option_kinds(parser)
    unknown = [key for key in job.values if key not in options and key != DIGEST_KEY]
    if unknown:
        raise UsageError(f"the job {job.path} has an unknown key {unknown[0]!r}: its keys are the long options' "
                         f"names (see {parser.prog} --help) and {DIGEST_KEY}")
    given = given_on_command_line(parser, words)
    clash = [key for key in job.values if dest_of(key) in given]
    if clash:
        raise UsageError(f"{option_name(clash[0])} is set by the job {job.path}; the job's settings cannot be "
                         "changed at the station")
    for key, value in job.values.items():
        if key != DIGEST_KEY:
            setattr(args, dest_of(key), getattr(parse_value(parser, job, key, value, options[key]), dest_of(key)))
    args.job, args.job_sha256, args.image_sha256 = job.path, job.sha256, image_digest(job)
    return args


def dest_of(key: str) -> str:
    """Where the parser keeps the option a key names."""
    return key.replace("-", "_")


def read_job(path: str) -> JobFile:
    try:  # a FIFO or a device is refused, never waited on
        with os.fdopen(open_regular(path, os.O_RDONLY), "rb") as handle:
            data = handle.read(LARGEST_JOB + 1)
    except OSError as error:
        raise UsageError(f"cannot read the job {path}: {error.strerror or error}") from None
    full_path = os.path.abspath(path)
    if len(data) > LARGEST_JOB:
        raise UsageError(f"the job {full_path} is larger than {LARGEST_JOB:,} bytes")
    try:
        values = tomllib.loads(data.decode("utf-8"))
    except UnicodeDecodeError as error:
        raise UsageError(f"the job {full_path} is not UTF-8 text (byte {error.start:,})") from None
    except tomllib.TOMLDecodeError as error:
        raise UsageError(f"the job {full_path} is not valid TOML: {error}") from None
    return JobFile(full_path, hashlib.sha256(data).hexdigest(), values)


# What each option takes, from what it holds when it is not given.
FLAG, REPEATED, VALUE = "true or false", "a value or an array of values", "a string or a number"


def option_kinds(parser: argparse.ArgumentParser) -> Dict[str, str]:
    """The job keys that name options, each with what its value must be."""
    defaults = vars(parser.parse_args([]))
    return {dest.replace("_", "-"): FLAG if value is False else REPEATED if isinstance(value, list) else VALUE
            for dest, value in defaults.items() if dest != JOB_OPTION}


def given_on_command_line(parser: argparse.ArgumentParser, words: List[str]) -> Set[str]:
    """The destinations that the command line gives, however it spells them (abbreviated, with
    `=`): it is parsed again over placeholders, and whatever replaced its placeholder was given.
    An IMAGE left out is set to its default None all the same."""
    unset = {dest: Unset() for dest in vars(parser.parse_args([]))}
    parsed = vars(parser.parse_args(words, namespace=argparse.Namespace(**unset)))
    return {dest for dest, value in parsed.items() if value is not unset[dest] and value is not None}


def parse_value(parser: argparse.ArgumentParser, job: JobFile, key: str, value: Any,
                kind: str) -> argparse.Namespace:
    """The one option `key` as the parser takes it from the job's `value`."""
    wrong = f"the job {job.path}: {key} takes {kind}, not {toml_text(value)}"
    if kind == FLAG:
        if not isinstance(value, bool):
            raise UsageError(wrong)
        words = [option_name(key)] if value else []
    elif kind == REPEATED:
        items = value if isinstance(value, list) else [value]
        if not all(scalar(item) for item in items):
            raise UsageError(wrong)
        words = [f"{option_name(key)}={text(job, key, item)}" for item in items]
    elif not scalar(value):
        raise UsageError(wrong)
    elif key == IMAGE_KEY:
        words = ["--", text(job, key, value)]
    else:
        words = [f"{option_name(key)}={text(job, key, value)}"]
    with errors_raised(parser, f"the job {job.path}, key {key}: "):
        return parser.parse_args(words)


def scalar(value: Any) -> bool:
    return isinstance(value, (str, int, float)) and not isinstance(value, bool)


def text(job: JobFile, key: str, value: Any) -> str:
    """`value` as the command line would give it; a relative path from the job file's folder."""
    words = str(value)
    if key in PATH_KEYS and words and URL_MARK not in words:
        return os.path.join(os.path.dirname(job.path), words)
    return words


def toml_text(value: Any) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, dict):
        return "a table"
    return repr(value) if isinstance(value, (str, int, float, list)) else f"a {type(value).__name__}"


def option_name(key: str) -> str:
    return "IMAGE" if key == IMAGE_KEY else f"--{key}"


@contextlib.contextmanager
def errors_raised(parser: argparse.ArgumentParser, prefix: str) -> Iterator[None]:
    """The parser's errors as a UsageError, in place of its usage text and exit."""
    def raise_error(message: str) -> NoReturn:
        raise UsageError(prefix + message)

    parser.error = raise_error  # type: ignore[method-assign]
    try:
        yield
    finally:
        del parser.error


def image_digest(job: JobFile) -> Optional[str]:
    wanted = job.values.get(DIGEST_KEY)
    if wanted is not None and not (isinstance(wanted, str) and SHA256_TEXT.fullmatch(wanted)):
        raise UsageError(f"the job {job.path}: {DIGEST_KEY} takes the image's sha256 as 64 lower-case hex digits, "
                         f"not {toml_text(wanted)}")
    return wanted


def check_image(image: Image, wanted: Optional[str], job: Optional[str]) -> None:
    """An ImageError unless the image's bytes have the digest the job wants."""
    held = hashlib.sha256(image.data).hexdigest()
    if wanted is not None and held != wanted:
        raise ImageError(f"{image.name} does not match the job: its sha256 is {held}, the job {job} wants {wanted}")
