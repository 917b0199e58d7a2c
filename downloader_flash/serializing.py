"""The command's serial numbers and the line's database: their options, what is wrong with them,
and the source of serial numbers and the database that Settings ask for, checked against the
image before anything is flashed."""
import argparse
import contextlib
import os
from typing import Iterator, Optional, Tuple, Union

from .errors import UsageError
from .model import BoardData, Numbers
from .serials import FORMAT_NAMES, Range, SerialFormat, ValueList, field_problem, whole_number as number_of
from .settings import DEFAULT_SERIAL_STEP, Settings
from .database import DEFAULT_DATABASE, open_store
from .store import Store

RANGE_OPTIONS = ("serial_start", "serial_end")  # and --serial-step, which has a default


def whole_number(text: str) -> int:
    """serials.whole_number() as an option's type: argparse names the option."""
    try:
        return number_of(text, "")
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"takes a whole number of 0 or more (or 0x and hex digits), not {text!r}") from None


def add_arguments(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("serial numbers and the line's database (the extra downloader[line] for "
                                      "PostgreSQL)")
    group.add_argument("--serial-at", type=whole_number, metavar="OFFSET",
                       help="write each board's own serial number into its image at this offset; none is written "
                       "twice, and the numbers used are kept in the database")
    group.add_argument("--serial-format", metavar="FORMAT", help=f"how the number is written: {FORMAT_NAMES} "
                       "(little or big endian binary; ASCII decimal zero-padded to W digits, or W hex digits)")
    group.add_argument("--serial-start", type=whole_number, metavar="N", help="the first number")
    group.add_argument("--serial-step", type=whole_number, default=DEFAULT_SERIAL_STEP, metavar="N",
                       help=f"between one number and the next (default {DEFAULT_SERIAL_STEP})")
    group.add_argument("--serial-end", type=whole_number, metavar="N",
                       help="the last number, inclusive (default: the largest the format holds); then no new "
                       "board is started")
    group.add_argument("--serial-list", metavar="FILE",
                       help="instead of a range: the values of this file, one a line, written as ASCII, in order")
    group.add_argument("--database", metavar="PATH|URL",
                       help="keep the serial numbers and every record in this SQLite file, or in the PostgreSQL "
                       f"database of a postgresql:// URL (default, when serializing: ./{DEFAULT_DATABASE})")


def problem(settings: Settings) -> Optional[str]:
    """What is wrong with the serial options taken together, or None."""
    if settings.database == "":
        return "--database is empty"
    if settings.serial_format is not None and settings.serial_list is not None:
        return "give --serial-format or --serial-list, not both"
    if settings.serial_at is None and (settings.serial_format is not None or settings.serial_list is not None):
        return "--serial-format and --serial-list need --serial-at OFFSET, where the serial number goes"
    if settings.serial_at is not None and settings.serial_format is None and settings.serial_list is None:
        return "--serial-at needs --serial-format FORMAT and --serial-start N, or --serial-list FILE"
    if settings.serial_format is None:
        return range_without_format(settings)
    if settings.serial_start is None:
        return "--serial-format needs --serial-start N, the first number"
    return None


def range_without_format(settings: Settings) -> Optional[str]:
    """The options of a range given without its format, or None."""
    given = [option_name(option) for option in RANGE_OPTIONS if getattr(settings, option) is not None]
    given += ["--serial-step"] if settings.serial_step != DEFAULT_SERIAL_STEP else []
    if not given:
        return None
    listed = given[0] if len(given) == 1 else f"{', '.join(given[:-1])} and {given[-1]}"
    return f"{listed} {'needs' if len(given) == 1 else 'need'} --serial-format"


def option_name(field: str) -> str:
    return "--" + field.replace("_", "-")


def numbers_of(settings: Settings, image_size: int) -> Optional[Numbers]:
    """The values Settings ask for, checked against the image: a UsageError says why they cannot be."""
    if settings.serial_at is None:
        return None
    numbers: Union[Range, ValueList]
    try:
        if settings.serial_list is not None:
            numbers = ValueList.read(settings.serial_list, settings.serial_at)
        else:
            assert settings.serial_format is not None and settings.serial_start is not None
            numbers = Range(settings.serial_start, settings.serial_step, settings.serial_end,
                            SerialFormat(settings.serial_format), settings.serial_at)
    except ValueError as error:
        raise UsageError(str(error)) from None
    misplaced = field_problem(settings.serial_at, numbers.size, image_size)
    if misplaced is not None:
        raise UsageError(misplaced)
    return numbers


def database_of(settings: Settings) -> Optional[str]:
    """The database Settings name; when serializing without one, the default file here."""
    if settings.database is not None:
        return settings.database
    return DEFAULT_DATABASE if settings.serializing else None


def default_database_line(settings: Settings) -> Optional[str]:
    """The run's first line, when the serial numbers go to the default file."""
    if settings.database is not None or not settings.serializing:
        return None
    return f"serial numbers are kept in {os.path.abspath(DEFAULT_DATABASE)}"


@contextlib.contextmanager
def line_database(settings: Settings, numbers: Optional[Numbers]) -> Iterator[Tuple[Optional[BoardData],
                                                                                   Optional[Store]]]:
    """The source of the boards' serial numbers and the database Settings ask for; either may be
    None. StoreUnwritable when the database cannot be opened."""
    target = database_of(settings)
    if target is None:
        yield None, None
        return
    store = open_store(target)
    try:
        serials = store.pool(numbers) if numbers is not None else None
        try:
            yield serials, store
        finally:
            if serials is not None:
                serials.close()
    finally:
        store.close()
