"""The station's web side under load: does it slow flashing?

    python bench/station_load.py            # 8 devices, 6 rounds of 128 KiB each, with and without clients
    python bench/station_load.py --quick    # 8 devices, 2 rounds of 32 KiB

The station runs --on-demand with its server, as `downloader-flash IMAGE --watch --serve PORT
--on-demand` does, in this process's main thread. Each round asks for all 8 simulated devices at
once over the API and waits for their records. Rounds alternate between no clients and 50
event-stream clients plus one that connects and never reads (its receive buffer made small, so
that it stalls soon) and one that reads a few bytes at a time, slowly. Aggregate throughput is the
bytes flashed in a round over the span from the first attempt's start to the last one's end, from
the records (worker start-up included), and the sum of the devices' own rates (each attempt's
bytes over its seconds). The scheduler's own delay is the time each call of the web side's
callbacks takes on the scheduler's thread: the longest and the 99th percentile, per kind of round.
Memory is this process's RSS after each round: it should not grow with the rounds.
"""
import argparse
import http.client
import json
import os
import resource
import socket
import statistics
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from contextlib import ExitStack
from datetime import datetime

from downloader_flash import Device, Image, Settings
from downloader_flash.model import Origin
from downloader_flash.station import watch
from downloader_flash.web import Server
from downloader_sim import Simulator

DEVICES = 8
CLIENTS = 50
STALLED_RECEIVE_BUFFER = 4096  # bytes
SLOW_READ = 64  # bytes the slow client takes at a time
SLOW_PAUSE = 0.05  # seconds between its reads
TARGET = 0.95  # throughput with clients at least this share of the throughput without
CALLBACK_TARGET_MS = 1.0  # the longest a callback may keep the scheduler; it should be far under


def rss_kib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def request(port, method, path, body=None, timeout=120):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    connection.request(method, path, body=json.dumps(body) if body is not None else None,
                       headers={"Content-Type": "application/json"})
    response = connection.getresponse()
    answer = json.loads(response.read())
    connection.close()
    return response.status, answer


class StreamClient(threading.Thread):
    """Reads the event stream and counts the attempts that ended, until the server closes it."""

    def __init__(self, port):
        super().__init__(daemon=True)
        self.port, self.ended = port, 0

    def run(self):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=300)
        try:
            connection.request("GET", "/api/v1/events")
            for line in connection.getresponse():
                if line.startswith(b"data: ") and b'"attempt ended"' in line:
                    self.ended += 1
        except (OSError, http.client.HTTPException):
            pass
        finally:
            connection.close()


def stalled_client(port):
    """Connects to the event stream and never reads a byte."""
    stalled = socket.socket()
    stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, STALLED_RECEIVE_BUFFER)
    stalled.connect(("127.0.0.1", port))
    stalled.sendall(b"GET /api/v1/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
    return stalled


class SlowClient(threading.Thread):
    """Reads the event stream a few bytes at a time with a pause between, until closed or dropped."""

    def __init__(self, port):
        super().__init__(daemon=True)
        self.connection = stalled_client(port)
        self.stop = threading.Event()

    def run(self):
        try:
            while not self.stop.wait(SLOW_PAUSE) and self.connection.recv(SLOW_READ):
                pass
        except OSError:
            pass

    def close(self):
        self.stop.set()
        self.join(30)
        self.connection.close()


class Timed:
    """The web side's callbacks, each call timed on the thread that makes it: the scheduler's."""

    def __init__(self, inner):
        self.inner, self.seconds = inner, []

    def __getattr__(self, name):
        method = getattr(self.inner, name)

        def timed(*args):
            began, began_cpu, began_waits = time.perf_counter(), time.thread_time(), waits()
            method(*args)
            self.seconds.append((time.perf_counter() - began, time.thread_time() - began_cpu, waits() > began_waits))

        return timed

    def taken(self):
        """The calls since the last look: time and the thread's own CPU time in milliseconds, and
        whether the call waited (for a lock or the interpreter: the thread gave up the processor)."""
        taken, self.seconds = self.seconds, []
        return [(wall * 1000, cpu * 1000, waited) for wall, cpu, waited in taken]


def waits():
    """How often this thread has given up the processor to wait; preemption is not counted."""
    return resource.getrusage(resource.RUSAGE_THREAD).ru_nvcsw


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))] if ordered else 0.0


def seconds_of(timestamp):
    return datetime.fromisoformat(timestamp).timestamp()


def flash_round(server, devices, size):
    """Asks for every device at once; the aggregate throughput in KiB/s from the records."""
    with ThreadPoolExecutor(len(devices)) as pool:
        answers = list(pool.map(lambda device: request(server.port, "POST", "/api/v1/flash",
                                                       {"port": device.device, "wait": 120}), devices))
    records = [answer["record"] for status, answer in answers]
    assert all(status == 200 and record["result"] == "flashed" for (status, _), record in zip(answers, records)), answers
    span = max(seconds_of(r["time"]) for r in records) - min(seconds_of(r["started"]) for r in records)
    return len(devices) * size / 1024 / span, sum(size / 1024 / r["seconds"] for r in records)


