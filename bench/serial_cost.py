"""What a serial number costs a board: the time to reserve it and the time to mark it used with
the board's record, on SQLite and on PostgreSQL over loopback.

    python bench/serial_cost.py                  # 2,000 boards on each
    python bench/serial_cost.py --boards 200 --only sqlite
    python bench/serial_cost.py --stations 3     # three stations at once on each database

SQLite is a file in a temporary folder on this machine's disk, as a station keeps it (WAL, a
full sync per commit). PostgreSQL is a private cluster of Debian's server binaries on a loopback
port (tests/postgres.py), with its crash safety on: fsync and synchronous commits, as a line
runs it. Each board is one issue() and one settle() of the store, as the tool makes them, with a
record of the usual size; the figures are the median and the 99th percentile per board.
"""
import argparse
import multiprocessing
import os
import socket
import statistics
import sys
import tempfile
import time
from typing import Dict, Iterator, List, Tuple

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

import postgres  # noqa: E402
from downloader_flash.model import USED, Board  # noqa: E402
from downloader_flash.serials import Range, SerialFormat  # noqa: E402
from downloader_flash.database import open_store  # noqa: E402
from downloader_flash.store import Store  # noqa: E402

TARGET_MS = 5.0  # the most a median may take, reserving or marking
MILLISECONDS = 1000.0
BOARD = Board("/dev/ttyACM0", "E6616407E3", "bench", socket.gethostname(), os.getpid())


def board_record(value: object) -> Dict[str, object]:
    """A record as the tool writes one for a flashed board."""
    return {"schema": 3, "time": "2026-12-11T10:00:01.250+00:00", "started": "2026-12-11T10:00:00.000+00:00",
            "seconds": 1.25, "port": BOARD.port, "serial_number": BOARD.serial_number, "attempt": 1, "attempts": 3,
            "result": "flashed", "error_kind": None, "error": None, "blocks": 2048, "block": 2048, "resends": 0,
            "image": "/srv/line/firmware-2.4.1.bin", "size": 65536, "file_sha256": "a" * 64,
            "device_sha256": "b" * 64, "serial": value, "image_sha256": "c" * 64, "job": None, "job_sha256": None,
            "station": BOARD.station, "host": BOARD.host, "tool_version": "1.9.0", "module_version": "1.9.0",
            "python_version": "3.11.7"}


def measure(store: Store, boards: int) -> Tuple[List[float], List[float]]:
    """Seconds to reserve, and to mark, each of `boards` values."""
    pool = store.pool(Range(1, 1, None, SerialFormat("u32le"), 16))
    reserving, marking = [], []
    for _ in range(boards):
        began = time.perf_counter()
        issued = pool.issue(BOARD)
        reserved = time.perf_counter()
        assert issued is not None
        pool.settle(issued, USED, board_record(issued.value))
        reserving.append(reserved - began)
        marking.append(time.perf_counter() - reserved)
    return reserving, marking


def station(target: str, boards: int) -> Tuple[List[float], List[float]]:
    """measure() in a process of its own, as one station of a line."""
    store = open_store(target)
    try:
        return measure(store, boards)
    finally:
        store.close()


def figures(seconds: List[float]) -> Tuple[float, float]:
    """The median and the 99th percentile, in milliseconds."""
    return (statistics.median(seconds) * MILLISECONDS,
            statistics.quantiles(seconds, n=100)[98] * MILLISECONDS)


def databases(only: str) -> Iterator[Tuple[str, str]]:
    if only in ("all", "sqlite"):
        with tempfile.TemporaryDirectory(dir=os.getcwd()) as folder:
            yield "SQLite (a file on this disk)", os.path.join(folder, "line.sqlite")
    if only in ("all", "postgresql"):
        reason = postgres.missing()
        if reason is not None:
            print(f"PostgreSQL skipped: it {reason}")
            return
        with postgres.Cluster(durable=True) as cluster:
            yield "PostgreSQL (loopback)", cluster.url


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--boards", type=int, default=2000)
    parser.add_argument("--only", choices=("all", "sqlite", "postgresql"), default="all")
    parser.add_argument("--stations", type=int, default=1, help="processes issuing at once, each --boards boards")
    args = parser.parse_args()
    print("| database | stations | boards | reserve median ms | reserve p99 ms | mark median ms | mark p99 ms |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    within = True
    for name, target in databases(args.only):
        with multiprocessing.Pool(args.stations) as stations:
            ran = stations.starmap(station, [(target, args.boards)] * args.stations)
        reserving = [seconds for station_reserving, _ in ran for seconds in station_reserving]
        marking = [seconds for _, station_marking in ran for seconds in station_marking]
        (reserve, reserve_p99), (mark, mark_p99) = figures(reserving), figures(marking)
        print(f"| {name} | {args.stations} | {len(reserving):,} | {reserve:.2f} | {reserve_p99:.2f} | {mark:.2f} | {mark_p99:.2f} |")
        within = within and reserve <= TARGET_MS and mark <= TARGET_MS
    print(f"medians within {TARGET_MS} ms: {'yes' if within else 'NO'}")
    return 0 if within else 1


if __name__ == "__main__":
    sys.exit(main())
