"""End-to-end flashing over a pty to the simulated device in a separate process, and memory.

Throughput: the module flashes images of 64 KiB, 1 MiB and 2,097,120 bytes (the largest that
completes) to a fresh simulator process each time, in windows of 256 blocks. After each window
the floor, a bare Python loop, sends the same blocks again over the same port: ``print`` of the
block number, ``ser.write`` of the request list, ``ser.read(5)`` and ``print`` of the reply; then
a raw ping-pong (prebuilt bytes, nothing printed) does. Interleaved so, load on a shared machine
hits all three alike. Standard output goes to the null device; per block, the median window.

Memory (in a child interpreter, so nothing else it ran counts): peak RSS while flashing
2,097,120 bytes against the RSS before ``init`` plus the image plus 2 MiB, and RSS growth
from the first tenth of the transfer to its end.

    python bench/link.py                        # both, three runs each
    python bench/link.py --sizes 65536 --runs 1 # quick
    python bench/link.py --device responder     # to bench/responder.py instead of the simulator
"""

import argparse
import hashlib
import json
import os
import subprocess
import sys
import tempfile
import time

import serial

import downloader
from downloader_sim import Simulator
from downloader_wire import BLOCK_SIZE, LARGEST_IMAGE, REPLY_SIZE, block_count, block_request, device_image

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from percall import NullOutput  # noqa: E402

LARGEST = LARGEST_IMAGE
SIZES = (65536, 1 << 20, LARGEST)
BAUD = 12000000


def make_image(size):
    return bytes((i * 7 + (i >> 11)) & 0xFF for i in range(size))


def write_image(directory, image):
    path = os.path.join(directory, "image-%d.bin" % len(image))
    with open(path, "wb") as handle:
        handle.write(image)
    return path


class Responder:
    """bench/responder.py in its own process: a device that answers at once and keeps nothing."""

    def __enter__(self):
        self.process = subprocess.Popen([sys.executable, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                                      "responder.py")],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.port = self.process.stdout.readline().strip()
        return self

    def __exit__(self, *exc):
        self.process.stdin.close()
        self.frames = int(self.process.stdout.readline() or -1)
        self.process.wait(10)
        self.process.stdout.close()


DEVICES = {"simulator": lambda: Simulator(process=True), "responder": Responder}


def check_report(sim, image):
    report = sim.reports[-1]
    if not report.complete or report.sha256 != hashlib.sha256(device_image(image)).hexdigest():
        raise RuntimeError("the simulated device did not receive the image: %s" % report)


WINDOW = 256  # blocks per timed window
KINDS = ("module", "floor", "raw")


def flash(image, path, device="simulator"):
    """One flash of ``image`` by the module, in windows of WINDOW blocks; after each module
    window the floor and the raw ping-pong send the same blocks again over the same port and
    link (the device takes them as repeats), so that load on a shared machine hits all three
    alike. Returns {kind: [(blocks, seconds, host CPU seconds)]}, one entry per window."""
    blocks = block_count(len(image))
    raw = [block_request(image, n) for n in range(blocks)]
    lists = [list(frame) for frame in raw]
    windows = {kind: [] for kind in KINDS}
    with DEVICES[device]() as sim:
        with NullOutput():
            downloader.com = sim.port
            if not downloader.dev_open():
                raise RuntimeError("cannot open " + sim.port)
            try:
                downloader.init(path)
                ser, download = downloader.ser, downloader.download
                clock, cpu = time.perf_counter, time.process_time
                def module(first, last):
                    for _ in range(first, last):
                        download()

                def floor(first, last):
                    for n in range(first, last):
                        print(n)
                        ser.write(lists[n])
                        print(ser.read(REPLY_SIZE))

                def ping_pong(first, last):
                    for n in range(first, last):
                        ser.write(raw[n])
                        ser.read(REPLY_SIZE)

                loops = {"module": module, "floor": floor, "raw": ping_pong}
                for number, first in enumerate(range(0, blocks, WINDOW)):
                    last = min(first + WINDOW, blocks)
                    # The module goes first (it sends each block first); the other two take
                    # turns at following it.
                    for kind in ("module", "floor", "raw") if number % 2 else ("module", "raw", "floor"):
                        start = (clock(), cpu())
                        loops[kind](first, last)
                        windows[kind].append((last - first, clock() - start[0], cpu() - start[1]))
                if downloader.Pcounter != blocks:
                    raise RuntimeError("the module stopped at block %d" % downloader.Pcounter)
                downloader.run()
            finally:
                downloader.dev_close()
    if isinstance(sim, Responder):
        if sim.frames != 3 * blocks + 1:
            raise RuntimeError("the responder answered %d frames" % sim.frames)
    else:
        check_report(sim, image)
    return windows


