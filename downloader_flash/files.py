"""Opening the files named on the command line that must be regular files: the image and the report."""
import errno
import os
import stat
from typing import Callable, Tuple

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
