"""downloader-flash: the command line, one front end over the library."""
import argparse
import contextlib
import dataclasses
import hashlib
import ipaddress
import os
import sys
from importlib import metadata
from typing import Any, Iterator, List, Optional, Sequence

from downloader_wire import LARGEST_IMAGE, PRODUCT_ID, SMALLEST_IMAGE, VENDOR_ID

from . import jobs, outcomes, serializing
from .errors import FlashError, NoDevice, SeveralDevices, UnknownSerialNumber, UsageError
from .events import Both, Events
from .files import NONBLOCKING, read_image
from .model import BoardData, Callbacks, Device, Image, Origin, Summary
from .records import Report, ReportUnwritable
from .render import PROG, Screen, ShownLines, say, show, table
from .run import flash_all
from .settings import (DEFAULT_ATTEMPTS, DEFAULT_RETRIES, DEFAULT_WAIT, LONGEST_TOKEN, TOKEN_VARIABLE, Settings,
                       token_problem)
from .simulated import Sent, candidates_of, check_simulators, simulated
from .station import watch
from .store import Store, StoreUnwritable


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description=f"Flash a firmware image to the device (USB {VENDOR_ID:04x}:{PRODUCT_ID:04x}), to one of several, to all of "
        "them at once, or to each as it is plugged in.",
        epilog=outcomes.help_text(),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("image", nargs="?", metavar="IMAGE", help="the image file")
    choose = parser.add_argument_group("choosing devices")
    choose.add_argument("--list", action="store_true", help="list the matching devices and exit")
    choose.add_argument("--port", help="flash the device on this port: a device such as /dev/ttyACM0, opened "
                        "exclusively, or a pyserial URL (socket://HOST:PORT, rfc2217://HOST:PORT, loop://), "
                        "which no lock keeps other programs from")
    choose.add_argument("--serial-number", metavar="SERIAL", help="flash the device with this USB serial number")
    choose.add_argument("--all", action="store_true", help="flash every matching device, in parallel")
    choose.add_argument("--jobs", type=int, metavar="N", help="with --all or --watch: at most N devices at once")
    choose.add_argument("--watch", action="store_true",
                        help="keep running; flash each device as it appears, once until it is unplugged")
    flashing = parser.add_argument_group("flashing")
    flashing.add_argument("--retries", type=int, default=DEFAULT_RETRIES, metavar="N",
                          help=f"resends of a rejected block (default {DEFAULT_RETRIES})")
    flashing.add_argument("--attempts", type=int, default=DEFAULT_ATTEMPTS, metavar="N",
                          help="flash a device up to N times from block 0 after a disconnect, a busy port or a "
                          f"give-up (default {DEFAULT_ATTEMPTS})")
    flashing.add_argument("--wait", type=float, default=DEFAULT_WAIT, metavar="SECONDS",
                          help="before another attempt, wait up to this long for the device to come back or its "
                          f"port to be free (default {DEFAULT_WAIT:g})")
    flashing.add_argument("--job", metavar="FILE", help="take the settings from this TOML file, whose keys are the "
                          "long options' names and image-sha256; the options it sets cannot be given as well")
    flashing.add_argument("--sample", type=int, metavar="BYTES", help="flash a generated image of this size")
    flashing.add_argument("--sample-on-hardware", action="store_true",
                          help="allow --sample on real devices, not only with --simulate")
    flashing.add_argument("--simulate", type=int, metavar="N", help="flash N simulated devices instead of real ones")
    serializing.add_arguments(parser)
    station = parser.add_argument_group("the station's page and API (the extra downloader[station])")
    station.add_argument("--serve", metavar="[HOST:]PORT",
                         help="with --watch: serve a live page at / and an HTTP API (docs/station-api.md); "
                         "the host is 127.0.0.1 unless given")
    station.add_argument("--token", help="needed by control requests, and by every request off loopback; "
                         f"default: the environment variable {TOKEN_VARIABLE}")
    station.add_argument("--token-file", metavar="PATH",
                         help="read the token from this file (one trailing newline is left out), so that ps shows "
                         "no token")
    station.add_argument("--on-demand", action="store_true",
                         help="with --serve: flash a device only when asked with POST /api/v1/flash")
    station.add_argument("--allow-host", action="append", default=[], metavar="NAME",
                         help="with --serve: a name of this machine that clients use for the station (repeatable); "
                         "requests that name another host are refused, and so are other sites' pages")
    output = parser.add_argument_group("output")
    output.add_argument("--report", metavar="FILE", help="append one JSON Lines record per attempt (docs/records.md)")
    output.add_argument("--station", metavar="NAME", help="the station's name, in every record")
    output.add_argument("--log", metavar="FILE", help="append the module's own per-block lines, with time and port")
    output.add_argument("--json", action="store_true",
                        help="one JSON object per line on stdout (events and records); the text goes to stderr")
    output.add_argument("-q", "--quiet", action="store_true", help="no bars, no table: only failures")
    output.add_argument("-v", "--verbose", action="store_true", help="also both digests of each flashed image")
    output.add_argument("--version", action="version", version=f"%(prog)s {metadata.version('downloader')}")
    return parser


