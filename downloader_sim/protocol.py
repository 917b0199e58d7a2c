"""Wire format shared by the host and the device.

A request is: command code, packet counter (low byte, high byte), payload
length, payload (0 to 255 bytes), and an additive checksum: the sum of every
byte before it, modulo 256.  A reply has the same layout with an empty
payload, so it is always 5 bytes.

The image travels in blocks of at most 32 bytes.  Block n has the packet
counter n and carries image bytes 32*n onwards.  Block 0 carries the image
length, a little-endian uint32, at payload offsets 6..9 in place of the image
bytes 6..9, which therefore never reach the device.
"""

from __future__ import annotations

import re

HEARTBEAT = 0x00
BLOCK = 0x10
RUN = 0x20

COMMANDS = {"heartbeat": HEARTBEAT, "block": BLOCK, "run": RUN}
COMMAND_NAMES = {code: name for name, code in COMMANDS.items()}

BLOCK_SIZE = 32
REPLY_SIZE = 5
MAX_PAYLOAD = 255
MAX_COUNTER = 0xFFFF
# Offsets of the image length inside the payload of block 0.
LENGTH_FIELD = slice(6, 10)

# Any byte that can open a request frame.
FRAME_START = re.compile(b"[\x00\x10\x20]")


def checksum(data) -> int:
    """Additive checksum: sum of the bytes modulo 256."""
    return sum(data) & 0xFF


def request(command: int, counter: int, payload=b"") -> bytes:
    """A request frame as the host writes it."""
    if not 0 <= counter <= MAX_COUNTER:
        raise ValueError("counter out of range: %d" % counter)
    if len(payload) > MAX_PAYLOAD:
        raise ValueError("payload too long: %d bytes" % len(payload))
    head = bytes((command, counter & 0xFF, counter >> 8, len(payload))) + bytes(payload)
    return head + bytes((checksum(head),))


def reply(command: int, counter: int) -> bytes:
    """The correct 5-byte reply to a request."""
    head = bytes((command, counter & 0xFF, (counter >> 8) & 0xFF, 0))
    return head + bytes((checksum(head),))


def block_count(length: int) -> int:
    """Number of blocks an image of `length` bytes takes."""
    return -(-length // BLOCK_SIZE)


def block_payload(image: bytes, n: int) -> bytes:
    """Payload of block n of `image`, with the length patched into block 0."""
    data = bytes(image[BLOCK_SIZE * n:BLOCK_SIZE * (n + 1)])
    if n == 0:
        # A 9-byte image keeps only the three low length bytes: the frame
        # has no room for the top one.
        patched = data[:6] + len(image).to_bytes(4, "little") + data[10:]
        data = patched[:len(data)]
    return data


def block_request(image: bytes, n: int) -> bytes:
    """Request frame for block n of `image`, as the host sends it."""
    return request(BLOCK, n, block_payload(image, n))


def expected_image(image: bytes) -> bytes:
    """What the device holds after receiving `image` whole.

    Image bytes 6..9 never travel (block 0 carries the length there), so the
    device holds zeros in their place.
    """
    held = bytearray(image)
    field = held[LENGTH_FIELD]
    held[LENGTH_FIELD] = bytes(len(field))
    return bytes(held)
