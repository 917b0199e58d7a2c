"""Ctrl-C at every moment of a run: how the installed command ends when SIGINT comes that long after start.

    python bench/interrupt_window.py                 # 0 to 800 ms after start, every 10 ms
    python bench/interrupt_window.py --step 2 --until 200 --repeat 3

Each probe starts `downloader-flash --simulate 1 --sample BYTES` in a session of its own and sends
SIGINT to its whole process group after the delay, as a terminal does on Ctrl-C, so that the
simulator child and the worker get it too. A probe ends cleanly when nothing on either stream
looks like a traceback or an interpreter's fatal error, and the exit code is 130 (interrupted) or
0 (finished first). The others are printed with their delay: the window Ctrl-C still has.
"""

import argparse
import os
import signal
import subprocess
import sys
import time
from collections import Counter

COMMAND = os.path.join(os.path.dirname(sys.executable), "downloader-flash")
UNCLEAN = ("Traceback", "Fatal Python error", "Exception ignored")


def probe(delay, sample):
    """(class, exit code, stderr) of one run interrupted `delay` seconds after its start."""
    proc = subprocess.Popen([COMMAND, "--simulate", "1", "--sample", str(sample)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, start_new_session=True)
    time.sleep(delay)
    try:
        os.killpg(proc.pid, signal.SIGINT)
    except ProcessLookupError:
        pass
    out, err = proc.communicate(timeout=60)
    if any(mark in out + err for mark in UNCLEAN):
        return "traceback", proc.returncode, err
    if proc.returncode == 130 and len(err.splitlines()) == 1:
        return "one line", proc.returncode, err
    if proc.returncode == 0:
        return "finished", proc.returncode, err
    return "other", proc.returncode, err


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--until", type=int, default=800, help="last delay, in ms (default 800)")
    parser.add_argument("--step", type=int, default=10, help="between delays, in ms (default 10)")
    parser.add_argument("--repeat", type=int, default=1, help="probes per delay (default 1)")
    parser.add_argument("--sample", type=int, default=20000, help="image size in bytes (default 20000)")
    args = parser.parse_args()
    counts = Counter()
    for delay_ms in range(0, args.until + 1, args.step):
        for _ in range(args.repeat):
            kind, code, err = probe(delay_ms / 1000, args.sample)
            counts[kind] += 1
            if kind in ("traceback", "other"):
                first = err.strip().splitlines()[:1] or [""]
                print(f"{delay_ms:4d} ms: {kind}, exit {code}: {first[0][:100]}")
    total = sum(counts.values())
    print(f"{total} probes: " + ", ".join(f"{counts[kind]} {kind}" for kind in
                                          ("one line", "finished", "traceback", "other")))
    return 0 if counts["traceback"] == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
