"""The rules of the wire between a host and the flashing device, each defined once.

A request frame is: command code, packet counter (low byte, then high byte), payload length,
payload (0 to 255 bytes), checksum. The checksum is the plain sum of every byte in front of it,
modulo 256. A reply has the request's layout with an empty payload, so it is always 5 bytes;
the device answers a request with its command code and counter.

An image travels in blocks of 32 bytes, the last one carrying the remainder; block n goes out
with the packet counter n and carries image bytes 32*n onwards. Block 0 carries the image length,
a little-endian uint32, at payload offsets 6..9 in place of image bytes 6..9, so the device never
receives those bytes and holds zeros there.

The device is recognised by its USB vendor and product ids.

Standard library only, no I/O: the simulator, the flashing tool and the benchmarks share it.
"""
from typing import Dict, Iterable, Optional, Sequence

VENDOR_ID = 0x19F5
PRODUCT_ID = 0x5740

HEARTBEAT = 0x00
BLOCK = 0x10
RUN = 0x20
COMMANDS: Dict[str, int] = {"heartbeat": HEARTBEAT, "block": BLOCK, "run": RUN}
COMMAND_NAMES: Dict[int, str] = {code: name for name, code in COMMANDS.items()}

# Frame layout: a 4-byte header, the payload, then the checksum byte.
COMMAND_OFFSET = 0
COUNTER_OFFSET = 1  # low byte, then high byte
LENGTH_OFFSET = 3
PAYLOAD_OFFSET = 4
HEADER_SIZE = 4
FRAME_OVERHEAD = HEADER_SIZE + 1  # header and checksum around the payload
REPLY_SIZE = FRAME_OVERHEAD
MAX_PAYLOAD = 0xFF
MAX_COUNTER = 0xFFFF

BLOCK_SIZE = 32
LENGTH_FIELD = slice(6, 10)  # where block 0's payload carries the image length
# The counter after the last block must still fit in 16 bits, which bounds the block count.
MAX_BLOCKS = MAX_COUNTER
LARGEST_IMAGE = MAX_BLOCKS * BLOCK_SIZE
# Block 0 needs room for the length: with 9 data bytes its frame holds the length's three low
# bytes, and the checksum takes the place of the top one.
SMALLEST_IMAGE = LENGTH_FIELD.stop - 1


def checksum(data: Iterable[int]) -> int:
    """The additive checksum: the sum of the bytes, modulo 256."""
    return sum(data) & 0xFF


def has_valid_checksum(frame: Sequence[int]) -> bool:
    """Whether the last byte of a whole frame is the checksum of the bytes before it."""
    return checksum(frame[:-1]) == frame[-1]


def header(command: int, counter: int, length: int) -> bytes:
    """The 4 header bytes of a frame."""
    if not 0 <= counter <= MAX_COUNTER:
        raise ValueError(f"counter out of range 0..{MAX_COUNTER}: {counter}")
    return bytes((command, counter & 0xFF, counter >> 8, length))


def with_checksum(data: bytes) -> bytes:
    """`data` followed by its checksum: a whole frame."""
    return data + bytes((checksum(data),))


def request(command: int, counter: int, payload: bytes = b"") -> bytes:
    """A request frame as the host writes it."""
    if len(payload) > MAX_PAYLOAD:
        raise ValueError(f"payload too long: {len(payload)} bytes")
    return with_checksum(header(command, counter, len(payload)) + bytes(payload))


def reply(command: int, counter: int) -> bytes:
    """The reply of a healthy device to a request with this command code and counter."""
    return with_checksum(header(command, counter, 0))


def frame_size(data: Sequence[int], start: int = 0) -> int:
    """Total size of the frame at `start`, from its length byte."""
    return data[start + LENGTH_OFFSET] + FRAME_OVERHEAD


def frame_counter(data: Sequence[int], start: int = 0) -> int:
    """The packet counter of the frame at `start`."""
    return data[start + COUNTER_OFFSET] | data[start + COUNTER_OFFSET + 1] << 8


def frame_payload(frame: bytes) -> bytes:
    """The payload of a whole frame."""
    return frame[PAYLOAD_OFFSET:-1]


def block_count(length: int) -> int:
    """Number of blocks an image of `length` bytes takes."""
    return -(-length // BLOCK_SIZE)


def block_size(length: int, n: int) -> int:
    """Number of image bytes that block n of an image of `length` bytes carries."""
    return max(0, min(BLOCK_SIZE, length - BLOCK_SIZE * n))


def block_payload(image: bytes, n: int) -> bytes:
    """Payload of block n of `image`, with the length in place in block 0."""
    data = bytes(image[BLOCK_SIZE * n:BLOCK_SIZE * (n + 1)])
    if n == 0:
        # A 9-byte block 0 keeps only the three low length bytes.
        patched = data[:LENGTH_FIELD.start] + len(image).to_bytes(4, "little") + data[LENGTH_FIELD.stop:]
        data = patched[:len(data)]
    return data


def block_request(image: bytes, n: int) -> bytes:
    """Request frame for block n of `image`, as the host sends it."""
    return request(BLOCK, n, block_payload(image, n))


def carried_length(payload: bytes) -> Optional[int]:
    """The image length block 0's payload carries; None when it is too short to carry any."""
    field = payload[LENGTH_FIELD]
    return int.from_bytes(field, "little") if field else None


def without_length(data: bytes) -> bytes:
    """`data`, the image or block 0's payload, with zeros where block 0 carries the length."""
    field = data[LENGTH_FIELD]
    return data[:LENGTH_FIELD.start] + bytes(len(field)) + data[LENGTH_FIELD.stop:]


def device_image(image: bytes) -> bytes:
    """The image as the device holds it once it has received all of it."""
    return without_length(bytes(image))
