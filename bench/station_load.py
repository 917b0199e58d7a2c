"""The station's web side under load: does it slow flashing?

    python bench/station_load.py            # 8 devices, 6 rounds of 128 KiB each, with and without clients
    python bench/station_load.py --quick    # 8 devices, 2 rounds of 32 KiB

The station runs --on-demand with its server, as `downloader-flash IMAGE --watch --serve PORT
--on-demand` does, in this process's main thread. Each round asks for all 8 simulated devices at
once over the API and waits for their records. Rounds alternate between no clients and 20
event-stream clients plus one that connects and never reads (its receive buffer made small, so
that it stalls soon). Aggregate throughput is the bytes flashed in a round over the span from the
first attempt's start to the last one's end, from the records (worker start-up included), and
the sum of the devices' own rates (each attempt's bytes over its seconds). Memory is this process's RSS after
each round: it should not grow with the rounds.
"""
import argparse
import http.client
import json
import os
import socket
import statistics
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from contextlib import ExitStack
from datetime import datetime

from downloader_flash import Device, Image, Settings
from downloader_flash.records import Origin
from downloader_flash.station import watch
from downloader_flash.web import Server
from downloader_sim import Simulator

DEVICES = 8
CLIENTS = 20
STALLED_RECEIVE_BUFFER = 4096  # bytes
TARGET = 0.95  # throughput with clients at least this share of the throughput without


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
    """{"without": [KiB/s...], "with": [...], "rss_kib": [...], "dropped": n, "events_seen": [...]}"""
    image = Image(bytes((i * 7 + (i >> 8)) % 256 for i in range(size)), f"sample of {size:,} bytes")
    figures = {"without": [], "with": [], "rss_kib": [], "dropped": 0, "events_seen": []}
    with ExitStack() as stack:
        sims = [stack.enter_context(Simulator(process=True, delay_ms=delay_ms)) for _ in range(DEVICES)]
        devices = [Device(sim.port, f"LOAD{n}", None, "simulated device") for n, sim in enumerate(sims, 1)]
        server = Server(image, Origin(station="load"), "127.0.0.1", 0, None, on_demand=True)
        server.start()

        def client(server):
            for number in range(2 * rounds):
                loaded = number % 2 == 1
                readers, stalled = [], None
                if loaded:
                    readers = [StreamClient(server.port) for _ in range(clients)]
                    for reader in readers:
                        reader.start()
                    stalled = stalled_client(server.port)
                    deadline = time.monotonic() + 30
                    while len(server.hub.clients) + server.hub.drops < clients + 1 and time.monotonic() < deadline:
                        time.sleep(0.01)
                figures["with" if loaded else "without"].append(flash_round(server, devices, size))
                if loaded:
                    time.sleep(0.6)  # the last events reach the readers
                    figures["events_seen"].append(min(reader.ended for reader in readers))
                    server.call_soon(server.stop_clients)
                    for reader in readers:
                        reader.join(30)
                    stalled.close()
                figures["rss_kib"].append(rss_kib())

        run_station(server, image, devices, client)
        figures["dropped"] = server.hub.drops
        server.close()
    return figures


def run_station(server, image, devices, client):
    """The station in this thread, `client(server)` in another, until the client returns."""
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
    watch(Settings(watch=True), image, server.callbacks, None, Origin(station="load"), server.control,
          lambda: list(devices))
    thread.join()
    if failure:
        raise failure[0]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    rounds, size = (2, 32 * 1024) if args.quick else (6, 128 * 1024)
    figures = measure(rounds, size)
    print(f"{DEVICES} devices, {size // 1024} KiB each, {rounds} rounds of each kind (medians; rounds in brackets)")
    for index, name in ((0, "over the round's span"), (1, "sum of the devices' rates")):
        without = statistics.median(x[index] for x in figures["without"])
        loaded = statistics.median(x[index] for x in figures["with"])
        print(f"{name}: without clients {without:.0f} KiB/s ({', '.join(f'{x[index]:.0f}' for x in figures['without'])}); "
              f"with {CLIENTS} stream clients and one stalled {loaded:.0f} KiB/s "
              f"({', '.join(f'{x[index]:.0f}' for x in figures['with'])}): {loaded / without:.1%}")
    print(f"stalled clients dropped: {figures['dropped']}; attempt-ended events each reader saw per round "
          f"(least): {figures['events_seen']}")
    print(f"RSS after each round, KiB: {figures['rss_kib']}")
    ok = loaded >= TARGET * without
    print(f"target: at least {TARGET:.0%} of the throughput without clients: {'met' if ok else 'NOT met'}")
    return 0 if ok or args.quick else 1


if __name__ == "__main__":
    sys.exit(main())
