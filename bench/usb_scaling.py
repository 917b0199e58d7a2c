"""downloader-flash --all over the kernel's USB serial stack: wall time for 1, 2, 4, 8 devices.

Runs in the USB guest, which has the gadget stack and one emulated controller pair per device:

    tests/guest/guest.sh run --devices 8 -- .venv/bin/python bench/usb_scaling.py
    tests/guest/guest.sh run --devices 8 --cpus 2 -- .venv/bin/python bench/usb_scaling.py
    tests/guest/guest.sh run --devices 2 -- .venv/bin/python bench/usb_scaling.py --quick

Each device is a CDC-ACM gadget served by the simulator, with no delay of its own: the round trip
is the USB stack's. The devices are found by real enumeration (find_devices, as --all does) and
handed to the command's scheduler, one worker process per device; scaling.py has the rest. The
simulators run in the same guest, so the device side takes CPU from the host side here, which it
does not on a bench with real devices.
"""

import argparse
import os
import resource
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

import scaling  # noqa: E402
import usb_gadget  # noqa: E402
from downloader_flash import find_devices  # noqa: E402
from downloader_sim import Simulator  # noqa: E402
from downloader_wire import block_count  # noqa: E402

TICK = os.sysconf("SC_CLK_TCK")
cpu_shares = {}  # count: (worker, simulator, rest of the guest) CPU seconds, and the guest's CPU seconds in all


def guest_busy():
    """CPU seconds the guest's CPUs have spent busy, all together."""
    with open("/proc/stat") as stat:
        fields = [int(value) for value in stat.readline().split()[1:]]
    return (sum(fields) - fields[3] - fields[4]) / TICK  # all but idle and iowait


def simulators_cpu():
    """CPU seconds of the simulator processes now running."""
    total = 0.0
    for entry in os.listdir("/proc"):
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as cmdline:
                if b"downloader_sim.simulator" not in cmdline.read():
                    continue
            with open("/proc/%s/stat" % entry) as stat:
                fields = stat.read().rpartition(")")[2].split()
        except (OSError, ValueError):
            continue
        total += (int(fields[11]) + int(fields[12])) / TICK  # utime, stime
    return total


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def flash_usb(count, image_path, image):
    """Makes `count` gadgets, each served by a simulator, and flashes them all at once."""
    made = []
    try:
        for n, controller in enumerate(usb_gadget.controllers()[:count]):
            gadget = usb_gadget.Gadget("bench%d" % n, "BENCH%02d" % n, controller)
            made.append((gadget, Simulator(tty=gadget.tty, process=True).start()))
            gadget.plug()
        serials = {gadget.serial_number for gadget, _ in made}
        for gadget, _ in made:
            gadget.port()  # enumerated
        devices = [device for device in find_devices() if device.serial_number in serials]
        if len(devices) != count:
            raise SystemExit("%d of %d devices enumerated" % (len(devices), count))
        before = guest_busy(), simulators_cpu(), children_cpu()
        measured = scaling.flash_devices(devices, image_path, image)  # the workers are reaped in it
        busy, simulators, workers = (after - start for after, start in
                                     zip((guest_busy(), simulators_cpu(), children_cpu()), before))
        cpu_shares[count] = (workers, simulators, busy - workers - simulators, busy)
        if not scaling.holds([sim for _, sim in made], image):
            raise SystemExit("a device did not receive the image")
        return measured
    finally:
        for gadget, sim in reversed(made):
            sim.close()
            gadget.remove()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="32 KiB to 1 and 2 devices")
    args = parser.parse_args(argv)
    size, counts = (32 * 1024, (1, 2)) if args.quick else (scaling.SIZE, scaling.COUNTS)
    if not usb_gadget.available() or len(usb_gadget.controllers()) < max(counts):
        raise SystemExit("needs the USB guest with %d controllers: tests/guest/guest.sh run --devices %d -- ..."
                         % (max(counts), max(counts)))
    print("guest: %d CPUs; load average before: %.2f %.2f %.2f" % ((os.cpu_count() or 0,) + os.getloadavg()))
    results = scaling.measure(size, counts, flash_usb)
    scaling.report(results, size)
    blocks = block_count(size)
    print("CPU per block flashed, ms: the worker / its simulated device / the rest of the guest (the USB stack,"
          " the tool's parent); the guest's CPUs busy")
    for count, (workers, simulators, rest, busy) in sorted(cpu_shares.items()):
        per_block = [1000 * value / (count * blocks) for value in (workers, simulators, rest)]
        print("  %d device%s: %.2f / %.2f / %.2f; %.0f%%" % (
            count, "" if count == 1 else "s", *per_block, 100 * busy / (results[count][0] * (os.cpu_count() or 1))))
    return 0


if __name__ == "__main__":
    sys.exit(main())
