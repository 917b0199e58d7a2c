"""Finding the devices among the serial ports, and why a port will not open."""
import errno
import grp
import os
from dataclasses import dataclass
from typing import List, Optional

import serial
from serial.tools import list_ports

from downloader_wire import PRODUCT_ID, VENDOR_ID


@dataclass(frozen=True)
class Device:
    """A matching port, as pyserial describes it."""

    device: str
    serial_number: Optional[str]
    location: Optional[str]
    description: str


def find_devices() -> List[Device]:
    """Every port with the device's USB vendor and product identifiers, sorted by name."""
    found = [
        Device(info.device, info.serial_number, info.location, info.description)
        for info in list_ports.comports()
        if info.vid == VENDOR_ID and info.pid == PRODUCT_ID
    ]
    return sorted(found, key=lambda device: device.device)


def owning_group(path: str) -> Optional[str]:
    try:
        gid = os.stat(path).st_gid
        return grp.getgrgid(gid).gr_name
    except (OSError, KeyError):
        return None


def why_unavailable(port: str) -> Optional[str]:
    """Opens the port once, exclusively, and names what stops it; None when it opens now."""
    try:
        serial.Serial(port, exclusive=True).close()
    except serial.SerialException as error:
        code = error.errno
    except OSError as error:
        code = error.errno
    else:
        return None
    if code == errno.ENOENT:
        return "no such port"
    if code in (errno.EACCES, errno.EPERM):
        group = owning_group(port)
        fix = f"add the user to the group '{group}', which owns it, then log in again" if group else "ask for access"
        return f"permission denied ({fix})"
    if code in (errno.EWOULDBLOCK, errno.EAGAIN, errno.EBUSY):
        return "in use by another process"
    return os.strerror(code) if code else "it does not open"
