"""python -m downloader_sim: serve a simulated device until interrupted.

Prints the port path (or, with --tcp, the socket:// URL) on the first line, then one line per run command
describing the image received, and a summary line on exit.
"""

import argparse
import signal
import sys
from types import FrameType
from typing import Dict, Iterator, List, Optional, Tuple, Union

from .device import Device
from .faults import FAULT_HELP, FAULT_NAMES, Faults
from .server import DEFAULT_HOST, Server, split_address


def _items(text: str) -> Iterator[Tuple[str, Optional[int]]]:
    for item in text.split(","):
        item = item.strip()
        if item:
            key, _, times = item.partition(":")
            yield key.strip(), int(times) if times else None


def block_selection(text: str) -> Dict[int, Optional[int]]:
    """'3,10-12,5:2' -> {3: None, 10: None, 11: None, 12: None, 5: 2}."""
    chosen: Dict[int, Optional[int]] = {}
    for key, times in _items(text):
        first, _, last = key.partition("-")
        for n in range(int(first, 0), int(last or first, 0) + 1):
            chosen[n] = times
    return chosen


def command_selection(text: str) -> Dict[Union[int, str], Optional[int]]:
    """'run,heartbeat:1' or '0x20' -> {'run': None, 'heartbeat': 1}."""
    chosen: Dict[Union[int, str], Optional[int]] = {}
    for key, times in _items(text):
        chosen[key if key.isalpha() else int(key, 0)] = times
    return chosen


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m downloader_sim",
        description="Simulate the flashing device on a pseudo-terminal, or over TCP. Prints the "
                    "port path or URL, then one report line per run command. Block selections look "
                    "like '3,10-12,5:2' (5:2 = only the first 2 times); command "
                    "selections like 'run,heartbeat:1' or '0x10'.")
    for name in FAULT_NAMES:
        flag = name.replace("_", "-")
        parser.add_argument("--%s-blocks" % flag, type=block_selection, metavar="BLOCKS",
                            help=FAULT_HELP[name] + ", for these blocks")
        parser.add_argument("--%s-commands" % flag, type=command_selection,
                            metavar="COMMANDS", help="the same, for these commands")
    parser.add_argument("--reject", type=block_selection, metavar="BLOCKS",
                        help="answer these blocks with a wrong checksum (same as "
                             "--bad-checksum-blocks)")
    parser.add_argument("--extra-bytes", type=bytes.fromhex, metavar="HEX",
                        help="bytes that extra-reply appends (default: the reply again)")
    parser.add_argument("--delay-ms", type=int, default=0, metavar="MS",
                        help="delay of delayed replies; alone, it delays every reply")
    parser.add_argument("--disconnect-after-block", type=int, metavar="N",
                        help="close the line once the host has read the reply to block N")
    line = parser.add_mutually_exclusive_group()
    line.add_argument("--tcp", type=_address, metavar="[HOST:]PORT",
                      help="serve over TCP instead, one connection at a time, on this port (0: any free "
                           "one) of HOST (default %s); prints the socket:// URL that "
                           "serial.serial_for_url opens" % DEFAULT_HOST)
    line.add_argument("--tty", metavar="PATH",
                      help="serve on this existing terminal (the device side of a USB "
                           "serial gadget, say) instead of a new pseudo-terminal; it is set "
                           "to raw mode and opened again after each hang-up")
    parser.add_argument("--idle-ms", type=int, default=50, metavar="MS",
                        help="quiet time after which an incomplete frame is garbage "
                             "(default 50)")
    return parser


def _address(text: str) -> str:
    try:
        split_address(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None
    return text


def _interrupted(signum: int, frame: Optional[FrameType]) -> None:
    raise KeyboardInterrupt


def main(argv: Optional[List[str]] = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    knobs = {key: value for key, value in vars(args).items()
             if key not in ("idle_ms", "tty", "tcp") and value is not None}
    try:
        faults = Faults(**knobs)
    except (TypeError, ValueError) as error:
        parser.error(str(error))
    device = Device(faults, on_report=lambda report: print(report, flush=True))
    if args.tcp is not None:
        server = Server(device, args.idle_ms, transport="tcp", address=args.tcp)
    else:
        server = Server(device, args.idle_ms, tty_path=args.tty)
    signal.signal(signal.SIGTERM, _interrupted)
    print(server.port, flush=True)
    try:
        server.serve(None, None)
    except KeyboardInterrupt:
        pass
    finally:
        server.close()
    print("stopped: %d frames (%d heartbeats, %d runs), %d garbage bytes, %d bad checksums"
          % (device.frames, device.heartbeats, device.runs, device.parser.garbage_bytes,
             device.parser.bad_checksums), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
