#!/usr/bin/env python3
"""Flash a firmware image to the device with downloader, showing progress.

    python examples/flash.py firmware.bin                 # find the device by its USB ids
    python examples/flash.py firmware.bin --port /dev/ttyACM0
    python examples/flash.py --simulate --sample 100000   # a generated image, simulated device
"""
import argparse
import contextlib
import hashlib
import os
import sys
import tempfile
import time
from typing import TYPE_CHECKING, Any, NoReturn, Optional, Sequence, TextIO, Tuple

import downloader

if TYPE_CHECKING:
    from tqdm import tqdm

    from downloader_sim import Simulator

BLOCK_SIZE = 32
LARGEST_IMAGE = 65535 * BLOCK_SIZE  # the packet counter numbers at most 65,535 blocks
SMALLEST_IMAGE = 9  # block 0 must have room for the image length


class FlashError(Exception):
    """A reason to stop, with a message meant for the user."""


def parse_arguments(argv: Optional[Sequence[str]]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description="Flash a firmware image to the device.")
    parser.add_argument("image", nargs="?", help="the image file")
    parser.add_argument("--port", help="serial port to use instead of finding the device by its USB ids")
    parser.add_argument("--retries", type=int, default=3, help="resends of a rejected block (default 3)")
    parser.add_argument("--log", help="file for the module's own per-block messages")
    parser.add_argument("--simulate", action="store_true", help="flash to a simulated device")
    parser.add_argument("--sample", type=int, metavar="BYTES", help="flash a generated image of this size")
    args = parser.parse_args(argv)
    if (args.image is None) == (args.sample is None):
        parser.error("give an image file or --sample BYTES, not both")
    if args.retries < 0:
        parser.error("--retries must be 0 or more")
    return args


def sample_image(size: int) -> bytes:
    """Deterministic, non-repeating bytes, so that a misplaced block changes the digest."""
    blocks = (hashlib.sha256(i.to_bytes(4, "little")).digest() for i in range(size // 32 + 1))
    return b"".join(blocks)[:size]


def read_image(path: str) -> bytes:
    try:
        with open(path, "rb") as handle:
            image = handle.read()
    except OSError as error:
        raise FlashError(f"cannot read {path}: {error.strerror or error}") from None
    if len(image) < SMALLEST_IMAGE:
        raise FlashError(f"{path}: {len(image)} bytes; an image needs at least {SMALLEST_IMAGE} bytes")
    if len(image) > LARGEST_IMAGE:
        raise FlashError(f"{path}: {len(image):,} bytes; an image may hold at most {LARGEST_IMAGE:,} bytes")
    return image


def connect(port: Optional[str]) -> None:
    if port is None:
        found = downloader.dev_existing()
        if not found:
            raise FlashError("no serial port available" if found is False else "device not found")
    else:
        downloader.com = port
    if not downloader.dev_open():
        raise FlashError(f"cannot open {downloader.com}")
    # A heartbeat moves the packet counter: it must come before init, which resets it.
    if downloader.beat() != "beated":
        raise FlashError(f"the device on {downloader.com} does not answer the heartbeat")


class Progress:
    """A tqdm bar in bytes when tqdm is installed; otherwise a percentage line."""

    bar: "Optional[tqdm[NoReturn]]"

    def __init__(self, total: int) -> None:
        try:
            from tqdm import tqdm
        except ImportError:
            self.bar = None
        else:
            self.bar = tqdm(total=total, unit="B", unit_scale=True, unit_divisor=1024, desc="flashing")
        self.total, self.done = total, 0

    def update(self, count: int) -> None:
        self.done += count
        if self.bar is not None:
            self.bar.update(count)
        else:
            print(f"\rflashing {100 * self.done / self.total:5.1f}%", end="", file=sys.stderr)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
        else:
            print(file=sys.stderr)


def settle(port: Any, quiet: float = 0.2) -> None:
    """Discard reply bytes until the line has been quiet for `quiet` seconds.

    A late or surplus reply would otherwise answer the resend, and every exchange after it
    would read the reply of the one before.
    """
    last = time.monotonic()
    while time.monotonic() - last < quiet:
        if port.in_waiting:
            port.reset_input_buffer()
            last = time.monotonic()
        time.sleep(0.01)


def transfer(image: bytes, retries: int, progress: Progress) -> int:
    """download() until 100; returns the number of resends."""
    resends = rejected = 0
    while True:
        block = downloader.Pcounter
        result = downloader.download()
        if result == 0:
            rejected += 1
            if rejected > retries:
                raise FlashError(f"block {block} rejected {rejected} times; giving up")
            resends += 1
            settle(downloader.ser)
            continue
        rejected = 0
        progress.update(min(BLOCK_SIZE, len(image) - BLOCK_SIZE * block))
        if result == 100:
            return resends


def load(path: Optional[str], image: bytes, log: TextIO) -> None:
    """init() with the image file; a generated image goes through a temporary file."""
    with tempfile.TemporaryDirectory() as folder:
        if path is None:
            path = os.path.join(folder, "sample.bin")
            with open(path, "wb") as handle:
                handle.write(image)
        with contextlib.redirect_stdout(log):
            if not downloader.init(path) or downloader.res != image:
                raise FlashError(f"the image changed or could not be read: {path}")


def flash(image: bytes, args: argparse.Namespace, log: TextIO) -> Tuple[int, float]:
    with contextlib.redirect_stdout(log):
        connect(args.port)
    load(args.image, image, log)
    progress = Progress(len(image))
    started = time.perf_counter()
    try:
        with contextlib.redirect_stdout(log):
            resends = transfer(image, args.retries, progress)
            downloader.run()
    finally:
        progress.close()
        with contextlib.redirect_stdout(log):
            downloader.dev_close()
    return resends, time.perf_counter() - started


def summary(image: bytes, resends: int, seconds: float) -> str:
    blocks = -(-len(image) // BLOCK_SIZE)
    rate = len(image) / seconds / 1024 if seconds > 0 else float("inf")
    return (
        f"flashed {len(image):,} bytes in {blocks:,} blocks, {resends} resends, {seconds:.2f} s, "
        f"{rate:,.1f} KiB/s, sha256 {hashlib.sha256(image).hexdigest()}"
    )


def verdict(simulator: "Simulator", image: bytes) -> str:
    from downloader_sim import expected_image

    report = simulator.reports[-1] if simulator.reports else None
    if report is None:
        return "device: no run command received"
    matches = report.sha256 == hashlib.sha256(expected_image(image)).hexdigest()
    state = "complete" if report.complete else "INCOMPLETE"
    size = "length unknown" if report.length is None else f"{report.length:,} bytes"
    return f"device: {state}, {size}, sha256 {'match' if matches else 'MISMATCH'}"


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = parse_arguments(argv)
    try:
        image = sample_image(args.sample) if args.sample is not None else read_image(args.image)
        if args.sample is not None and not SMALLEST_IMAGE <= args.sample <= LARGEST_IMAGE:
            raise FlashError(f"--sample must be {SMALLEST_IMAGE} to {LARGEST_IMAGE:,} bytes")
        with contextlib.ExitStack() as stack:
            log = stack.enter_context(open(args.log, "w") if args.log else open(os.devnull, "w"))
            simulator: Optional[Simulator] = None
            if args.simulate:
                from downloader_sim import Simulator

                simulator = stack.enter_context(Simulator(process=True))
                args.port = simulator.port
            resends, seconds = flash(image, args, log)
            print(summary(image, resends, seconds))
            if simulator is not None:
                print(verdict(simulator, image))
    except FlashError as error:
        print(f"flash: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
