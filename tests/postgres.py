"""A private PostgreSQL server for the tests and the bench: a cluster of its own in a temporary
folder, listening on a free loopback port with trust authentication there and nowhere else,
started from Debian's server binaries and stopped, with nothing left running, at the end.

initdb refuses to run as root: as root the cluster is made and run by the user postgres, whom
Debian's package creates.
"""
import glob
import os
import pwd
import re
import shutil
import socket
import subprocess
import tempfile
import time
from typing import List, Optional

SERVER_MISSING = "needs Debian's postgresql package (apt-get install postgresql)"
PSYCOPG_MISSING = "needs psycopg: pip install 'downloader[line]'"
BINARIES = "/usr/lib/postgresql/*/bin"
SERVER_USER = "postgres"
START_TIMEOUT = 60  # seconds for pg_ctl to see the server accept connections, on a loaded machine
# Only the loopback address, trusted; no Unix socket at all.
HBA = "host all all 127.0.0.1/32 trust\n"


def server_binaries() -> Optional[str]:
    """The bin folder of the newest PostgreSQL installed the Debian way, or None."""
    found = [folder for folder in glob.glob(BINARIES)
             if all(os.access(os.path.join(folder, tool), os.X_OK) for tool in ("initdb", "pg_ctl"))]
    version = lambda folder: [int(part) for part in re.findall(r"[0-9]+", folder)]
    return max(found, key=version, default=None)


def missing() -> Optional[str]:
    """Why the cluster cannot run here, or None."""
    if server_binaries() is None:
        return SERVER_MISSING
    if os.geteuid() == 0:
        try:
            pwd.getpwnam(SERVER_USER)
        except KeyError:
            return SERVER_MISSING
    return None


def psycopg_missing() -> Optional[str]:
    try:
        import psycopg  # noqa: F401
    except ImportError:
        return PSYCOPG_MISSING
    return None


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Cluster:
    """A running private server; `url` reaches its database postgres as the user postgres."""

    def __init__(self, durable: bool = False) -> None:
        self.bin = server_binaries()
        assert self.bin is not None, SERVER_MISSING
        self.folder = tempfile.mkdtemp(prefix="downloader-postgres-")
        self.data = os.path.join(self.folder, "data")
        self.port = free_port()
        self.url = f"postgresql://{SERVER_USER}@127.0.0.1:{self.port}/postgres"
        self.as_root = os.geteuid() == 0
        if self.as_root:
            entry = pwd.getpwnam(SERVER_USER)
            os.chown(self.folder, entry.pw_uid, entry.pw_gid)
        try:
            self.start(durable)
        except BaseException:
            self.stop()
            raise

    def run(self, tool: str, *arguments: str) -> None:
        command: List[str] = [os.path.join(self.bin, tool), *arguments]
        if self.as_root:
            command = ["runuser", "-u", SERVER_USER, "--", *command]
        result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                cwd=self.folder, check=False)
        if result.returncode != 0:
            raise RuntimeError(f"{tool} failed ({result.returncode}): {result.stdout.strip()}\n{self.log()}")

    def start(self, durable: bool) -> None:
        self.run("initdb", "--pgdata", self.data, "--username", SERVER_USER, "--auth", "trust",
                 "--encoding", "UTF8", "--no-sync", "--no-instructions")
        with open(os.path.join(self.data, "pg_hba.conf"), "w") as hba:
            hba.write(HBA)
        settings = [f"-p {self.port}", "-c listen_addresses=127.0.0.1", "-c unix_socket_directories=''"]
        if not durable:  # the tests need no crash safety; the bench measures with it
            settings += ["-c fsync=off", "-c synchronous_commit=off", "-c full_page_writes=off"]
        self.run("pg_ctl", "--pgdata", self.data, "--log", os.path.join(self.folder, "server.log"),
                 "--options", " ".join(settings), "--wait", "--timeout", str(START_TIMEOUT), "start")

    def log(self) -> str:
        try:
            with open(os.path.join(self.folder, "server.log")) as handle:
                return handle.read()[-2000:]
        except OSError:
            return ""

    def stop(self) -> None:
        if os.path.exists(os.path.join(self.data, "postmaster.pid")):
            self.run("pg_ctl", "--pgdata", self.data, "--mode", "immediate", "--wait", "stop")
        shutil.rmtree(self.folder, ignore_errors=True)

    def __enter__(self) -> "Cluster":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.stop()


if __name__ == "__main__":  # how long a cluster takes to start and to stop here
    began = time.monotonic()
    with Cluster() as cluster:
        print(f"started in {time.monotonic() - began:.2f} s at {cluster.url}")
        began = time.monotonic()
    print(f"stopped in {time.monotonic() - began:.2f} s")
