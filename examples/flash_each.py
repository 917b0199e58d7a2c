#!/usr/bin/env python3
"""Flash one image to each device in turn with the downloader_flash library, a line per device.

    python examples/flash_each.py firmware.bin                      # every device found
    python examples/flash_each.py firmware.bin /dev/ttyACM0 /dev/ttyACM1

`downloader-flash --all` does the same in parallel, with bars and a table; this shows the few
calls a production script of its own needs. A device that fails is reported and the next one
flashed; Ctrl-C stops the script, since Interrupted is a KeyboardInterrupt and not a FlashError.
"""
import sys
from typing import Callable, List, Sequence, Union

from downloader_flash import Device, FlashError, Interrupted, find_devices, flash


def report_progress(port: str) -> Callable[[int, int], None]:
    def show(done: int, blocks: int) -> None:
        if done == blocks or done % 1000 == 0:
            print(f"{port}: {done:,} of {blocks:,} blocks", file=sys.stderr)

    return show


def main(argv: Sequence[str]) -> int:
    image, *ports = argv
    targets: List[Union[str, Device]] = list(ports) or list(find_devices())
    failures = 0
    for target in targets:
        port = target if isinstance(target, str) else target.device
        try:
            result = flash(image, target, on_progress=report_progress(port))
        except FlashError as error:
            print(f"{port}: {error}")
            failures += 1
            continue
        started = "started" if result.run_acknowledged else "start not acknowledged"
        print(f"{port}: {result.blocks:,} blocks, {result.resends} resent, {started}, sha256 {result.device_sha256}")
        failures += not result.run_acknowledged
    return 1 if failures or not targets else 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except Interrupted as stop:
        print(stop, file=sys.stderr)  # "interrupted at block 524 of 3,125; the device holds a partial image"
        sys.exit(stop.exit_code)
