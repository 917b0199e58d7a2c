"""Cut request frames out of the byte stream from the host.

The protocol has no start marker, so any byte equal to a command code may
open a frame.  The parser takes the earliest plausible frame: one that opens
with a command code and whose checksum byte, found where its length byte
says, matches.  Everything else is skipped and counted:

* bytes that open no frame count as garbage;
* a complete frame whose checksum fails counts as a bad checksum, unless a
  valid frame starts inside it, in which case the bytes before that frame are
  garbage;
* an incomplete frame is kept until more bytes arrive.  When the line has
  been quiet long enough (the caller decides and calls `flush`), the
  incomplete bytes are garbage up to the next complete frame, if any.

Five zero bytes form a valid heartbeat with counter 0, so zero-filled noise
can be taken for heartbeats and answered; tests feed other noise.
"""

import re
from typing import List, Optional

from downloader_wire import COMMAND_NAMES, FRAME_OVERHEAD, HEADER_SIZE, frame_size, has_valid_checksum

_COMMANDS = frozenset(COMMAND_NAMES)
# Any byte that can open a request frame.
FRAME_START = re.compile(b"[" + b"".join(re.escape(bytes((code,))) for code in sorted(_COMMANDS)) + b"]")
_INCOMPLETE = -1
_BAD = 0


def _frame_size(buf: bytearray, i: int) -> int:
    """Size of the valid frame at i, _BAD for a checksum mismatch, or _INCOMPLETE."""
    avail = len(buf) - i
    if avail < HEADER_SIZE:
        return _INCOMPLETE
    size = frame_size(buf, i)
    if avail < size:
        return _INCOMPLETE
    if not has_valid_checksum(buf[i:i + size]):
        return _BAD
    return size


def _next_frame(buf: bytearray, start: int, stop: int, final: bool) -> Optional[int]:
    """First position in [start, stop) where a valid frame starts.

    Returns None when there is none, or _INCOMPLETE when an earlier candidate
    cannot be judged yet (only while not `final`).
    """
    while True:
        match = FRAME_START.search(buf, start, stop)
        if match is None:
            return None
        j = match.start()
        size = _frame_size(buf, j)
        if size > 0:
            return j
        if size == _INCOMPLETE and not final:
            return _INCOMPLETE
        start = j + 1


class FrameParser:
    """Incremental request-frame parser with garbage and checksum counts."""

    def __init__(self) -> None:
        self._buf = bytearray()
        self.garbage_bytes = 0
        self.bad_checksums = 0

    @property
    def pending(self) -> bool:
        """True while bytes wait for the rest of a frame."""
        return bool(self._buf)

    def feed(self, data: bytes) -> List[bytes]:
        """Add bytes from the host; return the complete valid frames found."""
        if not self._buf:
            # Fast path: the read returned exactly one valid frame, which is
            # what a stop-and-wait host produces.
            size = len(data)
            if (size >= FRAME_OVERHEAD and data[0] in _COMMANDS and frame_size(data) == size
                    and has_valid_checksum(data)):
                return [data]
        self._buf += data
        return self._parse(final=False)

    def flush(self) -> List[bytes]:
        """The line went quiet: settle every pending byte; the buffer empties."""
        return self._parse(final=True)

    def _parse(self, final: bool) -> List[bytes]:
        buf = self._buf
        end = len(buf)
        frames: List[bytes] = []
        i = 0
        while i < end:
            match = FRAME_START.search(buf, i)
            if match is None:
                self.garbage_bytes += end - i
                i = end
                break
            self.garbage_bytes += match.start() - i
            i = match.start()
            size = _frame_size(buf, i)
            if size > 0:
                frames.append(bytes(buf[i:i + size]))
                i += size
            elif size == _INCOMPLETE:
                if not final:
                    break
                j = _next_frame(buf, i + 1, end, final=True)
                stop = end if j is None else j
                self.garbage_bytes += stop - i
                i = stop
            else:
                size = frame_size(buf, i)
                j = _next_frame(buf, i + 1, i + size, final)
                if j == _INCOMPLETE:
                    break
                if j is None:
                    self.bad_checksums += 1
                    i += size
                else:
                    self.garbage_bytes += j - i
                    i = j
        del buf[:i]
        return frames