def contradiction(args: argparse.Namespace) -> Optional[str]:
    """What is wrong with the command line, or None."""
    for name in ("port", "serial_number", "station"):
        if getattr(args, name) == "":
            return f"--{name.replace('_', '-')} is empty"
    if args.list:
        extra = [option for option, given in (("IMAGE", args.image is not None), ("--all", args.all),
                                               ("--port", args.port), ("--serial-number", args.serial_number),
                                               ("--watch", args.watch), ("--sample", args.sample is not None))
                 if given]
        return f"--list flashes nothing: leave out {', '.join(extra)}" if extra else None
    if args.image is None and args.sample is None:
        return "give an IMAGE file to flash, or --sample BYTES for a generated image"
    if args.image is not None and args.sample is not None:
        return "give an IMAGE file or --sample BYTES, not both"
    if args.sample is not None and not args.simulate and not args.sample_on_hardware:
        return "--sample flashes generated bytes: use it with --simulate, or add --sample-on-hardware"
    if args.sample is not None and not SMALLEST_IMAGE <= args.sample <= LARGEST_IMAGE:
        return f"--sample must be {SMALLEST_IMAGE} to {LARGEST_IMAGE:,} bytes"
    if args.simulate is not None and args.port:
        return "--port cannot be used with --simulate: the simulated devices have their own ports"
    if args.simulate is not None and args.simulate < 1:
        return "--simulate needs 1 or more devices"
    if args.simulate is not None and args.watch and not args.serve:
        return "--watch waits for real devices; with --simulate it needs --serve, for a demo"
    if args.serve is not None and not args.watch:
        return "--serve needs --watch"
    for name in ("on_demand", "token", "token_file"):
        if getattr(args, name) not in (None, False) and args.serve is None:
            return f"--{name.replace('_', '-')} needs --serve"
    if args.token is not None and args.token_file is not None:
        return "give --token or --token-file, not both"
    if args.allow_host and args.serve is None:
        return "--allow-host needs --serve"
    for name in args.allow_host:
        if not name or name != name.strip() or (":" in name and not ip_literal(name.strip("[]"))) or "/" in name:
            return f"--allow-host takes a host name or address, without a port: not {name!r}"
    if sum(map(bool, (args.port, args.serial_number, args.all, args.watch))) > 1:
        return "choose with one of --port, --serial-number, --all and --watch"
    if args.jobs is not None and not (args.all or args.watch):
        return "--jobs applies to --all and --watch only"
    if args.quiet and args.verbose:
        return "choose one of -q and -v"
    serial_problem = serializing.problem(Settings.from_arguments(args))
    if serial_problem is not None:
        return serial_problem
    for name, least in (("retries", 0), ("jobs", 1), ("attempts", 1), ("wait", 0)):
        value = getattr(args, name)
        if value is not None and value < least:
            return f"--{name} must be {least} or more"
    return None


def token_of(args: argparse.Namespace) -> Optional[str]:
    """The API's token, from --token, --token-file or the environment; a UsageError says what is
    wrong with it."""
    if args.serve is None:
        return None
    token: Optional[str]
    if args.token_file is not None:
        token, source = read_token_file(args.token_file), f"the token in {args.token_file}"
    elif args.token is not None:
        token, source = args.token, "--token"
    else:
        token, source = os.environ.get(TOKEN_VARIABLE) or None, TOKEN_VARIABLE
    problem = token_problem(token) if token is not None else None
    if problem is not None:
        raise UsageError(f"{source} {problem}")
    return token


def read_token_file(path: str) -> str:
    """The file's text, less one trailing newline. Opened without blocking, so that a FIFO nobody
    writes reads as empty instead of hanging; then read as a pipe from a shell is, waiting for it."""
    try:
        fd = os.open(path, os.O_RDONLY | NONBLOCKING)
        if NONBLOCKING:
            os.set_blocking(fd, True)
        with os.fdopen(fd, "rb") as handle:
            data = handle.read(LONGEST_TOKEN + 2)  # enough to tell that it is too long
    except OSError as error:
        raise UsageError(f"cannot read the token file {path}: {error.strerror or error}") from None
    return (data[:-1] if data.endswith(b"\n") else data).decode("ascii", "replace")


def ip_literal(text: str) -> bool:
    try:
        ipaddress.ip_address(text)
    except ValueError:
        return False
    return True


