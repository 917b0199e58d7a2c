"""The simulated device: what it does with each request and how it replies."""

import hashlib
from collections import deque
from typing import Any, Callable, Collection, Deque, Dict, Iterable, List, NamedTuple, Optional, Sequence, Tuple

from downloader_wire import (BLOCK, BLOCK_SIZE, HEADER_SIZE, HEARTBEAT, MAX_COUNTER, RUN, block_count, block_size, carried_length,
                             checksum, frame_counter, frame_payload, header, reply, without_length)

from .faults import NOT_ACKNOWLEDGED, Faults
from .parser import FrameParser

# Keep at most this much of the raw input and this many logged frames, so a
# long-running simulator stays bounded; both cover a largest-image transfer.
RX_LIMIT = 8 << 20
LOG_LIMIT = 200000

# A reply's bytes and how late it is sent, in seconds.
Reply = Tuple[bytes, float]


class RunReport(NamedTuple):
    """What the device holds when a run command arrives."""

    counter: int                    # packet counter of the run request
    length: Optional[int]           # image length from block 0; None if never received
    blocks_expected: Optional[int]  # ceil(length / 32); None if the length is unknown
    blocks_received: int            # distinct blocks acknowledged
    missing: Tuple[int, ...]        # blocks below blocks_expected never acknowledged
    wrong_size: Tuple[int, ...]     # acknowledged blocks whose size does not fit the length
    extra: Tuple[int, ...]          # acknowledged blocks at or past blocks_expected
    duplicates: int                 # blocks acknowledged again
    sha256: str                     # hex digest of the image as held (see Device.image)
    complete: bool                  # length known, no block missing or of the wrong size

    def __str__(self) -> str:
        if self.length is None:
            size = "length unknown"
        else:
            size = "%d bytes" % self.length
        parts = ["run counter=%d: %s, %d/%s blocks" % (
            self.counter, size, self.blocks_received,
            "?" if self.blocks_expected is None else self.blocks_expected)]
        for name in ("missing", "wrong_size", "extra"):
            if getattr(self, name):
                parts.append("%s %s" % (name.replace("_", " "), _ranges(getattr(self, name))))
        if self.duplicates:
            parts.append("%d duplicates" % self.duplicates)
        parts.append("sha256 " + self.sha256)
        parts.append("complete" if self.complete else "INCOMPLETE")
        return ", ".join(parts)


def _ranges(numbers: Iterable[int]) -> str:
    """Sorted numbers in short form: 1-3,7."""
    out: List[List[int]] = []
    for n in numbers:
        if out and out[-1][1] == n - 1:
            out[-1][1] = n
        else:
            out.append([n, n])
    return ",".join(str(a) if a == b else "%d-%d" % (a, b) for a, b in out)


# Device state that Simulator exposes, with a line of documentation each.
STATE_FIELDS = {
    "image": "the image as held: `length` bytes, zeros where nothing arrived and at 6..9",
    "length": "image length from block 0, or None",
    "blocks": "frozenset of acknowledged block numbers",
    "duplicates": "block numbers acknowledged again, one entry per repeat",
    "nacked": "block numbers received but not acknowledged (faults), in order",
    "heartbeats": "heartbeat requests received",
    "runs": "run requests received",
    "frames": "valid requests received",
    "garbage_bytes": "bytes that belonged to no request",
    "bad_checksums": "requests dropped for a wrong checksum",
    "reports": "list of RunReport, one per run request",
    "log": "(command, counter, payload size) of each valid request, in order",
    "rx": "raw bytes received from the host (the first 8 MiB)",
    "disconnected": "True once the device end has been closed by disconnect_after_block",
}


