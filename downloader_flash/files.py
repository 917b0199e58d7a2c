"""The files named on the command line that must be regular files, the image and the report,
opened without blocking and checked before use; and the image read with its size checked first."""
import errno
import hashlib
import os
import stat
from typing import Callable, Tuple, Union

from downloader_wire import LARGEST_IMAGE, SMALLEST_IMAGE, device_image

from .errors import ImageError

NONBLOCKING = getattr(os, "O_NONBLOCK", 0)
NO_FOLLOW = getattr(os, "O_NOFOLLOW", 0)

KINDS: Tuple[Tuple[Callable[[int], bool], str], ...] = (
    (stat.S_ISDIR, "a directory"), (stat.S_ISFIFO, "a FIFO"), (stat.S_ISCHR, "a character device"),
    (stat.S_ISBLK, "a block device"), (stat.S_ISSOCK, "a socket"), (stat.S_ISLNK, "a symbolic link"),
)


class NotRegular(OSError):
    """The path names something other than a regular file; strerror says what it is."""

    def __init__(self, mode: int) -> None:
        kind = next((name for test, name in KINDS if test(mode)), "of no known kind")
        super().__init__(errno.EINVAL, f"it is {kind}, not a regular file")


def refuse_irregular(mode: int) -> None:
    if not stat.S_ISREG(mode):
        raise NotRegular(mode)


def open_regular(path: str, flags: int, mode: int = 0o644, follow: bool = True) -> int:
    """A descriptor on the regular file at `path`, opened with `flags`; OSError otherwise.

    What is no regular file is refused before the open where it can be seen (opening a serial
    device moves its control lines), and from the descriptor after it, in case the path was
    replaced meanwhile. The open does not block, so that a FIFO with nobody at its other end
    cannot hang it. With follow=False a symbolic link is refused, dangling or not.
    """
    try:
        refuse_irregular((os.stat if follow else os.lstat)(path).st_mode)
    except FileNotFoundError:
        pass  # nothing there yet: created by the open, where `flags` say so
    fd = os.open(path, flags | NONBLOCKING | (0 if follow else NO_FOLLOW), mode)
    try:
        refuse_irregular(os.fstat(fd).st_mode)
    except OSError:
        os.close(fd)
        raise
    return fd


ImageSource = Union[str, "os.PathLike[str]", bytes]


def read_image(image: ImageSource) -> bytes:
    if isinstance(image, bytes):
        data, name = image, "the image"
    else:
        name = os.fspath(image)
        data = read_image_file(name)
    if not SMALLEST_IMAGE <= len(data) <= LARGEST_IMAGE:
        raise wrong_size(name, f"{len(data):,}")
    return data


def read_image_file(name: str) -> bytes:
    """The bytes of the regular file `name`. Its size is checked before it is read, and no more
    than LARGEST_IMAGE (the most blocks the 16-bit counter can number) is read in any case: a
    file that grows meanwhile cannot take the memory either."""
    try:
        with os.fdopen(open_regular(name, os.O_RDONLY), "rb") as handle:
            size = os.fstat(handle.fileno()).st_size
            if size > LARGEST_IMAGE:
                raise wrong_size(name, f"{size:,}")
            data = handle.read(LARGEST_IMAGE + 1)
    except OSError as error:
        raise ImageError(f"cannot read {name}: {error.strerror or error}") from None
    if len(data) > LARGEST_IMAGE:
        raise wrong_size(name, f"more than {LARGEST_IMAGE:,}")
    return data


def wrong_size(name: str, held: str) -> ImageError:
    return ImageError(f"{name} holds {held} bytes; an image holds {SMALLEST_IMAGE} to {LARGEST_IMAGE:,}")


def device_sha256(image: bytes) -> str:
    return hashlib.sha256(device_image(image)).hexdigest()
