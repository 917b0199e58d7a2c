"""The station's server under a flood of partial requests: does the API still answer, and do boards flash?

    python bench/station_hygiene.py            # 8 devices, 128 KiB each, 3 rounds with the flood, 3 without
    python bench/station_hygiene.py --quick    # 1 round of each, 32 KiB

The station runs --on-demand with its server in this process, under a descriptor limit of 256
(RLIMIT_NOFILE), as bench/station_load.py runs it. Another process holds as many connections as
the server's cap, each sending a partial request and nothing more (half of them the start of the
headers, a quarter a header a byte every second, a quarter the headers and part of a body), and
opens a new one as each is closed. Meanwhile a probe asks GET /api/v1/channels every 0.2 s on a
new connection, and the rounds with the flood alternate with rounds without it. Figures: how long
the partial connections lived, the probe's latencies during the flood and after it, the flashing
throughput in both kinds of rounds, the most descriptors the process had open, and the lines the
server wrote on stderr.
"""
import argparse
import json
import os
import resource
import selectors
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from contextlib import ExitStack

from downloader_flash import Device, Image
from downloader_flash.model import Origin
from downloader_flash.web_connections import MAX_CONNECTIONS, MAX_WAITING, REQUEST_TIMEOUT
from downloader_flash.web import Server
from downloader_sim import Simulator
from station_load import DEVICES, flash_round, percentile, run_station

DESCRIPTORS = 256  # RLIMIT_NOFILE of the station's process
PROBE_EVERY = 0.2  # seconds between two requests of the probe
ANSWER_TARGET = 1.0  # seconds: the probe's every answer within this
PARTIALS = (b"GET / HTTP/1.1\r\n",  # the start of the headers
            b"GET /api/v1/channels HTTP/1.1\r\nHost: 127.0.0.1\r\n",  # then a byte a second
            b"GET / HTTP/1.1\r\n",
            b"POST /api/v1/flash HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
            b"Content-Length: 100\r\n\r\n{\"port\"")  # part of a body


def flood(port, count, seconds):
    """The flooding process: holds `count` partial requests for `seconds`, each replaced when closed;
    prints the lifetimes of those the server closed, in seconds, as JSON."""
    chooser, opened, lived, dripped = selectors.DefaultSelector(), {}, [], time.monotonic()
    end = time.monotonic() + seconds

    def connect(number):
        connection = socket.create_connection(("127.0.0.1", port))
        connection.sendall(PARTIALS[number % len(PARTIALS)])
        connection.setblocking(False)
        opened[connection] = (number, time.monotonic())
        chooser.register(connection, selectors.EVENT_READ)

    for number in range(count):
        connect(number)
    while time.monotonic() < end:
        for key, _ in chooser.select(0.2):
            try:
                closed = not key.fileobj.recv(4096)
            except (ConnectionResetError, BlockingIOError):
                closed = True
            if closed:
                number, began = opened.pop(key.fileobj)
                lived.append(time.monotonic() - began)
                chooser.unregister(key.fileobj)
                key.fileobj.close()
                connect(number)
        if time.monotonic() - dripped >= 1.0:
            dripped = time.monotonic()
            for connection, (number, _) in list(opened.items()):
                if number % len(PARTIALS) == 1:
                    try:
                        connection.send(b"X")
                    except OSError:
                        pass
    print(json.dumps(lived))


class Probe(threading.Thread):
    """GET /api/v1/channels on a new connection every PROBE_EVERY seconds: (kind, seconds or None) each."""

    def __init__(self, port):
        super().__init__(daemon=True)
        self.port, self.kind, self.taken, self.stop = port, "before", [], threading.Event()

    def run(self):
        while not self.stop.wait(PROBE_EVERY):
            began = time.monotonic()
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=5) as connection:
                    connection.sendall(b"GET /api/v1/channels HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")
                    answer = connection.recv(65536)
                took = time.monotonic() - began if answer.startswith(b"HTTP/1.1 200") else None
            except OSError:
                took = None
            self.taken.append((self.kind, took))