def measure(rounds, size, clients=CLIENTS, delay_ms=1):
    """{"without": [KiB/s...], "with": [...], "calls_ms": {"without": [...], "with": [...]}, "rss_kib": [...],
    "dropped": n, "events_seen": [...]}"""
    image = Image(bytes((i * 7 + (i >> 8)) % 256 for i in range(size)), f"sample of {size:,} bytes")
    figures = {"without": [], "with": [], "calls_ms": {"without": [], "with": []}, "rss_kib": [], "dropped": 0,
               "events_seen": []}
    with ExitStack() as stack:
        sims = [stack.enter_context(Simulator(process=True, delay_ms=delay_ms)) for _ in range(DEVICES)]
        devices = [Device(sim.port, f"LOAD{n}", None, "simulated device") for n, sim in enumerate(sims, 1)]
        server = Server(image, Origin(station="load"), "127.0.0.1", 0, None, on_demand=True)
        server.start()
        timed = Timed(server.callbacks)

        def client(server):
            for number in range(2 * rounds):
                kind = "with" if number % 2 == 1 else "without"
                clients_process = None
                if kind == "with":
                    clients_process = start_clients(server, clients)
                timed.taken()  # not the calls between rounds
                figures[kind].append(flash_round(server, devices, size))
                figures["calls_ms"][kind].extend(timed.taken())
                if clients_process is not None:
                    time.sleep(0.6)  # the last events reach the readers
                    server.call_soon(server.hub.end)
                    figures["events_seen"].append(end_clients(clients_process))
                figures["rss_kib"].append(rss_kib())

        run_station(server, timed, image, devices, client)
        figures["dropped"] = server.hub.drops
        server.close()
    return figures


def start_clients(server, clients):
    """The stream clients, the stalled one and the slow one, in a process of their own as browsers
    would be: their reading takes nothing from the station's process. Once they are all in."""
    command = [sys.executable, os.path.abspath(__file__), "--clients-for", str(server.port), str(clients)]
    process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 30
    while len(server.hub.clients) + server.hub.drops < clients + 2 and time.monotonic() < deadline:
        time.sleep(0.01)
    return process


def end_clients(process):
    """The least number of attempt-ended events a reader saw, once the server has closed the streams."""
    out, _ = process.communicate("", timeout=60)
    return int(out)


def serve_as_clients(port, clients):
    """The clients' process: reads the streams until the server closes them and its parent says so."""
    readers = [StreamClient(port) for _ in range(clients)]
    for reader in readers:
        reader.start()
    stalled, slow = stalled_client(port), SlowClient(port)
    slow.start()
    sys.stdin.read()
    for reader in readers:
        reader.join(30)
    stalled.close()
    slow.close()
    print(min(reader.ended for reader in readers))


def run_station(server, callbacks, image, devices, client):
    """The station in this thread, told through `callbacks`, `client(server)` in another, until the client returns."""
    failure = []

    def run_client():
        try:
            client(server)
        except BaseException as error:
            failure.append(error)
        finally:
            server.control.end()

    thread = threading.Thread(target=run_client)
    thread.start()
    watch(Settings(watch=True), image, callbacks, None, Origin(station="load"), server.control,
          lambda: list(devices))
    thread.join()
    if failure:
        raise failure[0]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--clients-for", nargs=2, type=int, metavar=("PORT", "N"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.clients_for:
        serve_as_clients(*args.clients_for)
        return 0
    rounds, size = (2, 32 * 1024) if args.quick else (6, 128 * 1024)
    figures = measure(rounds, size)
    print(f"{DEVICES} devices, {size // 1024} KiB each, {rounds} rounds of each kind (medians; rounds in brackets)")
    ratios = []
    for index, name in ((0, "over the round's span"), (1, "sum of the devices' rates")):
        without = statistics.median(x[index] for x in figures["without"])
        loaded = statistics.median(x[index] for x in figures["with"])
        ratios.append(loaded / without)
        print(f"{name}: without clients {without:.0f} KiB/s ({', '.join(f'{x[index]:.0f}' for x in figures['without'])}); "
              f"with {CLIENTS} stream clients, one stalled and one slow {loaded:.0f} KiB/s "
              f"({', '.join(f'{x[index]:.0f}' for x in figures['with'])}): {loaded / without:.1%}")
    for kind, calls in figures["calls_ms"].items():
        for index, name in ((0, "time"), (1, "CPU time")):
            taken = [call[index] for call in calls]
            print(f"callbacks on the scheduler's thread, {kind} clients, {name}: {len(taken)} calls, "
                  f"longest {max(taken, default=0):.3f} ms, 99th percentile {percentile(taken, 0.99):.3f} ms, "
                  f"median {percentile(taken, 0.5):.3f} ms")
        waited = [wall for wall, _, waited in calls if waited]
        print(f"  of which waited for a lock or the interpreter: {len(waited)}, "
              f"longest {max(waited, default=0):.3f} ms, median {percentile(waited, 0.5):.3f} ms")
    print(f"stream clients dropped: {figures['dropped']}; attempt-ended events each reader saw per round "
          f"(least): {figures['events_seen']}")
    print(f"RSS after each round, KiB: {figures['rss_kib']}")
    fast_enough = ratios[-1] >= TARGET
    prompt = max((cpu for _, cpu, _ in figures["calls_ms"]["with"]), default=0) < CALLBACK_TARGET_MS
    print(f"target: at least {TARGET:.0%} of the throughput without clients: {'met' if fast_enough else 'NOT met'}; "
          f"every callback under {CALLBACK_TARGET_MS:g} ms: {'met' if prompt else 'NOT met'}")
    return 0 if (fast_enough and prompt) or args.quick else 1


if __name__ == "__main__":
    sys.exit(main())
