"""Being woken when a device may have come or gone, instead of looking at fixed intervals.

On Linux the kernel announces every device it adds or removes on the uevent netlink socket; a
station waits on it together with its workers' pipes and looks at the serial ports as soon as a
tty has come or gone, not at its next timed look. A front end with an enumeration of its own
(simulated devices) may wake the station in the same way.
"""
import contextlib
import os
import socket
import struct
import sys
from typing import List, Optional, Protocol

NETLINK_KOBJECT_UEVENT = 15
KERNEL_GROUP = 1  # the kernel's own announcements, as soon as a device is added
# udev's, once its rules have run: until then a new port may still be root's alone, and a
# station not run by root would find it forbidden.
UDEV_GROUP = 2
UDEV_RUNNING = "/run/udev/control"  # udev's control socket: where it is, udev announces devices
UDEV_PREFIX = b"libudev\0"  # udev's header starts so; it says where the fields start
UDEV_FIELDS_AT = struct.Struct("=I")  # the offset of the fields, in the header at
UDEV_FIELDS_OFFSET_AT = 16  # after the prefix, the magic number and the header's size
RECEIVE_BUFFER = 1 << 20  # a hub with many devices announces a burst at once
LARGEST_UEVENT = 1 << 16
TTY_SUBSYSTEM = b"SUBSYSTEM=tty"


class Waker(Protocol):
    """Something a wait can include: readable when a poll is called for."""

    def fileno(self) -> int: ...

    def clear(self) -> bool:
        """Takes what made it readable; whether that calls for a poll."""


class Wakeup:
    """A flag that another thread, or a signal handler, can set and a wait can see: one end of a
    socket pair is written to, the other waited on."""

    def __init__(self) -> None:
        self.reader, self.writer = socket.socketpair()
        self.reader.setblocking(False)
        self.writer.setblocking(False)

    def fileno(self) -> int:
        return self.reader.fileno()

    def set(self) -> None:
        with contextlib.suppress(OSError):  # full, or closed: it is set already, or no one waits
            self.writer.send(b"\0")

    def clear(self) -> bool:
        """Takes every wakeup so far; whether any came."""
        came = False
        with contextlib.suppress(OSError):
            while self.reader.recv(4096):
                came = True
        return came

    def close(self) -> None:
        self.reader.close()
        self.writer.close()


class TtyEvents:
    """The kernel's uevents, or udev's, read as they come; clear() says whether a tty came or went.
    udev's carry a header of their own before the same NUL-separated KEY=value fields."""

    def __init__(self, sock: socket.socket) -> None:
        self.sock = sock

    def fileno(self) -> int:
        return self.sock.fileno()

    def clear(self) -> bool:
        concerned = False
        while True:
            try:
                message = self.sock.recv(LARGEST_UEVENT)
            except BlockingIOError:
                return concerned
            except OSError:  # ENOBUFS: announcements were lost, so any device may have changed
                return True
            concerned = concerned or TTY_SUBSYSTEM in fields(message)

    def close(self) -> None:
        self.sock.close()


def fields(message: bytes) -> List[bytes]:
    """The KEY=value fields of an announcement, the kernel's or udev's."""
    if message.startswith(UDEV_PREFIX) and len(message) >= UDEV_FIELDS_OFFSET_AT + UDEV_FIELDS_AT.size:
        (start,) = UDEV_FIELDS_AT.unpack_from(message, UDEV_FIELDS_OFFSET_AT)
        message = message[start:]
    return message.split(b"\0")


def announcing_group() -> int:
    return UDEV_GROUP if os.path.exists(UDEV_RUNNING) else KERNEL_GROUP


def tty_events() -> Optional[TtyEvents]:
    """The kernel's device announcements, or None where there are none to be had."""
    if not sys.platform.startswith("linux") or not hasattr(socket, "AF_NETLINK"):
        return None
    try:
        sock = socket.socket(socket.AF_NETLINK, socket.SOCK_DGRAM, NETLINK_KOBJECT_UEVENT)
    except OSError:
        return None
    try:
        with contextlib.suppress(OSError):  # the default buffer will do, if smaller
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, RECEIVE_BUFFER)
        sock.bind((0, announcing_group()))
        sock.setblocking(False)
    except OSError:
        sock.close()
        return None
    return TtyEvents(sock)
