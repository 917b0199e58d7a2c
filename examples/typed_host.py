#!/usr/bin/env python3
"""A small host script with full type annotations, checked with ``mypy --strict``.

    python examples/typed_host.py firmware.bin                  # find the device by its USB ids
    python examples/typed_host.py firmware.bin --port /dev/ttyACM0

The module's stubs give each result its exact type, so the checker knows that
``dev_existing()`` is a list of four strings, None or False, that ``beat()`` is one of two
strings (comparing it with a misspelt one is an error under --strict), and that
``download()`` is an int or a float.
"""
import argparse
import sys
from typing import List, Optional, Sequence, Union

import downloader

RETRIES = 3  # resends of a rejected block before giving up


class HostError(Exception):
    """Why the script stopped, for the user."""


def find_device() -> List[str]:
    """[port, product, maker, identifier] of the device; raises when there is none."""
    found = downloader.dev_existing()
    if found is False:
        raise HostError("no serial port available")
    if found is None:
        raise HostError("no port has the device's USB vendor and product identifiers")
    return found


def connect(port: Optional[str]) -> None:
    if port is None:
        port = find_device()[0]
    else:
        downloader.com = port  # dev_open() opens the port that com names
    if not downloader.dev_open():
        raise HostError(f"cannot open {port}")


def transfer(image: str) -> int:
    """Loads and sends the image; returns the number of resends."""
    # Heartbeat first: it advances the packet counter, which init() then resets to 0.
    if downloader.beat() != "beated":
        raise HostError("the device does not answer the heartbeat")
    if not downloader.init(image):
        raise HostError(f"cannot open {image}")
    resends = rejections = 0
    progress: Union[int, float] = 0
    while progress != 100:
        block = downloader.Pcounter
        progress = downloader.download()
        if progress != 0:
            rejections = 0
            continue
        # 0 with the counter moved on is an overflow, not a rejection: resending cannot help.
        if downloader.Pcounter != block or rejections == RETRIES:
            raise HostError(f"block {block} was not accepted")
        rejections += 1
        resends += 1
        downloader.ser.reset_input_buffer()  # drop a late reply before resending
    downloader.run()
    return resends


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(description="Flash a firmware image to the device.")
    parser.add_argument("image", help="the image file")
    parser.add_argument("--port", help="serial port to use instead of finding the device")
    args = parser.parse_args(argv)
    image: str = args.image
    port: Optional[str] = args.port
    try:
        connect(port)
        try:
            resends = transfer(image)
        finally:
            downloader.dev_close()
    except HostError as error:
        print(f"typed_host: {error}", file=sys.stderr)
        return 1
    print(f"typed_host: flashed {image} with {resends} resends", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
