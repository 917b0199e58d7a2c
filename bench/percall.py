"""Per-call cost of send, beat and download against the bare-Python floor.

The port is made of C builtins only, so that nothing but the module and the calls it must
make is measured: ``write`` is ``len``, ``read`` answers from a prepared list of replies
through ``functools.partial(next, iterator)`` (or ``bytes``, which answers five zero bytes),
and standard output goes to the null device. The floor makes the same ``ser.write``,
``ser.read`` and ``print`` calls, on the same objects, from a bare Python loop.

    python bench/percall.py                 # nanoseconds per call, module and floor
    python bench/percall.py --callgrind     # also instructions per call (valgrind)
    python bench/percall.py --loop download --module --count 5000   # one loop, for valgrind

Instructions are counted as the difference between a run of 2N and a run of N calls of the
same loop in fresh interpreters, so start-up and set-up cancel out.
"""

import argparse
import functools
import itertools
import os
import re
import subprocess
import sys
import tempfile
import time
import types

import downloader
from downloader_wire import (BLOCK, BLOCK_SIZE, HEARTBEAT, LARGEST_IMAGE, MAX_BLOCKS, MAX_COUNTER, REPLY_SIZE, reply,
                             request)

IMAGE_SIZE = LARGEST_IMAGE  # the largest image that completes
BLOCKS = MAX_BLOCKS
KINDS = ("send", "beat", "download")


def acks(command):
    """The device's replies to ``command`` for every counter, 0 to 65535, in order."""
    return [reply(command, n) for n in range(MAX_COUNTER + 1)]


def block_frame():
    """A request list for one full image block, as download() lays it out."""
    return list(request(BLOCK, 0, bytes(range(BLOCK_SIZE))))


# Made once, whatever the number of calls, so that instruction counts of N and 2N calls differ
# by the calls alone.
REPLIES = {HEARTBEAT: acks(HEARTBEAT), BLOCK: acks(BLOCK)}


def image_file(directory):
    path = os.path.join(directory, "image.bin")
    with open(path, "wb") as handle:
        handle.write(bytes(i * 7 & 0xFF for i in range(IMAGE_SIZE)))
    return path


def port(replies=None, first=0):
    """A substitute ``ser`` of C builtins; it answers ``replies`` from index ``first`` on, in
    order, or five zero bytes when there are none."""
    if replies is None:
        return types.SimpleNamespace(write=len, read=bytes)
    answers = iter(replies)
    for _ in range(first):
        next(answers)
    return types.SimpleNamespace(write=len, read=functools.partial(next, answers))


# Each setup returns {"module": prepare, "floor": prepare}: ``prepare()`` puts the module's
# state in place and returns the loop over ``count`` calls, which is what gets timed. The floor
# makes exactly the host-visible calls that the module makes, on the same objects, and no others.

def exchange_floor(ser, frame, count):
    """The host-visible calls of one exchange, ``count`` times: what send and beat must make."""
    def loop():
        for _ in itertools.repeat(None, count):
            ser.write(frame)
            print(ser.read(REPLY_SIZE))
    return loop


def setup_send(count, path):
    frame = block_frame()

    def module():
        downloader.ser = port()
        downloader.Pcounter = 0
        send = downloader.send

        def loop():
            for _ in itertools.repeat(None, count):
                send(frame, 0)
        return loop

    return {"module": module, "floor": lambda: exchange_floor(port(), frame, count)}


def setup_beat(count, path):
    # beat advances the counter before its exchange: the n-th call carries n (mod 65536).
    assert count <= MAX_COUNTER
    replies = REPLIES[HEARTBEAT]
    frame = list(request(HEARTBEAT, 0))

    def module():
        downloader.ser = port(replies, 1)
        downloader.Pcounter = 0
        beat = downloader.beat

        def loop():
            for _ in itertools.repeat(None, count):
                beat()
        return loop

    return {"module": module, "floor": lambda: exchange_floor(port(replies, 1), frame, count)}


def setup_download(count, path):
    assert count <= BLOCKS
    replies = REPLIES[BLOCK]
    frame = block_frame()

    def module():
        downloader.init(path)
        downloader.ser = port(replies)
        download = downloader.download

        def loop():
            for _ in itertools.repeat(None, count):
                download()
        return loop

    def floor():
        ser = port(replies)

        def loop():
            for n in range(count):
                print(n)
                ser.write(frame)
                print(ser.read(REPLY_SIZE))
        return loop

    return {"module": module, "floor": floor}


SETUPS = {"send": setup_send, "beat": setup_beat, "download": setup_download}


