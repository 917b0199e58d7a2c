"""A private PostgreSQL server for the tests and the bench: a cluster of its own in a temporary
folder, from Debian's server binaries, trusted on a free loopback port and nowhere else, and
stopped, with nothing left running, at the end. initdb refuses to run as root: as root the
cluster is made and run by the user postgres, whom Debian's package creates."""
import glob
import os
import pwd
import shutil
import socket
import subprocess
import tempfile

SERVER_MISSING = "needs Debian's postgresql package (apt-get install postgresql)"
PSYCOPG_MISSING = "needs psycopg: pip install 'downloader[line]'"
SERVER_USER = "postgres"
START_TIMEOUT = 60  # seconds for pg_ctl to see the server accept connections, on a loaded machine


def server_binaries():
    """The bin folder of the newest PostgreSQL installed the Debian way, or None."""
    found = glob.glob("/usr/lib/postgresql/*/bin/initdb")
    return os.path.dirname(max(found, key=lambda path: float(path.split("/")[4]))) if found else None


def missing():
    """Why the cluster cannot run here, or None."""
    if server_binaries() is None or (os.geteuid() == 0 and SERVER_USER not in {e.pw_name for e in pwd.getpwall()}):
        return SERVER_MISSING
    try:
        import psycopg  # noqa: F401
    except ImportError:
        return PSYCOPG_MISSING
    return None


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Cluster:
    """A running private server; `url` reaches its database postgres as the user postgres."""

    def __init__(self, durable=False):
        self.folder = tempfile.mkdtemp(prefix="downloader-postgres-")
        self.data, port = os.path.join(self.folder, "data"), free_port()
        self.url = f"postgresql://{SERVER_USER}@127.0.0.1:{port}/postgres"
        if os.geteuid() == 0:
            os.chown(self.folder, pwd.getpwnam(SERVER_USER).pw_uid, -1)
        settings = f"-p {port} -c listen_addresses=127.0.0.1 -c unix_socket_directories=''"
        if not durable:  # the tests need no crash safety; the bench measures with it
            settings += " -c fsync=off -c synchronous_commit=off -c full_page_writes=off"
        try:
            self.run("initdb", "-D", self.data, "-U", SERVER_USER, "--auth=trust", "--no-sync")
            with open(os.path.join(self.data, "pg_hba.conf"), "w") as hba:
                hba.write("host all all 127.0.0.1/32 trust\n")
            self.run("pg_ctl", "-D", self.data, "-l", os.path.join(self.folder, "server.log"),
                     "-o", settings, "-w", "-t", str(START_TIMEOUT), "start")
        except BaseException:
            self.stop()
            raise

    def run(self, tool, *arguments):
        command = [os.path.join(server_binaries(), tool), *arguments]
        if os.geteuid() == 0:
            command = ["runuser", "-u", SERVER_USER, "--", *command]
        subprocess.run(command, cwd=self.folder, check=True, stdout=subprocess.DEVNULL)

    def stop(self):
        if os.path.exists(os.path.join(self.data, "postmaster.pid")):
            self.run("pg_ctl", "-D", self.data, "-m", "immediate", "-w", "stop")
        shutil.rmtree(self.folder, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.stop()
