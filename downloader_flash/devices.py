"""Finding the devices among the serial ports, and why a port will not open."""
import errno
import os
import re
import socket
import stat
import urllib.parse
from typing import List, Optional, Tuple, Union

import serial
from serial.tools import list_ports

from downloader_wire import PRODUCT_ID, VENDOR_ID

from .errors import IN_USE, NO_SUCH_PORT
from .model import Device, DeviceKey

GROUP_READ_WRITE = stat.S_IRGRP | stat.S_IWGRP
URL_MARK = "://"  # socket://, rfc2217://, loop://: pyserial's ports by URL
# pyserial's rfc2217:// option that leaves the server's answers to control settings (flow control,
# DTR, RTS) unawaited, and its words when a server does not answer them: ser2net on a pty does not.
IGNORE_CONTROL = "ign_set_control"
CONTROL_UNANSWERED = "timeout while waiting for option 'control'"
# A look at a socket's input that takes nothing and does not wait; where the system has no
# MSG_DONTWAIT, a lost connection is not looked for.
PEEK_NOW = socket.MSG_PEEK | socket.MSG_DONTWAIT if hasattr(socket, "MSG_DONTWAIT") else None


def port_order(port: str) -> Tuple[Union[int, str], ...]:
    """Sorts ttyACM2 before ttyACM10."""
    return tuple(int(part) if part.isdigit() else part for part in re.split(r"(\d+)", port))


def find_devices() -> List[Device]:
    """Every port with the device's USB vendor and product identifiers, in port order."""
    found = [
        Device(info.device, info.serial_number, info.location, info.description)
        for info in list_ports.comports()
        if info.vid == VENDOR_ID and info.pid == PRODUCT_ID
    ]
    return sorted(found, key=lambda device: port_order(device.device))


def is_url(port: str) -> bool:
    """Whether `port` is reached through serial.serial_for_url rather than opened as a device node."""
    return URL_MARK in port


def port_present(port: str) -> bool:
    """Whether the port can be there: its node exists. A URL is always worth a try; only
    connecting to it tells, and a lost connection shows as a failed read or write."""
    return is_url(port) or os.path.exists(port)


def locate(key: DeviceKey) -> Optional[str]:
    """The port the device of `key` is on now, or None while it is away.

    A device with a serial number is found by it, since its port name may change when it comes
    back. A port that is not enumerated at all (a simulated device) counts while its path exists;
    one that is enumerated with another serial number holds another board and never counts.
    """
    found = find_devices()
    if key.serial_number is not None:
        match = next((device.device for device in found if device.serial_number == key.serial_number), None)
        if match is not None:
            return match
    if any(device.device == key.port for device in found):
        return None if key.serial_number is not None else key.port
    return key.port if port_present(key.port) else None


def permission_advice(port: str) -> str:
    """How to get access: the group that owns the node, when that group may read and write it."""
    try:
        import grp  # POSIX only; where it is missing there is no group to name
    except ImportError:
        return "ask for access"
    try:
        status = os.stat(port)
        group = grp.getgrgid(status.st_gid).gr_name
    except (OSError, KeyError):
        return "ask for access"
    if status.st_mode & GROUP_READ_WRITE == GROUP_READ_WRITE:
        return f"add the user to the group '{group}', which owns it, then log in again"
    return ("no group may read and write it; grant access with a udev rule, for instance "
            f'SUBSYSTEM=="tty", ATTRS{{idVendor}}=="{VENDOR_ID:04x}", ATTRS{{idProduct}}=="{PRODUCT_ID:04x}", '
            'GROUP="dialout", MODE="0660"')


def socket_of(ser: serial.SerialBase) -> Optional[socket.socket]:
    """The socket under an open socket:// or rfc2217:// port. pyserial's close() gives up on it,
    leaving it open, when the other end has already gone; whoever closes the port closes it too."""
    found = getattr(ser, "_socket", None)
    return found if isinstance(found, socket.socket) else None


def close_url_port(ser: serial.SerialBase) -> None:
    """Closes a port opened by URL, its socket included, even when the other end has gone."""
    leftover = socket_of(ser)
    try:
        ser.close()
    finally:
        if leftover is not None:
            leftover.close()


def connection_lost(ser: serial.SerialBase) -> bool:
    """Whether the other end has closed the connection under a port by URL, or it failed.

    pyserial's rfc2217:// port says nothing of it: its reader thread ends, after which in_waiting
    is 0 and reads return nothing. The socket itself tells, read without taking anything: a peek at
    a duplicate, which has no time-out of its own to wait out.
    """
    sock = socket_of(ser)
    if sock is None or PEEK_NOW is None:
        return False
    try:
        with socket.fromfd(sock.fileno(), sock.family, sock.type) as duplicate:
            return duplicate.recv(1, PEEK_NOW) == b""
    except BlockingIOError:  # open, with nothing to read
        return False
    except OSError:  # reset, or closed already
        return True


def ignoring_control(url: str) -> Optional[str]:
    """The rfc2217:// URL with ?ign_set_control added; None for another URL or one that has it."""
    parts = urllib.parse.urlsplit(url)
    if parts.scheme != "rfc2217" or IGNORE_CONTROL in urllib.parse.parse_qs(parts.query, keep_blank_values=True):
        return None
    return urllib.parse.urlunsplit(parts._replace(query=f"{parts.query}&{IGNORE_CONTROL}".lstrip("&")))


def url_failure(error: BaseException) -> str:
    """Why a port by URL did not open, in pyserial's words without its prefix, which repeats the URL."""
    said = str(error) or type(error).__name__
    return re.sub(r"^Could not open port \S+: ", "", said)


def why_url_unavailable(url: str) -> Optional[str]:
    """Connects once and names what stops it; None when it connects now. A URL is not locked:
    another program may be connected to the same server, so there is no "in use" to tell."""
    try:
        ser = serial.serial_for_url(url, do_not_open=True)
        ser.open()
    except (OSError, ValueError, serial.SerialException) as error:
        return url_failure(error)
    close_url_port(ser)
    return None


def why_unavailable(port: str) -> Optional[str]:
    """Opens the port once, exclusively, and names what stops it; None when it opens now."""
    if is_url(port):
        return why_url_unavailable(port)
    try:
        serial.Serial(port, exclusive=True).close()
    except serial.SerialException as error:
        code = error.errno
    except OSError as error:
        code = error.errno
    else:
        return None
    if code == errno.ENOENT:
        return NO_SUCH_PORT
    if code in (errno.EACCES, errno.EPERM):
        return f"permission denied ({permission_advice(port)})"
    if code in (errno.EWOULDBLOCK, errno.EAGAIN, errno.EBUSY):
        return IN_USE
    return os.strerror(code) if code else "it does not open"