def median(values):
    values = sorted(values)
    return values[len(values) // 2]


def throughput(sizes=SIZES, runs=3, log=None, device="simulator"):
    """{size: {kind: seconds per block, kind + "_cpu": host CPU seconds per block, "blocks": n,
    "share": the floor's throughput over the module's}} for kind in KINDS: the median over the
    full windows of all runs (all windows, if there is no full one), which a burst of other
    work on the machine moves less than a total."""
    results = {}
    saved = dict(vars(downloader))
    with tempfile.TemporaryDirectory() as directory:
        try:
            for size in sizes:
                image = make_image(size)
                path = write_image(directory, image)
                windows = {kind: [] for kind in KINDS}
                for _ in range(runs):
                    for kind, found in flash(image, path, device).items():
                        windows[kind] += found
                row = {"blocks": block_count(size)}
                for kind, found in windows.items():
                    full = [w for w in found if w[0] == WINDOW] or found
                    row[kind] = median(seconds / count for count, seconds, _ in full)
                    row[kind + "_cpu"] = median(cpu / count for count, _, cpu in full)
                # Each module window against the floor window right beside it: the load on the
                # machine changes slowly next to a window (a few ms), so the ratio is steadier
                # than one of medians taken across the whole run.
                row["share"] = median(f[1] / m[1] for m, f in zip(windows["module"], windows["floor"])
                                      if m[0] == WINDOW or len(windows["module"]) == 1)
                results[size] = row
                if log:
                    log(size, row)
        finally:
            vars(downloader).update(saved)
    return results


def exchange_child(kind, blocks):
    """Runs in a child interpreter under callgrind: ``blocks`` exchanges with the responder,
    by the module or by the floor's loop, after the same set-up and warm-up for both."""
    image = make_image(BLOCK_SIZE * (blocks + 64))
    with tempfile.TemporaryDirectory() as directory, Responder() as device:
        path = write_image(directory, image)
        lists = [list(block_request(image, n)) for n in range(blocks + 64)]
        with NullOutput():
            downloader.com = device.port
            downloader.dev_open()
            downloader.init(path)
            ser, download = downloader.ser, downloader.download
            for n in range(64):
                download()
            for n in range(64):
                print(n)
                ser.write(lists[n])
                print(ser.read(REPLY_SIZE))
            if kind == "module":
                for _ in range(blocks):
                    download()
            else:
                for n in range(64, 64 + blocks):
                    print(n)
                    ser.write(lists[n])
                    print(ser.read(REPLY_SIZE))
            downloader.dev_close()


def instructions_per_block(blocks=1000):
    """{kind: instructions per block} of the host process over the real link (pyserial, pty,
    responder), module and floor: a run of 2N exchanges minus a run of N, under callgrind."""
    from percall import CALLGRIND_COLLECTED
    results = {}
    for kind in ("module", "floor"):
        totals = []
        for n in (blocks, 2 * blocks):
            command = ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable,
                       os.path.abspath(__file__), "--exchange-child", kind, str(n)]
            done = subprocess.run(command, env=dict(os.environ, PYTHONHASHSEED="0"), stdout=subprocess.DEVNULL,
                                  stderr=subprocess.PIPE, text=True, check=True)
            totals.append(int(CALLGRIND_COLLECTED.findall(done.stderr)[-1]))
        results[kind] = (totals[1] - totals[0]) / blocks
    return results


def rss_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(field + " not in /proc/self/status")