def sample_image(size: int) -> bytes:
    """Deterministic, non-repeating bytes, so that a misplaced block changes the digest."""
    blocks = (hashlib.sha256(i.to_bytes(4, "little")).digest() for i in range(size // 32 + 1))
    return b"".join(blocks)[:size]


def listing(devices: Sequence[Device]) -> str:
    rows = [("port", "serial number", "location", "description")]
    rows += [(d.device, d.serial_number or "-", d.location or "-", d.description) for d in devices]
    return table(rows)


def choose(settings: Settings, candidates: List[Device]) -> List[Device]:
    """The devices to flash, or a UsageError that says how to choose."""
    if settings.port:
        known = [device for device in candidates if device.device == settings.port]
        return known or [Device(settings.port, None, None, "")]
    if settings.serial_number:
        chosen = [device for device in candidates if device.serial_number == settings.serial_number]
        if not chosen:
            raise UnknownSerialNumber(settings.serial_number)
        return chosen[:1]
    if not candidates:
        raise NoDevice()
    if len(candidates) > 1 and not settings.all:
        show(listing(candidates), sys.stdout)
        raise SeveralDevices([device.device for device in candidates])
    return candidates


def image_of(settings: Settings) -> Image:
    """The image's bytes, read once, and its name for the records."""
    if settings.sample is not None:
        image = Image(sample_image(settings.sample), settings.image_name)
    else:
        assert settings.image is not None
        image = Image(read_image(settings.image), settings.image_name)
    jobs.check_image(image, settings.image_sha256, settings.job)  # a generated image too: it may go to hardware
    return image


def check_log(path: Optional[str]) -> None:
    if path is None:
        return
    try:  # as the workers open it, but without blocking: a FIFO nobody reads must not hang the start
        os.close(os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT | NONBLOCKING, 0o644))
    except OSError as error:
        raise UsageError(f"cannot write the log {path}: {error.strerror or error}") from None


@contextlib.contextmanager
def report_of(settings: Settings) -> Iterator[Optional[Report]]:
    if settings.report is None:
        yield None
        return
    report = Report(settings.report)
    try:
        yield report
    finally:
        report.close()


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = build_parser()
    try:
        args = jobs.arguments(parser, argv)
        problem = contradiction(args)
        if problem is not None:
            parser.error(problem)
        return command(dataclasses.replace(Settings.from_arguments(args), token=token_of(args)))
    except FlashError as error:
        say(str(error))
        return error.exit_code
    except (ReportUnwritable, StoreUnwritable) as error:
        say(str(error))
        return outcomes.REPORT_UNWRITABLE.exit_code


def command(settings: Settings) -> int:
    with simulated(settings.simulate) as simulators:
        candidates = candidates_of(simulators)
        if settings.list:
            show(listing(candidates) if candidates else "no device found", sys.stdout)
            return outcomes.FLASHED.exit_code
        image = image_of(settings)
        check_log(settings.log)
        numbers = serializing.numbers_of(settings, len(image.data))
        with report_of(settings) as report, serializing.line_database(settings, numbers) as (serials, store):
            first_line = serializing.default_database_line(settings)
            if first_line is not None and not settings.quiet:
                show(first_line, sys.stderr)
            origin = Origin(station=settings.station, job=settings.job, job_sha256=settings.job_sha256)
            screen = Screen(settings, image, sys.stderr if settings.json else sys.stdout)
            events = Events(origin, ShownLines(sys.stdout)) if settings.json else None
            sent = Sent()
            callbacks: Callbacks = Both(Both(screen, events) if events is not None else screen, sent)
            try:
                if settings.watch:
                    summary = station(settings, image, callbacks, report, origin, simulators, serials, store)
                else:
                    summary = flash_all(settings, image, choose(settings, candidates), callbacks, report, origin,
                                        serials, store)
            finally:  # an error is said on a screen without bars
                screen.close_bars()
            if settings.all:
                screen.summary_table()
            if simulators and summary.signum is None and outcomes.INTERRUPTED not in summary.outcomes:
                check_simulators(simulators, sent, screen)
            end(summary, events)
            return summary.exit_code()


def station(settings: Settings, image: Image, callbacks: Callbacks, report: Optional[Report], origin: Origin,
            simulators: List[Any], serials: Optional[BoardData], store: Optional[Store]) -> Summary:
    """--watch, with its page and API under --serve."""
    devices = (lambda: candidates_of(simulators)) if simulators else None
    if settings.serve is None:
        if not settings.quiet:
            show("watching for devices; Ctrl-C ends", sys.stderr)
        return watch(settings, image, callbacks, report, origin, devices=devices, serials=serials, store=store)
    from . import web  # only here: the library and the plain command need no web framework

    server = web.server_of(settings, image, origin)
    try:
        if not settings.quiet:
            show(f"serving the station on {server.url}; Ctrl-C ends", sys.stderr)
        return watch(settings, image, Both(callbacks, server.callbacks), report, origin, server.control, devices,
                     serials=serials, store=store)
    finally:
        server.close()


def end(summary: Summary, events: Optional[Events]) -> None:
    if summary.report_error is not None:
        say(f"{summary.report_error}; {summary.unrecorded} outcome(s) not recorded, printed above")
    if events is not None:
        events.summary(summary)
