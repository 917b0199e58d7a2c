"""The whole benchmark in one run: per-call cost, end-to-end throughput and memory, each beside
its floor, with the targets checked.

    python bench/run.py            # full: 20,000 calls, callgrind, three flashes of each size,
                                   # 256 KiB to 1, 2, 4 and 8 devices at once
    python bench/run.py --quick    # smoke: small counts, one flash of 64 KiB, 32 KiB to 1 and 2
                                   # devices, every part once

Exits 0 whatever the figures (the machine decides the timings); --strict exits 1 when a
target is missed.
"""

import argparse
import os
import platform
import shutil
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import link  # noqa: E402
import percall  # noqa: E402
import scaling  # noqa: E402

# Targets: own cost of download() per call; end-to-end throughput; spread of time per block.
OWN_NS = 1000
OWN_SHARE = 0.25
THROUGHPUT_SHARE = 0.97
SPREAD = 0.10
MIB = 1 << 20


def machine():
    cpu = platform.processor() or "unknown CPU"
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return "%s, %d CPUs; %s %s" % (cpu, os.cpu_count() or 0, platform.python_implementation(),
                                  platform.python_version())


def verdict(ok):
    return "met" if ok else "MISSED"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="a short smoke run of every part")
    parser.add_argument("--strict", action="store_true", help="exit 1 when a target is missed")
    parser.add_argument("--no-callgrind", action="store_true")
    args = parser.parse_args(argv)

    count, repeats, callgrind = (2000, 3, 300) if args.quick else (20000, 7, 5000)
    sizes, runs = ((65536,), 1) if args.quick else (link.SIZES, 3)
    memory_size = 65536 if args.quick else link.LARGEST
    if args.no_callgrind or not shutil.which("valgrind"):
        callgrind = 0

    print("Machine:", machine())
    print()
    heading = "Per call, substitute port of C builtins, output to the null device (time: best of %d runs of %d calls" % (
        repeats, count)
    if callgrind:
        heading += "; instructions: callgrind, runs of %d and %d calls" % (callgrind, 2 * callgrind)
    print(heading + ")")
    calls = percall.measure(count, repeats, callgrind, callgrind_kinds=("download",) if args.quick else percall.KINDS)
    print(percall.table(calls))
    print()
    flashes = {}
    for device, title in (("simulator", "the simulated device"), ("responder", "bench/responder.py")):
        print("End to end over a pty to %s in its own process (per block: the median 256-block window "
              "of %d run%s; floor and raw ping-pong interleaved with the module)" % (
                  title, runs, "s" if runs > 1 else ""))
        flashes[device] = link.throughput(sizes, runs, device=device)
        print(link.table(flashes[device]))
        print()
    if callgrind:
        print(link.instructions_table(link.instructions_per_block(200 if args.quick else 1000)))
        print()
    figures = link.memory(memory_size)
    print(link.memory_table(figures))
    print()
    scaling_size, counts = (32 * 1024, (1, 2)) if args.quick else (scaling.SIZE, scaling.COUNTS)
    print("downloader-flash --all to simulated devices answering 1 ms late (bench/scaling.py)")
    several = scaling.measure(scaling_size, counts)
    print(scaling.table(several, scaling_size))
    print()

    checks = []
    row = calls["download"]
    own_ns = row["module"][0] - row["floor"][0]
    checks.append(("download() own time %.0f ns <= %d ns and <= %d%% of the floor's %.0f ns" % (
        own_ns, OWN_NS, 100 * OWN_SHARE, row["floor"][0]), own_ns <= OWN_NS and own_ns <= OWN_SHARE * row["floor"][0]))
    if "module_ir" in row:
        own_ir = row["module_ir"] - row["floor_ir"]
        checks.append(("download() own instructions %.0f <= %d%% of the floor's %.0f" % (
            own_ir, 100 * OWN_SHARE, row["floor_ir"]), own_ir <= OWN_SHARE * row["floor_ir"]))
    for device, results in flashes.items():
        for size, flash in results.items():
            share = flash["share"]
            checks.append(("%s bytes to the %s at %.1f%% of the floor's throughput (>= %d%%)" % (
                "{:,}".format(size), device, 100 * share, 100 * THROUGHPUT_SHARE), share >= THROUGHPUT_SHARE))
        spread = link.spread(results)
        checks.append(("time per block to the %s within %.1f%% across the sizes (<= %d%%; the floor's "
                       "%.1f%%, the raw ping-pong's %.1f%%, the module's share of the floor's %.1f%%)" % (
                           device, 100 * spread, 100 * SPREAD, 100 * link.spread(results, "floor"),
                           100 * link.spread(results, "raw"), 100 * link.spread(results, "share")),
                       spread <= SPREAD))
    limit = figures["baseline_kib"] * 1024 + figures["size"] + 2 * MIB
    checks.append(("peak RSS %.1f MiB <= %.1f MiB" % (figures["peak_kib"] / 1024, limit / MIB),
                   figures["peak_kib"] * 1024 <= limit))
    checks.append(("RSS growth over the transfer %d KiB (none: under 64 KiB)" % figures["growth_kib"],
                   figures["growth_kib"] < 64))
    one, most = several[min(counts)][0], several[max(counts)][0]
    checks.append(("%d devices in %.2f times the wall time of one (<= %.1f)" % (max(counts), most / one, scaling.TARGET),
                   most <= scaling.TARGET * one))
    print("Targets:")
    for text, ok in checks:
        print("  %-6s %s" % (verdict(ok), text))
    return 1 if args.strict and not all(ok for _, ok in checks) else 0


if __name__ == "__main__":
    sys.exit(main())
