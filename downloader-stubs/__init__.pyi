"""Types of the downloader extension module, for type checkers.

Every name below is an ordinary module attribute: the functions read them by name at each
call, so a host may read them and may replace them between calls.
"""

import os
from typing import List, Literal, MutableSequence, Union

import serial as serial

# Names with a leading underscore exist for type checkers only, not in the module.

# One command exchange: "ok", or what was wrong with it.
_SendResult = Literal["ok", "error", "length", "checksum", "counter"]
# What init() opens: anything the builtin open() takes as its file.
_ImageFile = Union[str, bytes, os.PathLike[str], os.PathLike[bytes], int]

# The packet counter stamped into every request, and the number of the next image block.
Pcounter: int
# The image loaded by init(); a single zero byte until then.
res: bytes
# The serial port through which all device traffic passes: 12,000,000 baud, 1 s read time-out.
ser: serial.Serial
# The matched port's device name; set by dev_existing() and read by dev_open().
# Absent until a dev_existing() call has seen a serial port.
com: str
# The matched port's USB vendor and product identifiers (6645 and 22336), or "" after a
# search that found no matching port. Absent until a dev_existing() call has seen a port.
vid: Union[int, str]
pid: Union[int, str]

def dev_existing() -> Union[List[str], None, Literal[False]]:
    """[port, product, maker, identifier] for the device; None when no port matches;
    False when the machine has no serial port at all."""

def dev_open() -> bool:
    """Opens ``ser`` on the port named by ``com``; True when the port is open."""

def dev_close() -> None:
    """Closes ``ser``."""

def beat() -> Literal["beated", "beaat error"]:
    """Advances ``Pcounter`` and sends a heartbeat; "beated" when the device answers."""

def init(file: _ImageFile, /) -> bool:
    """Reads the image file whole into ``res`` and sets ``Pcounter`` to 0; False when the
    file does not open."""

def send(out: MutableSequence[int], res: int) -> _SendResult:
    """Completes the request frame ``out`` in place, writes it and reads the 5-byte reply.

    ``res`` equal to 1 skips the reply checks; any other value checks length, checksum and
    counter."""

def download() -> Union[int, float]:
    """Sends block ``Pcounter`` of ``res``: 0 when it failed, else the progress in percent,
    the int 100 once the image is complete."""

def run() -> Literal[True]:
    """Tells the device to start the image; the reply is not checked."""