class Device:
    """Protocol logic without I/O: feed it host bytes, it returns replies."""

    def __init__(self, faults: Optional[Faults] = None,
                 on_report: Optional[Callable[[RunReport], object]] = None) -> None:
        self.faults = faults if faults is not None else Faults()
        self.on_report = on_report
        self.parser = FrameParser()
        self.heartbeats = 0
        self.runs = 0
        self.frames = 0
        self.reports: List[RunReport] = []
        self.log: Deque[Tuple[int, int, int]] = deque(maxlen=LOG_LIMIT)
        self.rx = bytearray()
        self.closing = False        # the disconnect point has passed
        self.disconnected = False   # the I/O side has closed the line
        self._run_seen = False
        self._new_image()

    def _new_image(self) -> None:
        self._data = bytearray()
        self._sizes: Dict[int, int] = {}    # acknowledged block number -> payload size
        self.length: Optional[int] = None
        self.duplicates: List[int] = []
        self.nacked: List[int] = []
        self._run_seen = False

    # Input -----------------------------------------------------------------

    def feed(self, data: bytes) -> List[Reply]:
        """Handle bytes from the host; return [(reply bytes, delay in s)]."""
        if len(self.rx) < RX_LIMIT:
            self.rx += data[:RX_LIMIT - len(self.rx)]
        return self._answer(self.parser.feed(data))

    def flush(self) -> List[Reply]:
        """The line went quiet: drop what is left of an incomplete frame."""
        return self._answer(self.parser.flush())

    def _answer(self, frames: Sequence[bytes]) -> List[Reply]:
        replies: List[Reply] = []
        for frame in frames:
            if self.closing:
                break
            replies.append(self._handle(frame))
        return replies

    def _handle(self, frame: bytes) -> Reply:
        command = frame[0]
        counter = frame_counter(frame)
        payload = frame_payload(frame)
        self.frames += 1
        self.log.append((command, counter, len(payload)))
        block = counter if command == BLOCK else None
        hits = self.faults.match(command, block) if self.faults.active else ()
        if command == HEARTBEAT:
            self.heartbeats += 1
        elif command == RUN:
            self.runs += 1
            self._report(counter)
        elif payload:
            if self._run_seen:
                self._new_image()
            if NOT_ACKNOWLEDGED.isdisjoint(hits):
                self._store(counter, payload)
            else:
                self.nacked.append(counter)
        if block is not None and block == self.faults.disconnect_after_block:
            self.closing = True
        return self._reply(command, counter, hits)

    def _reply(self, command: int, counter: int, hits: Collection[str]) -> Reply:
        if not hits:
            return reply(command, counter), 0.0
        if "bad_counter" in hits:
            counter = (counter + 1) & MAX_COUNTER
        head = header(command, counter, 1 if "bad_length" in hits else 0)
        total = checksum(head)
        if "bad_checksum" in hits:
            total = (total + 1) & 0xFF
        data = head + bytes((total,))
        if "short_reply" in hits:
            data = data[:HEADER_SIZE]
        if "no_reply" in hits:
            data = b""
        if data and "extra_reply" in hits:
            extra = self.faults.extra_bytes
            data += data if extra is None else extra
        return data, (self.faults.delay if "delay" in hits else 0.0)

    # Image -----------------------------------------------------------------

    def _store(self, n: int, payload: bytes) -> None:
        if n in self._sizes:
            self.duplicates.append(n)
        self._sizes[n] = len(payload)
        if n == 0:
            # Block 0 carries the length where image bytes 6..9 would be;
            # the device never learns those bytes and holds zeros instead.
            length = carried_length(payload)
            if length is not None:
                self.length = length
            payload = without_length(payload)
        start = BLOCK_SIZE * n
        end = start + len(payload)
        data = self._data
        if len(data) < end:
            data.extend(bytes(end - len(data)))
        data[start:end] = payload

    @property
    def image(self) -> bytes:
        """The image as held: `length` bytes when the length is known.

        Bytes that never arrived, and image bytes 6..9, are zero; compare
        with downloader_wire.device_image().
        """
        data = self._data
        if self.length is None:
            return bytes(data)
        held = bytes(data[:self.length])
        return held + bytes(self.length - len(held))

    def _report(self, counter: int) -> None:
        sizes = self._sizes
        length = self.length
        wrong_size: Tuple[int, ...] = ()
        extra: Tuple[int, ...] = ()
        expected: Optional[int]
        if length is None:
            expected = None
            span = max(sizes) + 1 if sizes else 1
        else:
            expected = span = block_count(length)
            wrong_size = tuple(n for n in sorted(sizes) if n < expected
                               and sizes[n] != block_size(length, n))
            extra = tuple(sorted(n for n in sizes if n >= expected))
        missing = tuple(n for n in range(span) if n not in sizes)
        report = RunReport(
            counter=counter, length=length, blocks_expected=expected,
            blocks_received=len(sizes), missing=missing, wrong_size=wrong_size,
            extra=extra, duplicates=len(self.duplicates),
            sha256=hashlib.sha256(self.image).hexdigest(),
            complete=bool(length) and not missing and not wrong_size)
        self.reports.append(report)
        self._run_seen = True
        if self.on_report is not None:
            self.on_report(report)

    # State -----------------------------------------------------------------

    def get(self, names: Iterable[str]) -> Dict[str, Any]:
        """Copies of the named STATE_FIELDS, safe to hand to another thread."""
        out: Dict[str, Any] = {}
        for name in names:
            if name not in STATE_FIELDS:
                raise AttributeError(name)
            value: Any
            if name == "blocks":
                value = frozenset(self._sizes)
            elif name == "garbage_bytes" or name == "bad_checksums":
                value = getattr(self.parser, name)
            elif name == "rx":
                value = bytes(self.rx)
            else:
                value = getattr(self, name)
                if isinstance(value, (list, deque)):
                    value = list(value)
            out[name] = value
        return out
