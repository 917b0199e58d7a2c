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

from __future__ import annotations

from .protocol import FRAME_START

_COMMANDS = frozenset((0x00, 0x10, 0x20))
_INCOMPLETE = -1
_BAD = 0


def _frame_size(buf, i):
    """Size of the valid frame at i, _BAD for a checksum mismatch, or _INCOMPLETE."""
    avail = len(buf) - i
    if avail < 4:
        return _INCOMPLETE
    size = buf[i + 3] + 5
    if avail < size:
        return _INCOMPLETE
    last = i + size - 1
    if sum(buf[i:last]) & 0xFF != buf[last]:
        return _BAD
    return size


def _next_frame(buf, start, stop, final):
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

    def __init__(self):
        self._buf = bytearray()
        self.garbage_bytes = 0
        self.bad_checksums = 0

    @property
    def pending(self) -> bool:
        """True while bytes wait for the rest of a frame."""
        return bool(self._buf)

    def feed(self, data: bytes) -> list:
        """Add bytes from the host; return the complete valid frames found."""
        if not self._buf:
            # Fast path: the read returned exactly one valid frame, which is
            # what a stop-and-wait host produces.
            size = len(data)
            if (size >= 5 and data[0] in _COMMANDS and data[3] + 5 == size
                    and (sum(data) - data[-1]) & 0xFF == data[-1]):
                return [data]
        self._buf += data
        return self._parse(final=False)

    def flush(self) -> list:
        """The line went quiet: settle every pending byte; the buffer empties."""
        return self._parse(final=True)

    def _parse(self, final):
        buf = self._buf
        end = len(buf)
        frames = []
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
                size = buf[i + 3] + 5
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