def memory_child(size):
    """Runs in a child interpreter: flashes ``size`` bytes, prints the figures as JSON."""
    image = make_image(size)
    with tempfile.TemporaryDirectory() as directory, Simulator(process=True) as sim:
        path = write_image(directory, image)
        del image
        with NullOutput():
            downloader.com = sim.port
            downloader.dev_open()
            baseline = rss_kib("VmRSS")
            with open("/proc/self/clear_refs", "w") as refs:
                refs.write("5")  # the peak (VmHWM) counts from here
            downloader.init(path)
            blocks = block_count(size)
            samples = []
            for n in range(blocks):
                downloader.download()
                if n % 4096 == 0 or n == blocks - 1:
                    samples.append(rss_kib("VmRSS"))
            peak = rss_kib("VmHWM")
            downloader.run()
            downloader.dev_close()
    tenth = samples[max(1, len(samples) // 10)]
    print(json.dumps({"size": size, "baseline_kib": baseline, "peak_kib": peak,
                      "growth_kib": samples[-1] - tenth, "samples_kib": samples}))


def memory(size=LARGEST):
    result = subprocess.run([sys.executable, os.path.abspath(__file__), "--memory-child", str(size)],
                            capture_output=True, text=True, check=True)
    return json.loads(result.stdout.strip().splitlines()[-1])


def table(results):
    lines = ["| image | blocks | module µs/block | floor µs/block | module / floor throughput (by window) "
             "| raw ping-pong µs/block | host CPU µs/block, module | host CPU µs/block, floor |",
             "|---|---:|---:|---:|---:|---:|---:|---:|"]
    for size, row in results.items():
        lines.append("| %s | %d | %.2f | %.2f | %.1f%% | %.2f | %.2f | %.2f |" % (
            "{:,}".format(size), row["blocks"], 1e6 * row["module"], 1e6 * row["floor"],
            100 * row["share"], 1e6 * row["raw"], 1e6 * row["module_cpu"], 1e6 * row["floor_cpu"]))
    lines.append("")
    lines.append("Time per block, slowest image over fastest: module %.1f%%, floor %.1f%%, raw %.1f%%; "
                 "module / floor throughput, highest over lowest: %.1f%%" % (
                     tuple(100 * spread(results, kind) for kind in KINDS) + (100 * spread(results, "share"),)))
    return "\n".join(lines)


def spread(results, kind="module"):
    per_block = [row[kind] for row in results.values()]
    return max(per_block) / min(per_block) - 1


def instructions_table(counts):
    return ("Host instructions per block over the link (pyserial, pty, responder; callgrind): "
            "module %.0f, floor %.0f, difference %+.0f" % (counts["module"], counts["floor"],
                                                           counts["module"] - counts["floor"]))


def memory_table(figures):
    limit = figures["baseline_kib"] + figures["size"] / 1024 + 2048
    return ("Peak RSS flashing %s bytes: %.1f MiB; limit (RSS before init %.1f MiB + image %.1f MiB "
            "+ 2 MiB) %.1f MiB; growth over the transfer %d KiB" % (
                "{:,}".format(figures["size"]), figures["peak_kib"] / 1024, figures["baseline_kib"] / 1024,
                figures["size"] / 1048576, limit / 1024, figures["growth_kib"]))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=list(SIZES))
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--device", choices=sorted(DEVICES), default="simulator",
                        help="the simulated device, or the minimal responder of bench/responder.py")
    parser.add_argument("--memory-size", type=int, default=LARGEST)
    parser.add_argument("--no-memory", action="store_true")
    parser.add_argument("--callgrind", type=int, nargs="?", const=1000, default=0, metavar="N",
                        help="also count the host's instructions per block (N and 2N exchanges)")
    parser.add_argument("--memory-child", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--exchange-child", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.memory_child:
        memory_child(args.memory_child)
        return 0
    if args.exchange_child:
        exchange_child(args.exchange_child[0], int(args.exchange_child[1]))
        return 0
    if args.callgrind:
        print(instructions_table(instructions_per_block(args.callgrind)))
    print(table(throughput(args.sizes, args.runs, device=args.device)))
    if not args.no_memory:
        print(memory_table(memory(args.memory_size)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
