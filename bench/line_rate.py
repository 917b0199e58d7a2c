"""Boards per hour of a station with 24 channels, with and without serial numbers, in one run.

    python bench/line_rate.py            # 6 rounds of 24 simulated boards, 64 KiB each, alternating
    python bench/line_rate.py --quick    # 2 rounds of 4 boards, 8 KiB

Each round is one `downloader-flash --simulate N --all --sample SIZE --report FILE`; every other
round adds `--serial-at 256 --serial-format u32le --serial-start ... --database FILE` (SQLite,
or with --postgres a database of a private PostgreSQL server, tests/postgres.py). A round's span runs from the first attempt's start to the last attempt's
end, from the records, so that starting the simulators and the interpreter does not count: it is
what a station that keeps running pays per board. Boards per hour is the round's boards over its
span; the allocation's own cost is the difference between the kinds of round.
"""
import argparse
import datetime
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import postgres  # noqa: E402  (the tests' private server)

CHANNELS = 24
SIZE = 64 * 1024
ROUNDS = 6
SERIAL_AT = 256
SECONDS_PER_HOUR = 3600


def moment(text):
    return datetime.datetime.fromisoformat(text).timestamp()


def one_round(folder, number, channels, size, database):
    """The round's records, and its wall seconds with the tool's start-up."""
    report = os.path.join(folder, f"round-{number}.jsonl")
    command = [sys.executable, "-m", "downloader_flash", "--simulate", str(channels), "--all", "--sample", str(size),
               "--report", report, "-q"]
    if database is not None:
        command += ["--serial-at", str(SERIAL_AT), "--serial-format", "u32le", "--serial-start", "1000",
                    "--database", database]
    began = time.monotonic()
    done = subprocess.run(command, capture_output=True, text=True, timeout=600)
    wall = time.monotonic() - began
    if done.returncode != 0:
        raise SystemExit(f"round {number} exited {done.returncode}: {done.stdout}{done.stderr}")
    with open(report) as handle:
        records = [json.loads(line) for line in handle]
    if len(records) != channels or any(record["result"] != "flashed" for record in records):
        raise SystemExit(f"round {number}: not every board was flashed once: {records}")
    return records, wall


def span(records):
    return max(moment(record["time"]) for record in records) - min(moment(record["started"]) for record in records)


def measure(channels, size, rounds, database):
    with tempfile.TemporaryDirectory() as folder:
        target = database or os.path.join(folder, "line.sqlite")
        kinds = {"without serial numbers": [], "with serial numbers": []}
        serials = []
        for number in range(rounds):
            serialized = number % 2 == 1
            records, wall = one_round(folder, number, channels, size, target if serialized else None)
            kinds["with serial numbers" if serialized else "without serial numbers"].append((span(records), wall))
            serials += [record["serial"] for record in records if serialized]
        if len(set(serials)) != len(serials):
            raise SystemExit("a serial number was given to two boards")
    return kinds


def report(kinds, channels, size, where):
    print(f"{channels} simulated channels, {size:,}-byte image, serial numbers in {where}")
    print("| rounds | kind | median span, s | boards per hour | median wall per round, s |")
    print("|---:|---|---:|---:|---:|")
    for kind, rounds in kinds.items():
        spans = [seconds for seconds, _ in rounds]
        walls = [wall for _, wall in rounds]
        per_hour = channels * SECONDS_PER_HOUR / statistics.median(spans)
        print(f"| {len(rounds)} | {kind} | {statistics.median(spans):.2f} | {per_hour:,.0f} | "
              f"{statistics.median(walls):.2f} |")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="2 rounds of 4 boards of 8 KiB")
    parser.add_argument("--postgres", action="store_true",
                        help="keep the serial numbers on a private PostgreSQL server, durable as a line's")
    args = parser.parse_args()
    channels, size, rounds = (4, 8 * 1024, 2) if args.quick else (CHANNELS, SIZE, ROUNDS)
    if not args.postgres:
        report(measure(channels, size, rounds, None), channels, size, "SQLite")
        return
    reason = postgres.missing()
    if reason:
        raise SystemExit(reason)
    with postgres.Cluster(durable=True) as cluster:
        report(measure(channels, size, rounds, cluster.url), channels, size, "PostgreSQL")


if __name__ == "__main__":
    main()
