"""End-to-end flashing over a pty to the simulated device in a separate process, and memory.

Throughput: the module flashes images of 64 KiB, 1 MiB and 2,097,120 bytes (the largest that
completes) to a fresh simulator process each time; the floor is a bare Python loop that makes
the same calls on the same kind of link, to a fresh simulator process too: ``print`` of the
block number, ``ser.write`` of the request list, ``ser.read(5)`` and ``print`` of the reply,
with pyserial at the module's settings. A raw ping-pong (prebuilt bytes, no print) is shown
beside them. Standard output goes to the null device; each figure is the best of the runs.

Memory (in a child interpreter, so nothing else it ran counts): peak RSS while flashing
2,097,120 bytes against the RSS before ``init`` plus the image plus 2 MiB, and RSS growth
from the first tenth of the transfer to its end.

    python bench/link.py                        # both, three runs each
    python bench/link.py --sizes 65536 --runs 1 # quick
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
from downloader_sim import Simulator, block_count, block_request, expected_image

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from percall import NullOutput  # noqa: E402

LARGEST = 2097120
SIZES = (65536, 1 << 20, LARGEST)
BAUD = 12000000


def make_image(size):
    return bytes((i * 7 + (i >> 11)) & 0xFF for i in range(size))


def write_image(directory, image):
    path = os.path.join(directory, "image-%d.bin" % len(image))
    with open(path, "wb") as handle:
        handle.write(image)
    return path


def check_report(sim, image):
    report = sim.reports[-1]
    if not report.complete or report.sha256 != hashlib.sha256(expected_image(image)).hexdigest():
        raise RuntimeError("the simulated device did not receive the image: %s" % report)


WINDOW = 256  # blocks between two time stamps


def flash_module(image, path):
    """Time stamps every WINDOW download() calls of one flash, checked by the device."""
    blocks = block_count(len(image))
    marks = []
    with Simulator(process=True) as sim:
        with NullOutput():
            downloader.com = sim.port
            if not downloader.dev_open():
                raise RuntimeError("cannot open " + sim.port)
            try:
                downloader.init(path)
                download, clock = downloader.download, time.perf_counter
                cpu = time.process_time()
                marks.append(clock())
                for n in range(1, blocks + 1):
                    download()
                    if not n % WINDOW:
                        marks.append(clock())
                marks.append(clock())
                cpu = time.process_time() - cpu
                if downloader.Pcounter != blocks:
                    raise RuntimeError("the module stopped at block %d" % downloader.Pcounter)
                downloader.run()
            finally:
                downloader.dev_close()
        check_report(sim, image)
    return marks, cpu


def flash_floor(image, printing=True):
    """The same for a bare Python loop making the same calls (lists written, both lines
    printed), or for a raw ping-pong of the same frames as bytes, unprinted."""
    blocks = block_count(len(image))
    frames = [block_request(image, n) for n in range(blocks)]
    if printing:
        frames = [list(frame) for frame in frames]
    marks = []
    with Simulator(process=True) as sim:
        ser = serial.Serial(sim.port, BAUD, timeout=1)
        try:
            with NullOutput():
                clock = time.perf_counter
                cpu = time.process_time()
                marks.append(clock())
                if printing:
                    for n in range(1, blocks + 1):
                        print(n - 1)
                        ser.write(frames[n - 1])
                        print(ser.read(5))
                        if not n % WINDOW:
                            marks.append(clock())
                else:
                    for n in range(1, blocks + 1):
                        ser.write(frames[n - 1])
                        ser.read(5)
                        if not n % WINDOW:
                            marks.append(clock())
                marks.append(clock())
                cpu = time.process_time() - cpu
            ser.write(bytes([0x20, blocks & 0xFF, blocks >> 8, 0, (0x20 + (blocks & 0xFF) + (blocks >> 8)) & 0xFF]))
            ser.read(5)
        finally:
            ser.close()
        check_report(sim, image)
    return marks, cpu


def throughput(sizes=SIZES, runs=3, log=None):
    """{size: {"module": s, "floor": s, "raw": s, "blocks": n, ...}}: seconds per block, the
    median window of all runs; NAME_total the best whole flash; NAME_cpu the least CPU time
    per block that this process spent (the simulator's is not counted)."""
    results = {}
    saved = dict(vars(downloader))
    flashes = {"floor": lambda image, path: flash_floor(image),
               "module": flash_module,
               "raw": lambda image, path: flash_floor(image, printing=False)}
    with tempfile.TemporaryDirectory() as directory:
        try:
            for size in sizes:
                image = make_image(size)
                path = write_image(directory, image)
                marks = {name: [] for name in flashes}
                totals = {name: float("inf") for name in flashes}
                cpus = {name: float("inf") for name in flashes}
                for _ in range(runs):  # interleaved, so that drift hits all three alike
                    for name, flash in flashes.items():
                        run, cpu = flash(image, path)
                        marks[name].append(run)
                        totals[name] = min(totals[name], run[-1] - run[0])
                        cpus[name] = min(cpus[name], cpu)
                row = {"blocks": block_count(size)}
                for name in flashes:
                    spans = sorted(b - a for run in marks[name] for a, b in zip(run[:-1], run[1:-1]))
                    if spans:
                        row[name] = spans[len(spans) // 2] / WINDOW
                    else:  # fewer blocks than one window: the whole flash
                        row[name] = totals[name] / row["blocks"]
                    row[name + "_total"] = totals[name]
                    row[name + "_cpu"] = cpus[name] / row["blocks"]
                results[size] = row
                if log:
                    log(size, row)
        finally:
            vars(downloader).update(saved)
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
    lines = ["| image | blocks | module µs/block | floor µs/block | module / floor throughput "
             "| whole flash, module / floor | raw ping-pong µs/block | host CPU µs/block, module "
             "| host CPU µs/block, floor |",
             "|---|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for size, row in results.items():
        lines.append("| %s | %d | %.2f | %.2f | %.1f%% | %.1f%% | %.2f | %.2f | %.2f |" % (
            "{:,}".format(size), row["blocks"], 1e6 * row["module"], 1e6 * row["floor"],
            100 * row["floor"] / row["module"], 100 * row["floor_total"] / row["module_total"],
            1e6 * row["raw"], 1e6 * row["module_cpu"], 1e6 * row["floor_cpu"]))
    per_block = [row["module"] for row in results.values()]
    lines.append("")
    lines.append("Module time per block, slowest over fastest image: %.1f%% apart" % (
        100 * (max(per_block) / min(per_block) - 1)))
    return "\n".join(lines)


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
    parser.add_argument("--memory-size", type=int, default=LARGEST)
    parser.add_argument("--no-memory", action="store_true")
    parser.add_argument("--memory-child", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.memory_child:
        memory_child(args.memory_child)
        return 0
    print(table(throughput(args.sizes, args.runs)))
    if not args.no_memory:
        print(memory_table(memory(args.memory_size)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