class NullOutput:
    """Standard output (the Python object and descriptor 1) sent to the null device."""

    def __enter__(self):
        sys.stdout.flush()
        self.saved_fd = os.dup(1)
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, 1)
        os.close(null)
        self.saved = sys.stdout
        sys.stdout = open(os.devnull, "w")
        return self

    def __exit__(self, *exc):
        sys.stdout.close()
        sys.stdout = self.saved
        os.dup2(self.saved_fd, 1)
        os.close(self.saved_fd)


def time_loop(kind, which, count, path):
    """Nanoseconds per call of one timed run of a loop."""
    saved = dict(vars(downloader))
    try:
        with NullOutput():
            loop = SETUPS[kind](count, path)[which]()
            start = time.perf_counter_ns()
            loop()
            return (time.perf_counter_ns() - start) / count
    finally:
        vars(downloader).update(saved)


WARM_UP_CALLS = 500


def run_loop_once(kind, which, count, path):
    """One warm-up and one measured loop; what a callgrind run executes.

    The warm-up is the same length whatever the count: the instruction figure is the
    difference of two runs, and a warm-up that grew with the count would be counted in it.
    """
    for n in (WARM_UP_CALLS, count):
        with NullOutput():
            SETUPS[kind](n, path)[which]()()


CALLGRIND_COLLECTED = re.compile(r"Collected\s*:\s*(\d+)")


def callgrind_instructions(kind, which, count, path):
    """Instructions per call: (run of 2N calls - run of N calls) / N."""
    totals = []
    for n in (count, 2 * count):
        env = dict(os.environ, PYTHONHASHSEED="0")
        command = ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
                   sys.executable, os.path.abspath(__file__), "--loop", kind,
                   "--" + which, "--count", str(n), "--image", path]
        result = subprocess.run(command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                text=True, check=True)
        totals.append(int(CALLGRIND_COLLECTED.findall(result.stderr)[-1]))
    return (totals[1] - totals[0]) / count


def measure(count=20000, repeats=7, callgrind_count=0, kinds=KINDS, path=None, log=None, callgrind_kinds=KINDS):
    """{kind: {"module": (best ns, median ns), "floor": ..., "module_ir": ..., "floor_ir": ...}}."""
    results = {}
    with tempfile.TemporaryDirectory() as directory:
        path = path or image_file(directory)
        for kind in kinds:
            samples = {"floor": [], "module": []}
            # Module and floor runs alternate, so that drift on a noisy machine hits both; the
            # first run of each warms up.
            for _ in range(repeats + 1):
                for which in samples:
                    samples[which].append(time_loop(kind, which, min(count, BLOCKS), path))
            row = {}
            for which, runs in samples.items():
                runs = sorted(runs[1:])
                row[which] = (runs[0], runs[len(runs) // 2])
            if callgrind_count and kind in callgrind_kinds:
                for which in ("floor", "module"):
                    row[which + "_ir"] = callgrind_instructions(kind, which, callgrind_count, path)
            results[kind] = row
            if log:
                log(kind, row)
    return results


def table(results):
    lines = ["| call | module ns | floor ns | own ns | own / floor | module instr | floor instr "
             "| own instr | own / floor |",
             "|---|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for kind, row in results.items():
        module, floor = row["module"][0], row["floor"][0]
        cells = ["`%s`" % kind, "%.0f" % module, "%.0f" % floor, "%.0f" % (module - floor),
                 "%.0f%%" % (100 * (module - floor) / floor)]
        if "module_ir" in row:
            mi, fi = row["module_ir"], row["floor_ir"]
            cells += ["%.0f" % mi, "%.0f" % fi, "%.0f" % (mi - fi), "%.0f%%" % (100 * (mi - fi) / fi)]
        else:
            cells += ["-"] * 4
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--count", type=int, default=20000, help="calls per timed loop")
    parser.add_argument("--repeats", type=int, default=7, help="timed runs per loop (best counts)")
    parser.add_argument("--callgrind", type=int, nargs="?", const=5000, default=0, metavar="N",
                        help="also count instructions under valgrind with N and 2N calls")
    parser.add_argument("--loop", choices=KINDS, help="run one loop once (used under valgrind)")
    parser.add_argument("--module", action="store_true")
    parser.add_argument("--floor", action="store_true")
    parser.add_argument("--image", help="image file for download (made when absent)")
    args = parser.parse_args(argv)
    if args.loop:
        run_loop_once(args.loop, "module" if args.module else "floor", args.count, args.image)
        return 0
    results = measure(args.count, args.repeats, args.callgrind, path=args.image)
    print(table(results))
    return 0


if __name__ == "__main__":
    sys.exit(main())