def cpu_seconds():
    """The station's process's own CPU time, its boards' workers aside."""
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def descriptors():
    return len(os.listdir("/proc/self/fd"))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--descriptors", type=int, default=DESCRIPTORS, help=f"RLIMIT_NOFILE (default {DESCRIPTORS})")
    parser.add_argument("--flood", nargs=3, type=float, metavar=("PORT", "N", "SECONDS"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.flood:
        flood(int(args.flood[0]), int(args.flood[1]), args.flood[2])
        return 0
    rounds, size = (1, 32 * 1024) if args.quick else (3, 128 * 1024)
    resource.setrlimit(resource.RLIMIT_NOFILE, (args.descriptors, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
    image = Image(bytes((i * 7 + (i >> 8)) % 256 for i in range(size)), f"sample of {size:,} bytes")
    figures = {"without": [], "with": [], "lived": [], "most_descriptors": 0, "cpu_with": [], "cpu_without": []}
    err = tempfile.TemporaryFile("w+")  # the server's lines on stderr, counted
    saved_err = os.dup(2)
    os.dup2(err.fileno(), 2)
    with ExitStack() as stack:
        sims = [stack.enter_context(Simulator(process=True, delay_ms=1)) for _ in range(DEVICES)]
        devices = [Device(sim.port, f"HYG{n}", None, "simulated device") for n, sim in enumerate(sims, 1)]
        server = Server(image, Origin(station="hygiene"), "127.0.0.1", 0, None, on_demand=True)
        server.start()
        probe = Probe(server.port)
        probe.start()

        def client(server):
            for number in range(2 * rounds):
                flooded = number % 2 == 0
                flooder = None
                if flooded:
                    flooder = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--flood", str(server.port),
                                                str(MAX_WAITING), str(REQUEST_TIMEOUT * 3)],
                                               stdout=subprocess.PIPE, text=True)
                    time.sleep(1.0)  # the flood is in
                probe.kind = "flood" if flooded else "after"
                print(f"round {number + 1} of {2 * rounds}, {'with' if flooded else 'without'} the flood", flush=True)
                cpu, began = cpu_seconds(), time.monotonic()
                figures["with" if flooded else "without"].append(flash_round(server, devices, size))
                share = (cpu_seconds() - cpu) / (time.monotonic() - began)
                figures["cpu_with" if flooded else "cpu_without"].append(share)
                figures["most_descriptors"] = max(figures["most_descriptors"], descriptors())
                if flooder is not None:
                    figures["lived"].extend(json.loads(flooder.communicate(timeout=120)[0]))
                    probe.kind = "after"
                    time.sleep(2 * REQUEST_TIMEOUT)  # the last partial connections closed, the probe goes on

        run_station(server, server.callbacks, image, devices, client)
        probe.stop.set()
        probe.join(10)
        server.close()
    os.dup2(saved_err, 2)
    err.seek(0)
    lines = err.read().splitlines()
    report(figures, probe.taken, lines, args.descriptors, size)
    answered = [took for kind, took in probe.taken if kind != "before"]
    return 0 if all(took is not None and took < ANSWER_TARGET for took in answered) or args.quick else 1


def report(figures, probed, lines, limit, size):
    lived = figures["lived"]
    print(f"descriptor limit {limit}; cap {MAX_CONNECTIONS} connections, {MAX_WAITING} of them without a whole "
          f"request (the flood's); request deadline {REQUEST_TIMEOUT:g} s; "
          f"{DEVICES} devices, {size // 1024} KiB each")
    print(f"partial connections closed by the server: {len(lived)}; lived min {min(lived, default=0):.2f} s, "
          f"median {statistics.median(lived or [0]):.2f} s, longest {max(lived, default=0):.2f} s")
    for kind in ("flood", "after"):
        taken = [took for seen, took in probed if seen == kind]
        good = [took * 1000 for took in taken if took is not None]
        print(f"GET /api/v1/channels {'during the flood' if kind == 'flood' else 'without it'}: {len(taken)} asked, "
              f"{len(taken) - len(good)} unanswered; median {percentile(good, 0.5):.1f} ms, "
              f"99th percentile {percentile(good, 0.99):.1f} ms, longest {max(good, default=0):.1f} ms")
    for kind in ("with", "without"):
        rates = [rate for rate, _ in figures[kind]]
        print(f"flashing {kind} the flood: {statistics.median(rates):.0f} KiB/s over each round's span "
              f"({', '.join(f'{rate:.0f}' for rate in rates)}); the station's process used "
              f"{statistics.median(figures['cpu_' + kind]):.0%} of a core")
    print(f"most descriptors open in the station's process: {figures['most_descriptors']}")
    print(f"lines on stderr: {len(lines)}" + "".join(f"\n  {line}" for line in lines[:5]))


if __name__ == "__main__":
    sys.exit(main())
