"""The module's port, opened for one transfer: a device node locked for this process alone, or a
pyserial URL put in its place; and why one would not open."""
import contextlib
import time
from typing import Callable, Iterator, List, Optional, Tuple, Union

import serial

import downloader

from .devices import (CONTROL_UNANSWERED, IGNORE_CONTROL, find_devices, ignoring_control, is_url, socket_of,
                      url_failure, why_unavailable)
from .errors import IN_USE, NoDevice, PortForbidden, PortInUse, PortUnavailable, SeveralDevices
from .model import Device
from .stop_signals import interruptions_held


def choose_port(port: Union[str, Device, None]) -> Tuple[str, Optional[str]]:
    """(device name, USB serial number) of the port to flash."""
    if isinstance(port, Device):
        return port.device, port.serial_number
    found = find_devices()
    if port is None:
        if not found:
            raise NoDevice()
        if len(found) > 1:
            raise SeveralDevices([device.device for device in found])
        return found[0].device, found[0].serial_number
    serial_number = next((device.serial_number for device in found if device.device == port), None)
    return port, serial_number


@contextlib.contextmanager
def module_port(port: str) -> Iterator[List[Exception]]:
    """For a URL, the module's `ser` replaced by pyserial's port for it, at the module's own
    settings; the module drives it unchanged. Put back afterwards: a host shares the module.
    Yields what the port's open() raises, which dev_open() takes for "did not open" and drops."""
    if not is_url(port):
        yield []
        return
    original = downloader.ser
    try:
        replacement = serial.serial_for_url(port, do_not_open=True)
    except (ValueError, serial.SerialException) as error:  # an unknown scheme, a malformed address
        raise PortUnavailable(port, str(error)) from None
    replacement.baudrate, replacement.timeout = original.baudrate, original.timeout
    downloader.ser = replacement
    try:
        yield open_errors(replacement)
    finally:
        downloader.ser = original


def open_errors(ser: serial.SerialBase) -> List[Exception]:
    """The exceptions that ser.open() raises from now on, kept as they pass."""
    raised: List[Exception] = []
    plain_open: Callable[[], None] = getattr(ser, "open")  # every port has it; SerialBase does not declare it

    def open_() -> None:
        try:
            plain_open()
        except Exception as error:
            raised.append(error)
            raise

    setattr(ser, "open", open_)
    return raised


@contextlib.contextmanager
def opened(port: str) -> Iterator[Optional[str]]:
    """The module's port, locked against other processes, open on `port` and closed afterwards;
    yields a note for the person at the bench when it took a second try.
    A port by URL cannot be locked: another client of the same server is not kept out."""
    if downloader.ser.is_open:
        downloader.dev_close()
    with module_port(port) as raised:
        downloader.ser.exclusive = True
        leftover = None
        try:
            note = open_module_port(port, raised)
            leftover = socket_of(downloader.ser)
            yield note
        finally:
            downloader.dev_close()
            if leftover is not None:
                leftover.close()


def module_open(port: str) -> bool:
    downloader.com = port
    with interruptions_held():
        return bool(downloader.dev_open())


def open_module_port(port: str, raised: List[Exception]) -> Optional[str]:
    """Opens the module's port; an RFC 2217 server that does not answer control settings (as
    ser2net on a pty does not) is tried once more without waiting for those answers."""
    started = time.monotonic()
    if module_open(port):
        return None
    waited = time.monotonic() - started
    retry = ignoring_control(port)
    if retry is None or not raised or CONTROL_UNANSWERED not in str(raised[-1]):
        raise unavailable(port, raised)
    if not module_open(retry):
        raise PortUnavailable(port, f"{url_failure(raised[0])}; with ?{IGNORE_CONTROL}: {url_failure(raised[-1])}")
    return (f"{port}: the server does not answer control settings (flow control, DTR, RTS); opened again "
            f"with ?{IGNORE_CONTROL}, which saves {waited:.1f} s when the URL carries it")


def unavailable(port: str, raised: List[Exception]) -> PortUnavailable:
    """Why the port did not open. A URL is not opened again to tell: its open() said it."""
    if is_url(port):
        return PortUnavailable(port, url_failure(raised[-1]) if raised else "it did not open")
    reason = why_unavailable(port) or "it did not open"
    if reason == IN_USE:
        return PortInUse(port)
    if reason.startswith("permission denied"):
        return PortForbidden(port, reason)
    return PortUnavailable(port, reason)
